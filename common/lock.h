// lock.h: the history lock, which keeps one writer at a time on a history
// and its dbz index, and the completion of an index commit that a build
// left unfinished.
//
// The lock is flock(2) on the history file itself: a file that no build
// replaces (the .dir and .pag are renamed over), and on which the index's
// own streams, opened and closed by the library, cannot drop it as they
// would drop an fcntl lock. The library takes no lock; the quorlin and dbz
// commands take it here:
//
//   exclusive  quorlin (not -d), dbz repair
//   replace    dbz create, build, rebuild (exclusive, see lockmode)
//   shared     dbz check, whose verdict needs a quiet index
//   none       quorlin -d, dbz stats, dbz lookup: they call settlecommit()
//
// Every message is one line on standard error: "<prefix>: <history>: ...".
#ifndef QUORLIN_COMMON_LOCK_H_
#define QUORLIN_COMMON_LOCK_H_

namespace common {

enum class lockmode {
	shared,     // many holders at once, no exclusive one
	exclusive,  // one holder
	replace,    // exclusive, for a command that replaces the whole index:
	            // an unfinished commit whose new files are gone is dropped
	            // instead of refused
};

// A lock held on a history. fd is the history opened read-only (close on
// exec), or -1.
struct histlock {
	int fd = -1;
};

// Locks history in the given mode, then completes an index commit that an
// interrupted build left (see finishcommit()), so that the holder always
// finds the old index or the new one.
//
// When the lock is taken, says once "waiting for the lock (held by process
// N)" and waits: seconds < 0 as long as it takes, 0 not at all, otherwise
// at most that many seconds. After locking it checks that the path still
// names the file it locked, and locks again when the history was replaced
// meanwhile.
//
// Returns 0 with the lock held. Returns -1 with no lock held and errno set:
//   EINTR      a signal that the process catches came while it waited;
//              nothing printed: the caller ends the run for that signal
//   ETIMEDOUT  still locked when the time was up; "giving up" printed
//   other      the history could not be opened, locked or checked, or an
//              unfinished commit could not be completed; printed
// A signal whose action is the default ends the process as ever.
int lockhistory(histlock *lk, const char *history, lockmode mode, int seconds,
                const char *prefix);

// Releases the lock (closes the descriptor). Harmless when none is held.
void unlockhistory(histlock *lk);

// For a command that reads the index without the lock: when an interrupted
// build left a commit unfinished, takes the exclusive lock (waiting as
// lockhistory() does, as long as it takes), completes it and unlocks.
// Returns 0 when the index is whole (nothing was pending, or it was
// completed), -1 with the cause printed when the index cannot be used as it
// is. Costs one stat() when nothing is pending.
int settlecommit(const char *history, const char *prefix);

}  // namespace common

#endif  // QUORLIN_COMMON_LOCK_H_
