// Files under construction: the process's umask left alone, and whole sets committed or
// restored through any failure and any kill.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "imaging/run/commit.h"
#include "imaging/run/pendingfile.h"
#include "tests/support/test_support.h"

TEST(PendingFiles, LeaveTheUmaskOfOtherThreadsAlone) {
  // Files another thread creates meanwhile keep the user's umask: the writer never sets it.
  testing_support::TempDir dir;
  const mode_t saved = ::umask(022);
  std::atomic<bool> stop{false};
  std::atomic<int> unmasked{0};
  std::thread other([&] {
    const std::string path = dir.file("other");
    while (!stop) {
      const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
      struct stat info;
      if (fd >= 0 && ::fstat(fd, &info) == 0 && (info.st_mode & 0777) != 0644) ++unmasked;
      if (fd >= 0) ::close(fd);
      ::unlink(path.c_str());
    }
  });
  for (int i = 0; i < 5000; ++i) {
    vexa::PendingFile file(dir.file("x.nii"), false);  // removed again when it goes
  }
  stop = true;
  other.join();
  ::umask(saved);
  EXPECT_EQ(unmasked, 0);
}

namespace {

using testing_support::fileExists;
using testing_support::readFile;
using testing_support::writeFile;

const char* const kNames[] = {"mask.nii", "ratFiltre.nii", "disparite.nii", "dispersion.nii", "dispersion2.nii"};

// A staged set of five files, each holding "new NAME".
std::vector<vexa::StagedFile> stagedSet(const testing_support::TempDir& dir) {
  std::vector<vexa::StagedFile> files;
  for (const char* name : kNames) {
    vexa::PendingFile file(dir.file(name), false);
    const std::string text = std::string("new ") + name;
    file.write(text.data(), text.size());
    files.emplace_back(file.staged(static_cast<std::int64_t>(text.size())), dir.file(name));
  }
  return files;
}

//! The set of kNames in dir, which may also hold a voisins map.
vexa::SetPlace placeOf(const testing_support::TempDir& dir) {
  vexa::SetPlace place;
  place.folder = dir.path();
  place.names.assign(std::begin(kNames), std::end(kNames));
  place.names.emplace_back("voisins.nii");
  return place;
}

void writeEarlierSet(const testing_support::TempDir& dir) {
  for (const char* name : kNames) writeFile(dir.file(name), std::string("old ") + name);
}

// The folder's names other than the set's own: what a commit must never leave behind.
std::vector<std::string> strayNames(const testing_support::TempDir& dir) {
  std::vector<std::string> stray;
  for (const std::string& name : testing_support::namesIn(dir.path())) {
    if (std::find(std::begin(kNames), std::end(kNames), name) == std::end(kNames)) stray.push_back(name);
  }
  return stray;
}

void expectSet(const testing_support::TempDir& dir, const std::string& which) {
  for (const char* name : kNames) EXPECT_EQ(readFile(dir.file(name)), which + " " + name) << name;
  EXPECT_TRUE(strayNames(dir).empty()) << strayNames(dir).front();
}

}  // namespace

TEST(CommitSet, AFolderInTheWayOfAnyNameLeavesTheEarlierSet) {
  for (int k = 0; k < 5; ++k) {
    SCOPED_TRACE(kNames[k]);
    testing_support::TempDir dir;
    writeEarlierSet(dir);
    std::remove(dir.file(kNames[k]).c_str());
    ASSERT_EQ(::mkdir(dir.file(kNames[k]).c_str(), 0755), 0);
    writeFile(dir.file(kNames[k]) + "/inside", "x");
    {
      std::vector<vexa::StagedFile> files = stagedSet(dir);
      EXPECT_THROW(vexa::commitSet(files, placeOf(dir)), std::runtime_error);
    }
    for (int j = 0; j < 5; ++j) {
      if (j != k) {
        EXPECT_EQ(readFile(dir.file(kNames[j])), std::string("old ") + kNames[j]);
      }
    }
    EXPECT_EQ(strayNames(dir), std::vector<std::string>{});
  }
}

TEST(CommitSet, ARenameThatFailsMidwayRestoresTheEarlierSet) {
  for (int k = 1; k < 5; ++k) {
    SCOPED_TRACE(kNames[k]);
    testing_support::TempDir dir;
    writeEarlierSet(dir);
    std::remove(dir.file(kNames[4]).c_str());  // one file of the set is new
    {
      std::vector<vexa::StagedFile> files = stagedSet(dir);
      // Before the k-th rename its temporary goes: the rename fails after k have been made.
      const std::string doomed = files[k].temporaryName();
      EXPECT_THROW(vexa::commitSet(files, placeOf(dir), nullptr, 1,
                                   [&](int done) {
                                     if (done == k - 1) std::remove(doomed.c_str());
                                   }),
                   std::runtime_error);
    }
    for (int j = 0; j < 4; ++j) EXPECT_EQ(readFile(dir.file(kNames[j])), std::string("old ") + kNames[j]);
    EXPECT_FALSE(fileExists(dir.file(kNames[4])));
    EXPECT_EQ(strayNames(dir), std::vector<std::string>{});
  }
}

TEST(CommitSet, AKilledCommitIsCompletedByTheNextRunIntoTheFolder) {
  for (int k = 0; k < 5; ++k) {
    SCOPED_TRACE("killed after rename " + std::to_string(k));
    testing_support::TempDir dir;
    writeEarlierSet(dir);
    const pid_t child = ::fork();
    if (child == 0) {
      std::vector<vexa::StagedFile> files = stagedSet(dir);
      vexa::commitSet(files, placeOf(dir), nullptr, 1, [&](int done) {
        if (done == k) ::raise(SIGKILL);
      });
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_TRUE(fileExists(dir.file(".mirlune-commit")));
    EXPECT_EQ(vexa::recoverSet(placeOf(dir)), vexa::Recovery::Completed);
    expectSet(dir, "new");
  }
}

TEST(CommitSet, RecoveryRemovesWhatInterruptedRunsLeftAndNothingElse) {
  testing_support::TempDir dir;
  writeEarlierSet(dir);
  for (const char* left : {".mirlune-a1B2c3D4-ratFiltre.nii.part", ".mirlune-zzzzzzzz-disparite.nii.part",
                           ".mirlune-12345678-mask.nii.prev", ".mirlune-commit.QwErTy12.part"}) {
    writeFile(dir.file(left), "left over");
  }
  // Names a user may choose, of the forms earlier versions swept, or of ours for a file
  // that is none of the set's: never touched.
  const std::vector<std::string> theirs = {".mirlune-a1B2c3D4-notes.txt.part", "T1w.nii.prev-backup",
                                           "mask.nii.prev-123456", "notes.json.part-2024v1"};
  for (const std::string& name : theirs) writeFile(dir.file(name), "the user's");
  EXPECT_EQ(vexa::recoverSet(placeOf(dir)), vexa::Recovery::Nothing);
  std::vector<std::string> left = strayNames(dir);
  std::sort(left.begin(), left.end());
  std::vector<std::string> expected = theirs;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected);
  for (const std::string& name : theirs) std::remove(dir.file(name).c_str());
  expectSet(dir, "old");
}
