// inspect.h: what dbz stats, check and lookup share: opening an index so
// that nothing is ever written back, reading its .pag slot by slot, and
// placing a stored value on its key's probe sequence.
#ifndef DBZ_ADMIN_INSPECT_H_
#define DBZ_ADMIN_INSPECT_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace admin {

// An index opened for inspection, with streams of our own on the history
// and the .pag for sequential reading. The index itself is dbz::state().
struct inspected {
	const char *history;  // the base name as given
	FILE *pag;            // our own .pag stream, fully buffered
	int basefd;           // the history, for reads at stored offsets
	int64_t basesize;     // its size at open
	int64_t pagslots;     // whole slots in the .pag at open
	int64_t next;         // the slot readslot() returns next
};

// Opens the index of history (with its first table in memory when incore
// is set) and the streams of *ix. On failure prints what could not be
// opened, naming the file, closes whatever it opened and returns false.
bool inspectopen(inspected *ix, const char *history, bool incore);
// Forgets anything pending and closes the index and the streams, so that
// no file of the index is ever written.
void inspectclose(inspected *ix);

// A slot's content, decoded with the open index's tag masks.
struct slotvalue {
	int64_t value;  // the value as a lookup would return it
	bool tagged;
	uint64_t tag;   // the tag field's bits, in place; 0 when untagged
};

// Reads slot ix->next from ix->pag, decodes it and moves on to the next
// slot. Returns 1 for a slot in use, 0 for an empty one, -1 at the
// end of the file or on a read error (ferror(ix->pag) tells which). Holes
// of a sparse file are passed over without a return for each of their
// slots, and the end is the end of the file at open (ix->pagslots).
int readslot(inspected *ix, slotvalue *out);

// The hash that the index gives the message ID id (len bytes, without a
// terminator) when it is looked up or stored as quorlin does it: the ID and
// a NUL, cut to the lookup's 255 bytes, folded by the index's case mode.
int64_t idhash(const char *id, size_t len);
// The tag that a key with hash h carries in the open index.
uint64_t hashtag(int64_t h);

// The number of slots a probe from the home slot of hash h examines up to
// and including slot, or -1 when slot is not on that probe sequence.
int64_t probelength(int64_t h, int64_t slot);

// Reads the message ID of the history record at offset (the bytes before
// the first separator, a tab in a history file, or newline) into buf (room for cap bytes). Returns its
// length, or -1 when the offset lies outside the file, the read fails or no
// tab or newline follows within cap bytes.
int64_t recordid(const inspected *ix, int64_t offset, char *buf, size_t cap);

}  // namespace admin

#endif  // DBZ_ADMIN_INSPECT_H_
