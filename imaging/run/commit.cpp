#include "imaging/run/commit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "imaging/run/failure.h"
#include "imaging/run/parallel.h"

namespace vexa {

namespace {

const char* const kRecordTag = "mirlune-commit 2";
// No record of a set of a few dozen files comes near this: a larger one is not ours.
constexpr off_t kLargestRecord = 1 << 20;

//! One file of a set, named within the set's folder.
struct Entry {
  bool aside = false;  // an earlier file the new set does not write: set aside, then removed
  std::string final;
  std::string temporary;  // empty for a file set aside
  ino_t inode = 0;        // the temporary's, which the final name has once renamed
  std::string backup;     // empty when there was no earlier file
};

struct Record {
  bool rollback = false;  // a failed commit is being undone
  std::vector<Entry> entries;
};

struct Seen {
  bool exists = false;
  struct stat info {};
};

Seen look(const std::string& path) {
  Seen seen;
  seen.exists = ::lstat(path.c_str(), &seen.info) == 0;
  return seen;
}

bool sameFile(const Seen& a, const Seen& b) {
  return a.exists && b.exists && a.info.st_dev == b.info.st_dev && a.info.st_ino == b.info.st_ino;
}

std::string kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISLNK(mode)) return "a link";
  return "not a regular file";
}

std::uint64_t checksum(const std::string& text) {
  std::uint64_t hash = 1469598103934665603ULL;  // FNV-1a
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ULL;
  return hash;
}

std::string format(const Record& record) {
  std::ostringstream out;
  out << kRecordTag << "\n" << (record.rollback ? "rollback" : "commit") << "\n";
  for (const Entry& e : record.entries) {
    if (e.aside) {
      out << "A\t" << e.final << '\t' << e.backup << "\n";
    } else {
      out << "F\t" << e.final << '\t' << e.temporary << '\t' << e.inode << '\t' << (e.backup.empty() ? "-" : e.backup)
          << "\n";
    }
  }
  const std::string body = out.str();
  char end[64];
  std::snprintf(end, sizeof end, "end\t%zu\t%016" PRIx64 "\n", record.entries.size(), checksum(body));
  return body + end;
}

// ".mirlune-<8 letters or digits>-<final><ending>": a name the protocol made for final.
bool isOurs(const std::string& name, const std::string& final, const char* ending) {
  const std::string tail = "-" + final + ending;
  if (name.size() != 9 + 8 + tail.size() || name.compare(0, 9, ".mirlune-") != 0) return false;
  for (std::size_t i = 9; i < 17; ++i)
    if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
  return name.compare(17, std::string::npos, tail) == 0;
}

std::string hiddenName(const std::string& final, const char* ending) {
  return ".mirlune-" + randomLabel() + "-" + final + ending;
}

// Written whole under a temporary name, flushed, renamed, and the folder flushed: the record
// on disk is always one complete version.
void writeRecord(const SetPlace& place, const Record& record) {
  const std::string text = format(record);
  const std::string path = place.path(place.recordName());
  const std::string temporary = place.path(place.recordName() + "." + randomLabel() + ".part");
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) failFile(path, std::string("cannot write: ") + std::strerror(errno));
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
  const int error = errno;
  ::close(fd);
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    const int saved = written ? errno : error;
    ::unlink(temporary.c_str());
    failFile(path, std::string("cannot write: ") + std::strerror(saved));
  }
  syncFolder(place.folder.empty() ? "." : place.folder);
}

[[noreturn]] void notOurs(const std::string& path, const std::string& why) {
  failFile(path, "not a record of an interrupted Mirlune commit of this set (" + why +
                     "); nothing was touched: look at the set's files, then remove it");
}

// The record at path, read without following a link, waiting on a FIFO or reading a device.
std::string recordText(const std::string& path) {
  const Seen seen = look(path);
  if (!S_ISREG(seen.info.st_mode)) notOurs(path, "it is " + kindOf(seen.info.st_mode));
  if (seen.info.st_uid != ::geteuid()) notOurs(path, "it belongs to another user");
  if (seen.info.st_size > kLargestRecord) notOurs(path, "it is far too large");
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat opened;
  if (fd < 0 || ::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_ino != seen.info.st_ino) {
    if (fd >= 0) ::close(fd);
    failFile(path, "cannot read the record of an interrupted commit");
  }
  // One byte more than its size: a record that grew meanwhile is seen cut, not whole.
  std::string text = readUpTo(fd, static_cast<std::size_t>(opened.st_size) + 1);
  ::close(fd);
  return text;
}

