// Files under construction: the process's umask left alone, and whole sets committed or
// restored through any failure and any kill.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

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
