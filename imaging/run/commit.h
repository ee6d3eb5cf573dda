#pragma once
// An output set committed as a whole, through any failure and any kill.
//
// The protocol, in the folder that holds the set (see commitSet):
//   1. every staged file is flushed to disk;
//   2. every name the set may have is checked: one that is not a regular file (a folder, a
//      FIFO, a device, a link to one) refuses the set before anything moves;
//   3. a record (".mirlune-commit") lists each final name, its temporary (and that file's
//      inode) and the backup name of the file it replaces, and each file of an earlier set
//      that this one does not write, to be set aside; it ends with a checksum, and is flushed
//      before anything moves;
//   4. every earlier file is kept under its backup name: hard-linked where the system allows
//      (the name then never goes missing), renamed where it does not (a colleague's file
//      under protected_hardlinks, file systems without hard links); files set aside are
//      renamed;
//   5. the temporaries are renamed into place: from here no earlier file is lost, since each
//      has its backup; a failing rename restores the earlier set from the backups (the record
//      first says so, in case that is interrupted too);
//   6. the folder is flushed, then the record and the backups are removed.
// A run killed, or a machine stopped, anywhere in 3 to 6 leaves the record: the next run
// into the set calls recoverSet before anything else, which completes the commit (or the
// rollback it records). Recovery acts on nothing but what a record this program wrote names:
// a record that is not a regular file of the running user, cut short, or naming anything
// but the set's own files is refused, touching nothing.
//
// Every name the protocol makes is hidden and carries the run's identity
// (".mirlune-<run>-<final>.part", ".mirlune-<run>-<final>.prev"): no user chooses such a
// name, and the sweep of what killed runs left removes those names alone.

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "imaging/run/pendingfile.h"

namespace vexa {

//! An output set in its folder: its files' possible names, and the names of its record and lock.
struct SetPlace {
  std::string folder;              //!< where the set lies; empty for the current folder
  std::string tag;                 //!< empty for a folder's one set, else the set's own name (a BIDS stem)
  std::vector<std::string> names;  //!< every name its files may have, of every kind of output

  //! ".mirlune-commit", or ".mirlune-commit-<tag>".
  std::string recordName() const;
  //! ".mirlune.lock", or ".mirlune-<tag>.lock".
  std::string lockName() const;
  //! The path of a name of the folder.
  std::string path(const std::string& name) const;
  bool holds(const std::string& name) const;
};

//! Called after the k-th rename of a commit (k from 0): a seam for tests that stop a commit midway.
using RenameHook = std::function<void(int)>;

/*!
 * Refuses, naming the file and what it is, a name of the set that holds something a
 * commit must not replace (a folder, FIFO, device, or a link to one), or an earlier file
 * that cannot be moved from this folder (another user's, where the folder's sticky bit
 * lets only owners move files): known in a moment, before any work is done.
 */
void checkReplaceable(const SetPlace& place);

/*!
 * Commits files, all inside the set's folder, as a whole: on any failure std::runtime_error
 * is thrown and the folder holds the earlier set as it was. Earlier files of the set that
 * this commit does not write are set aside in the same commit and removed with the backups,
 * so the folder only ever holds one run's set. Files are flushed on up to threads threads.
 * done, when given, is set once every file is in place, under Temporaries::lock(), which is
 * held from the first check to the end so that an interruption sees either none of the set
 * or all of it.
 */
void commitSet(std::vector<StagedFile>& files, const SetPlace& place, std::atomic<bool>* done = nullptr,
               int threads = 1, const RenameHook& afterRename = {});

//! What recoverSet found.
enum class Recovery { Nothing, Completed, RolledBack };

/*!
 * Completes or rolls back a commit interrupted in the set, as its record says, and removes
 * the temporaries and backups that interrupted runs of the set left there. Call it holding
 * the set's lock, before writing anything there. Throws std::runtime_error, in one line
 * naming the record, for a record this program did not write whole (it is then left, and
 * nothing touched), and for one whose set cannot be put back whole now (it is then kept,
 * for a later run).
 */
Recovery recoverSet(const SetPlace& place);

}  // namespace vexa
