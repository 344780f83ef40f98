// config.cc: the .dir configuration text, the machine's byte order and the
// conversion of slot words between the .pag's byte order and the native one.
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "dbz/internal.h"

namespace dbz {

namespace {

// Longest number token kept; the rest of a longer token is read and dropped.
constexpr int kTokenMax = 49;

void setdefaults(dbzparams *p) {
	p->tablesize = kDefaultTableSize;
	p->separator = kDefaultSeparator;
	for (int i = 0; i < DBZ_NPERIODS; i++) {
		p->usage[i] = 0;
		p->untagged[i] = 0;
	}
	p->slotwidth = kSlotBytes;
	nativeorder(p->byteorder);
	p->casemode = kDefaultCaseMode;
	p->tagflag = kDefaultTagFlag;
	p->tagspan = kDefaultTagSpan;
	p->tagpos = kDefaultTagPos;
}

// Values the reader takes as read but the index cannot use: a table size
// that every probe divides by, byte positions outside a slot, shifts
// outside a 64-bit word, and a tag layout whose stored values would not
// decode to what was stored (a tag field without an enable bit, or an
// enable bit inside the field).
bool usable(const dbzparams *p) {
	if (p->tablesize < 1 || p->tagpos < 0 || p->tagpos > 63)
		return false;
	uint64_t field = static_cast<uint64_t>(p->tagspan) << p->tagpos;
	uint64_t enable = static_cast<uint64_t>(p->tagflag) << p->tagpos;
	if ((field & enable) != 0 || (field != 0 && enable == 0))
		return false;
	bool seen[DBZ_NBYTEORDER] = {};
	for (int i = 0; i < DBZ_NBYTEORDER; i++) {
		int32_t b = p->byteorder[i];
		if (b < 0 || b >= DBZ_NBYTEORDER || seen[b])
			return false;
		seen[b] = true;
	}
	return true;
}

void readcounts(FILE *in, int64_t *counts, int *error) {
	for (int i = 0; i < DBZ_NPERIODS; i++)
		counts[i] = readnum(in, error);
}

void expectnewline(FILE *in, int *error) {
	if (getc(in) != '\n')
		*error = -1;
}

void writecounts(FILE *out, const int64_t *counts) {
	for (int i = 0; i < DBZ_NPERIODS; i++)
		fprintf(out, "%" PRId64 "%c", counts[i],
		        i < DBZ_NPERIODS - 1 ? ' ' : '\n');
}

}  // namespace

int64_t readnum(FILE *in, int *error) {
	int c;
	while ((c = getc(in)) == ' ')
		;
	if (c == '\n' || c == EOF) {
		*error = -1;
		return 0;
	}
	char token[kTokenMax + 1];
	int len = 0;
	token[len++] = static_cast<char>(c);
	for (;;) {
		c = getc(in);
		if (c == ' ' || c == '\n') {
			ungetc(c, in);
			break;
		}
		if (c == EOF) {
			*error = -1;
			break;
		}
		if (len < kTokenMax)
			token[len++] = static_cast<char>(c);
	}
	token[len] = '\0';
	if (strspn(token, "-1234567890") != static_cast<size_t>(len))
		*error = -1;
	return strtoll(token, nullptr, 10);
}

int readconf(FILE *dir, FILE *pag, dbzparams *p) {
	int error = 0;
	p->legacy = 0;
	if (dir == nullptr) {
		setdefaults(p);
		return 0;
	}
	int c = getc(dir);
	if (c == EOF) {
		// An empty .dir stands for the defaults; beside a .pag that holds
		// slots it marks an index made before the .dir was written. A read
		// error is no empty file: the defaults would misplace every key.
		if (ferror(dir))
			return -1;
		if (pag != nullptr) {
			if (getc(pag) != EOF)
				p->legacy = 1;
			else if (ferror(pag))
				return -1;
		}
		setdefaults(p);
		return 0;
	}
	ungetc(c, dir);

	if (getc(dir) != 'd' || getc(dir) != 'b' || getc(dir) != 'z')
		error = -1;
	if (readnum(dir, &error) != kFormatVersion)
		error = -1;
	p->tablesize = readnum(dir, &error);
	p->separator = static_cast<char>(readnum(dir, &error) & 0xFF);
	while ((c = getc(dir)) == ' ')
		;
	p->casemode = static_cast<char>(c);
	p->tagflag = readnum(dir, &error);
	p->tagspan = readnum(dir, &error);
	p->tagpos = static_cast<int32_t>(readnum(dir, &error));
	p->slotwidth = static_cast<int32_t>(readnum(dir, &error));
	if (p->slotwidth != kSlotBytes) {
		error = -1;
		p->slotwidth = kSlotBytes;
	}
	for (int i = 0; i < DBZ_NBYTEORDER; i++)
		p->byteorder[i] = static_cast<int32_t>(readnum(dir, &error));
	expectnewline(dir, &error);
	readcounts(dir, p->usage, &error);
	expectnewline(dir, &error);
	c = getc(dir);
	if (c == EOF) {
		for (int i = 0; i < DBZ_NPERIODS; i++)
			p->untagged[i] = 0;
	} else {
		ungetc(c, dir);
		readcounts(dir, p->untagged, &error);
		expectnewline(dir, &error);
	}
	p->legacy = 0;
	// A read error reads as an end of file, which is accepted where line 3
	// would begin; it must not pass for a .dir that ends after line 2.
	if (ferror(dir) || !usable(p))
		error = -1;
	return error;
}

int writeconf(FILE *dir, const dbzparams *p) {
	// Only this write's errors count: one that failed before must not fail
	// every later rewrite of the stream.
	clearerr(dir);
	bool seekfailed = fseek(dir, 0, SEEK_SET) != 0;
	fprintf(dir, "dbz %d %" PRId64 " %d %c %" PRId64 " %" PRId64 " %d %d",
	        kFormatVersion, p->tablesize,
	        static_cast<int>(static_cast<signed char>(p->separator)),
	        p->casemode, p->tagflag, p->tagspan, p->tagpos, p->slotwidth);
	for (int i = 0; i < p->slotwidth && i < DBZ_NBYTEORDER; i++)
		fprintf(dir, " %d", p->byteorder[i]);
	putc('\n', dir);
	writecounts(dir, p->usage);
	writecounts(dir, p->untagged);
	fflush(dir);
	return (ferror(dir) || seekfailed) ? -1 : 0;
}

void nativeorder(int32_t map[DBZ_NBYTEORDER]) {
	uint64_t x = 1;
	unsigned char bytes[sizeof x];
	for (int k = DBZ_NBYTEORDER - 1; k >= 0; k--) {
		memcpy(bytes, &x, sizeof x);
		int pos = 0;
		while (bytes[pos] == 0)
			pos++;
		map[k] = pos;
		do {
			x <<= 1;
			memcpy(bytes, &x, sizeof x);
		} while (bytes[pos] != 0);
	}
}

uint64_t pagtonative(uint64_t stored, const int32_t *filemap,
                     const int32_t *nativemap) {
	unsigned char in[kSlotBytes], out[kSlotBytes];
	memcpy(in, &stored, sizeof in);
	for (int i = 0; i < kSlotBytes; i++)
		out[nativemap[i]] = in[filemap[i]];
	uint64_t native;
	memcpy(&native, out, sizeof native);
	return native;
}

uint64_t nativetopag(uint64_t stored, const int32_t *nativemap,
                     const int32_t *filemap) {
	unsigned char in[kSlotBytes], out[kSlotBytes];
	memcpy(in, &stored, sizeof in);
	for (int i = 0; i < kSlotBytes; i++)
		out[filemap[i]] = in[nativemap[i]];
	uint64_t file;
	memcpy(&file, out, sizeof file);
	return file;
}

}  // namespace dbz
