#pragma once
// How a run ends when it is told to stop.

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace mirlune {

/*!
 * While it lives, SIGINT, SIGTERM and SIGHUP end the run cleanly: the run's temporaries
 * are removed, one line goes to standard error and the status is 1; once every output is in
 * place, a signal no longer ends the run (late() says it came). The signals are taken
 * by a thread of their own, so that cleaning up is ordinary code rather than a handler's.
 * A file-size limit (SIGXFSZ) and a closed output pipe (SIGPIPE) become ordinary write
 * errors. Build it before any other thread starts: threads inherit its signal mask. The
 * signals stay blocked after it goes, for the few instructions left to the process.
 */
class InterruptionGuard {
 public:
  explicit InterruptionGuard(std::string program);
  ~InterruptionGuard();
  InterruptionGuard(const InterruptionGuard&) = delete;
  InterruptionGuard& operator=(const InterruptionGuard&) = delete;

  //! Empty, or what to say of a signal that came once the outputs were all in place: the
  //! run has then succeeded, and ends as it would have.
  std::string late() const;

 private:
  void watch();

  std::string _program;
  mutable std::mutex _lateLock;
  std::string _late;
  std::atomic<bool> _handling{false};  // the watcher holds a signal it has not yet said
  int _signals = -1;                   // signalfd of the three signals
  int _stop = -1;                      // eventfd that ends the watch
  std::thread _watcher;
};

}  // namespace mirlune
