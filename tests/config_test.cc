// config_test.cc: the .dir text (reading, writing, what opening refuses),
// the legacy rule and the byte order of the .pag slots.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tests/scratchindex.h"

namespace {

using scratch::dirspec;
using scratch::dirtext;
using scratch::IndexTest;
using scratch::kZeros;
using scratch::orderline;

const std::string kLine1 = "dbz 3 16 9 C 128 124 24 8 " + orderline() + "\n";

// A stream holding bytes, positioned at its start.
FILE *streamof(const std::string &bytes) {
	FILE *f = tmpfile();
	if (f == nullptr)
		return nullptr;
	fwrite(bytes.data(), 1, bytes.size(), f);
	rewind(f);
	return f;
}

// Runs readconf over a .dir holding text (and a .pag holding pag, if given)
// into a record filled with junk first, so that every field must be set.
int parse(const std::string *text, const std::string *pag, dbzparams *p) {
	memset(p, 0x5A, sizeof *p);
	FILE *dir = text ? streamof(*text) : nullptr;
	FILE *pagf = pag ? streamof(*pag) : nullptr;
	int r = dbz::readconf(dir, pagf, p);
	if (dir)
		fclose(dir);
	if (pagf)
		fclose(pagf);
	return r;
}

int parse(const std::string &text, dbzparams *p) {
	return parse(&text, nullptr, p);
}

void expectdefaults(const dbzparams &p) {
	int32_t native[DBZ_NBYTEORDER];
	dbz::nativeorder(native);
	EXPECT_EQ(p.tablesize, 300007);
	EXPECT_EQ(p.separator, '\t');
	EXPECT_EQ(p.casemode, 'C');
	EXPECT_EQ(p.tagflag, 128);
	EXPECT_EQ(p.tagspan, 124);
	EXPECT_EQ(p.tagpos, 24);
	EXPECT_EQ(p.slotwidth, 8);
	EXPECT_EQ(memcmp(p.byteorder, native, sizeof native), 0);
	for (int i = 0; i < DBZ_NPERIODS; i++) {
		EXPECT_EQ(p.usage[i], 0) << i;
		EXPECT_EQ(p.untagged[i], 0) << i;
	}
}

TEST(ReadNum, Tokens) {
	struct tcase {
		const char *input;
		int64_t value;
		bool error;
		int next;  // the character left in the stream, or EOF
	} cases[] = {
	    {"  42 x", 42, false, ' '},
	    {"-17\n", -17, false, '\n'},
	    {"007 ", 7, false, ' '},
	    {"12", 12, true, EOF},     // the end of the file ends the token
	    {"\n5", 0, true, '5'},     // a newline where a number begins: consumed
	    {"", 0, true, EOF},
	    {"x3 ", 0, true, ' '},
	    {"3a ", 3, true, ' '},
	    {"1-2 ", 1, false, ' '},   // converted as atol would
	    {"--5 ", 0, false, ' '},
	    // Only the first 49 characters count: 47 zeros, then 12345.
	    {"0000000000000000000000000000000000000000000000012345 ", 12, false, ' '},
	};
	for (const auto &c : cases) {
		FILE *in = streamof(c.input);
		ASSERT_NE(in, nullptr);
		int error = 0;
		EXPECT_EQ(dbz::readnum(in, &error), c.value) << c.input;
		EXPECT_EQ(error != 0, c.error) << c.input;
		EXPECT_EQ(getc(in), c.next) << c.input;
		fclose(in);
	}
}

TEST(ReadNum, NeverClearsTheError) {
	FILE *in = streamof("5 ");
	ASSERT_NE(in, nullptr);
	int error = -1;
	EXPECT_EQ(dbz::readnum(in, &error), 5);
	EXPECT_EQ(error, -1);
	fclose(in);
}

// An absent or empty .dir stands for the defaults; legacy only when the
// .pag beside the empty .dir holds something.
TEST(ReadConf, DefaultsAndTheLegacyRule) {
	const std::string empty, onebyte("\0", 1), slots(24, 'x');
	struct tcase {
		const char *label;
		const std::string *dir;
		const std::string *pag;
		int legacy;
	} cases[] = {
	    {"no .dir stream", nullptr, nullptr, 0},
	    {"empty .dir, no .pag stream", &empty, nullptr, 0},
	    {"empty .dir, empty .pag", &empty, &empty, 0},
	    {"empty .dir, one-byte .pag", &empty, &onebyte, 1},
	    {"empty .dir, .pag with slots", &empty, &slots, 1},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		dbzparams p;
		EXPECT_EQ(parse(c.dir, c.pag, &p), 0);
		EXPECT_EQ(p.legacy, c.legacy);
		expectdefaults(p);
	}
}

// What the reader accepts beyond what the writer produces.
TEST(ReadConf, AcceptedVariants) {
	const std::string tail = " 9 C 128 124 24 8 " + orderline() + "\n";
	struct tcase {
		const char *label;
		std::string text;
		int64_t tablesize;
		int separator;  // as an unsigned byte
		char casemode;
		int64_t tagflag;
		int64_t usage0;
		int64_t untagged0;
	} cases[] = {
	    {"as written", kLine1 + "5" + kZeros.substr(1) + "3" + kZeros.substr(1),
	     16, 9, 'C', 128, 5, 3},
	    {"no space after dbz", "dbz3 16" + tail + kZeros + kZeros,
	     16, 9, 'C', 128, 0, 0},
	    {"several spaces", "dbz  3   16  9   =   128 124 24 8 " + orderline() +
	     "\n" + kZeros + kZeros, 16, 9, '=', 128, 0, 0},
	    {"no space after the case mode", "dbz 3 16 9 C128 124 24 8 " +
	     orderline() + "\n" + kZeros + kZeros, 16, 9, 'C', 128, 0, 0},
	    {"version with a leading zero", "dbz 03 16" + tail + kZeros + kZeros,
	     16, 9, 'C', 128, 0, 0},
	    {"ends after line 2", kLine1 + "7" + kZeros.substr(1),
	     16, 9, 'C', 128, 7, 0},
	    {"tail after line 3", kLine1 + kZeros + kZeros + "junk 1 2\n",
	     16, 9, 'C', 128, 0, 0},
	    {"separator -1", "dbz 3 16 -1 C 128 124 24 8 " + orderline() + "\n" +
	     kZeros + kZeros, 16, 255, 'C', 128, 0, 0},
	    {"token of 52 characters",
	     "dbz 3 0000000000000000000000000000000000000000000000016999" + tail +
	     kZeros + kZeros, 16, 9, 'C', 128, 0, 0},
	    {"large counts", kLine1 + "9223372036854775807" + kZeros.substr(1) +
	     kZeros, 16, 9, 'C', 128, INT64_MAX, 0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		dbzparams p;
		ASSERT_EQ(parse(c.text, &p), 0);
		EXPECT_EQ(p.legacy, 0);
		EXPECT_EQ(p.tablesize, c.tablesize);
		EXPECT_EQ(static_cast<unsigned char>(p.separator), c.separator);
		EXPECT_EQ(p.casemode, c.casemode);
		EXPECT_EQ(p.tagflag, c.tagflag);
		EXPECT_EQ(p.tagspan, 124);
		EXPECT_EQ(p.tagpos, 24);
		EXPECT_EQ(p.usage[0], c.usage0);
		EXPECT_EQ(p.untagged[0], c.untagged0);
		EXPECT_EQ(p.untagged[10], 0);
	}
}

// A stream that yields bytes and then fails every further read.
struct failingsource {
	std::string bytes;
	size_t pos;
};

ssize_t failingread(void *cookie, char *buf, size_t size) {
	auto *src = static_cast<failingsource *>(cookie);
	if (src->pos == src->bytes.size()) {
		errno = EIO;
		return -1;
	}
	size_t n = std::min(size, src->bytes.size() - src->pos);
	memcpy(buf, src->bytes.data() + src->pos, n);
	src->pos += n;
	return static_cast<ssize_t>(n);
}

// A read error is no end of file, wherever it strikes: where line 3 would
// begin it must not pass for a .dir that ends after line 2, or the flush
// would write zeros over the untagged counts.
TEST(ReadConf, ReadErrorIsRefused) {
	const std::string good = kLine1 + kZeros + "4 0 0 0 0 0 0 0 0 0 0\n";
	const struct {
		const char *label;
		size_t readable;  // bytes before reads fail
	} cases[] = {
	    {"at the start", 0},
	    {"inside line 1", 10},
	    {"where line 3 begins", kLine1.size() + kZeros.size()},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		failingsource src{good.substr(0, c.readable), 0};
		FILE *dir = fopencookie(&src, "r", {failingread, nullptr, nullptr,
		                                    nullptr});
		ASSERT_NE(dir, nullptr);
		dbzparams p;
		EXPECT_EQ(dbz::readconf(dir, nullptr, &p), -1);
		fclose(dir);
	}
}

TEST(ReadConf, BadSlotWidthIsRejectedAndReadAsEight) {
	dbzparams p;
	EXPECT_EQ(parse("dbz 3 16 9 C 128 124 24 16 " + orderline() + "\n" +
	                kZeros + kZeros, &p), -1);
	EXPECT_EQ(p.slotwidth, 8);
	EXPECT_EQ(p.tablesize, 16);  // the other fields are still read
}

TEST(WriteConf, DefaultsAsText) {
	if (orderline() != "7 6 5 4 3 2 1 0")
		GTEST_SKIP() << "the pinned text is a little-endian machine's";
	dbzparams p;
	ASSERT_EQ(dbz::readconf(nullptr, nullptr, &p), 0);
	FILE *f = tmpfile();
	ASSERT_NE(f, nullptr);
	ASSERT_EQ(dbz::writeconf(f, &p), 0);
	rewind(f);
	char buf[256] = {};
	size_t n = fread(buf, 1, sizeof buf - 1, f);
	fclose(f);
	EXPECT_EQ(std::string(buf, n),
	          "dbz 3 300007 9 C 128 124 24 8 7 6 5 4 3 2 1 0\n" + kZeros + kZeros);
}

TEST(WriteConf, RoundTripsEveryField) {
	dbzparams out;
	memset(&out, 0, sizeof out);
	out.legacy = 1;  // not written: reads back as 0
	out.tablesize = 123456789012;
	out.slotwidth = 8;
	const int32_t order[DBZ_NBYTEORDER] = {3, 1, 4, 0, 5, 2, 7, 6};
	memcpy(out.byteorder, order, sizeof order);
	out.casemode = '=';
	out.separator = static_cast<char>(255);
	out.tagflag = 0x100;
	out.tagspan = 0xFF;
	out.tagpos = 40;
	for (int i = 0; i < DBZ_NPERIODS; i++) {
		out.usage[i] = 1000003 * (i + 1);
		out.untagged[i] = i == 4 ? -77 : 17 * i;
	}
	FILE *f = tmpfile();
	ASSERT_NE(f, nullptr);
	ASSERT_EQ(dbz::writeconf(f, &out), 0);
	rewind(f);
	dbzparams in;
	memset(&in, 0x5A, sizeof in);
	ASSERT_EQ(dbz::readconf(f, nullptr, &in), 0);
	fclose(f);

	EXPECT_EQ(in.legacy, 0);
	EXPECT_EQ(in.tablesize, out.tablesize);
	EXPECT_EQ(in.slotwidth, 8);
	EXPECT_EQ(memcmp(in.byteorder, order, sizeof order), 0);
	EXPECT_EQ(in.casemode, '=');
	EXPECT_EQ(static_cast<unsigned char>(in.separator), 255);
	EXPECT_EQ(in.tagflag, out.tagflag);
	EXPECT_EQ(in.tagspan, out.tagspan);
	EXPECT_EQ(in.tagpos, out.tagpos);
	for (int i = 0; i < DBZ_NPERIODS; i++) {
		EXPECT_EQ(in.usage[i], out.usage[i]) << i;
		EXPECT_EQ(in.untagged[i], out.untagged[i]) << i;
	}
}

// The writer does not truncate: a shorter text leaves the old tail behind,
// which the reader never reaches.
TEST(WriteConf, ShorterOverLongerReadsBack) {
	dbzparams longer, shorter;
	ASSERT_EQ(dbz::readconf(nullptr, nullptr, &longer), 0);
	shorter = longer;
	longer.tablesize = 987654321987;
	shorter.tablesize = 7;
	for (int i = 0; i < DBZ_NPERIODS; i++) {
		longer.usage[i] = longer.untagged[i] = 123456789;
		shorter.usage[i] = shorter.untagged[i] = i;
	}
	FILE *f = tmpfile();
	ASSERT_NE(f, nullptr);
	ASSERT_EQ(dbz::writeconf(f, &longer), 0);
	long longlen = ftell(f);
	ASSERT_EQ(dbz::writeconf(f, &shorter), 0);
	EXPECT_LT(ftell(f), longlen);
	fseek(f, 0, SEEK_END);
	EXPECT_EQ(ftell(f), longlen);  // the old tail is still there

	rewind(f);
	dbzparams in;
	ASSERT_EQ(dbz::readconf(f, nullptr, &in), 0);
	fclose(f);
	EXPECT_EQ(in.tablesize, 7);
	for (int i = 0; i < DBZ_NPERIODS; i++) {
		EXPECT_EQ(in.usage[i], i);
		EXPECT_EQ(in.untagged[i], i);
	}
}

TEST(WriteConf, ReportsAFailedWriteOrSeek) {
	dbzparams p;
	ASSERT_EQ(dbz::readconf(nullptr, nullptr, &p), 0);

	FILE *readonly = fopen("/dev/null", "r");
	ASSERT_NE(readonly, nullptr);
	EXPECT_EQ(dbz::writeconf(readonly, &p), -1);
	fclose(readonly);

	int fds[2];
	ASSERT_EQ(pipe(fds), 0);
	FILE *pipeout = fdopen(fds[1], "w");
	ASSERT_NE(pipeout, nullptr);
	EXPECT_EQ(dbz::writeconf(pipeout, &p), -1);  // a pipe cannot seek
	fclose(pipeout);
	close(fds[0]);
}

// The map locates the byte of significance 7 - i of a word in memory.
TEST(ByteOrder, NativeMapLocatesEachByte) {
	int32_t map[DBZ_NBYTEORDER];
	dbz::nativeorder(map);
	const uint64_t word = 0x0706050403020100;  // byte of significance s holds s
	unsigned char bytes[8];
	memcpy(bytes, &word, sizeof bytes);
	for (int i = 0; i < DBZ_NBYTEORDER; i++)
		EXPECT_EQ(bytes[map[i]], 7 - i) << i;
}

// A word laid out as filemap says, built from the map's definition.
uint64_t layout(uint64_t value, const int32_t *filemap) {
	unsigned char bytes[8];
	for (int i = 0; i < DBZ_NBYTEORDER; i++)
		bytes[filemap[i]] = static_cast<unsigned char>(value >> (8 * (7 - i)));
	uint64_t w;
	memcpy(&w, bytes, sizeof w);
	return w;
}

TEST(ByteOrder, ConvertsBetweenFileAndNativeOrder) {
	int32_t native[DBZ_NBYTEORDER], reversed[DBZ_NBYTEORDER];
	dbz::nativeorder(native);
	for (int i = 0; i < DBZ_NBYTEORDER; i++)
		reversed[i] = native[DBZ_NBYTEORDER - 1 - i];
	const int32_t scrambled[DBZ_NBYTEORDER] = {2, 0, 7, 1, 6, 3, 5, 4};
	const int32_t *maps[] = {native, reversed, scrambled};
	const uint64_t value = 0x8877665544332211;
	for (const int32_t *m : maps) {
		uint64_t file = layout(value, m);
		EXPECT_EQ(dbz::pagtonative(file, m, native), value);
		EXPECT_EQ(dbz::nativetopag(value, native, m), file);
	}
	EXPECT_EQ(dbz::nativetopag(value, native, reversed),
	          __builtin_bswap64(value));
}

class ConfigOpenTest : public IndexTest {};

// The example lines of a fresh default index, written by hand.
TEST_F(ConfigOpenTest, HandWrittenDirOpens) {
	makeindex("hist", "dbz 3 300007 9 C 128 124 24 8 " + orderline() + "\n" +
	                  kZeros + kZeros);
	ASSERT_EQ(open("hist"), 0);
	const dbz::indexstate &s = dbz::state();
	EXPECT_EQ(s.params.legacy, 0);
	expectdefaults(s.params);
	EXPECT_TRUE(s.sameorder);
	EXPECT_EQ(s.tagfield, uint64_t{0x7C} << 24);
	EXPECT_EQ(s.tagenable, uint64_t{1} << 31);
	EXPECT_EQ(s.tagall, uint64_t{0xFC} << 24);
	EXPECT_EQ(dbzdone(), 0);
}

// Every kind of malformed .dir fails the open with EDOM, closes what the
// open opened, and leaves the index closed so that a good one opens next.
TEST_F(ConfigOpenTest, MalformedDirIsRefused) {
	const std::string order = orderline();
	const std::string head = "dbz 3 16 9 C 128 124 24 8 ";
	const std::string z10 = "0 0 0 0 0 0 0 0 0 0";
	struct tcase {
		const char *label;
		std::string text;
	} cases[] = {
	    {"only a newline", "\n"},
	    {"space before dbz", " " + kLine1 + kZeros + kZeros},
	    {"wrong magic", "dbx 3 16 9 C 128 124 24 8 " + order + "\n" + kZeros +
	     kZeros},
	    {"upper-case magic", "DBZ 3 16 9 C 128 124 24 8 " + order + "\n" +
	     kZeros + kZeros},
	    {"version 4", "dbz 4 16 9 C 128 124 24 8 " + order + "\n" + kZeros + kZeros},
	    {"letter after the version", "dbz 3a 16 9 C 128 124 24 8 " + order +
	     "\n" + kZeros + kZeros},
	    {"slot width 16", "dbz 3 16 9 C 128 124 24 16 " + order + "\n" + kZeros +
	     kZeros},
	    {"space before the end of line 1", head + order + " \n" + kZeros + kZeros},
	    {"nine byte-order entries", head + order + " 0\n" + kZeros + kZeros},
	    {"seven byte-order entries", head + "7 6 5 4 3 2 1\n" + kZeros + kZeros},
	    {"ten usage counts", kLine1 + z10 + "\n" + kZeros},
	    {"twelve usage counts", kLine1 + z10 + " 0 0\n" + kZeros},
	    {"space after the usage counts", kLine1 + z10 + " 0 \n" + kZeros},
	    {"ends after the last usage count", kLine1 + z10 + " 0"},
	    {"line 3 without its newline", kLine1 + kZeros + z10 + " 0"},
	    {"twelve untagged counts", kLine1 + kZeros + z10 + " 0 0\n"},
	    {"space after the untagged counts", kLine1 + kZeros + z10 + " 0 \n"},
	    {"ten untagged counts", kLine1 + kZeros + z10 + "\n"},
	    {"letter in a number", "dbz 3 16x 9 C 128 124 24 8 " + order + "\n" +
	     kZeros + kZeros},
	    {"decimal point in a count", kLine1 + "1.5 " + kZeros.substr(2) + kZeros},
	    {"tab between fields", "dbz\t3 16 9 C 128 124 24 8 " + order + "\n" +
	     kZeros + kZeros},
	    {"ends inside line 1", "dbz 3 16 9 C"},
	    // Values the index cannot work with.
	    {"table size 0", dirtext({.tablesize = 0})},
	    {"negative table size", dirtext({.tablesize = -16})},
	    {"byte order with a repeat", dirtext({.order = "7 6 5 4 3 2 1 1"})},
	    {"byte order entry 8", dirtext({.order = "8 6 5 4 3 2 1 0"})},
	    {"negative byte order entry", dirtext({.order = "7 6 5 4 3 2 1 -1"})},
	    {"tag position -1", dirtext({.tags = "128 124 -1"})},
	    {"tag position 64", dirtext({.tags = "128 124 64"})},
	    {"enable bit inside the tag field", dirtext({.tags = "64 124 24"})},
	    {"tag field without an enable bit", dirtext({.tags = "0 124 24"})},
	    {"enable bit shifted out of the word", dirtext({.tags = "128 1 62"})},
	};
	makeindex("good", dirtext());
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		makeindex("bad", c.text);
		int fds = scratch::openfds();
		errno = 0;
		EXPECT_EQ(open("bad"), -1);
		EXPECT_EQ(errno, EDOM);
		EXPECT_EQ(dbz::state().pagfile, nullptr);
		EXPECT_EQ(scratch::openfds(), fds);
		EXPECT_EQ(dbzflush(), -1);  // nothing is open

		ASSERT_EQ(open("good"), 0);
		EXPECT_EQ(dbz::state().params.tablesize, 16);
		EXPECT_EQ(dbzdone(), 0);
	}
}

// Every tag position the reader accepts gives usable masks (the sanitizer
// build would report a shift out of range), and keys can be stored.
TEST_F(ConfigOpenTest, TagPositionsAtTheEdgesWork) {
	const struct {
		const char *tags;
		uint64_t tagall;
	} cases[] = {
	    {"128 124 0", 0xFC},
	    {"1 0 63", uint64_t{1} << 63},
	    {"0 0 24", 0},  // no tags at all
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.tags);
		makeindex("hist", dirtext({.tags = c.tags}), "", "<a@b>\tx\n<c@d>\ty\n");
		ASSERT_EQ(open("hist"), 0);
		EXPECT_EQ(dbz::state().tagall, c.tagall);
		int64_t off = 8;
		EXPECT_EQ(dbzstore(scratch::key("<c@d>"),
		                   dbzitem{reinterpret_cast<char *>(&off), 8}), 0);
		dbzitem hit = dbzlookup(scratch::key("<c@d>"));
		ASSERT_NE(hit.ptr, nullptr);
		EXPECT_EQ(memcmp(hit.ptr, &off, 8), 0);
		EXPECT_EQ(dbzdone(), 0);
	}
}

