// hash_test.cc: known answers for the key hash and the case-folding modes;
// both decide where keys land in the .pag.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dbz/internal.h"

namespace {

class HashTest : public ::testing::Test {
protected:
	void SetUp() override {
		dbz::resetstate();
		dbz::hashinit();
	}
	void TearDown() override { dbz::resetstate(); }
};

TEST_F(HashTest, TableEntriesCombineTheBasisByExclusiveOr) {
	const int64_t *t = dbz::state().polytable;
	EXPECT_EQ(t[0], 0);
	EXPECT_EQ(t[1], 0x48000000);
	EXPECT_EQ(t[64], 0x01200000);
	EXPECT_EQ(t[9], 0x41000000);   // 0x48000000 ^ 0x09000000: overlapping bits
	EXPECT_EQ(t[97], 0x4B600000);  // 64 + 32 + 1
	for (int i = 0; i < 128; i++)
		EXPECT_LT(t[i], int64_t{1} << 31) << i;
}

TEST_F(HashTest, KnownAnswers) {
	const struct {
		std::string key;
		int64_t hash;
	} cases[] = {
	    {"", 0},
	    {"a", 0x4B600000},
	    {"\xE1", 0x4B600000},  // the top bit of a byte takes no part
	    {"abc", 0x6F2FED80},
	    {"\xE1\xE2\xE3", 0x6F2FED80},
	    {"ab\xE3", 0x6F2FED80},
	};
	for (const auto &c : cases)
		EXPECT_EQ(dbz::keyhash(c.key.data(), c.key.size()), c.hash)
		    << "key \"" << c.key << "\"";
}

TEST_F(HashTest, HashesEveryByteGiven) {
	const std::string withnul("<a@b>\0", 6), without("<a@b>", 5);
	EXPECT_NE(dbz::keyhash(withnul.data(), withnul.size()),
	          dbz::keyhash(without.data(), without.size()));
	// and never leaves the 31 bits, whatever the bytes
	std::string all;
	for (int b = 0; b < 256; b++)
		all += static_cast<char>(b);
	int64_t h = dbz::keyhash(all.data(), all.size());
	EXPECT_GE(h, 0);
	EXPECT_LT(h, int64_t{1} << 31);
}

// The hash as defined, one byte at a time through the index state's table,
// against keyhash() over keys of every length up to 300 and every byte
// value, and folding against the fold table: keyhash() and foldkey() take
// shortcuts that must not move a key.
TEST_F(HashTest, ShortcutsAgreeWithTheTables) {
	const int64_t *poly = dbz::state().polytable;
	std::string key;
	uint32_t x = 12345;
	for (size_t len = 0; len <= 300; len++) {
		int64_t sum = 0;
		for (size_t i = 0; i < len; i++)
			sum = (sum >> 7) ^ poly[(sum ^ key[i]) & 0x7F];
		ASSERT_EQ(dbz::keyhash(key.data(), len), sum) << "length " << len;
		x = x * 1103515245 + 12345;
		key += static_cast<char>(len < 256 ? len : x >> 24);
	}
	dbz::state().params.casemode = '=';
	std::string folded(key.size(), '\0');
	ASSERT_EQ(dbz::foldkey(folded.data(), key.data(), key.size()), folded.data());
	const char *table = dbz::state().foldtable;
	for (size_t i = 0; i < key.size(); i++)
		EXPECT_EQ(folded[i], table[static_cast<signed char>(key[i]) + 128]) << i;
}

struct foldcase {
	char mode;
	std::string input;
	std::string expected;
	bool returnsdst;  // false: the source comes back, nothing is written
};

const foldcase kFoldCases[] = {
    {'0', "<AbC@ExAmple.COM>", "<AbC@ExAmple.COM>", false},
    {'x', "<AbC@ExAmple.COM>", "<AbC@ExAmple.COM>", false},  // unknown mode
    {'=', "<AbC@ExAmple.COM>", "<abc@example.com>", true},
    {'=', "", "", true},
    {'=', "\xC4\xE9" "AZ@[]^_`{}09\x7F\x80\xFF", "\xC4\xE9" "az@[]^_`{}09\x7F\x80\xFF", true},
    {'C', "<AbC@ExAmple.COM>", "<AbC@example.com>", true},
    {'C', "<AbC.ExAmple.COM>", "<AbC.ExAmple.COM>", false},  // no at sign
    {'C', "<A@B@C>", "<A@b@c>", true},  // from the first at sign
    {'C', "<AbC@", "<AbC@", true},
    // "postmaster" in bytes 1 to 10 and the first at sign at 11: all folded.
    {'C', "<PostMaster@Example.COM>", "<postmaster@example.com>", true},
    {'C', "<POSTMASTER@X>", "<postmaster@x>", true},
    {'C', "XPOSTMASTER@X", "xpostmaster@x", true},  // byte 0 is not examined
    // Anything else folds from the at sign only.
    {'C', "<PostMastr@EX>", "<PostMastr@ex>", true},      // at sign at 10
    {'C', "<PostMasterS@EX>", "<PostMasterS@ex>", true},  // at sign at 12
    {'C', "<PostMaste_@EX>", "<PostMaste_@ex>", true},    // one letter differs
    {'C', std::string("<Post\0aster@EX>", 15), std::string("<Post\0aster@ex>", 15), true},
    {'C', "PostMaster@@EX", "PostMaster@@ex", true},  // at sign at 10 and 11
};

std::string show(const foldcase &c) {
	return std::string("mode '") + c.mode + "' key \"" + c.input + "\"";
}

TEST_F(HashTest, FoldModes) {
	for (const foldcase &c : kFoldCases) {
		dbz::state().params.casemode = c.mode;
		std::string src = c.input;
		std::string dst(src.size() + 1, '#');
		const char *got = dbz::foldkey(dst.data(), src.data(), src.size());
		EXPECT_EQ(got, c.returnsdst ? dst.data() : src.data()) << show(c);
		EXPECT_EQ(std::string(got, src.size()), c.expected) << show(c);
		EXPECT_EQ(src, c.input) << show(c) << ": the source is not changed";
		if (c.returnsdst)
			EXPECT_EQ(dst.back(), '#') << show(c) << ": no terminator";
		else
			EXPECT_EQ(dst, std::string(src.size() + 1, '#'))
			    << show(c) << ": the destination is not written";
	}
}

TEST_F(HashTest, FoldingInPlaceMatchesFoldingIntoABuffer) {
	for (const foldcase &c : kFoldCases) {
		dbz::state().params.casemode = c.mode;
		std::string buf = c.input;
		const char *got = dbz::foldkey(buf.data(), buf.data(), buf.size());
		EXPECT_EQ(got, buf.data()) << show(c);
		EXPECT_EQ(buf, c.expected) << show(c);
	}
}

TEST_F(HashTest, FoldPoint) {
	const struct {
		char mode;
		const char *key;
		ptrdiff_t point;
	} cases[] = {
	    {'=', "<abc@d>", 0},
	    {'C', "<abc@d>", 4},
	    {'C', "<postmaster@d>", 0},
	    {'C', "<abc>", -1},
	    {'0', "<abc@d>", -1},
	};
	for (const auto &c : cases) {
		dbz::state().params.casemode = c.mode;
		EXPECT_EQ(dbz::foldpoint(c.key, strlen(c.key)), c.point)
		    << c.mode << " " << c.key;
	}
}

// Folding changes the 26 upper-case ASCII letters and no other byte.
TEST_F(HashTest, OnlyUpperCaseLettersFold) {
	dbz::state().params.casemode = '=';
	for (int b = 0; b < 256; b++) {
		char in = static_cast<char>(b), out = 0;
		dbz::foldkey(&out, &in, 1);
		int want = b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b;
		EXPECT_EQ(static_cast<unsigned char>(out), want) << "byte " << b;
	}
}

}  // namespace
