// The output set's commit and its recovery attacked as an adversary would: each of their
// system calls failed and the process killed at each (strace injects the faults into the
// real program), records planted in a shared folder, output names that are FIFOs or
// devices, hard links refused, runs of other kinds into one folder, a signal during the
// renames. Real processes, real files, real signals.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

using testing_support::Outcome;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

const std::string kProgram = MIRLUNE_BINARY;
using FolderState = std::map<std::string, std::string>;

//! Each name's bytes (what is not a regular file, by what it is: reading a FIFO would wait).
FolderState stateOf(const std::string& folder, bool hiddenToo = true) {
  FolderState state;
  for (const std::string& name : testing_support::namesIn(folder)) {
    if (!hiddenToo && name.rfind(".mirlune", 0) == 0) continue;
    struct stat info;
    ::lstat((folder + "/" + name).c_str(), &info);
    state[name] = S_ISREG(info.st_mode) ? readFile(folder + "/" + name) : "mode " + std::to_string(info.st_mode);
  }
  return state;
}

void resetFolder(const FolderState& state, const std::string& folder) {
  ASSERT_EQ(std::system(("rm -rf '" + folder + "' && mkdir -p '" + folder + "'").c_str()), 0);
  for (const auto& [name, bytes] : state) writeFile(folder + "/" + name, bytes);
}

class CommitFaults : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The program runs under strace here, where LeakSanitizer cannot (it stops the process
    // it checks with ptrace); its leaks are looked for in the other process tests.
    ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    dir = new TempDir;
    for (const char* name : {"a", "b"}) {
      const std::string command = std::string(MAKE_SERIES) + " " + dir->file(std::string(name) + ".nii") +
                                  " 10 9 6 5 --seed " + (name[0] == 'a' ? "1" : "2") + " > /dev/null";
      ASSERT_EQ(std::system(command.c_str()), 0);
    }
    testing_support::writeFile(dir->file("garbage.nii"), "not an image");
    ASSERT_EQ(mirlune({"-i", "a.nii", "-o", "A"}).status, 0);
    ASSERT_EQ(mirlune({"-i", "b.nii", "-o", "B"}).status, 0);
    setA = new FolderState(stateOf(dir->file("A")));
    setB = new FolderState(stateOf(dir->file("B")));
  }
  static void TearDownTestSuite() {
    delete setA;
    delete setB;
    delete dir;
  }

  static Outcome mirlune(const std::vector<std::string>& args, const std::vector<std::string>& before = {}) {
    std::vector<std::string> argv = before;
    argv.push_back(kProgram);
    argv.insert(argv.end(), args.begin(), args.end());
    return testing_support::runToEnd(argv, dir->path());
  }

  //! How often the program calls call in a run that replaces set A with set B.
  static int callsOf(const std::string& call) {
    resetFolder(*setA, dir->file("out"));
    const std::string trace = dir->file("trace");
    mirlune({"-i", "b.nii", "-o", "out"}, {"/usr/bin/strace", "-f", "-qq", "-e", "trace=" + call, "-o", trace});
    std::ifstream in(trace);
    int calls = 0;
    for (std::string line; std::getline(in, line);) calls += line.find(" " + call + "(") != std::string::npos;
    return calls;
  }

  //! After a run that may have left a record, a run that fails on its input recovers the set.
  static void expectWholeAfterRecovery(const std::string& folder) {
    mirlune({"-i", "garbage.nii", "-o", folder});
    const FolderState after = stateOf(dir->file(folder));
    EXPECT_TRUE(after == *setA || after == *setB) << after.size() << " files after recovery";
  }

  static TempDir* dir;
  static FolderState* setA;
  static FolderState* setB;
};

TempDir* CommitFaults::dir = nullptr;
FolderState* CommitFaults::setA = nullptr;
FolderState* CommitFaults::setB = nullptr;

}  // namespace

