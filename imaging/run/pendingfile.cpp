#include "imaging/run/pendingfile.h"
#include "imaging/run/failure.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>

namespace vexa {

namespace {

std::vector<std::string>& registry() {
  static std::vector<std::string> paths;
  return paths;
}

/*
 * The process's umask, read once before main, while the process has one thread: setting
 * it to read it back, later, would let another thread create a file meanwhile with no
 * mask at all. The kernel tells it without changing it (Umask in /proc/self/status).
 */
mode_t readUmask() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status) {
    char line[256];
    unsigned value = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, status)) found = std::sscanf(line, "Umask: %o", &value) == 1;
    std::fclose(status);
    if (found) return static_cast<mode_t>(value);
  }
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

const mode_t gUmask = readUmask();

}  // namespace

std::mutex& Temporaries::lock() {
  static std::mutex mutex;
  return mutex;
}

void Temporaries::addLocked(const std::string& path) { registry().push_back(path); }

void Temporaries::forgetLocked(const std::string& path) {
  auto& paths = registry();
  paths.erase(std::remove(paths.begin(), paths.end(), path), paths.end());
}

int Temporaries::removeAllLocked() {
  int removed = 0;
  for (const std::string& path : registry()) removed += ::unlink(path.c_str()) == 0;
  registry().clear();
  return removed;
}

void Temporaries::add(const std::string& path) {
  std::lock_guard<std::mutex> guard(lock());
  addLocked(path);
}

void Temporaries::forget(const std::string& path) {
  std::lock_guard<std::mutex> guard(lock());
  forgetLocked(path);
}

std::vector<std::string> Temporaries::list() {
  std::lock_guard<std::mutex> guard(lock());
  return registry();
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

unsigned processUmask() { return gUmask; }

std::string randomLabel() {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::mutex mutex;
  static std::mt19937_64 random(std::random_device{}() ^ (static_cast<std::uint64_t>(::getpid()) << 32));
  std::lock_guard<std::mutex> guard(mutex);
  std::string label;
  for (int i = 0; i < 8; ++i) label += kLetters[random() % (sizeof kLetters - 1)];
  return label;
}

std::string temporaryNameFor(const std::string& finalName) {
  const std::size_t slash = finalName.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "" : finalName.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? finalName : finalName.substr(slash + 1);
  return folder + ".mirlune-" + randomLabel() + "-" + name + ".part";
}

void syncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// ---------------------------------------------------------------- PendingFile

PendingFile::PendingFile(const std::string& finalName, bool compress) : _final(finalName), _compress(compress) {
  {
    // Made and listed in one step, so that no interruption finds it unlisted.
    std::lock_guard<std::mutex> guard(Temporaries::lock());
    do {
      _temporary = temporaryNameFor(finalName);
      _fd = ::open(_temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (_fd < 0 && errno == EEXIST);
    if (_fd >= 0) Temporaries::addLocked(_temporary);
  }
  if (_fd < 0) failFile(_final, std::string("cannot write: ") + std::strerror(errno));
  ::fchmod(_fd, 0666 & ~gUmask);
  if (_compress) {
    _gz = ::gzdopen(_fd, "wb6");
    if (!_gz) abandon("cannot start compression");
    _fd = -1;  // owned by the gz stream now
  }
}

PendingFile::~PendingFile() {
  if (!_done) discard();
}

void PendingFile::write(const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const std::size_t piece = std::min<std::size_t>(size, 1 << 24);
    if (_compress) {
      if (::gzwrite(_gz, bytes, static_cast<unsigned>(piece)) != static_cast<int>(piece)) abandon(gzMessage());
      bytes += piece;
      size -= piece;
      continue;
    }
    const ssize_t written = ::write(_fd, bytes, piece);
    if (written <= 0) {
      if (written < 0 && errno == EINTR) continue;
      abandon(std::strerror(written < 0 ? errno : ENOSPC));
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
}

void PendingFile::writeAt(std::int64_t offset, const void* data, std::size_t size) const {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::pwrite(_fd, bytes, std::min<std::size_t>(size, 1 << 24), static_cast<off_t>(offset));
    if (written <= 0) {
      if (written < 0 && errno == EINTR) continue;
      failFile(_final, std::string("cannot write: ") + std::strerror(written < 0 ? errno : ENOSPC));
    }
    bytes += written;
    offset += written;
    size -= static_cast<std::size_t>(written);
  }
}

void PendingFile::close(std::int64_t expectedSize) {
  if (_compress) {
    const int status = ::gzclose(_gz);  // closes the descriptor too
    _gz = nullptr;
    if (status != Z_OK) abandon("error while finishing the compressed file");
    return;
  }
  struct stat info;
  if (::fstat(_fd, &info) != 0 || info.st_size != expectedSize) abandon("short write");
  const int status = ::close(_fd);
  _fd = -1;
  if (status != 0) abandon(std::strerror(errno));
}

void PendingFile::commit(std::int64_t expectedSize) {
  close(expectedSize);
  std::lock_guard<std::mutex> guard(Temporaries::lock());
  if (::rename(_temporary.c_str(), _final.c_str()) != 0) {
    const int saved = errno;
    ::unlink(_temporary.c_str());
    Temporaries::forgetLocked(_temporary);
    _done = true;
    failFile(_final, std::string("cannot write: ") + std::strerror(saved));
  }
  Temporaries::forgetLocked(_temporary);
  _done = true;
}

std::string PendingFile::staged(std::int64_t expectedSize) {
  close(expectedSize);
  _done = true;  // the StagedFile made from the name owns the temporary now
  return _temporary;
}

std::string PendingFile::gzMessage() {
  int code = 0;
  const char* message = ::gzerror(_gz, &code);
  if (code == Z_ERRNO) return std::strerror(errno);
  return message ? message : "compression error";
}

void PendingFile::abandon(const std::string& why) {
  const int saved = errno;
  discard();
  errno = saved;
  failFile(_final, "cannot write: " + why);
}

void PendingFile::discard() {
  if (_gz) ::gzclose(_gz);
  if (_fd >= 0) ::close(_fd);
  _gz = nullptr;
  _fd = -1;
  std::lock_guard<std::mutex> guard(Temporaries::lock());
  ::unlink(_temporary.c_str());
  Temporaries::forgetLocked(_temporary);
  _done = true;
}

// ---------------------------------------------------------------- StagedFile

StagedFile::StagedFile(StagedFile&& other) noexcept
    : _temporary(std::move(other._temporary)), _final(std::move(other._final)) {
  other._temporary.clear();
}

StagedFile::~StagedFile() {
  if (_temporary.empty()) return;
  std::lock_guard<std::mutex> guard(Temporaries::lock());
  ::unlink(_temporary.c_str());
  Temporaries::forgetLocked(_temporary);
}

void StagedFile::releaseLocked() {
  Temporaries::forgetLocked(_temporary);
  _temporary.clear();
}

}  // namespace vexa
