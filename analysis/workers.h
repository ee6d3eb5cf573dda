#pragma once
// A small pool: tasks handed out one at a time to a fixed number of threads.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "analysis/stages.h"

namespace mirlune {

inline int workerCount(int asked, int tasks) { return std::max(1, std::min(workerThreads(asked), tasks)); }

/*!
 * Runs work(worker, task) for tasks 0 ... count-1 on workers threads; each call returns
 * how many voxels it did, for the progress report. The first failure stops the rest.
 */
template <class Work>
void runTasks(int count, int workers, int voxels, const Progress& progress, Work work) {
  std::atomic<int> next{0};
  std::atomic<int> done{0};
  std::atomic<bool> failed{false};
  std::exception_ptr failure;
  std::mutex failureLock;
  auto loop = [&](int worker) {
    try {
      while (!failed.load(std::memory_order_relaxed)) {
        const int task = next.fetch_add(1);
        if (task >= count) break;
        done.fetch_add(work(worker, task), std::memory_order_relaxed);
      }
    } catch (...) {
      std::lock_guard<std::mutex> lock(failureLock);
      if (!failure) failure = std::current_exception();
      failed = true;
    }
  };
  if (workers == 1 && !progress) {
    loop(0);
  } else {
    std::vector<std::thread> pool;
    for (int w = 0; w < workers; ++w) pool.emplace_back(loop, w);
    if (progress) {
      while (done.load() < voxels && !failed.load() && next.load() < count + workers) {
        progress(done.load(), voxels);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
    }
    for (auto& thread : pool) thread.join();
  }
  if (failure) std::rethrow_exception(failure);
  if (progress) progress(voxels, voxels);
}

}  // namespace mirlune
