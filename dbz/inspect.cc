// inspect.cc: read-only views of the open index for the tools that report
// on it and verify it: its description, a walk over its slots, a walk along
// one key's probe, the confirmation of a candidate and the place of a slot
// on a key's probe. Every walk keeps its own state; the shared probe, the
// probe left for the next store and the found value are never touched.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "dbz/internal.h"

namespace dbz {

namespace {

static_assert(sizeof(probestate) <= sizeof(dbzprobewalk),
              "dbzprobewalk must hold a probe state");
static_assert(sizeof(dbzprobewalk) % alignof(probestate) == 0);

// The folded form of key, cut as a lookup cuts it, in buf (room for
// kMaxLookupKey + 1 bytes). Returns the key to use and its length in *n.
const char *lookupkey(dbzitem key, char *buf, size_t *n) {
	size_t len = static_cast<size_t>(key.dsize);
	*n = len < kMaxLookupKey ? len : kMaxLookupKey;
	const char *k = foldkey(buf, key.ptr, *n);
	buf[*n] = '\0';
	return k;
}

// The probe of key as a lookup sets it up, in *p. False when no index is
// open or the key is empty.
bool keyprobe(dbzitem key, probestate *p) {
	if (state().pagfile == nullptr || key.ptr == nullptr || key.dsize <= 0)
		return false;
	char buf[kMaxLookupKey + 1];
	size_t n;
	const char *k = lookupkey(key, buf, &n);
	initprobe(*p, keyhash(k, n));
	return true;
}

// Fills *out from a slot's stored form (native order, not 0).
void decode(const indexstate &s, int64_t slot, uint64_t stored, dbzslot *out) {
	uint64_t raw = stored - 1;
	out->slot = slot;
	out->tagged = (raw & s.tagenable) != 0;
	out->value = static_cast<int64_t>(out->tagged ? raw & ~s.tagall : raw);
	out->tag = out->tagged ? raw & s.tagfield : 0;
	out->candidate = 0;
}

// The first slot at or after `from` that is not in a hole of the .pag, or
// `end` when only a hole follows. The descriptor's offset is put back, so
// the .pag stream stays in step with its file.
int64_t skiphole(int fd, int64_t from, int64_t end) {
	off_t cur = lseek(fd, 0, SEEK_CUR);
	if (cur < 0)
		return from;
	off_t data = lseek(fd, static_cast<off_t>(from) * kSlotBytes, SEEK_DATA);
	int e = errno;
	lseek(fd, cur, SEEK_SET);
	if (data >= 0)
		return data / kSlotBytes > from ? data / kSlotBytes : from;
	return e == ENXIO ? end : from;
}

// Whether the in-core table holds the page of slot: one read from the .pag
// or with stores in it since. Other slots are read from the file, which
// holds them as they are, without loading their pages.
bool incore(const indexstate &s, int64_t slot) {
	if (s.coretable == nullptr || slot >= s.params.tablesize)
		return false;
	int64_t page = slot / kCorePageSlots;
	return ((s.coreloaded[page / 64] >> (page % 64)) & 1) != 0;
}

// Fills walk->buf with the slots from walk->next on, up to the end of an
// in-core page or of a run of pages read from the file. False on a read
// error.
bool refill(const indexstate &s, dbzslotwalk *w) {
	int64_t want = w->end - w->next;
	if (want > DBZ_WALKSLOTS)
		want = DBZ_WALKSLOTS;
	if (s.coretable != nullptr && w->next < s.params.tablesize) {
		// Within the first table, one page at a time from memory, or the
		// pages not in memory from the file.
		int64_t pageend = (w->next / kCorePageSlots + 1) * kCorePageSlots;
		bool inmemory = incore(s, w->next);
		int64_t stop = w->next;
		while (stop < w->end && stop < w->next + want &&
		       stop < s.params.tablesize && incore(s, stop) == inmemory)
			stop = stop < pageend ? pageend : stop + kCorePageSlots;
		if (stop > w->next + want)
			stop = w->next + want;
		if (stop > s.params.tablesize)
			stop = s.params.tablesize;
		want = stop - w->next;
	}
	if (incore(s, w->next)) {
		memcpy(w->buf, s.coretable + w->next,
		       static_cast<size_t>(want) * kSlotBytes);
	} else {
		int fd = fileno(s.pagfile);
		// A hole is passed over as far as it goes, but not past slots
		// that the in-core table holds: they may be stored in memory only.
		int64_t limit = w->end;
		if (s.coretable != nullptr && w->next < s.params.tablesize)
			limit = w->next + want;
		int64_t at = skiphole(fd, w->next, limit);
		if (at >= limit) {
			w->next = w->from = w->to = limit;
			return true;
		}
		if (at > w->next) {
			w->next = at;
			want = w->end - at < want ? w->end - at : want;
		}
		auto *bytes = reinterpret_cast<char *>(w->buf);
		size_t need = static_cast<size_t>(want) * kSlotBytes;
		int64_t got = preadat(fd, w->next * kSlotBytes, bytes, need, false);
		if (got < 0)
			return false;
		// The file shrank since the walk began: what is gone is empty.
		memset(bytes + got, 0, need - static_cast<size_t>(got));
	}
	w->from = w->next;
	w->to = w->next + want;
	return true;
}

}  // namespace

}  // namespace dbz