Record readRecord(const SetPlace& place) {
  const std::string path = place.path(place.recordName());
  const std::string text = recordText(path);
  const std::size_t end = text.rfind("end\t");
  if (end == std::string::npos || text.back() != '\n') notOurs(path, "it is cut short");
  std::istringstream lines(text.substr(0, end));
  std::string line;
  Record record;
  if (!std::getline(lines, line) || line != kRecordTag) notOurs(path, "it does not begin as this program's do");
  if (!std::getline(lines, line) || (line != "commit" && line != "rollback")) notOurs(path, "no state");
  record.rollback = line == "rollback";
  std::vector<std::string> finals;
  while (std::getline(lines, line)) {
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
    Entry e;
    e.aside = !fields.empty() && fields[0] == "A";
    const bool ok = e.aside ? fields.size() == 3 : fields.size() == 5 && fields[0] == "F";
    if (!ok) notOurs(path, "a line it cannot read");
    e.final = fields[1];
    if (!place.holds(e.final)) notOurs(path, "it names \"" + e.final + "\", which is none of the set's files");
    if (std::find(finals.begin(), finals.end(), e.final) != finals.end()) notOurs(path, "a name twice");
    finals.push_back(e.final);
    if (e.aside) {
      e.backup = fields[2];
    } else {
      e.temporary = fields[2];
      e.inode = static_cast<ino_t>(std::strtoull(fields[3].c_str(), nullptr, 10));
      e.backup = fields[4] == "-" ? "" : fields[4];
      if (!isOurs(e.temporary, e.final, ".part")) notOurs(path, "a temporary name it does not make");
    }
    if ((e.aside || !e.backup.empty()) && !isOurs(e.backup, e.final, ".prev"))
      notOurs(path, "a backup name it does not make");
    record.entries.push_back(e);
  }
  char expected[64];
  std::snprintf(expected, sizeof expected, "end\t%zu\t%016" PRIx64 "\n", record.entries.size(),
                checksum(text.substr(0, end)));
  if (text.compare(end, std::string::npos, expected) != 0) notOurs(path, "its checksum does not match");
  return record;
}

bool renamedInPlace(const SetPlace& place, const Entry& e) {
  const Seen final = look(place.path(e.final));
  return !e.aside && final.exists && final.info.st_ino == e.inode;
}

// Keeps the earlier file at final under backup: a hard link where the system allows it (the
// final name then never goes missing), else a rename. 0, or the error.
int keepBackup(const std::string& final, const std::string& backup) {
  if (::link(final.c_str(), backup.c_str()) == 0) return 0;
  const int refused = errno;
  if (refused != EPERM && refused != EXDEV && refused != EOPNOTSUPP && refused != EMLINK && refused != ENOSYS)
    return refused;
  return ::rename(final.c_str(), backup.c_str()) == 0 ? 0 : errno;
}

/*!
 * Puts the earlier set back from what the record names, whatever was done of the commit:
 * a new file gives way to its backup (or goes, when it had none), a backup still linked
 * beside its file goes, a file set aside comes back. Empty when done, else why not: every
 * step is one that can be taken again, so a later run finishes what this one could not.
 */
std::string rollBack(const SetPlace& place, const Record& record) {
  std::string trouble;
  auto fail = [&](const std::string& path, const char* what) {
    if (trouble.empty()) trouble = path + ": " + what + ": " + std::strerror(errno);
  };
  for (const Entry& e : record.entries) {
    const std::string final = place.path(e.final), backup = place.path(e.backup);
    const Seen atFinal = look(final), atBackup = e.backup.empty() ? Seen() : look(backup);
    if (renamedInPlace(place, e)) {
      if (atBackup.exists) {
        if (::rename(backup.c_str(), final.c_str()) != 0) fail(final, "cannot restore the earlier file");
      } else if (e.backup.empty()) {
        if (::unlink(final.c_str()) != 0 && errno != ENOENT) fail(final, "cannot remove");
      } else {
        errno = ENOENT;
        fail(backup, "the earlier file's backup is missing");
      }
    } else if (atBackup.exists) {
      if (!atFinal.exists) {
        if (::rename(backup.c_str(), final.c_str()) != 0) fail(final, "cannot restore the earlier file");
      } else if (sameFile(atFinal, atBackup)) {
        if (::unlink(backup.c_str()) != 0 && errno != ENOENT) fail(backup, "cannot remove");
      }
    }
    if (!e.temporary.empty() && ::unlink(place.path(e.temporary).c_str()) != 0 && errno != ENOENT)
      fail(place.path(e.temporary), "cannot remove");
  }
  syncFolder(place.folder.empty() ? "." : place.folder);
  return trouble;
}

