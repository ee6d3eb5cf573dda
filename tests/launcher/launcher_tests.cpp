#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "launcher/launch_plan.h"
#include "tests/support/test_support.h"

using setuprun::makePlan;
using setuprun::Platform;

TEST(LaunchPlan, WindowsStrings) {
  struct Row {
    std::string program;
    std::optional<std::string> cwd, path;
    std::string directory, command, assignment;
  };
  const Row rows[] = {
      {"C:\\inst\\setuprun.exe", "C:\\inst", "C:\\Windows", "C:\\inst",
       ".\\lib\\python\\python.exe \"C:\\inst\\build-configSubInstall.py\"", "PATH=C:\\inst\\lib;C:\\Windows"},
      {"C:/inst/setuprun.exe", "C:\\inst", "X", "C:/inst",
       ".\\lib\\python\\python.exe \"C:/inst\\build-configSubInstall.py\"", "PATH=C:\\inst\\lib;X"},
      {"setuprun.exe", "D:\\here", std::nullopt, ".", ".\\lib\\python\\python.exe \".\\build-configSubInstall.py\"",
       "PATH=D:\\here\\lib"},
      {"\\setuprun.exe", "D:\\", "P", ".", ".\\lib\\python\\python.exe \".\\build-configSubInstall.py\"",
       "PATH=D:\\\\lib;P"},
      {"C:\\inst\\setuprun.exe", std::nullopt, "P", "C:\\inst",
       ".\\lib\\python\\python.exe \"C:\\inst\\build-configSubInstall.py\"", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.program);
    const auto plan = makePlan(row.program, row.cwd, row.path, Platform::Windows);
    EXPECT_EQ(plan.installationDirectory, row.directory);
    EXPECT_EQ(plan.commandLine, row.command);
    EXPECT_EQ(plan.pathAssignment, row.assignment);
  }
}

TEST(LaunchPlan, PosixStrings) {
  struct Row {
    std::string program;
    std::optional<std::string> cwd, path;
    std::string directory, script, assignment;
  };
  const Row rows[] = {
      {"/opt/inst/setuprun", "/opt/inst", "/usr/bin:/bin", "/opt/inst", "/opt/inst/build-configSubInstall.py",
       "PATH=/opt/inst/lib:/usr/bin:/bin"},
      {"inst/setuprun", "/home/u/inst", std::nullopt, "inst", "/home/u/inst/build-configSubInstall.py",
       "PATH=/home/u/inst/lib"},
      {"setuprun", "/srv", "/bin", ".", "/srv/build-configSubInstall.py", "PATH=/srv/lib:/bin"},
      {"/setuprun", "/work", "/bin", ".", "/work/build-configSubInstall.py", "PATH=/work/lib:/bin"},
      {"a\\b/setuprun", std::nullopt, "/bin", "a\\b", "./build-configSubInstall.py", ""},
      // An empty PATH gains no empty entry, which would name the current folder.
      {"/i n's\"t/setuprun", "/i n's\"t", "", "/i n's\"t", "/i n's\"t/build-configSubInstall.py", "PATH=/i n's\"t/lib"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.program);
    const auto plan = makePlan(row.program, row.cwd, row.path, Platform::Posix);
    EXPECT_EQ(plan.installationDirectory, row.directory);
    EXPECT_EQ(plan.arguments, (std::vector<std::string>{"./lib/python/bin/python3", row.script}));
    EXPECT_EQ(plan.pathAssignment, row.assignment);
    EXPECT_EQ(plan.refusal, "");
  }
  // A folder holding the list separator would put a wrong folder on PATH.
  EXPECT_NE(makePlan("/a:b/setuprun", "/a:b", "/bin", Platform::Posix).refusal, "");
  EXPECT_NE(makePlan("C:\\a;b\\setuprun.exe", "C:\\a;b", "X", Platform::Windows).refusal, "");
}