using dbz::indexstate;

extern "C" {

dbzitem dbzidkey(const char *id, size_t len) {
	size_t n = len < dbz::kMaxLookupKey ? len + 1 : dbz::kMaxLookupKey;
	return dbzitem{const_cast<char *>(id), static_cast<int32_t>(n)};
}

int dbzgetinfo(dbzinfo *info) {
	const indexstate &s = dbz::state();
	if (s.pagfile == nullptr)
		return -1;
	info->params = s.params;
	info->tagfield = s.tagfield;
	info->tagenable = s.tagenable;
	info->sameorder = s.sameorder;
	info->incore = s.coretable != nullptr;
	info->readonly = s.pagreadonly;
	return 0;
}

int dbzwalkstart(dbzslotwalk *walk) {
	const indexstate &s = dbz::state();
	if (s.pagfile == nullptr)
		return -1;
	struct stat st;
	if (fstat(fileno(s.pagfile), &st) != 0)
		return -1;
	int64_t end = st.st_size / dbz::kSlotBytes;
	if (s.coretable != nullptr && end < s.params.tablesize)
		end = s.params.tablesize;
	walk->end = end;
	walk->next = walk->from = walk->to = 0;
	return 0;
}

int dbzwalknext(dbzslotwalk *walk, dbzslot *slot) {
	const indexstate &s = dbz::state();
	if (s.pagfile == nullptr)
		return -1;
	for (;;) {
		if (walk->next >= walk->end)
			return 0;
		if (walk->next < walk->from || walk->next >= walk->to) {
			if (!dbz::refill(s, walk))
				return -1;
			continue;
		}
		int64_t at = walk->next++;
		uint64_t w = walk->buf[at - walk->from];
		if (w == 0)
			continue;
		if (!s.sameorder)
			w = dbz::pagtonative(w, s.params.byteorder, s.nativemap);
		dbz::decode(s, at, w, slot);
		return 1;
	}
}

int dbzprobestart(dbzprobewalk *walk, dbzitem key) {
	dbz::probestate p;
	if (!dbz::keyprobe(key, &p))
		return -1;
	memcpy(walk->opaque, &p, sizeof p);
	return 0;
}

int dbzprobenext(dbzprobewalk *walk, dbzslot *slot) {
	indexstate &s = dbz::state();
	if (s.pagfile == nullptr)
		return -1;
	dbz::probestate p;
	memcpy(&p, walk->opaque, sizeof p);
	uint64_t raw;
	int r = dbz::probestep(p, &raw);
	memcpy(walk->opaque, &p, sizeof p);
	if (r <= 0)
		return r;
	dbz::decode(s, p.slot, raw + 1, slot);
	slot->candidate = dbz::candidate(raw, p.keytag) != -1;
	return 1;
}

int dbzconfirm(dbzitem key, int64_t value) {
	indexstate &s = dbz::state();
	if (s.pagfile == nullptr || key.ptr == nullptr || key.dsize <= 0)
		return -1;
	if (s.basefile == nullptr && !dbz::openbase())
		return -1;
	char buf[dbz::kMaxLookupKey + 1];
	size_t n;
	const char *k = dbz::lookupkey(key, buf, &n);
	return dbz::confirm(value, k, n);
}

int64_t dbzprobeplace(dbzitem key, int64_t slot) {
	dbz::probestate p;
	if (!dbz::keyprobe(key, &p))
		return -1;
	if (slot < 0)
		return 0;
	// The probe examines position (home + k) mod size at its step k (0 for
	// the home slot): the first table takes the steps below `first`, every
	// later table the next kProbeBudget. So slot, at position pos of table
	// layer, is examined at the first step k with (home + k) mod size ==
	// pos that falls in that table's range of steps, if there is one.
	const dbzparams &c = dbz::state().params;
	int64_t size = c.tablesize;
	int64_t first = c.legacy ? p.budget : dbz::kProbeBudget;
	if (first < 1)
		first = 1;  // a budget of 1 or less moves on after one slot
	int64_t layer = slot / size;
	int64_t pos = slot % size;
	int64_t lo = 0, hi = first;
	if (layer > 0) {
		// A probe of that many steps is never walked; the bound keeps
		// the arithmetic below from overflowing.
		if (__builtin_mul_overflow(layer - 1, int64_t{dbz::kProbeBudget}, &lo) ||
		    __builtin_add_overflow(lo, first, &lo) || lo > INT64_MAX / 4 ||
		    size > INT64_MAX / 4)
			return 0;
		hi = lo + dbz::kProbeBudget;
	}
	// Steps from the home slot to pos, without overflow near INT64_MAX.
	int64_t d = pos - p.slot;
	if (d < 0)
		d += size;
	int64_t k = d;
	if (k < lo)
		k = d + (lo - d + size - 1) / size * size;
	return k < hi ? k + 1 : 0;
}

uint64_t dbzkeytag(dbzitem key) {
	dbz::probestate p;
	if (!dbz::keyprobe(key, &p))
		return 0;
	return static_cast<uint64_t>(p.keytag);
}

}  // extern "C"