TEST_F(CommitFaults, EveryCallFailedOrKilledLeavesOneWholeSet) {
  if (::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  const std::string out = dir->file("out");
  std::vector<std::string> faults;  // each call of the commit failed, or killed, in turn
  for (const std::string call : {"rename", "link", "unlink", "fsync"}) {
    const int calls = callsOf(call);
    ASSERT_GT(calls, 0) << call;
    for (int n = 1; n <= calls; ++n) {
      for (const std::string fault : {"error=EIO", "signal=SIGKILL"}) {
        faults.push_back(call + ":" + fault + ":when=" + std::to_string(n));
      }
    }
  }
  for (const std::string& fault : faults) {
    SCOPED_TRACE(fault);
    resetFolder(*setA, out);
    const Outcome run = mirlune({"-i", "b.nii", "-o", "out"},
                                {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-e", "inject=" + fault});
    const FolderState visible = stateOf(out, false);
    if (run.status == 0) {
      // Succeeded: the new set in place (what a failed clean-up left, hidden, goes next time).
      EXPECT_TRUE(visible == *setB);
    } else if (run.status == 1) {
      // Failed: one line, and the earlier set whole, unless the record is kept, as it says.
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
      if (run.err.find("record") == std::string::npos) {
        EXPECT_TRUE(visible == *setA) << run.err;
      }
    } else {
      EXPECT_EQ(run.status, 128 + SIGKILL) << run.err;
    }
    expectWholeAfterRecovery("out");
  }
}

TEST_F(CommitFaults, RecoveryFailedOrKilledAtEachCallLeavesOneWholeSet) {
  if (::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  const std::string out = dir->file("out");
  // A commit killed before its backups were made (at its first link) or midway through its
  // renames (the fourth: the record's, then three files'): the set is mixed, or not yet
  // touched, and the record says what to do.
  std::vector<std::pair<std::string, std::string>> faults;  // (the commit's kill, recovery's fault)
  for (const std::string killed : {"link:signal=SIGKILL:when=1", "rename:signal=SIGKILL:when=4"}) {
    for (const std::string fault :
         {"rename:error=EIO", "link:error=EIO", "unlink:error=EIO", "rename:signal=SIGKILL"}) {
      faults.emplace_back(killed, fault);  // kills: one call is enough
    }
  }
  for (const auto& [killed, fault] : faults) {
    for (int n = 1; n <= 5; ++n) {
      SCOPED_TRACE("killed at " + killed + ", then " + fault + " at recovery's call " + std::to_string(n));
      resetFolder(*setA, out);
      mirlune({"-i", "b.nii", "-o", "out"},
              {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-e", "inject=" + killed});
      ASSERT_TRUE(testing_support::fileExists(out + "/.mirlune-commit"));
      const Outcome recovery = mirlune(
          {"-i", "garbage.nii", "-o", "out"},
          {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-e", "inject=" + fault + ":when=" + std::to_string(n)});
      if (recovery.status == 1) {
        EXPECT_EQ(std::count(recovery.err.begin(), recovery.err.end(), '\n'), 1);
      }
      if (!testing_support::fileExists(out + "/.mirlune-commit")) {
        const FolderState visible = stateOf(out, false);
        EXPECT_TRUE(visible == *setA || visible == *setB) << recovery.err;
      }
      expectWholeAfterRecovery("out");
    }
  }
}

TEST_F(CommitFaults, PlantedRecordsAndNamesAreRefusedTouchingNothing) {
  // A shared folder where someone else left a record, or something that is not a file under
  // an output's name: the run refuses in one line naming it, and nothing changes.
  const std::string out = dir->file("out"), home = dir->file("home");
  const std::string body = "mirlune-commit 2\ncommit\nF\t../home/settings.sh\t.mirlune-AAAAAAAA-x.part\t1\t-\n";
  struct Case {
    const char* what;
    std::function<void()> plant;
    std::string said;
  };
  const Case cases[] = {
      {"a record naming a file outside the folder",
       [&] { writeFile(out + "/.mirlune-commit", body + "end\t1\t0000000000000000\n"); },
       ".mirlune-commit: not a record of an interrupted Mirlune commit of this set (it names \"../home/settings.sh\""},
      {"a record cut after its first entry",
       [&] {
         writeFile(out + "/.mirlune-commit",
                   "mirlune-commit 2\ncommit\nF\tmask.nii\t.mirlune-AAAAAAAA-mask.nii.part\t1\t-\n");
       },
       ".mirlune-commit: not a record of an interrupted Mirlune commit of this set (it is cut short)"},
      {"a record with the wrong checksum",
       [&] {
         writeFile(out + "/.mirlune-commit",
                   "mirlune-commit 2\ncommit\nA\tmask.nii\t.mirlune-AAAAAAAA-mask.nii.prev\n"
                   "end\t1\t0123456789abcdef\n");
       },
       ".mirlune-commit: not a record of an interrupted Mirlune commit of this set (its checksum does not match)"},
      {"a record that is a FIFO", [&] { ASSERT_EQ(::mkfifo((out + "/.mirlune-commit").c_str(), 0644), 0); },
       ".mirlune-commit: not a record of an interrupted Mirlune commit of this set (it is a FIFO)"},
      {"a record that is a link to /dev/zero",
       [&] { ASSERT_EQ(::symlink("/dev/zero", (out + "/.mirlune-commit").c_str()), 0); },
       ".mirlune-commit: not a record of an interrupted Mirlune commit of this set (it is a link)"},
      {"an output that is a FIFO", [&] { ASSERT_EQ(::mkfifo((out + "/disparite.nii").c_str(), 0644), 0); },
       "disparite.nii: cannot replace: it is a FIFO"},
      {"an output that is a link to a device",
       [&] { ASSERT_EQ(::symlink("/dev/null", (out + "/dispersion.nii").c_str()), 0); },
       "dispersion.nii: cannot replace: it is a link to a device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    resetFolder(*setA, out);
    resetFolder({{"settings.sh", "mine"}, {"precious.txt", "mine too"}}, home);
    std::remove((out + "/" + (c.said.substr(0, c.said.find(':')))).c_str());
    c.plant();
    struct stat before;
    ::lstat((out + "/" + c.said.substr(0, c.said.find(':'))).c_str(), &before);
    const Outcome run = mirlune({"-i", "b.nii", "-o", "out"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind(kProgram + ": out/" + c.said, 0), 0u) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(stateOf(home) == FolderState({{"precious.txt", "mine too"}, {"settings.sh", "mine"}}));
    FolderState left = stateOf(out, false);
    for (const auto& [name, bytes] : *setA) {
      if (c.said.rfind(name, 0) != 0) {
        EXPECT_EQ(left[name], bytes) << name;
      }
    }
    EXPECT_EQ(left.size(), setA->size());
    for (const std::string& name : testing_support::namesIn(out)) std::remove((out + "/" + name).c_str());
  }
}

TEST_F(CommitFaults, HardLinksRefusedStillReplaceTheSetWhole) {
  if (::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  const std::string out = dir->file("out");
  // Every link refused, as protected_hardlinks, vfat or SMB refuse them: the backups are renames.
  for (const std::string error : {"EPERM", "EXDEV", "EOPNOTSUPP", "EMLINK"}) {
    SCOPED_TRACE(error);
    resetFolder(*setA, out);
    const Outcome run = mirlune({"-i", "b.nii", "-o", "out"}, {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-e",
                                                               "inject=link:error=" + error});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(stateOf(out) == *setB);
  }
  // A colleague's set in a shared folder the kernel will not link from: for real, as another user.
  if (::geteuid() != 0) GTEST_SKIP() << "running another user's set needs root";
  resetFolder(*setA, out);
  ASSERT_EQ(std::system(("chmod 0777 '" + out + "' && chown -R nobody '" + out + "' && chmod 0644 '" + out +
                         "'/* && chmod 0755 " + dir->path())
                            .c_str()),
            0);
  ASSERT_EQ(std::system(("chmod 0644 " + dir->file("b.nii")).c_str()), 0);
  const Outcome colleague =
      mirlune({"-i", "b.nii", "-o", "out"}, {"/usr/bin/setpriv", "--reuid=daemon", "--regid=daemon", "--clear-groups"});
  EXPECT_EQ(colleague.status, 0) << colleague.err;
  EXPECT_TRUE(stateOf(out) == *setB);
  // Where the folder's sticky bit lets only owners move files, the run fails at once, before any work.
  resetFolder(*setA, out);
  ASSERT_EQ(std::system(("chmod 1777 '" + out + "' && chown -R nobody '" + out + "'").c_str()), 0);
  const Outcome sticky =
      mirlune({"-i", "b.nii", "-o", "out"}, {"/usr/bin/setpriv", "--reuid=daemon", "--regid=daemon", "--clear-groups"});
  EXPECT_EQ(sticky.status, 1);
  EXPECT_NE(sticky.err.find("cannot replace: it belongs to another user"), std::string::npos) << sticky.err;
  EXPECT_EQ(sticky.out, "");  // nothing read, nothing analysed
  EXPECT_TRUE(stateOf(out, false) == *setA);
}

TEST_F(CommitFaults, SetsAreReplacedWholeAndASignalDuringTheRenamesIsASuccess) {
  const std::string out = dir->file("out");
  // A run with sidecars, voisins and compression, then a plain one: only the plain set stays.
  resetFolder({}, out);
  ASSERT_EQ(mirlune({"-i", "a.nii", "-o", "out", "-sidecars", "-voisins", "-compress"}).status, 0);
  EXPECT_EQ(testing_support::namesIn(out).size(), 12u);
  ASSERT_EQ(mirlune({"-i", "b.nii", "-o", "out"}).status, 0);
  EXPECT_TRUE(stateOf(out) == *setB);
  if (::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  // A file system that keeps no locks: the run goes on, and says so.
  resetFolder(*setA, out);
  const Outcome unlocked = mirlune({"-i", "b.nii", "-o", "out"}, {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null",
                                                                  "-e", "inject=fcntl:error=ENOLCK"});
  EXPECT_EQ(unlocked.status, 0);
  EXPECT_EQ(unlocked.err,
            "Mirlune: warning: no lock could be had on out/.mirlune.lock (No locks available): a second "
            "run into these outputs would not be kept out\n");
  EXPECT_TRUE(stateOf(out) == *setB);
  // A real SIGINT while the files are renamed (strace holds the third rename two seconds):
  // the commit ends, and the run has succeeded; one before the renames: no output replaced.
  struct Moment {
    const char* held;
    int status;
    std::string err;
  };
  const Moment moments[] = {
      {"rename", 0, "Mirlune: warning: SIGINT came once the outputs were all written: they are complete\n"},
      {"fsync", 1, kProgram + ": interrupted by SIGINT; no output was replaced\n"}};
  for (const Moment& m : moments) {
    SCOPED_TRACE(m.held);
    resetFolder(*setA, out);
    testing_support::Process run(
        {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-e",
         std::string("inject=") + m.held + ":delay_enter=2000000:when=" + (m.status == 0 ? "3" : "1"), kProgram, "-i",
         "b.nii", "-o", "out"},
        dir->path(), dir->file("err"));
    // Wait for the held call: the record in place (the renames under way: it is the first),
    // or every output staged; the call is then held for two seconds. (Not an output's
    // content: one may be the same in both sets, and a slow build then signals too early.)
    auto reached = [&] {
      if (m.status == 0) return testing_support::fileExists(out + "/.mirlune-commit");
      int staged = 0;
      for (const std::string& name : testing_support::namesIn(out))
        staged += name.size() > 5 && name.substr(name.size() - 5) == ".part";
      return staged >= 5;
    };
    for (int tries = 0; tries < 200 && !reached(); ++tries) ::usleep(20000);
    ::usleep(200000);
    // To the program, strace's child: strace itself would only stop tracing.
    const std::string children =
        readFile("/proc/" + std::to_string(run.pid()) + "/task/" + std::to_string(run.pid()) + "/children");
    ASSERT_FALSE(children.empty());
    ::kill(std::stoi(children), SIGINT);
    for (std::string line; run.readLine(line);) {
    }
    EXPECT_EQ(run.wait(), m.status);
    // The program's one line (strace may add its own about the process it lost).
    EXPECT_EQ(readFile(dir->file("err")).substr(0, m.err.size()), m.err);
    EXPECT_TRUE(stateOf(out) == (m.status == 0 ? *setB : *setA));
  }
}
