// build_test.cc: creating and rebuilding indexes, and choosing table sizes
// and tag masks.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "dbz/internal.h"
#include "tests/support.h"

namespace {

namespace fs = std::filesystem;

using testsupport::readfile;
using testsupport::writefile;

// This machine's byte-order map as the .dir writes it: " 7 6 5 4 3 2 1 0"
// on a little-endian machine.
std::string nativeorder() {
	int32_t map[DBZ_NBYTEORDER];
	dbz::nativeorder(map);
	std::string s;
	for (int32_t m : map)
		s += " " + std::to_string(m);
	return s;
}

// The first .dir line for the given fields, in this machine's byte order.
std::string line1(const std::string &fields) {
	return "dbz 3 " + fields + " 8" + nativeorder() + "\n";
}

const std::string kZeros = "0 0 0 0 0 0 0 0 0 0 0\n";

class BuildTest : public ::testing::Test {
protected:
	void SetUp() override {
		dbz::resetstate();
		dir_ = scratch_.dir();
		base_ = dir_ + "/history";
	}
	void TearDown() override { dbz::resetstate(); }
	std::string dirtext() { return readfile(base_ + ".dir"); }
	bool exists(const std::string &suffix) { return fs::exists(base_ + suffix); }

	testsupport::scratchdir scratch_{"build_test"};
	std::string dir_, base_;
};

TEST(PickSize, Examples) {
	const struct {
		int64_t expected, size;
	} cases[] = {
	    {-5, 300007}, {0, 300007}, {1, 1},       {2, 41},
	    {27, 41},     {28, 43},    {100, 151},   {1000, 1511},
	    {200000, 300007},          {1000000, 1500007},
	};
	for (const auto &c : cases)
		EXPECT_EQ(dbzpicksize(c.expected), c.size) << "expected " << c.expected;
}

TEST(PickSize, ResultIsPrimeAboveFirstCandidate) {
	for (int64_t n : {41, 500, 12345, 99999, 3000000}) {
		int64_t q = dbzpicksize(n);
		EXPECT_GE(q, ((n / 2) * 3) | 1) << n;
		for (int64_t d = 2; d * d <= q; d++)
			ASSERT_NE(q % d, 0) << n << " gave " << q << ", divisible by " << d;
	}
}

TEST(PickTagMask, Examples) {
	const struct {
		int32_t largest, mask;
	} cases[] = {
	    {0, 0x7F000000},
	    {16777215, 0x7F000000},
	    {16777216, 0x7E000000},
	    {1 << 25, 0x7C000000},
	    {(1 << 26) + 5, 0x78000000},
	    {1 << 27, 0x70000000},
	    {(1 << 28) | (1 << 25), 0x60000000},
	    {(1 << 29), 0x40000000},
	    {1073741824, 1},
	    {-1, 1},
	    {INT32_MIN, 0x7F000000},
	};
	for (const auto &c : cases)
		EXPECT_EQ(dbzpicktagmask(c.largest), c.mask) << "largest " << c.largest;
}

TEST(JoinPath, AppendsSuffix) {
	const struct {
		const char *name, *suffix, *joined;
	} cases[] = {
	    {"history", ".dir", "history.dir"},
	    {"/var/lib/news/history", ".pag", "/var/lib/news/history.pag"},
	    {"", "", ""},
	    {"a", "", "a"},
	};
	for (const auto &c : cases) {
		char *p = joinpath(c.name, c.suffix);
		ASSERT_NE(p, nullptr);
		EXPECT_STREQ(p, c.joined);
		free(p);
	}
}

// Every parameter of dbzcreate, as the .dir it writes shows it.
TEST_F(BuildTest, CreateWritesConfiguration) {
	const struct {
		int64_t size;
		int separator, casechar;
		int64_t tagmask;
		const char *fields;  // nullptr: the create must fail
	} cases[] = {
	    {0, '\t', 'C', 0, "300007 9 C 128 124 24"},
	    {2, '\t', 'C', 0, "2 9 C 128 124 24"},
	    {1, '\t', 'C', 0, nullptr},
	    {-7, '\t', 'C', 0, nullptr},
	    {1000, '\t', 0, 0, "1000 9 0 128 124 24"},
	    {1000, '\t', 'B', 0, "1000 9 0 128 124 24"},
	    {1000, '\t', '0', 0, "1000 9 0 128 124 24"},
	    {1000, '\t', 'b', 0, "1000 9 = 128 124 24"},
	    {1000, '\t', '=', 0, "1000 9 = 128 124 24"},
	    {1000, '\t', '?', 0, "1000 9 C 128 124 24"},
	    {1000, '\t', 'c', 0, nullptr},
	    {1000, ':', 'C', 0, "1000 58 C 128 124 24"},
	    {1000, 255, 'C', 0, "1000 -1 C 128 124 24"},
	    {1000, 0x13A, 'C', 0, "1000 58 C 128 124 24"},  // low 8 bits
	    {1000, '\t', 'C', 1, "1000 9 C 0 0 0"},
	    {1000, '\t', 'C', 0x7F000000, "1000 9 C 128 127 24"},
	    {1000, '\t', 'C', 0x7C000000, "1000 9 C 32 31 26"},
	    {1000, '\t', 'C', 3, "1000 9 C 4 3 0"},
	    {1000, '\t', 'C', INT64_MIN, nullptr},
	    {1000, '\t', 'C', -0x100, nullptr},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::Message() << "size " << c.size << " sep " << c.separator
		                                << " case " << c.casechar << " mask " << c.tagmask);
		fs::remove(base_ + ".dir");
		fs::remove(base_ + ".pag");
		int r = dbzcreate(base_.c_str(), c.size, c.separator, c.casechar, c.tagmask);
		if (c.fields == nullptr) {
			EXPECT_EQ(r, -1);
			EXPECT_FALSE(exists(".dir"));
			EXPECT_FALSE(exists(".pag"));
			EXPECT_EQ(dbz::state().pagfile, nullptr);
			continue;
		}
		ASSERT_EQ(r, 0);
		EXPECT_NE(dbz::state().pagfile, nullptr) << "the new index is left open";
		EXPECT_EQ(dbzdone(), 0);
		EXPECT_EQ(dirtext(), line1(c.fields) + kZeros + kZeros);
		EXPECT_EQ(fs::file_size(base_ + ".pag"), 0u);
	}
}

