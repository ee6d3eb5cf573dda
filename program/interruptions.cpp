#include "program/interruptions.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <csignal>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "imaging/run/pendingfile.h"
#include "program/outputs.h"

namespace mirlune {

namespace {

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

void writeAll(int fd, const std::string& text) {
  const char* at = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, at, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    at += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace

InterruptionGuard::InterruptionGuard(std::string program) : _program(std::move(program)) {
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  const sigset_t set = stopSignals();
  if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) throw std::runtime_error("cannot block signals");
  _signals = ::signalfd(-1, &set, SFD_CLOEXEC);
  _stop = ::eventfd(0, EFD_CLOEXEC);
  try {
    if (_signals < 0 || _stop < 0) throw std::runtime_error("no descriptor");
    _watcher = std::thread(&InterruptionGuard::watch, this);
  } catch (const std::exception&) {
    // No watcher (a thread or descriptor limit): the run goes on with the signals' usual effect.
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  }
}

InterruptionGuard::~InterruptionGuard() {
  const std::uint64_t one = 1;
  if (_watcher.joinable() && ::write(_stop, &one, sizeof one) == sizeof one) _watcher.join();
  if (_watcher.joinable()) _watcher.detach();
  if (_signals >= 0) ::close(_signals);
  if (_stop >= 0) ::close(_stop);
  // The signals stay blocked: the run is over, and one that comes now must not kill a
  // process whose outputs are complete.
}

void InterruptionGuard::watch() {
  pollfd fds[2] = {{_signals, POLLIN, 0}, {_stop, POLLIN, 0}};
  while (true) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    signalfd_siginfo info;
    _handling = true;
    if (!(fds[0].revents & POLLIN) || ::read(_signals, &info, sizeof info) != sizeof info) {
      _handling = false;
      continue;
    }

    // Holding the lock, no temporary can be made, renamed or left unlisted any more.
    std::lock_guard<std::mutex> guard(vexa::Temporaries::lock());
    const char* name = info.ssi_signo == SIGINT ? "SIGINT" : info.ssi_signo == SIGTERM ? "SIGTERM" : "SIGHUP";
    if (outputsCommitted()) {
      // Every output is in place: the run has succeeded, and finishes as it would have.
      std::lock_guard<std::mutex> late(_lateLock);
      _late = std::string(name) + " came once the outputs were all written: they are complete";
      _handling = false;
      return;
    }
    vexa::Temporaries::removeAllLocked();
    std::string line = ::isatty(2) ? "\r\033[K" : "";  // over a progress bar
    line += _program + ": interrupted by " + name + "; no output was replaced\n";
    writeAll(2, line);
    ::_exit(1);
  }
}

std::string InterruptionGuard::late() const {
  // A signal that came during the commit waits for the commit's lock before the watcher says
  // it: wait (a second at most) for one queued or in hand, so that it is said, not lost.
  for (int waited = 0; waited < 1000; ++waited) {
    {
      std::lock_guard<std::mutex> guard(_lateLock);
      if (!_late.empty()) return _late;  // said already: the watcher has ended, others wait on
    }
    pollfd queued = {_signals, POLLIN, 0};
    const bool pending = _signals >= 0 && ::poll(&queued, 1, 0) > 0 && (queued.revents & POLLIN);
    if (!pending && !_handling) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::lock_guard<std::mutex> guard(_lateLock);
  return _late;
}

}  // namespace mirlune
