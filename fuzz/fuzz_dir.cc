// fuzz_dir.cc: fuzz target for the .dir reader. The input's first byte
// gives the length (0 to 8) of a .pag that the reader sees beside the .dir,
// made of the bytes that follow; the rest of the input is the .dir text.
//
// Checked: reading never crashes or reads outside its buffers; it returns
// 0 or -1; a record it accepts is one the index can use, and writing it
// back and reading that text again gives the same record (legacy aside,
// which is never written) and the same text once more.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dbz/internal.h"

namespace {

// Generous: the longest .dir the writer makes is about 560 bytes.
constexpr size_t kTextMax = 4096;

[[noreturn]] void fail(const char *what) {
	fprintf(stderr, "fuzz_dir: %s\n", what);
	abort();
}

// A read-only stream on n bytes at p (n may be 0).
FILE *memstream(const uint8_t *p, size_t n) {
	static const uint8_t none[1] = {0};
	FILE *f = fmemopen(const_cast<uint8_t *>(n ? p : none), n, "r");
	if (f == nullptr)
		fail("fmemopen");
	return f;
}

// Writes params with writeconf() into text; returns the text's length.
size_t writeout(const dbzparams &params, char *text) {
	FILE *f = fmemopen(text, kTextMax, "w+");
	if (f == nullptr)
		fail("fmemopen");
	if (dbz::writeconf(f, &params) != 0)
		fail("writeconf failed on a memory stream");
	long len = ftell(f);
	fclose(f);
	if (len <= 0 || static_cast<size_t>(len) >= kTextMax)
		fail("writeconf wrote no text or too much");
	return static_cast<size_t>(len);
}

bool samerecord(const dbzparams &a, const dbzparams &b) {
	bool same = a.tablesize == b.tablesize && a.slotwidth == b.slotwidth &&
	            a.casemode == b.casemode && a.separator == b.separator &&
	            a.tagflag == b.tagflag && a.tagspan == b.tagspan &&
	            a.tagpos == b.tagpos;
	for (int i = 0; i < DBZ_NPERIODS; i++)
		same = same && a.usage[i] == b.usage[i] &&
		       a.untagged[i] == b.untagged[i];
	for (int i = 0; i < DBZ_NBYTEORDER; i++)
		same = same && a.byteorder[i] == b.byteorder[i];
	return same;
}

// What the probe and the store rely on in every record the reader accepts.
bool usable(const dbzparams &p) {
	if (p.tablesize < 1 || p.tagpos < 0 || p.tagpos > 63 || p.slotwidth != 8)
		return false;
	unsigned seen = 0;
	for (int i = 0; i < DBZ_NBYTEORDER; i++) {
		if (p.byteorder[i] < 0 || p.byteorder[i] >= DBZ_NBYTEORDER)
			return false;
		seen |= 1u << p.byteorder[i];
	}
	return seen == 0xFF;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	if (size == 0)
		return 0;
	size_t paglen = data[0] % 9;
	if (paglen > size - 1)
		paglen = size - 1;
	const uint8_t *pag = data + 1;
	const uint8_t *dir = pag + paglen;
	size_t dirlen = size - 1 - paglen;

	FILE *dirf = memstream(dir, dirlen);
	FILE *pagf = memstream(pag, paglen);
	dbzparams first;
	memset(&first, 0, sizeof first);
	int r = dbz::readconf(dirf, pagf, &first);
	fclose(dirf);
	fclose(pagf);
	if (r == -1)
		return 0;
	if (r != 0)
		fail("readconf returned neither 0 nor -1");
	if (first.legacy != (dirlen == 0 && paglen > 0 ? 1 : 0))
		fail("legacy does not follow from an empty .dir beside slots");
	if (!usable(first))
		fail("readconf accepted a configuration the index cannot use");

	static char text[kTextMax];
	size_t len = writeout(first, text);
	FILE *back = memstream(reinterpret_cast<uint8_t *>(text), len);
	dbzparams second;
	memset(&second, 0, sizeof second);
	r = dbz::readconf(back, nullptr, &second);
	fclose(back);
	if (r != 0)
		fail("readconf rejected what writeconf wrote");
	if (second.legacy != 0 || !samerecord(first, second))
		fail("a record written and read back differs");

	static char again[kTextMax];
	if (writeout(second, again) != len || memcmp(text, again, len) != 0)
		fail("the same record was written as two texts");
	return 0;
}
