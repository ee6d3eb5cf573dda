#pragma once
// Files under construction: written under a temporary name beside their final one, and
// known to a process-wide list so that a failing or interrupted run can remove them.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <zlib.h>

namespace vexa {

/*!
 * The temporaries of this process. Creating, renaming and removing one happen under
 * lock(), so whoever holds it sees a list that matches the disk.
 */
class Temporaries {
 public:
  static std::mutex& lock();
  //! Removes every listed file; the caller holds lock(). Returns how many were removed.
  static int removeAllLocked();
  //! Paths listed now (a copy).
  static std::vector<std::string> list();
  //! Lists, or forgets, a file that an interruption must remove (a lock's, say).
  static void add(const std::string& path);
  static void forget(const std::string& path);

 private:
  friend class PendingFile;
  friend class StagedFile;
  static void addLocked(const std::string& path);
  static void forgetLocked(const std::string& path);
};

/*!
 * A file written to a hidden temporary name in the folder of finalName
 * (temporaryNameFor). Compressed, it is gzip: one member per kGzipChunk bytes of what is
 * written, each deflated on its own, threads of them at once, so that the bytes are the
 * same whatever the number of threads (readers take the members as one stream). commit() checks its
 * size and renames it into place; staged() instead leaves the complete file under its
 * temporary name for a later rename (StagedFile). Destroyed without either, it removes
 * the temporary.
 */
constexpr std::size_t kGzipChunk = std::size_t{1} << 20;

class PendingFile {
 public:
  PendingFile(const std::string& finalName, bool compress, int threads = 1);
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  void write(const void* data, std::size_t size);
  //! Writes at a given offset of an uncompressed file; safe from several threads at once.
  void writeAt(std::int64_t offset, const void* data, std::size_t size) const;
  bool compressed() const { return _compress; }

  //! Closes, checks the size on disk where it can, and moves the file into place.
  void commit(std::int64_t expectedSize);
  //! Closes and checks the file, and hands its temporary name on (StagedFile flushes it).
  std::string staged(std::int64_t expectedSize);

 private:
  void close(std::int64_t expectedSize);
  void writeAll(const char* bytes, std::size_t size);
  //! Deflates count chunks of kGzipChunk bytes (the last may be shorter) as gzip members, in order.
  void writeMembers(const char* const* chunks, const std::size_t* sizes, int count);
  [[noreturn]] void abandon(const std::string& why);
  void discard();

  std::string _final;
  std::string _temporary;
  bool _compress;
  int _fd = -1;
  int _threads;
  std::vector<char> _partial;  //!< the start of a chunk, compressed
  std::int64_t _streamed = 0;  //!< bytes written, before compression
  bool _done = false;
};

/*!
 * A complete file waiting under a temporary name to replace finalName. Files of one set
 * are renamed together by commitSet (commit.h); a StagedFile destroyed before that removes
 * its file.
 */
class StagedFile {
 public:
  StagedFile(std::string temporary, std::string finalName)
      : _temporary(std::move(temporary)), _final(std::move(finalName)) {}
  StagedFile(StagedFile&& other) noexcept;
  StagedFile& operator=(StagedFile&&) = delete;
  StagedFile(const StagedFile&) = delete;
  ~StagedFile();

  const std::string& finalName() const { return _final; }
  const std::string& temporaryName() const { return _temporary; }

  /*!
   * Forgets the temporary: it has been renamed into place or removed (commit.h). The
   * caller holds Temporaries::lock().
   */
  void releaseLocked();

 private:
  std::string _temporary;
  std::string _final;
};

//! Flushes a folder's entries (renames into it) to disk; errors are ignored where the system cannot.
void syncFolder(const std::string& folder);

//! The process's umask, as it was when the program started: what new files' modes follow.
unsigned processUmask();

//! Eight random letters and digits: what makes this run's hidden names its own.
std::string randomLabel();

//! The hidden name of a file under construction for finalName, beside it: .mirlune-<label>-<name>.part.
std::string temporaryNameFor(const std::string& finalName);

//! The folder part of a path ("." when it has none).
std::string folderOf(const std::string& path);

//! What fd holds from its offset on, at most `most` bytes (a read cut by a signal goes on);
//! the caller closes fd.
std::string readUpTo(int fd, std::size_t most);

}  // namespace vexa
