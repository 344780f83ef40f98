// lock.h: the history lock as the subcommands of the dbz command take it,
// and their option -w, the seconds to wait for it.
#ifndef DBZ_ADMIN_LOCK_H_
#define DBZ_ADMIN_LOCK_H_

#include "common/lock.h"

namespace admin {

// Parses the argument of -w (0 to INT32_MAX seconds) into *seconds; prints
// the fault and returns false otherwise.
bool parsewait(const char *text, int *seconds);

// Takes the history lock, waiting at most seconds (< 0: as long as it
// takes). Returns 0 with the lock held, or the exit status to end with,
// the cause printed: 3 (kExitFail), whether the lock was still taken after
// the time given or could not be taken at all.
int takelock(common::histlock *lk, const char *history, common::lockmode mode,
             int seconds);

}  // namespace admin

#endif  // DBZ_ADMIN_LOCK_H_
