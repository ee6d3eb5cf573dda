#include "imaging/run/pendingfile.h"
#include "imaging/run/failure.h"
#include "imaging/run/parallel.h"

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

/*!
 * data as one gzip member: the header gzip itself writes (no name, no time, Unix), the
 * raw deflate stream at level 6, the CRC and the length. Empty on a failure of zlib's.
 */
std::vector<char> gzipMember(const char* data, std::size_t size) {
  z_stream stream{};
  if (deflateInit2(&stream, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  const unsigned char header[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
  std::vector<char> out(sizeof header + deflateBound(&stream, static_cast<uLong>(size)) + 8);
  std::memcpy(out.data(), header, sizeof header);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
  stream.avail_in = static_cast<uInt>(size);
  stream.next_out = reinterpret_cast<Bytef*>(out.data() + sizeof header);
  stream.avail_out = static_cast<uInt>(out.size() - sizeof header - 8);
  const int status = deflate(&stream, Z_FINISH);
  const std::size_t end = sizeof header + stream.total_out;
  deflateEnd(&stream);
  if (status != Z_STREAM_END) return {};
  const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size));
  const std::uint32_t trailer[2] = {static_cast<std::uint32_t>(crc), static_cast<std::uint32_t>(size)};
  for (int word = 0; word < 2; ++word)
    for (int byte = 0; byte < 4; ++byte) out[end + 4 * word + byte] = static_cast<char>(trailer[word] >> (8 * byte));
  out.resize(end + 8);
  return out;
}

std::string readUpTo(int fd, std::size_t most) {
  std::string text(most, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd, &text[got], text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
  return text;
}

void syncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// ---------------------------------------------------------------- PendingFile

PendingFile::PendingFile(const std::string& finalName, bool compress, int threads)
    : _final(finalName), _compress(compress), _threads(std::max(1, threads)) {
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
}

PendingFile::~PendingFile() {
  if (!_done) discard();
}

void PendingFile::write(const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  if (!_compress) {
    writeAll(bytes, size);
    return;
  }
  _streamed += static_cast<std::int64_t>(size);
  // Chunks start at multiples of kGzipChunk of the stream, however the writes split it:
  // the start of one is kept until it is whole; whole ones go from the caller's memory.
  while (size > 0) {
    if (!_partial.empty() || size < kGzipChunk) {
      const std::size_t take = std::min(size, kGzipChunk - _partial.size());
      _partial.insert(_partial.end(), bytes, bytes + take);
      bytes += take;
      size -= take;
      if (_partial.size() == kGzipChunk) {
        const char* chunk = _partial.data();
        writeMembers(&chunk, &kGzipChunk, 1);
        _partial.clear();
      }
      continue;
    }
    const int count =
        static_cast<int>(std::min<std::size_t>(size / kGzipChunk, 4 * static_cast<std::size_t>(_threads)));
    std::vector<const char*> chunks(count);
    for (int c = 0; c < count; ++c) chunks[c] = bytes + c * kGzipChunk;
    const std::vector<std::size_t> sizes(count, kGzipChunk);
    writeMembers(chunks.data(), sizes.data(), count);
    bytes += count * kGzipChunk;
    size -= count * kGzipChunk;
  }
}

void PendingFile::writeMembers(const char* const* chunks, const std::size_t* sizes, int count) {
  std::vector<std::vector<char>> members(count);
  norbe::runTasks(count, std::min(count, _threads), [&](int, int c) {
    members[c] = gzipMember(chunks[c], sizes[c]);
    return 0LL;
  });
  for (const std::vector<char>& member : members) {
    if (member.empty()) abandon("compression failed");
    writeAll(member.data(), member.size());
  }
}

void PendingFile::writeAll(const char* bytes, std::size_t size) {
  while (size > 0) {
    const std::size_t piece = std::min<std::size_t>(size, 1 << 24);
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
    // The rest; or, for an empty stream, one empty member: a gzip file has one at least.
    const char* chunk = _partial.data();
    const std::size_t size = _partial.size();
    if (size > 0 || _streamed == 0) writeMembers(&chunk, &size, 1);
    _partial.clear();
  }
  struct stat info;
  if (::fstat(_fd, &info) != 0 || (_compress ? _streamed : info.st_size) != expectedSize) abandon("short write");
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

void PendingFile::abandon(const std::string& why) {
  const int saved = errno;
  discard();
  errno = saved;
  failFile(_final, "cannot write: " + why);
}

void PendingFile::discard() {
  if (_fd >= 0) ::close(_fd);
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