TEST_F(BuildTest, CreateAndRebuildRefuseWhileAnIndexIsOpen) {
	ASSERT_EQ(dbzcreate(base_.c_str(), 100, '\t', 'C', 0), 0);
	std::string other = dir_ + "/other";
	writefile(other + ".dir", line1("77 9 C 128 124 24") + kZeros + kZeros);
	EXPECT_EQ(dbzcreate(other.c_str(), 50, '\t', 'C', 0), -1);
	EXPECT_EQ(dbzrebuild(other.c_str(), other.c_str()), -1);
	EXPECT_FALSE(fs::exists(other + ".pag"));
	EXPECT_EQ(dbz::state().params.tablesize, 100) << "the open index is untouched";
	EXPECT_EQ(dbzdone(), 0);
}

// A round trip through each tag layout: keys stored under a fresh index
// are found again after a close and reopen, at their own values.
TEST_F(BuildTest, CreatedIndexStoresAndFindsUnderEveryTagLayout) {
	std::string history;
	std::vector<int64_t> offsets;
	for (int i = 0; i < 300; i++) {
		// Pad the lines so that offsets are multiples of 8, clear of the
		// three low bits that mask 3 gives to its tag.
		std::string line = "<" + std::to_string(i) + "@Host.Example>\t1~-\t";
		line.resize(((line.size() + 1 + 7) / 8) * 8 - 1, 'x');
		offsets.push_back(static_cast<int64_t>(history.size()));
		history += line + "\n";
	}
	writefile(base_, history);
	for (int64_t mask : {int64_t{0}, int64_t{1}, int64_t{3}, int64_t{0x7F000000},
	                     int64_t{0x7C000000}}) {
		SCOPED_TRACE(testing::Message() << "mask " << mask);
		ASSERT_EQ(dbzcreate(base_.c_str(), 41, '\t', 'C', mask), 0);
		for (int i = 0; i < 300; i++) {
			std::string id = "<" + std::to_string(i) + "@Host.Example>";
			dbzitem k{id.data(), static_cast<int32_t>(id.size() + 1)};
			dbzitem v{reinterpret_cast<char *>(&offsets[i]), 8};
			ASSERT_EQ(dbzstore(k, v), 0) << id;
		}
		ASSERT_EQ(dbzdone(), 0);
		ASSERT_EQ(dbzopen(base_.c_str()), 0);
		for (int i = 0; i < 300; i++) {
			std::string id = "<" + std::to_string(i) + "@host.example>";
			dbzitem k{id.data(), static_cast<int32_t>(id.size() + 1)};
			dbzitem r = dbzlookup(k);
			ASSERT_NE(r.ptr, nullptr) << id;
			int64_t got;
			memcpy(&got, r.ptr, 8);
			EXPECT_EQ(got, offsets[i]) << id;
		}
		ASSERT_EQ(dbzdone(), 0);
	}
}

