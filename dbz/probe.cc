// probe.cc: the probe sequence through the slot tables, and key lookup.
#include <cstring>

#include "dbz/internal.h"

namespace dbz {

namespace {

// Ends probe p on a .pag I/O error. The stream's error indicator is
// cleared so that the next probe reads afresh.
int probefailed(indexstate &s, probestate &p) {
	s.pagcursor = -1;
	p.failed = 1;
	clearerr(s.pagfile);
	return -1;
}

dbzitem noresult() { return dbzitem{nullptr, 0}; }

}  // namespace

int64_t slotoffset(int64_t slot) {
	int64_t pos;
	if (slot < 0 || __builtin_mul_overflow(slot, int64_t{kSlotBytes}, &pos))
		return -1;
	return pos;
}

bool fetchslot(indexstate &s, int64_t slot, uint64_t *word) {
	uint64_t w;
	if (s.coretable != nullptr && slot < s.params.tablesize) {
		if (!pageready(s, slot))
			return false;
		w = s.coretable[slot];
	} else {
		int64_t pos = slotoffset(slot);
		if (pos < 0)
			return false;
		if (s.pagcursor != pos) {
			if (fseeko(s.pagfile, pos, SEEK_SET) != 0)
				return false;
			s.pagcursor = pos;
		}
		if (fread(&w, kSlotBytes, 1, s.pagfile) != 1) {
			if (ferror(s.pagfile))
				return false;
			w = 0;  // at or past the end of the file: empty
		}
		s.pagcursor += kSlotBytes;
	}
	*word = s.sameorder ? w : pagtonative(w, s.params.byteorder, s.nativemap);
	return true;
}

void initprobe(probestate &p, int64_t hash) {
	const indexstate &s = state();
	int64_t size = s.params.tablesize;
	p.keysum = hash;
	p.keytag = static_cast<int64_t>(
	    (static_cast<uint64_t>(hash / size) << s.params.tagpos) & s.tagfield);
	p.slot = hash % size;
	p.layer = 0;
	p.budget = s.params.legacy ? static_cast<int32_t>(size) : kProbeBudget;
	p.visited = 0;
	p.failed = 0;
}

void startprobe(int64_t hash) { initprobe(state().probe, hash); }

int probestep(probestate &p, uint64_t *raw) {
	indexstate &s = state();
	int64_t size = s.params.tablesize;
	if (p.failed)
		return -1;
	if (!p.visited) {
		p.visited = 1;
	} else {
		int32_t b = p.budget;
		p.budget = b - 1;
		if (b <= 1) {
			p.layer++;
			p.budget = kProbeBudget;
		}
		int64_t base;
		if (__builtin_mul_overflow(int64_t{p.layer}, size, &base) ||
		    __builtin_add_overflow((p.slot + 1) % size, base, &p.slot))
			return probefailed(s, p);
	}
	uint64_t w;
	if (!fetchslot(s, p.slot, &w))
		return probefailed(s, p);
	if (w == 0)
		return 0;
	*raw = w - 1;
	return 1;
}

int64_t candidate(uint64_t raw, int64_t keytag) {
	const indexstate &s = state();
	if ((raw & s.tagenable) == 0)
		return static_cast<int64_t>(raw);
	if ((raw & s.tagfield) == static_cast<uint64_t>(keytag))
		return static_cast<int64_t>(raw & ~s.tagall);
	return -1;
}

int64_t nextslot() {
	probestate &p = state().probe;
	for (;;) {
		uint64_t raw;
		if (probestep(p, &raw) <= 0)
			return -1;
		int64_t v = candidate(raw, p.keytag);
		if (v != -1)
			return v;
		// A value of a key with another tag: pass over it unread.
	}
}

int confirm(int64_t v, const char *key, size_t n) {
	indexstate &s = state();
	char record[kMaxLookupKey + 1];
	if (!readbase(v, record, n))
		return -1;
	record[n] = '\0';
	// A key ending in NUL must be followed in the record by NUL or the
	// separator; any other key matches a record that begins with it.
	bool nulrule = key[n - 1] == '\0';
	size_t cmplen = nulrule ? n - 1 : n;
	// Only the bytes compared are folded: under the NUL rule the last one
	// is the record's terminator, which must neither be folded (an
	// upper-case separator) nor move the fold point (an '@' one), as the
	// key's NUL does neither.
	foldkey(record, record, cmplen);
	if (memcmp(record, key, cmplen) != 0)
		return 0;
	if (nulrule && record[n - 1] != '\0' && record[n - 1] != s.params.separator)
		return 0;
	return 1;
}

}  // namespace dbz

using dbz::indexstate;

extern "C" {

dbzitem dbzfind(dbzitem key) {
	indexstate &s = dbz::state();
	s.lastprobe = nullptr;
	// A negative count would make the hash run over gigabytes; an empty key
	// has no last byte for the terminator rule. Neither can match.
	if (key.dsize <= 0 || s.pagfile == nullptr)
		return dbz::noresult();
	size_t len = static_cast<size_t>(key.dsize);
	size_t n = len < dbz::kMaxLookupKey ? len : dbz::kMaxLookupKey;
	if (s.basefile == nullptr && !dbz::openbase())
		return dbz::noresult();

	dbz::startprobe(dbz::keyhash(key.ptr, len));
	for (;;) {
		int64_t v = dbz::nextslot();
		s.foundvalue = v;
		if (v == -1) {
			s.lastprobe = &s.probe;
			return dbz::noresult();
		}
		// A candidate whose record cannot be read (an entry left dangling
		// by a history cut back, a read error) is passed over like one of
		// another key: the key's own entry may follow it in the probe.
		if (dbz::confirm(v, key.ptr, n) > 0)
			return dbzitem{reinterpret_cast<char *>(&s.foundvalue), 8};
	}
}

dbzitem dbmfind(dbzitem key) { return dbzfind(key); }

dbzitem dbzlookup(dbzitem key) {
	if (key.dsize <= 0) {
		dbz::state().lastprobe = nullptr;
		return dbz::noresult();
	}
	size_t len = static_cast<size_t>(key.dsize);
	size_t n = len < dbz::kMaxLookupKey ? len : dbz::kMaxLookupKey;
	char folded[dbz::kMaxLookupKey + 1];
	const char *k = dbz::foldkey(folded, key.ptr, n);
	folded[n] = '\0';
	return dbzfind(dbzitem{const_cast<char *>(k), static_cast<int32_t>(n)});
}

}  // extern "C"
