// tempindex.h: the temporary index of dbz build and rebuild: its name
// beside the history, its removal on failure and on SIGINT, SIGTERM and
// SIGHUP, the sweep of what killed builds left, and its commit in place of
// the old index (common/commit.h).
//
// One temporary index per process. The caller holds the history lock
// exclusively from before sweeptemps() until after committemp().
#ifndef DBZ_ADMIN_TEMPINDEX_H_
#define DBZ_ADMIN_TEMPINDEX_H_

#include <string>

namespace admin {

// Removes the temporaries that builds of history killed before they could
// clean up have left: history.new<pid>.<n>, with or without .dir, .pag or
// .commit. Under the lock no other build runs, so every one is stale.
void sweeptemps(const std::string &history);

// Claims a new temporary base name beside history: a hard link to it (a
// symbolic link where the file system has none), so that the new index can
// confirm its candidates by reading the base file under that name. From
// then until committemp() or droptemps(), SIGINT, SIGTERM and SIGHUP remove
// the temporaries before the process dies of the signal. Returns the name,
// or nullptr with the cause printed.
const char *maketemp(const std::string &history);

// The temporary .pag's name, for messages; "" when there is none.
const char *temppag();

// Removes the temporaries that are still there.
void droptemps();

// Puts the temporary index, written and closed, in place of history's:
// gives its files the old ones' owner and permissions, syncs them, writes
// the commit record and completes the commit. Returns true when the new
// index is in place. False with the cause printed: the old index is still
// in force when the record could not be written (the temporaries are then
// removed), or the commit is recorded and the next lock holder completes it.
bool committemp(const std::string &history);

}  // namespace admin

#endif  // DBZ_ADMIN_TEMPINDEX_H_
