#include "imaging/run/lockfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "imaging/run/failure.h"
#include "imaging/run/pendingfile.h"

namespace vexa {

LockFile::LockFile(const std::string& path, bool wait) : _path(path) {
  while (true) {
    _fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    struct stat opened;
    if (_fd < 0 || ::fstat(_fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
      const int error = errno;
      if (_fd >= 0) ::close(_fd);
      _fd = -1;
      failFile(path, std::string("cannot use as a lock: ") + (error == ELOOP ? "it is a link" : std::strerror(error)));
    }
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(_fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &whole) != 0) {
      const int error = errno;
      if (error == EINTR) {
        ::close(_fd);
        continue;
      }
      if (error == EAGAIN || error == EACCES) {
        _state = State::Busy;
      } else {
        _state = State::Unsupported;  // a file system that keeps no locks: the file is of no use
        _why = std::strerror(error);
        ::unlink(path.c_str());
      }
      ::close(_fd);
      _fd = -1;
      return;
    }
    // The holder before us may have removed the file as it gave the lock up: ours is then on
    // a file nobody else will find, and the one now at path is the lock.
    struct stat now;
    if (::stat(path.c_str(), &now) == 0 && now.st_dev == opened.st_dev && now.st_ino == opened.st_ino) {
      _state = State::Held;
      Temporaries::add(path);  // an interrupted run removes it with its temporaries
      return;
    }
    ::close(_fd);
  }
}

LockFile::~LockFile() {
  if (_fd < 0) return;
  // Removed while held, so that whoever opened it meanwhile finds it gone and tries again.
  Temporaries::forget(_path);
  ::unlink(_path.c_str());
  ::close(_fd);
}

}  // namespace vexa
