// inspect.h: what dbz stats, check and lookup share: opening an index so
// that nothing is ever written back, and reading the history at the
// offsets the index holds.
#ifndef DBZ_ADMIN_INSPECT_H_
#define DBZ_ADMIN_INSPECT_H_

#include <cstddef>
#include <cstdint>

#include "dbz/dbz.h"

namespace admin {

// An index opened for inspection, with a descriptor of our own on the
// history for reads at stored offsets.
struct inspected {
	const char *history;  // the base name as given
	int basefd;           // the history
	int64_t basesize;     // its size at open
	dbzinfo info;         // the index as opened
};

// Opens the index of history (with its first table in memory when incore
// is set) and the history. Returns 0, or on failure prints what could not
// be opened, naming the file, closes whatever it opened and returns the
// dbz command's exit status for it: 1 for a malformed .dir (damage), 3 for
// a file that cannot be opened.
int inspectopen(inspected *ix, const char *history, bool incore);
// Forgets anything pending and closes the index and the history, so that
// no file of the index is ever written.
void inspectclose(inspected *ix);

// Reads the message ID of the history record at offset (the bytes before
// the first separator, a tab in a history file, or newline) into buf (room
// for cap bytes). Returns its length, or -1 when the offset lies outside
// the file, the read fails or no separator or newline follows within cap
// bytes.
int64_t recordid(const inspected *ix, int64_t offset, char *buf, size_t cap);

}  // namespace admin

#endif  // DBZ_ADMIN_INSPECT_H_
