// build.cc: creating and rebuilding empty indexes, and choosing their size
// and tag layout.
#include <cstdlib>
#include <cstring>

#include "dbz/internal.h"

namespace dbz {

namespace {

// Expected entry counts above this are taken as this, so that the size
// arithmetic stays inside 64 bits; no such table could be held anyway.
constexpr int64_t kMaxExpected = int64_t{1} << 60;

// Writes params to a new or truncated name".dir", then creates or
// truncates name".pag" empty. Returns 0 or -1.
int writefiles(const char *name, const dbzparams *params) {
	char *dirname = joinpath(name, ".dir");
	if (dirname == nullptr)
		return -1;
	FILE *dir = fopen(dirname, "w");
	free(dirname);
	if (dir == nullptr)
		return -1;
	int wrote = writeconf(dir, params);
	if (fclose(dir) != 0 || wrote < 0)
		return -1;
	char *pagname = joinpath(name, ".pag");
	if (pagname == nullptr)
		return -1;
	FILE *pag = fopen(pagname, "w");
	free(pagname);
	if (pag == nullptr || fclose(pag) != 0)
		return -1;
	return 0;
}

bool casemodefor(int casechar, char *mode) {
	switch (casechar) {
	case 0:
	case '0':
	case 'B':
		*mode = '0';
		return true;
	case '=':
	case 'b':
		*mode = '=';
		return true;
	case 'C':
	case '?':
		*mode = 'C';
		return true;
	default:
		return false;
	}
}

bool composite(int64_t q) {
	static const int small[] = {37, 31, 29, 23, 19, 17, 13, 11, 7, 5, 3};
	for (int d : small)
		if (q % d == 0)
			return true;
	int64_t b = q;
	while (q / b < b)
		b /= 2;
	for (int64_t d = 39; d < 2 * b; d += 2)
		if (q % d == 0)
			return true;
	return false;
}

}  // namespace

// Moves a configuration on to the one a rebuild derives from it: a new
// usage period, a table sized for the busiest period on record, and a tag
// field narrowed by one bit when values of the period just ended reached
// into it.
void rebuildconf(dbzparams *params) {
	dbzparams &p = *params;
	int64_t busiest = 0;
	bool full = true;
	for (int64_t count : p.usage) {
		if (count > busiest)
			busiest = count;
		if (count == 0)
			full = false;
	}
	int64_t lastuntagged = p.untagged[0];
	for (int k = DBZ_NPERIODS - 1; k > 0; k--) {
		p.usage[k] = p.usage[k - 1];
		p.untagged[k] = p.untagged[k - 1];
	}
	p.usage[0] = 0;
	p.untagged[0] = 0;

	int64_t picked = ::dbzpicksize(busiest > 0 ? busiest : 0);
	if (full && busiest > 0)
		p.tablesize = picked;
	else if (picked > p.tablesize)
		p.tablesize = picked;

	if (lastuntagged != 0) {
		// Values reached into the tag field: give it up from below.
		uint64_t span = static_cast<uint64_t>(p.tagspan);
		p.tagspan = static_cast<int64_t>(span & (span << 1));
		if (p.tagspan == 0)
			p.tagflag = 0;
	}
}

}  // namespace dbz

using dbz::indexstate;

extern "C" {

int dbzcreate(const char *name, int64_t size, int separator, int casechar,
              int64_t tagmask) {
	if (dbz::state().pagfile != nullptr)
		return -1;
	if (size != 0 && size < 2)
		return -1;
	// A mask with the sign bit set leaves no bit above the field for the
	// tag-enable bit: its values would not decode to what was stored.
	if (tagmask < 0)
		return -1;
	dbzparams p;
	dbz::readconf(nullptr, nullptr, &p);
	if (size != 0)
		p.tablesize = size;
	p.separator = static_cast<char>(separator & 0xFF);
	if (!dbz::casemodefor(casechar, &p.casemode))
		return -1;
	if (tagmask == 1) {
		p.tagflag = 0;
		p.tagspan = 0;
		p.tagpos = 0;
	} else if (tagmask != 0) {
		uint64_t m = static_cast<uint64_t>(tagmask);
		p.tagpos = __builtin_ctzll(m);
		uint64_t span = m >> p.tagpos;
		p.tagspan = static_cast<int64_t>(span);
		p.tagflag = static_cast<int64_t>(~span & (span << 1));
	}
	if (dbz::writefiles(name, &p) < 0)
		return -1;
	return dbzopen(name);
}

int dbzrebuild(const char *name, const char *oldname) {
	if (dbz::state().pagfile != nullptr)
		return -1;
	char *olddir = joinpath(oldname, ".dir");
	if (olddir == nullptr)
		return -1;
	FILE *old = fopen(olddir, "r");
	free(olddir);
	if (old == nullptr)
		return -1;
	dbzparams p;
	int read = dbz::readconf(old, nullptr, &p);
	fclose(old);
	if (read < 0)
		return -1;

	dbz::rebuildconf(&p);
	p.legacy = 0;
	if (dbz::writefiles(name, &p) < 0)
		return -1;
	return dbzopen(name);
}

void dbzrebuildconf(dbzparams *params) {
	dbz::rebuildconf(params);
	params->legacy = 0;
}

int64_t dbzpicksize(int64_t expected) {
	if (expected <= 0)
		return dbz::kDefaultTableSize;
	if (expected > dbz::kMaxExpected)
		expected = dbz::kMaxExpected;
	int64_t q = ((expected / 2) * 3) | 1;
	while (dbz::composite(q))
		q += 2;
	return q;
}

int32_t dbzpicktagmask(int32_t largest) {
	uint32_t x = static_cast<uint32_t>(largest);
	for (int bit = 30; bit >= 24; bit--) {
		if (x & (uint32_t{1} << bit)) {
			if (bit == 30)
				return 1;
			// The field takes the bits above bit, up to bit 30.
			return static_cast<int32_t>((uint32_t{1} << 31) -
			                            (uint32_t{1} << (bit + 1)));
		}
	}
	return 0x7F000000;
}

char *joinpath(const char *name, const char *suffix) {
	size_t n = strlen(name), m = strlen(suffix);
	auto *path = static_cast<char *>(malloc(n + m + 1));
	if (path == nullptr)
		return nullptr;
	memcpy(path, name, n);
	memcpy(path + n, suffix, m + 1);
	return path;
}

}  // extern "C"