TEST_F(BuildTest, CreateTruncatesAnExistingIndex) {
	writefile(base_, "<a@b>\t1~-\n");
	ASSERT_EQ(dbzcreate(base_.c_str(), 0, '\t', 'C', 0), 0);
	std::string id = "<a@b>";
	int64_t off = 0;
	dbzitem k{id.data(), 6}, v{reinterpret_cast<char *>(&off), 8};
	ASSERT_EQ(dbzstore(k, v), 0);
	ASSERT_EQ(dbzdone(), 0);
	ASSERT_GT(fs::file_size(base_ + ".pag"), 0u);

	ASSERT_EQ(dbzcreate(base_.c_str(), 0, '\t', 'C', 0), 0);
	EXPECT_EQ(dbzlookup(k).ptr, nullptr) << "the old slots are gone";
	ASSERT_EQ(dbzdone(), 0);
	EXPECT_EQ(fs::file_size(base_ + ".pag"), 0u);
	EXPECT_EQ(dirtext(), line1("300007 9 C 128 124 24") + kZeros + kZeros);
}

// Rebuilding, seen through the .dir text before and after: the usage and
// untagged histories move on one period, the size follows the busiest
// period, and a tag field that values reached into narrows by one bit.
TEST_F(BuildTest, RebuildDerivesConfigurationFromOldStatistics) {
	const std::string order = nativeorder();
	const struct {
		const char *name;
		std::string before, after;
	} cases[] = {
	    {"no stores on record: never shrinks, at least the default",
	     line1("1000 9 C 128 124 24") + kZeros + kZeros,
	     line1("300007 9 C 128 124 24") + kZeros + kZeros},
	    {"no stores, larger old table kept",
	     line1("400009 9 C 128 124 24") + kZeros + kZeros,
	     line1("400009 9 C 128 124 24") + kZeros + kZeros},
	    {"full history: follows the busiest period, shrinking",
	     line1("500009 9 C 128 124 24") +
	         "1 2 3 4 5 1000 7 8 9 10 11\n" + kZeros,
	     line1("1511 9 C 128 124 24") + "0 1 2 3 4 5 1000 7 8 9 10\n" + kZeros},
	    {"oldest period dropped but still counted for the size",
	     line1("20 9 C 128 124 24") + "5 4 3 2 1 0 0 0 0 0 9\n" + kZeros,
	     line1("41 9 C 128 124 24") + "0 5 4 3 2 1 0 0 0 0 0\n" + kZeros},
	    {"a period without stores: the old size stays when larger",
	     line1("100 9 C 128 124 24") + "5 4 3 2 1 0 0 0 0 0 9\n" + kZeros,
	     line1("100 9 C 128 124 24") + "0 5 4 3 2 1 0 0 0 0 0\n" + kZeros},
	    {"untagged stores narrow the default field",
	     line1("100 9 C 128 124 24") + kZeros + "3 1 0 0 0 0 0 0 0 0 7\n",
	     line1("300007 9 C 128 120 24") + kZeros + "0 3 1 0 0 0 0 0 0 0 0\n"},
	    {"untagged stores narrow a full field",
	     line1("100 9 C 128 127 24") + kZeros + "1 0 0 0 0 0 0 0 0 0 0\n",
	     line1("300007 9 C 128 126 24") + kZeros + "0 1 0 0 0 0 0 0 0 0 0\n"},
	    {"a one-bit field is given up, with its enable bit",
	     line1("100 9 C 2 1 30") + kZeros + "4 0 0 0 0 0 0 0 0 0 0\n",
	     line1("300007 9 C 0 0 30") + kZeros + "0 4 0 0 0 0 0 0 0 0 0\n"},
	    {"untagged only in older periods: layout unchanged",
	     line1("100 9 C 128 124 24") + kZeros + "0 5 0 0 0 0 0 0 0 0 0\n",
	     line1("300007 9 C 128 124 24") + kZeros + "0 0 5 0 0 0 0 0 0 0 0\n"},
	    {"case mode, separator and foreign byte order carry over",
	     "dbz 3 100 58 = 128 124 24 8 0 1 2 3 4 5 6 7\n" + kZeros,
	     "dbz 3 300007 58 = 128 124 24 8 0 1 2 3 4 5 6 7\n" + kZeros + kZeros},
	    {"an empty old .dir stands for the defaults", "",
	     line1("300007 9 C 128 124 24") + kZeros + kZeros},
	};
	std::string old = dir_ + "/old";
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		writefile(old + ".dir", c.before);
		writefile(old + ".pag", std::string(64, '\x01'));
		ASSERT_EQ(dbzrebuild(base_.c_str(), old.c_str()), 0);
		EXPECT_EQ(dbz::state().params.legacy, 0);
		EXPECT_EQ(dbzdone(), 0);
		EXPECT_EQ(dirtext(), c.after);
		EXPECT_EQ(fs::file_size(base_ + ".pag"), 0u);
		EXPECT_EQ(readfile(old + ".dir"), c.before) << "the old .dir is only read";
	}
}