// A .dir or .pag that opens but cannot be read is no empty file: taking it
// for one would run the index with the default table size, and the next
// flush would write those defaults over the real configuration.
TEST_F(ConfigOpenTest, UnreadableDirOrPagIsRefused) {
	// A directory opens for reading, but every read of it fails.
	makeindex("dirfails", "");
	std::filesystem::remove(path("dirfails.dir"));
	std::filesystem::create_directory(path("dirfails.dir"));
	makeindex("pagfails", "");
	std::filesystem::remove(path("pagfails.pag"));
	std::filesystem::create_directory(path("pagfails.pag"));
	for (const char *base : {"dirfails", "pagfails"}) {
		SCOPED_TRACE(base);
		int fds = scratch::openfds();
		EXPECT_EQ(open(base), -1);
		EXPECT_EQ(errno, EDOM);
		EXPECT_EQ(dbz::state().pagfile, nullptr);
		EXPECT_EQ(scratch::openfds(), fds);
	}
}

// A legacy index (empty .dir, slots in the .pag) works with the defaults and
// keeps its .dir empty, so it is legacy again at the next open.
TEST_F(ConfigOpenTest, LegacyIndexStaysLegacy) {
	makeindex("hist", "", std::string(8, '\0'), "<a@b>\tx\n<c@d>\ty\n");
	ASSERT_EQ(open("hist"), 0);
	EXPECT_EQ(dbz::state().params.legacy, 1);
	expectdefaults(dbz::state().params);
	int64_t off = 8;
	ASSERT_EQ(dbzstore(scratch::key("<c@d>"),
	                   dbzitem{reinterpret_cast<char *>(&off), 8}), 0);
	ASSERT_EQ(dbzdone(), 0);
	EXPECT_EQ(readfile("hist.dir"), "");

	ASSERT_EQ(open("hist"), 0);
	EXPECT_EQ(dbz::state().params.legacy, 1);
	dbzitem hit = dbzlookup(scratch::key("<c@d>"));
	ASSERT_NE(hit.ptr, nullptr);
	int64_t got;
	memcpy(&got, hit.ptr, sizeof got);
	EXPECT_EQ(got, 8);
	EXPECT_EQ(dbzdone(), 0);
}

