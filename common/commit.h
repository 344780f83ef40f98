// commit.h: putting a new index in place of the old one with one decisive
// step, and completing the rest of that work after a crash.
//
// A build makes its new index under a temporary base name T beside the
// history H (T.dir, T.pag), syncs it, and then commits it:
//
//   1. writecommit(): the commit record H.commit, written under another
//      name, synced and renamed into place. This rename decides: before it
//      the old index is in force, after it the new one.
//   2. finishcommit(): T.pag renamed to H.pag, T.dir to H.dir, the base
//      link T removed, then H.commit removed.
//
// A process killed after step 1 leaves H.commit behind, and with it the
// work of step 2 that is still to be done; whoever next takes the history
// lock (see lock.h) does it. The record is one line: the inode numbers of
// T.pag and T.dir and the name of T without its folder,
// "<pag-inode> <dir-inode> <name>\n", so that a rename that was already
// made is told from a new file that has gone missing.
#ifndef QUORLIN_COMMON_COMMIT_H_
#define QUORLIN_COMMON_COMMIT_H_

#include <string>

namespace common {

// The folder of path ("." for a bare name) and its last component.
std::string folderof(const std::string &path);
std::string lastpart(const std::string &path);

// The commit record's name beside history.
std::string commitpath(const std::string &history);

// True when a commit record lies beside history.
bool pendingcommit(const char *history);

// Step 1 for the new index at tempbase (its .dir and .pag written and
// synced, beside history). Returns 0 once the record is in place and
// synced: from then on the new index is the history's index. Returns -1
// with the cause printed, nothing in place.
int writecommit(const char *history, const char *tempbase, const char *prefix);

enum : int {
	kCommitReplace = 1,  // the caller replaces the index anyway: a record
	                     // whose new files are gone is dropped, not refused
	kCommitQuiet = 2,    // the caller made the record itself: no note that
	                     // an interrupted build was completed
};

// Step 2 for the record beside history, if there is one. The caller holds
// the history lock exclusively (or knows that no one can use the index).
// Every step can be made again, so a process killed here leaves work the
// next one completes. Returns 0 when nothing was pending or the commit is
// complete; -1 with the cause and the fix printed, errno set.
int finishcommit(const char *history, int flags, const char *prefix);

// Syncs the folder, so that renames and removals in it are durable.
// Returns -1 with errno set on failure.
int syncfolder(const std::string &folder);

}  // namespace common

#endif  // QUORLIN_COMMON_COMMIT_H_
