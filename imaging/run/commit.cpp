#include "imaging/run/commit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "imaging/run/failure.h"
#include "imaging/run/parallel.h"

namespace vexa {

const char* const kCommitJournal = ".mirlune-commit";

namespace {

const char* const kJournalTag = "mirlune-commit 1";

//! One file of a set: names relative to the set's folder.
struct Entry {
  std::string final;
  std::string temporary;
  ino_t inode = 0;     // the temporary's, which the final name has once renamed
  std::string backup;  // empty when there was no earlier file
};

struct Journal {
  bool rollback = false;  // a failed commit is being undone
  std::vector<Entry> entries;
};

std::string join(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + '/' + name;
}

std::string relative(const std::string& folder, const std::string& path) {
  if (folder.empty()) return path;
  const std::string prefix = folder.back() == '/' ? folder : folder + '/';
  if (path.compare(0, prefix.size(), prefix) != 0) {
    throw std::invalid_argument(path + " is not in the folder " + folder + " it is committed with");
  }
  return path.substr(prefix.size());
}

bool exists(const std::string& path, struct stat* info = nullptr) {
  struct stat own;
  return ::lstat(path.c_str(), info ? info : &own) == 0;
}

//! A name beside final that nothing has: final.prev-XXXXXX.
std::string backupName(const std::string& folder, const std::string& final) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::mt19937 random(std::random_device{}());
  while (true) {
    std::string name = final + ".prev-";
    for (int i = 0; i < 6; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
    if (!exists(join(folder, name))) return name;
  }
}

std::string format(const Journal& journal) {
  std::ostringstream out;
  out << kJournalTag << "\n" << (journal.rollback ? "rollback" : "commit") << "\n";
  for (const Entry& e : journal.entries) {
    out << e.final << '\t' << e.temporary << '\t' << e.inode << '\t' << (e.backup.empty() ? "-" : e.backup) << "\n";
  }
  return out.str();
}

// Written whole under a temporary name, flushed, renamed, and the folder flushed: the
// journal on disk is always one complete version.
void writeJournal(const std::string& folder, const Journal& journal) {
  const std::string text = format(journal);
  std::string temporary = join(folder, std::string(kCommitJournal) + ".part-XXXXXX");
  const int fd = ::mkostemp(&temporary[0], O_CLOEXEC);
  if (fd < 0) failFile(join(folder, kCommitJournal), std::string("cannot write: ") + std::strerror(errno));
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
  const int error = errno;
  ::close(fd);
  if (!written || ::rename(temporary.c_str(), join(folder, kCommitJournal).c_str()) != 0) {
    const int saved = written ? errno : error;
    ::unlink(temporary.c_str());
    failFile(join(folder, kCommitJournal), std::string("cannot write: ") + std::strerror(saved));
  }
  syncFolder(folder.empty() ? "." : folder);
}

Journal readJournal(const std::string& folder) {
  const std::string path = join(folder, kCommitJournal);
  std::ifstream in(path);
  std::string line;
  Journal journal;
  auto damaged = [&] {
    failFile(path, "a damaged record of an interrupted commit; check the outputs, then remove it");
  };
  if (!std::getline(in, line) || line != kJournalTag || !std::getline(in, line)) damaged();
  if (line != "commit" && line != "rollback") damaged();
  journal.rollback = line == "rollback";
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Entry e;
    std::string inode;
    if (!std::getline(fields, e.final, '\t') || !std::getline(fields, e.temporary, '\t') ||
        !std::getline(fields, inode, '\t') || !std::getline(fields, e.backup)) {
      damaged();
    }
    e.inode = static_cast<ino_t>(std::strtoull(inode.c_str(), nullptr, 10));
    if (e.backup == "-") e.backup.clear();
    journal.entries.push_back(e);
  }
  return journal;
}

void removeJournal(const std::string& folder) {
  ::unlink(join(folder, kCommitJournal).c_str());
  syncFolder(folder.empty() ? "." : folder);
}

bool isRenamed(const std::string& folder, const Entry& e) {
  struct stat info;
  return exists(join(folder, e.final), &info) && info.st_ino == e.inode;
}

// Puts every earlier file back: a renamed final gives way to its backup (or goes, when it
// had none); temporaries and backups left over are removed.
void rollBack(const std::string& folder, const Journal& journal) {
  for (const Entry& e : journal.entries) {
    const std::string final = join(folder, e.final), backup = join(folder, e.backup);
    if (isRenamed(folder, e)) {
      if (e.backup.empty() || !exists(backup)) {
        ::unlink(final.c_str());
      } else if (::rename(backup.c_str(), final.c_str()) != 0) {
        failFile(final, std::string("cannot restore the earlier file: ") + std::strerror(errno));
      }
    }
    ::unlink(join(folder, e.temporary).c_str());
    if (!e.backup.empty()) ::unlink(backup.c_str());
  }
}

//! Renames what is still waiting; false when a file is neither in place nor waiting.
bool complete(const std::string& folder, const Journal& journal) {
  for (const Entry& e : journal.entries) {
    if (isRenamed(folder, e)) continue;
    if (!exists(join(folder, e.temporary))) return false;
  }
  for (const Entry& e : journal.entries) {
    if (isRenamed(folder, e)) continue;
    if (::rename(join(folder, e.temporary).c_str(), join(folder, e.final).c_str()) != 0) return false;
  }
  return true;
}

void removeBackups(const std::string& folder, const Journal& journal) {
  for (const Entry& e : journal.entries)
    if (!e.backup.empty()) ::unlink(join(folder, e.backup).c_str());
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

//! True for the names interrupted runs leave: NAME.part-XXXXXX and NAME.prev-XXXXXX, for
//! the images, sidecars and journal a run writes.
bool isLeftOver(const std::string& name) {
  if (name.size() < 13) return false;
  const std::string tail = name.substr(name.size() - 12, 6);
  if (tail != ".part-" && tail != ".prev-") return false;
  const std::string base = name.substr(0, name.size() - 12);
  return endsWith(base, ".nii") || endsWith(base, ".nii.gz") || endsWith(base, ".json") || base == kCommitJournal;
}

void removeLeftOvers(const std::string& folder) {
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return;
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    if (isLeftOver(entry->d_name)) names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  for (const std::string& name : names) ::unlink(join(folder, name).c_str());
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

// Every final name must be free or a file that a rename can replace.
void checkFinalNames(const std::vector<StagedFile>& files) {
  for (const StagedFile& file : files) {
    struct stat info;
    if (!exists(file.finalName(), &info)) continue;
    if (S_ISDIR(info.st_mode)) failFile(file.finalName(), "cannot write: a folder is in the way");
  }
}

}  // namespace

void commitSet(std::vector<StagedFile>& files, const std::string& folder, std::atomic<bool>* done, int threads,
               const RenameHook& afterRename) {
  flushAll(files, threads);
  std::lock_guard<std::mutex> guard(Temporaries::lock());
  checkFinalNames(files);
  Journal journal;
  for (const StagedFile& file : files) {
    Entry e;
    e.final = relative(folder, file.finalName());
    e.temporary = relative(folder, file.temporaryName());
    struct stat info;
    if (::stat(file.temporaryName().c_str(), &info) != 0) {
      failFile(file.finalName(), std::string("cannot write: ") + std::strerror(errno));
    }
    e.inode = info.st_ino;
    if (exists(file.finalName())) e.backup = backupName(folder, e.final);
    journal.entries.push_back(e);
  }
  writeJournal(folder, journal);

  // The earlier files stay whole under their backup names until the last rename.
  for (const Entry& e : journal.entries) {
    if (e.backup.empty()) continue;
    if (::link(join(folder, e.final).c_str(), join(folder, e.backup).c_str()) != 0) {
      const int error = errno;
      removeBackups(folder, journal);
      removeJournal(folder);
      failFile(join(folder, e.final), std::string("cannot replace: ") + std::strerror(error));
    }
  }
  syncFolder(folder.empty() ? "." : folder);

  for (std::size_t k = 0; k < files.size(); ++k) {
    if (::rename(files[k].temporaryName().c_str(), files[k].finalName().c_str()) != 0) {
      const int error = errno;
      journal.rollback = true;
      writeJournal(folder, journal);
      rollBack(folder, journal);
      for (StagedFile& file : files) file.releaseLocked();
      removeJournal(folder);
      failFile(files[k].finalName(), std::string("cannot write: ") + std::strerror(error));
    }
    files[k].releaseLocked();
    if (afterRename) afterRename(static_cast<int>(k));
  }
  syncFolder(folder.empty() ? "." : folder);
  if (done) *done = true;
  removeJournal(folder);
  removeBackups(folder, journal);
  syncFolder(folder.empty() ? "." : folder);
}

Recovery recoverFolder(const std::string& folder) {
  Recovery what = Recovery::Nothing;
  if (exists(join(folder, kCommitJournal))) {
    const Journal journal = readJournal(folder);
    if (!journal.rollback && complete(folder, journal)) {
      what = Recovery::Completed;
    } else {
      rollBack(folder, journal);
      what = Recovery::RolledBack;
    }
    syncFolder(folder.empty() ? "." : folder);
    removeBackups(folder, journal);
    removeJournal(folder);
  }
  removeLeftOvers(folder);
  return what;
}

}  // namespace vexa