namespace {

// An installation in folder: setuprun, and a stand-in interpreter that records how it was
// started into record.txt of the folder it runs in and exits with status.
void makeInstallation(const std::string& inst, int status = 7) {
  ASSERT_EQ(::mkdir(inst.c_str(), 0755), 0);
  for (const char* sub : {"/lib", "/lib/python", "/lib/python/bin"}) ::mkdir((inst + sub).c_str(), 0755);
  const std::string interpreter = inst + "/lib/python/bin/python3";
  testing_support::writeFile(interpreter,
                             "#!/bin/sh\n"
                             "{ printf 'args:'; for a in \"$@\"; do printf ' [%s]' \"$a\"; done; printf '\\n';\n"
                             "  printf 'cwd: %s\\n' \"$(pwd)\"; printf 'path: %s\\n' \"$PATH\"; } >> record.txt\n"
                             "exit " +
                                 std::to_string(status) + "\n");
  ::chmod(interpreter.c_str(), 0755);
  const std::string copy = inst + "/setuprun";
  testing_support::writeFile(copy, testing_support::readFile(SETUPRUN_BINARY));
  ::chmod(copy.c_str(), 0755);
}

int shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(Launcher, RunsTheScriptFromItsInstallation) {
  testing_support::TempDir dir;
  const std::string inst = dir.file("my inst's \"folder\"");
  makeInstallation(inst);
  const std::string command =
      "cd / && PATH=/usr/bin:/bin " + testing_support::shellQuote(inst + "/setuprun") + " extra args";
  EXPECT_EQ(shell(command), 7);  // the script's own status
  EXPECT_EQ(testing_support::readFile(inst + "/record.txt"), "args: [" + inst + "/build-configSubInstall.py]\ncwd: " +
                                                                 inst + "\npath: " + inst + "/lib:/usr/bin:/bin\n");

  // No interpreter: one line and status 1.
  std::remove((inst + "/lib/python/bin/python3").c_str());
  EXPECT_EQ(shell(command + " 2> " + testing_support::shellQuote(dir.file("err"))), 1);
  const std::string err = testing_support::readFile(dir.file("err"));
  EXPECT_NE(err.find(": cannot start ./lib/python/bin/python3: No such file or directory\n"), std::string::npos) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1);
}

TEST(Launcher, FindsItsInstallationFromItsOwnFileOnly) {
  testing_support::TempDir dir;
  const std::string inst = dir.file("inst"), decoy = dir.file("elsewhere");
  makeInstallation(inst);
  makeInstallation(decoy, 9);  // a folder with an interpreter of its own, where the user stands
  ::mkdir(dir.file("links").c_str(), 0755);
  ASSERT_EQ(::symlink((inst + "/setuprun").c_str(), dir.file("links/setuprun").c_str()), 0);
  const std::string expected =
      "args: [" + inst + "/build-configSubInstall.py]\ncwd: " + inst + "\npath: " + inst + "/lib:";

  // Started by name through PATH, from the decoy's folder.
  EXPECT_EQ(shell("cd " + testing_support::shellQuote(decoy) + " && PATH=" + testing_support::shellQuote(inst) +
                  ":/usr/bin:/bin setuprun"),
            7);
  EXPECT_EQ(testing_support::readFile(inst + "/record.txt"), expected + inst + ":/usr/bin:/bin\n");
  // Through a symlink in another folder.
  std::remove((inst + "/record.txt").c_str());
  EXPECT_EQ(shell("cd " + testing_support::shellQuote(decoy) + " && PATH=/usr/bin:/bin " +
                  testing_support::shellQuote(dir.file("links/setuprun"))),
            7);
  EXPECT_EQ(testing_support::readFile(inst + "/record.txt"), expected + "/usr/bin:/bin\n");
  EXPECT_FALSE(testing_support::fileExists(decoy + "/record.txt"));

  // An empty PATH: the lib folder alone, no empty entry for the current folder.
  std::remove((inst + "/record.txt").c_str());
  EXPECT_EQ(shell("cd " + testing_support::shellQuote(decoy) +
                  " && PATH= " + testing_support::shellQuote(inst + "/setuprun")),
            7);
  EXPECT_EQ(testing_support::readFile(inst + "/record.txt"),
            "args: [" + inst + "/build-configSubInstall.py]\ncwd: " + inst + "\npath: " + inst + "/lib\n");
}

TEST(Launcher, RefusesAnInstallationFolderThatPathCannotCarry) {
  testing_support::TempDir dir;
  const std::string inst = dir.file("a:b");
  makeInstallation(inst);
  EXPECT_EQ(shell("PATH=/usr/bin:/bin " + testing_support::shellQuote(inst + "/setuprun") + " 2> " +
                  testing_support::shellQuote(dir.file("err"))),
            1);
  const std::string err = testing_support::readFile(dir.file("err"));
  EXPECT_NE(err.find("holds ':'"), std::string::npos) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1);
  EXPECT_FALSE(testing_support::fileExists(inst + "/record.txt"));
}
