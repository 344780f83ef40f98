// store.cc: storing a key: the tagging rule and the slot write.
#include <cstring>

#include "dbz/internal.h"

namespace dbz {

namespace {

// Adds a store to a count, which stops at the largest value instead of
// overflowing: a .dir may hold any count.
void countstore(int64_t *count) {
	if (*count < INT64_MAX)
		++*count;
}

// The word to put into the slot (before the +1) for value v, counting the
// stores that cannot carry a tag.
uint64_t tagged(indexstate &s, uint64_t v) {
	if (s.params.legacy)
		return v;
	if (v & s.tagall) {
		// The value reaches into the tag field; a rebuild narrows it.
		countstore(&s.params.untagged[0]);
		return v;
	}
	uint64_t w = v | static_cast<uint64_t>(s.probe.keytag) | s.tagenable;
	// All ones would become the stored form 0, an empty slot.
	return w == ~uint64_t{0} ? v : w;
}

}  // namespace

}  // namespace dbz

using dbz::indexstate;

extern "C" {

int dbzput(dbzitem key, dbzitem value) {
	indexstate &s = dbz::state();
	if (s.pagfile == nullptr)
		return -1;
	if (s.basefile == nullptr && !dbz::openbase())
		return -1;
	if (value.dsize != 8 || s.pagreadonly || key.dsize < 0 ||
	    static_cast<size_t>(key.dsize) > dbz::kMaxStoreKey)
		return -1;
	int64_t value64;
	memcpy(&value64, value.ptr, sizeof value64);
	uint64_t v = static_cast<uint64_t>(value64);
	if (v & s.tagenable)
		return -1;
	// Without tags the value -1 would be stored as 0, the empty slot, and
	// the key would be lost while the store reported success.
	if (v == ~uint64_t{0})
		return -1;

	int64_t h = dbz::keyhash(key.ptr, static_cast<size_t>(key.dsize));
	dbz::probestate &p = s.probe;
	if (s.lastprobe != nullptr && p.keysum == h)
		p.visited = 0;  // re-examine the slot where the lookup stopped
	else
		dbz::startprobe(h);
	while (dbz::nextslot() != -1)
		;
	s.lastprobe = nullptr;
	dbz::countstore(&s.params.usage[0]);
	s.dirty = true;
	if (p.failed)
		return -1;

	uint64_t stored = dbz::tagged(s, v) + 1;
	if (!s.sameorder)
		stored = dbz::nativetopag(stored, s.nativemap, s.params.byteorder);
	if (s.coretable != nullptr && p.slot < s.params.tablesize) {
		// The probe has just read the slot, so its page is in memory.
		s.coretable[p.slot] = stored;
		if (!s.writethru) {
			dbz::markpage(s, p.slot / dbz::kCorePageSlots);
			return 0;
		}
	}
	s.pagcursor = -1;
	int64_t pos = dbz::slotoffset(p.slot);
	if (pos < 0 || fseeko(s.pagfile, pos, SEEK_SET) != 0 ||
	    fwrite(&stored, dbz::kSlotBytes, 1, s.pagfile) != 1 ||
	    fflush(s.pagfile) != 0) {
		// The error indicator would make the next read that meets the end
		// of the file look like a read error.
		clearerr(s.pagfile);
		p.failed = 1;
		return -1;
	}
	return 0;
}

int dbmput(dbzitem key, dbzitem value) { return dbzput(key, value); }

int dbzstore(dbzitem key, dbzitem value) {
	if (static_cast<uint32_t>(key.dsize) > dbz::kMaxStoreKey)
		return -1;
	char folded[dbz::kMaxStoreKey + 1];
	const char *k =
	    dbz::foldkey(folded, key.ptr, static_cast<size_t>(key.dsize));
	folded[key.dsize] = '\0';
	return dbzput(dbzitem{const_cast<char *>(k), key.dsize}, value);
}

}  // extern "C"
