#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "launcher/launch_plan.h"
#include "tests/test_support.h"

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
      {"/i n's\"t/setuprun", "/i n's\"t", "", "/i n's\"t", "/i n's\"t/build-configSubInstall.py",
       "PATH=/i n's\"t/lib:"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.program);
    const auto plan = makePlan(row.program, row.cwd, row.path, Platform::Posix);
    EXPECT_EQ(plan.installationDirectory, row.directory);
    EXPECT_EQ(plan.arguments, (std::vector<std::string>{"./lib/python/bin/python3", row.script}));
    EXPECT_EQ(plan.pathAssignment, row.assignment);
  }
}

TEST(Launcher, RunsTheScriptFromItsInstallation) {
  testing_support::TempDir dir;
  const std::string inst = dir.file("my inst's \"folder\"");
  ASSERT_EQ(::mkdir(inst.c_str(), 0755), 0);
  ::mkdir((inst + "/lib").c_str(), 0755);
  ::mkdir((inst + "/lib/python").c_str(), 0755);
  ::mkdir((inst + "/lib/python/bin").c_str(), 0755);
  const std::string interpreter = inst + "/lib/python/bin/python3";
  {
    // A stand-in interpreter that records how it was started.
    std::ofstream out(interpreter);
    out << "#!/bin/sh\n"
           "{ printf 'args:'; for a in \"$@\"; do printf ' [%s]' \"$a\"; done; printf '\\n';\n"
           "  printf 'cwd: %s\\n' \"$(pwd)\"; printf 'path: %s\\n' \"$PATH\"; } >> record.txt\n"
           "exit 7\n";
  }
  ::chmod(interpreter.c_str(), 0755);
  const std::string copy = inst + "/setuprun";
  testing_support::writeFile(copy, testing_support::readFile(SETUPRUN_BINARY));
  ::chmod(copy.c_str(), 0755);

  const std::string quoted = "'" + std::string("my inst'\\''s \"folder\"") + "'";
  const std::string command = "cd / && PATH=/usr/bin:/bin '" + dir.path() + "'/" + quoted + "/setuprun extra args";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);  // the script's own status
  EXPECT_EQ(testing_support::readFile(inst + "/record.txt"), "args: [" + inst +
                                                                 "/build-configSubInstall.py]\n"
                                                                 "cwd: " +
                                                                 inst +
                                                                 "\n"
                                                                 "path: " +
                                                                 inst + "/lib:/usr/bin:/bin\n");

  // No interpreter: one line and status 1.
  std::remove(interpreter.c_str());
  const int missing = std::system((command + " 2> '" + dir.file("err") + "'").c_str());
  EXPECT_EQ(WEXITSTATUS(missing), 1);
  const std::string err = testing_support::readFile(dir.file("err"));
  EXPECT_NE(err.find(": cannot start ./lib/python/bin/python3: No such file or directory\n"), std::string::npos) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1);
}
