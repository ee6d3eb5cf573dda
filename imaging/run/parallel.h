#pragma once
// The project's one way of running work on several threads, and how many to use.

#include <functional>
#include <string>

namespace norbe {

/*!
 * CPUs this process may run on: its affinity mask, capped by a CPU quota of its control
 * group (cgroup v2 "cpu.max" or v1 "cpu.cfs_quota_us", on its own group or an ancestor).
 * Never below 1. cgroupRoot is where the control groups are mounted.
 */
int usableCpus(const std::string& cgroupRoot = "/sys/fs/cgroup", const std::string& selfCgroup = "/proc/self/cgroup");

//! asked when above 0, otherwise usableCpus().
int workerThreads(int asked);

//! Called now and then on the calling thread with (units done, units in all).
using Progress = std::function<void(long long, long long)>;

/*!
 * One task of a parallel run: work(worker, task) returns the units of work it did, for
 * the progress report. worker is below the number of workers asked for, so that per-worker
 * scratch can be indexed by it.
 */
using Task = std::function<long long(int worker, int task)>;

/*!
 * Runs work for tasks 0 ... count - 1 on up to workers threads, the calling thread being
 * worker 0. Each task runs exactly once; which worker runs it is not fixed, so results must
 * not depend on it. A thread that cannot be started (a process or memory limit) is not an
 * error: the run goes on with the workers it has. The first exception a task throws stops
 * the handing out of tasks and is rethrown here once every started thread has been joined.
 * progress, when set, is called about five times a second and once at the end.
 */
void runTasks(int count, int workers, const Task& work, const Progress& progress = {}, long long units = 0);

}  // namespace norbe