//! Every earlier file under its backup name; 0, or the error, with where in culprit.
int keepBackups(const SetPlace& place, const Record& record, std::string& culprit) {
  for (const Entry& e : record.entries) {
    if (e.backup.empty()) continue;
    const std::string final = place.path(e.final), backup = place.path(e.backup);
    const Seen atFinal = look(final), atBackup = look(backup);
    if (!atFinal.exists || renamedInPlace(place, e) || atBackup.exists) continue;
    const int error = e.aside ? (::rename(final.c_str(), backup.c_str()) == 0 ? 0 : errno) : keepBackup(final, backup);
    if (error != 0) {
      culprit = final;
      return error;
    }
  }
  syncFolder(place.folder.empty() ? "." : place.folder);
  return 0;
}

void removeBackups(const SetPlace& place, const Record& record) {
  for (const Entry& e : record.entries)
    if (!e.backup.empty()) ::unlink(place.path(e.backup).c_str());
}

void removeRecord(const SetPlace& place) {
  ::unlink(place.path(place.recordName()).c_str());
  syncFolder(place.folder.empty() ? "." : place.folder);
}

//! Completes a commit from its record: false (nothing lost) when it cannot.
bool complete(const SetPlace& place, const Record& record) {
  for (const Entry& e : record.entries) {
    if (!e.aside && !renamedInPlace(place, e) && !look(place.path(e.temporary)).exists) return false;
  }
  std::string culprit;
  if (keepBackups(place, record, culprit) != 0) return false;
  for (const Entry& e : record.entries) {
    if (e.aside || renamedInPlace(place, e)) continue;
    if (::rename(place.path(e.temporary).c_str(), place.path(e.final).c_str()) != 0) return false;
  }
  syncFolder(place.folder.empty() ? "." : place.folder);
  return true;
}

// What interrupted runs of this set left: the protocol's hidden names for the set's files,
// and its record's temporaries; regular files of the running user only.
void sweep(const SetPlace& place) {
  DIR* dir = ::opendir(place.folder.empty() ? "." : place.folder.c_str());
  if (!dir) return;
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.compare(0, 9, ".mirlune-") != 0) continue;
    bool ours = false;
    for (const std::string& final : place.names)
      ours = ours || isOurs(name, final, ".part") || isOurs(name, final, ".prev");
    const std::string record = place.recordName() + ".";
    if (name.size() == record.size() + 13 && name.compare(0, record.size(), record) == 0 &&
        name.compare(name.size() - 5, 5, ".part") == 0)
      ours = true;
    if (ours) names.push_back(name);
  }
  ::closedir(dir);
  for (const std::string& name : names) {
    const Seen seen = look(place.path(name));
    if (S_ISREG(seen.info.st_mode) && seen.info.st_uid == ::geteuid()) ::unlink(place.path(name).c_str());
  }
}

void flushAll(std::vector<StagedFile>& files, int threads) {
  // Every file on disk first, side by side: the waits for the disk overlap.
  std::vector<std::string> failures(files.size());
  norbe::runTasks(static_cast<int>(files.size()), threads, [&](int, int k) {
    const int fd = ::open(files[k].temporaryName().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) failures[k] = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return 0LL;
  });
  for (std::size_t k = 0; k < files.size(); ++k) {
    if (!failures[k].empty()) failFile(files[k].finalName(), "cannot write: " + failures[k]);
  }
}

std::string baseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string SetPlace::recordName() const { return tag.empty() ? ".mirlune-commit" : ".mirlune-commit-" + tag; }

std::string SetPlace::lockName() const { return tag.empty() ? ".mirlune.lock" : ".mirlune-" + tag + ".lock"; }

std::string SetPlace::path(const std::string& name) const {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + '/' + name;
}

bool SetPlace::holds(const std::string& name) const {
  return name.find('/') == std::string::npos && std::find(names.begin(), names.end(), name) != names.end();
}

