#pragma once
// A set of staged files committed as a whole, through any failure and any kill.
//
// The protocol, in the folder that holds the set (see commitSet):
//   1. every staged file is flushed to disk;
//   2. every final name is checked: a folder in the way refuses the set before anything moves;
//   3. a journal, ".mirlune-commit", lists each final name, its temporary (and that file's
//      inode) and the backup name of the file it replaces; it is flushed before anything moves;
//   4. each file to be replaced is hard-linked to its backup, so the earlier set stays whole;
//   5. the temporaries are renamed into place; a failing rename restores the earlier files
//      from their backups (the journal first says so, in case that is interrupted too);
//   6. the folder is flushed, then the journal and the backups are removed.
// A run killed, or a machine stopped, anywhere in 3 to 6 leaves the journal: the next run
// into the folder calls recoverFolder before anything else, which completes the commit (or
// finishes the rollback it records) and removes stale temporaries and backups.

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "imaging/run/pendingfile.h"

namespace vexa {

//! The journal's name in a set's folder.
extern const char* const kCommitJournal;

//! Called after the k-th rename of a commit (k from 0): a seam for tests that stop a commit midway.
using RenameHook = std::function<void(int)>;

/*!
 * Commits files, all inside folder (an empty name is the current folder), as a whole: on
 * any failure std::runtime_error is thrown and the folder holds the earlier files as they
 * were. Files are flushed on up to threads threads. done, when given, is set once every
 * file is in place, under Temporaries::lock(), which is held from the first check to the
 * end so that an interruption sees either none of the set or all of it.
 */
void commitSet(std::vector<StagedFile>& files, const std::string& folder, std::atomic<bool>* done = nullptr,
               int threads = 1, const RenameHook& afterRename = {});

//! What recoverFolder found.
enum class Recovery { Nothing, Completed, RolledBack };

/*!
 * Completes or rolls back a commit interrupted in folder, as its journal says, and removes
 * the temporaries and backups that interrupted runs left there. Call it holding the
 * folder's lock, before writing anything there. Throws std::runtime_error naming the folder
 * when the journal cannot be read or acted on.
 */
Recovery recoverFolder(const std::string& folder);

}  // namespace vexa