// An index made on a machine of the other byte order: its slots are read
// and written byte-reversed. One slot per table and no tags put every key's
// first candidate in slot 0 as value + 1.
TEST_F(ConfigOpenTest, OtherByteOrderIsConverted) {
	const std::string records = "<a@b>\tx\n"
	                            "<pad>\t0123456789abcdef0123456789abcdef\n"
	                            "<c@d>\ty\n";
	const int64_t coff = static_cast<int64_t>(records.find("<c@d>"));
	const dirspec spec{.tablesize = 1, .tags = "0 0 0",
	                   .order = orderline(true)};

	// Reading: slot 0 holds <c@d>'s offset + 1, most significant byte first.
	uint64_t slot = __builtin_bswap64(static_cast<uint64_t>(coff + 1));
	makeindex("read", dirtext(spec),
	          std::string(reinterpret_cast<char *>(&slot), 8), records);
	ASSERT_EQ(open("read"), 0);
	EXPECT_FALSE(dbz::state().sameorder);
	dbzitem hit = dbzlookup(scratch::key("<c@d>"));
	ASSERT_NE(hit.ptr, nullptr);
	int64_t got;
	memcpy(&got, hit.ptr, sizeof got);
	EXPECT_EQ(got, coff);
	ASSERT_EQ(dbzdone(), 0);

	// Writing: a store into the empty slot 0 puts the same bytes there.
	makeindex("write", dirtext(spec), "", records);
	ASSERT_EQ(open("write"), 0);
	int64_t off = coff;
	ASSERT_EQ(dbzstore(scratch::key("<c@d>"),
	                   dbzitem{reinterpret_cast<char *>(&off), 8}), 0);
	ASSERT_EQ(dbzdone(), 0);
	EXPECT_EQ(readfile("write.pag"), readfile("read.pag"));
	// and the .dir keeps the other machine's order
	EXPECT_NE(readfile("write.dir").find(orderline(true) + "\n"),
	          std::string::npos);
}

}  // namespace
