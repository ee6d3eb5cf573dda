#pragma once
// A lock of the kernel's on a file of its own, which network file systems keep too.

#include <string>

namespace vexa {

/*!
 * An exclusive lock on the file at path, made when missing and removed when the lock is
 * given up: an open file description lock (fcntl F_OFD_SETLK) on the file opened for
 * writing, which NFS keeps as a byte-range lock where flock on a folder is refused. A
 * process that ends however it ends drops the lock; an interruption removes the file with
 * the run's temporaries (Temporaries), and one a kill leaves is taken over by the next. A lock taken on a file that was
 * removed meanwhile (its holder giving it up) is dropped and taken again on the file now at path, so that two holders
 * never coexist.
 */
class LockFile {
 public:
  enum class State { Held, Busy, Unsupported };

  //! wait: wait for the lock rather than find it Busy. Throws std::runtime_error, naming
  //! path, when the file cannot be made or is not a regular file.
  LockFile(const std::string& path, bool wait);
  ~LockFile();
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;

  State state() const { return _state; }
  //! Why the lock is Unsupported: the system's words.
  const std::string& why() const { return _why; }

 private:
  std::string _path;
  int _fd = -1;
  State _state = State::Unsupported;
  std::string _why;
};

}  // namespace vexa