TEST_F(BuildTest, RebuildInPlaceEmptiesTheIndex) {
	writefile(base_, "<x@y>\t1~-\n");
	ASSERT_EQ(dbzcreate(base_.c_str(), 41, '\t', 'C', 0), 0);
	std::string id = "<x@y>";
	int64_t off = 0;
	dbzitem k{id.data(), 6}, v{reinterpret_cast<char *>(&off), 8};
	ASSERT_EQ(dbzstore(k, v), 0);
	ASSERT_EQ(dbzdone(), 0);

	ASSERT_EQ(dbzrebuild(base_.c_str(), base_.c_str()), 0);
	EXPECT_EQ(dbzlookup(k).ptr, nullptr);
	ASSERT_EQ(dbzdone(), 0);
	// One store and ten empty periods: the table never shrinks.
	EXPECT_EQ(dirtext(), line1("41 9 C 128 124 24") +
	                         "0 1 0 0 0 0 0 0 0 0 0\n" + kZeros);
}

TEST_F(BuildTest, RebuildFailsWithoutAUsableOldConfiguration) {
	const struct {
		const char *name;
		const char *olddir;  // nullptr: no old .dir at all
	} cases[] = {
	    {"missing", nullptr},
	    {"only a newline", "\n"},
	    {"wrong version", "dbz 4 100 9 C 128 124 24 8 7 6 5 4 3 2 1 0\n"},
	    {"usage line cut short", "dbz 3 100 9 C 128 124 24 8 7 6 5 4 3 2 1 0\n1 2 3"},
	};
	std::string old = dir_ + "/old";
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		fs::remove(old + ".dir");
		if (c.olddir != nullptr)
			writefile(old + ".dir", c.olddir);
		EXPECT_EQ(dbzrebuild(base_.c_str(), old.c_str()), -1);
		EXPECT_FALSE(exists(".dir"));
		EXPECT_FALSE(exists(".pag"));
		EXPECT_EQ(dbz::state().pagfile, nullptr);
	}
}

}  // namespace
