#include "imaging/run/parallel.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <exception>
#include <fstream>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

namespace norbe {

namespace {

int affinityCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return count;
  }
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

bool readWords(const std::string& path, std::vector<std::string>& words) {
  std::ifstream in(path);
  if (!in) return false;
  words.clear();
  for (std::string word; in >> word;) words.push_back(word);
  return true;
}

// CPUs a quota of quota microseconds per period allows, rounded up; 0 when unlimited.
int quotaCpus(double quota, double period) {
  if (!(quota > 0) || !(period > 0)) return 0;
  return std::max(1, static_cast<int>(std::ceil(quota / period - 1e-9)));
}

// The tightest quota on group or any of its ancestors under root, 0 when there is none.
int tightestQuota(const std::string& root, std::string group, bool unified) {
  int best = 0;
  while (true) {
    std::vector<std::string> words;
    const std::string dir = root + (group == "/" ? "" : group);
    int cpus = 0;
    if (unified) {
      if (readWords(dir + "/cpu.max", words) && words.size() == 2 && words[0] != "max") {
        cpus = quotaCpus(std::atof(words[0].c_str()), std::atof(words[1].c_str()));
      }
    } else {
      std::vector<std::string> period;
      if (readWords(dir + "/cpu.cfs_quota_us", words) && readWords(dir + "/cpu.cfs_period_us", period) &&
          words.size() == 1 && period.size() == 1) {
        cpus = quotaCpus(std::atof(words[0].c_str()), std::atof(period[0].c_str()));
      }
    }
    if (cpus > 0) best = best == 0 ? cpus : std::min(best, cpus);
    if (group.empty() || group == "/") break;
    const std::size_t slash = group.find_last_of('/');
    group = slash == 0 || slash == std::string::npos ? "/" : group.substr(0, slash);
  }
  return best;
}

int cgroupCpus(const std::string& root, const std::string& selfCgroup) {
  std::ifstream in(selfCgroup);
  int best = 0;
  for (std::string line; std::getline(in, line);) {
    // "hierarchy:controllers:path"; v2 has hierarchy 0 and no controllers.
    const std::size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string group = line.substr(second + 1);
    int cpus = 0;
    if (controllers.empty()) {
      cpus = tightestQuota(root, group, true);
      if (cpus == 0) cpus = tightestQuota(root + "/unified", group, true);
    } else {
      std::stringstream list(controllers);
      for (std::string controller; std::getline(list, controller, ',');) {
        if (controller != "cpu") continue;
        std::string hierarchy = root;
        hierarchy += '/';
        hierarchy += controllers;
        cpus = tightestQuota(hierarchy, group, false);
        if (cpus == 0) cpus = tightestQuota(root + "/cpu", group, false);
      }
    }
    if (cpus > 0) best = best == 0 ? cpus : std::min(best, cpus);
  }
  return best;
}

}  // namespace

int usableCpus(const std::string& cgroupRoot, const std::string& selfCgroup) {
  const int affinity = affinityCpus();
  const int quota = cgroupCpus(cgroupRoot, selfCgroup);
  return quota > 0 ? std::min(affinity, quota) : affinity;
}

int workerThreads(int asked) { return asked > 0 ? asked : usableCpus(); }

void runTasks(int count, int workers, const Task& work, const Progress& progress, long long units) {
  if (count <= 0) {
    if (progress) progress(units, units);
    return;
  }
  workers = std::max(1, std::min(workers, count));
  std::atomic<int> next{0};
  std::atomic<long long> done{0};
  std::atomic<bool> failed{false};
  std::exception_ptr failure;
  std::mutex failureLock;
  auto loop = [&](int worker, bool reporting) {
    using Clock = std::chrono::steady_clock;
    auto lastReport = Clock::now();
    try {
      while (!failed.load(std::memory_order_relaxed)) {
        const int task = next.fetch_add(1);
        if (task >= count) break;
        done.fetch_add(work(worker, task), std::memory_order_relaxed);
        if (reporting && Clock::now() - lastReport >= std::chrono::milliseconds(200)) {
          progress(done.load(), units);
          lastReport = Clock::now();
        }
      }
    } catch (...) {
      std::lock_guard<std::mutex> lock(failureLock);
      if (!failure) failure = std::current_exception();
      failed = true;
    }
  };

  std::vector<std::thread> pool;
  pool.reserve(static_cast<std::size_t>(workers));
  for (int w = 1; w < workers; ++w) {
    try {
      pool.emplace_back([&loop, w] { loop(w, false); });
    } catch (const std::exception&) {  // std::system_error, or std::bad_alloc for its state
      break;                           // go on with the workers already running
    }
  }
  loop(0, static_cast<bool>(progress));
  for (auto& thread : pool) thread.join();
  if (failure) std::rethrow_exception(failure);
  if (progress) progress(units, units);
}

}  // namespace norbe
