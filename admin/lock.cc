// lock.cc: the history lock as the subcommands of the dbz command take it.
#include "admin/lock.h"

#include <cerrno>
#include <cstdint>

#include "admin/commands.h"
#include "admin/common.h"

namespace admin {

bool parsewait(const char *text, int *seconds) {
	int64_t n;
	if (!parsenum(text, 0, INT32_MAX, "-w", &n))
		return false;
	*seconds = static_cast<int>(n);
	return true;
}

int takelock(common::histlock *lk, const char *history, common::lockmode mode,
             int seconds) {
	if (common::lockhistory(lk, history, mode, seconds, "dbz") == 0)
		return 0;
	// A lock not had in time is an operational failure like any other.
	return kExitFail;
}

}  // namespace admin
