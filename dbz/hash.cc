// hash.cc: key hashing and case folding. Both decide where keys land in the
// .pag, so their results are part of the file format.
#include <cstring>

#include "dbz/internal.h"

namespace dbz {

namespace {

// The hash's feedback polynomial; entry i of the table is the exclusive-or
// of kPolyBasis >> j over the bits j set in i.
constexpr int64_t kPolyBasis = 0x48000000;

// The same table as hashinit() puts in the index state, made at compile
// time in 32 bits (no entry reaches 2^31) for keyhash()'s inner loop.
struct polywords {
	uint32_t word[128];
};
constexpr polywords makepoly() {
	polywords t{};
	for (int i = 0; i < 128; i++)
		for (int j = 0; j < 7; j++)
			if (i & (1 << j))
				t.word[i] ^= static_cast<uint32_t>(kPolyBasis >> j);
	return t;
}
constexpr polywords kPoly = makepoly();
constexpr char kPostmaster[] = "postmaster";
constexpr size_t kPostmasterLen = sizeof kPostmaster - 1;

inline char foldchar(const indexstate &s, char c) {
	return s.foldtable[static_cast<signed char>(c) + 128];
}

void buildfoldtable(indexstate &s) {
	if (s.foldready)
		return;
	memset(s.foldtable, 0, sizeof s.foldtable);
	static const char lower[] = "abcdefghijklmnopqrstuvwxyz";
	static const char upper[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
	for (int i = 0; lower[i] != '\0'; i++) {
		s.foldtable[lower[i] + 128] = lower[i];
		s.foldtable[upper[i] + 128] = lower[i];
	}
	for (int i = 0; i < static_cast<int>(sizeof s.foldtable); i++)
		if (s.foldtable[i] == 0)
			s.foldtable[i] = static_cast<char>((i - 128) & 0xFF);
	s.foldready = true;
}

}  // namespace

void hashinit() {
	indexstate &s = state();
	for (int i = 0; i < 128; i++) {
		int64_t v = 0;
		for (int j = 0; j < 7; j++)
			if (i & (1 << j))
				v ^= kPolyBasis >> j;
		s.polytable[i] = v;
	}
}

// sum = (sum >> 7) ^ poly[(sum ^ byte) & 0x7F] for every byte in turn. The
// sum stays below 2^31, so 32 unsigned bits hold it; only the low 7 bits
// of a byte take part, so its sign does not matter. Four bytes a round
// keep the loop's own instructions out of the way.
int64_t keyhash(const char *key, size_t len) {
	const auto *p = reinterpret_cast<const unsigned char *>(key);
	const uint32_t *poly = kPoly.word;
	uint32_t sum = 0;
	size_t i = 0;
	for (; i + 4 <= len; i += 4) {
		sum = (sum >> 7) ^ poly[(sum ^ p[i]) & 0x7F];
		sum = (sum >> 7) ^ poly[(sum ^ p[i + 1]) & 0x7F];
		sum = (sum >> 7) ^ poly[(sum ^ p[i + 2]) & 0x7F];
		sum = (sum >> 7) ^ poly[(sum ^ p[i + 3]) & 0x7F];
	}
	for (; i < len; i++)
		sum = (sum >> 7) ^ poly[(sum ^ p[i]) & 0x7F];
	return sum;
}

ptrdiff_t foldpoint(const char *key, size_t len) {
	indexstate &s = state();
	switch (s.params.casemode) {
	case '=':
		return 0;
	case 'C': {
		// An empty key may have no address, which memchr must not see.
		if (len == 0)
			return -1;
		const char *at = static_cast<const char *>(memchr(key, '@', len));
		if (at == nullptr)
			return -1;
		ptrdiff_t off = at - key;
		if (off != static_cast<ptrdiff_t>(kPostmasterLen) + 1)
			return off;
		// "<postmaster@..." is folded whole: its local part is
		// case-insensitive by definition.
		buildfoldtable(s);
		for (size_t i = 0; i < kPostmasterLen; i++) {
			char c = key[i + 1];
			if (c == '\0' || foldchar(s, c) != kPostmaster[i])
				return off;
		}
		return 0;
	}
	default:
		return -1;
	}
}

const char *foldkey(char *dst, const char *src, size_t len) {
	ptrdiff_t p = foldpoint(src, len);
	if (p < 0)
		return src;
	indexstate &s = state();
	buildfoldtable(s);
	size_t start = static_cast<size_t>(p);
	if (dst != src && start > 0)
		memcpy(dst, src, start);
	for (size_t i = start; i < len; i++)
		dst[i] = foldchar(s, src[i]);
	return dst;
}

}  // namespace dbz
