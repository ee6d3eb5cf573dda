// The one thread helper: every task once, failures passed on, threads that cannot start,
// and the number of CPUs a process may use.

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/run/parallel.h"
#include "tests/support/test_support.h"

using norbe::runTasks;

TEST(Parallel, EveryTaskRunsOnceAndProgressEndsComplete) {
  for (int workers : {1, 2, 7}) {
    std::vector<std::atomic<int>> runs(50);
    std::vector<long long> reports;
    runTasks(
        50, workers,
        [&](int worker, int task) {
          EXPECT_LT(worker, workers);
          ++runs[task];
          return 2LL;
        },
        [&](long long done, long long total) { reports.push_back(done * 1000 + total); }, 100);
    for (auto& count : runs) EXPECT_EQ(count, 1);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), 100 * 1000 + 100);
  }
}

TEST(Parallel, AWorkersExceptionReachesTheCallerAfterEveryThreadEnds) {
  std::atomic<int> started{0}, finished{0};
  try {
    runTasks(40, 4, [&](int, int task) {
      ++started;
      if (task == 3) throw std::runtime_error("task 3 failed");
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      ++finished;
      return 0LL;
    });
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "task 3 failed");
  }
  // Every task that started has ended by now (the threads are joined), and the failure
  // stopped the handing out of new ones.
  EXPECT_EQ(finished + 1, started.load());
  EXPECT_LT(started, 40);
}

TEST(Parallel, ThreadsThatCannotStartLeaveTheWorkToTheOthers) {
#if MIRLUNE_ADDRESS_SANITIZER
  GTEST_SKIP() << "the address sanitizer's own mappings cannot live under an address-space limit";
#endif
  // A child process under an address-space limit too tight for another thread's stack.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::vector<int> runs(64, 0);
    std::vector<char> workersSeen(8, 0);
    std::ifstream status("/proc/self/status");
    long long sizeKb = 0;
    for (std::string word; status >> word;)
      if (word == "VmSize:") status >> sizeKb;
    const rlimit limit{static_cast<rlim_t>((sizeKb + 4096) * 1024), static_cast<rlim_t>((sizeKb + 4096) * 1024)};
    ::setrlimit(RLIMIT_AS, &limit);
    try {
      runTasks(64, 8, [&](int worker, int task) {
        ++runs[task];  // workers never share a task
        workersSeen[worker] = 1;
        return 0LL;
      });
    } catch (...) {
      ::_exit(2);
    }
    for (int count : runs)
      if (count != 1) ::_exit(3);
    int workers = 0;
    for (char seen : workersSeen) workers += seen;
    ::_exit(workers < 8 ? 0 : 4);  // 4: every thread started, the limit proved nothing
  }
  int raw = 0;
  ::waitpid(child, &raw, 0);
  ASSERT_TRUE(WIFEXITED(raw)) << "ended by signal " << WTERMSIG(raw);
  EXPECT_EQ(WEXITSTATUS(raw), 0);
}

TEST(Parallel, UsableCpusFollowAffinityAndCgroupQuotas) {
  testing_support::TempDir dir;
  const int affinity = norbe::usableCpus(dir.file("none"), dir.file("none"));
  EXPECT_GE(affinity, 1);
  auto folder = [&](const std::string& path) { ::mkdir(dir.file(path).c_str(), 0755); };
  // cgroup v2: a quota of 1.5 CPUs on the parent of the process's own group.
  folder("v2");
  folder("v2/batch");
  folder("v2/batch/job");
  testing_support::writeFile(dir.file("v2/batch/cpu.max"), "150000 100000\n");
  testing_support::writeFile(dir.file("v2/batch/job/cpu.max"), "max 100000\n");
  testing_support::writeFile(dir.file("self-v2"), "0::/batch/job\n");
  EXPECT_EQ(norbe::usableCpus(dir.file("v2"), dir.file("self-v2")), std::min(affinity, 2));
  // cgroup v1: one CPU on the group itself; an unlimited group changes nothing.
  folder("v1");
  folder("v1/cpu,cpuacct");
  folder("v1/cpu,cpuacct/slot");
  testing_support::writeFile(dir.file("v1/cpu,cpuacct/slot/cpu.cfs_quota_us"), "100000\n");
  testing_support::writeFile(dir.file("v1/cpu,cpuacct/slot/cpu.cfs_period_us"), "100000\n");
  testing_support::writeFile(dir.file("self-v1"), "4:memory:/x\n3:cpu,cpuacct:/slot\n");
  EXPECT_EQ(norbe::usableCpus(dir.file("v1"), dir.file("self-v1")), 1);
  testing_support::writeFile(dir.file("v1/cpu,cpuacct/slot/cpu.cfs_quota_us"), "-1\n");
  EXPECT_EQ(norbe::usableCpus(dir.file("v1"), dir.file("self-v1")), affinity);
}