void checkReplaceable(const SetPlace& place) {
  struct stat dir;
  const bool sticky = ::stat(place.folder.empty() ? "." : place.folder.c_str(), &dir) == 0 && (dir.st_mode & S_ISVTX);
  const uid_t me = ::geteuid();
  for (const std::string& name : place.names) {
    const std::string path = place.path(name);
    const Seen seen = look(path);
    if (!seen.exists) continue;
    if (S_ISLNK(seen.info.st_mode)) {
      struct stat target;
      if (::stat(path.c_str(), &target) == 0 && !S_ISREG(target.st_mode)) {
        failFile(path, "cannot replace: it is a link to " + kindOf(target.st_mode));
      }
    } else if (!S_ISREG(seen.info.st_mode)) {
      failFile(path, "cannot replace: it is " + kindOf(seen.info.st_mode));
    }
    if (sticky && me != 0 && seen.info.st_uid != me && dir.st_uid != me) {
      failFile(path,
               "cannot replace: it belongs to another user, and the folder's sticky bit lets only its owner "
               "move it; nothing was written (choose another output folder)");
    }
  }
}

void commitSet(std::vector<StagedFile>& files, const SetPlace& place, std::atomic<bool>* done, int threads,
               const RenameHook& afterRename) {
  flushAll(files, threads);
  std::lock_guard<std::mutex> guard(Temporaries::lock());
  checkReplaceable(place);
  Record record;
  std::vector<std::string> written;
  for (const StagedFile& file : files) {
    Entry e;
    e.final = baseName(file.finalName());
    e.temporary = baseName(file.temporaryName());
    if (place.path(e.final) != file.finalName() || place.path(e.temporary) != file.temporaryName()) {
      throw std::invalid_argument(file.finalName() + " is not in the folder of the set it is committed with");
    }
    struct stat info;
    if (::stat(file.temporaryName().c_str(), &info) != 0) {
      failFile(file.finalName(), std::string("cannot write: ") + std::strerror(errno));
    }
    e.inode = info.st_ino;
    if (look(file.finalName()).exists) e.backup = hiddenName(e.final, ".prev");
    written.push_back(e.final);
    record.entries.push_back(e);
  }
  // What an earlier run of the set wrote and this one does not: set aside in the same commit.
  for (const std::string& name : place.names) {
    if (std::find(written.begin(), written.end(), name) != written.end() || !look(place.path(name)).exists) continue;
    Entry e;
    e.aside = true;
    e.final = name;
    e.backup = hiddenName(name, ".prev");
    record.entries.push_back(e);
  }
  writeRecord(place, record);

  // The earlier files stay whole under their backup names until the last rename.
  std::string culprit;
  if (const int error = keepBackups(place, record, culprit)) {
    const std::string trouble = rollBack(place, record);
    if (trouble.empty()) removeRecord(place);
    failFile(culprit,
             std::string("cannot replace: ") + std::strerror(error) +
                 (trouble.empty() ? "" : "; the record of the commit is kept for the next run (" + trouble + ")"));
  }
  for (std::size_t k = 0; k < files.size(); ++k) {
    if (::rename(files[k].temporaryName().c_str(), files[k].finalName().c_str()) != 0) {
      const int error = errno;
      record.rollback = true;
      std::string trouble;
      try {
        writeRecord(place, record);
        trouble = rollBack(place, record);
      } catch (const std::runtime_error& e) {
        trouble = e.what();
      }
      for (StagedFile& file : files) file.releaseLocked();
      if (trouble.empty()) removeRecord(place);
      failFile(files[k].finalName(),
               std::string("cannot write: ") + std::strerror(error) +
                   (trouble.empty() ? "" : "; the record of the commit is kept for the next run (" + trouble + ")"));
    }
    files[k].releaseLocked();
    if (afterRename) afterRename(static_cast<int>(k));
  }
  syncFolder(place.folder.empty() ? "." : place.folder);
  if (done) *done = true;
  removeRecord(place);
  removeBackups(place, record);
  syncFolder(place.folder.empty() ? "." : place.folder);
}

Recovery recoverSet(const SetPlace& place) {
  Recovery what = Recovery::Nothing;
  const std::string path = place.path(place.recordName());
  if (look(path).exists) {
    Record record = readRecord(place);
    if (!record.rollback && complete(place, record)) {
      what = Recovery::Completed;
    } else {
      if (!record.rollback) {
        record.rollback = true;
        writeRecord(place, record);
      }
      const std::string trouble = rollBack(place, record);
      if (!trouble.empty()) {
        failFile(path, "an interrupted commit cannot be undone now (" + trouble +
                           "); the record is kept for the next run, and nothing was written");
      }
      what = Recovery::RolledBack;
    }
    removeBackups(place, record);
    removeRecord(place);
  }
  sweep(place);
  return what;
}

}  // namespace vexa
