// probe_test.cc: the probe sequence through the slot tables, and lookups
// confirming their candidates against the base file.
#include <string>
#include <vector>

#include "tests/index_fixture.h"

namespace dbztest {
namespace {

using ProbeTest = IndexTest;

TEST_F(ProbeTest, EmptyIndexExaminesTheHomeSlotOnly) {
	writelayout({});
	writefile("", "");
	open();
	std::string key = idkey("<a@b.example>");
	int64_t h = hash(key);

	EXPECT_FALSE(found(dbzlookup(item(key))));
	const dbz::indexstate &s = dbz::state();
	ASSERT_EQ(s.lastprobe, &s.probe);
	EXPECT_EQ(s.probe.keysum, h);
	EXPECT_EQ(s.probe.slot, home(h));
	EXPECT_EQ(s.probe.layer, 0);
	EXPECT_EQ(s.probe.visited, 1);
	EXPECT_EQ(s.probe.failed, 0);
	EXPECT_EQ(s.foundvalue, -1);
	// The one slot was read from the (empty) file: the cursor stands past it.
	EXPECT_EQ(s.pagcursor, home(h) * 8 + 8);
}

// A probe walked by hand over a .pag whose every slot holds its own number
// untagged, so that each candidate names the slot it came from.
struct ShapeCase {
	const char *name;
	bool legacy;
	bool incore;
	bool reversed;
};

class ProbeShapeTest : public IndexTest,
                       public ::testing::WithParamInterface<ShapeCase> {};

TEST_P(ProbeShapeTest, FullTableIsWalkedThenSpillsIntoTheNext) {
	const ShapeCase &c = GetParam();
	Layout l;
	l.legacy = c.legacy;
	l.reversed = c.reversed;
	writelayout(l);
	int64_t size = layout_.tablesize;
	int64_t first = c.legacy ? size : 100;
	// Tables 0 and 1 full, table 2 beyond the end of the file.
	std::string pag;
	for (int64_t slot = 0; slot < 2 * size; slot++)
		pag += encode(plainform(static_cast<uint64_t>(slot)));
	writefile(".pag", pag);
	writefile("", "");
	open(c.incore);
	ASSERT_EQ(dbz::state().coretable != nullptr, c.incore);
	ASSERT_EQ(dbz::state().params.legacy, c.legacy ? 1 : 0);

	int64_t h = hash(idkey("<shape@probe.example>"));
	dbz::startprobe(h);
	int64_t steps = first + 100;
	for (int64_t k = 0; k < steps; k++) {
		int64_t want = modelslot(home(h), k, size, first);
		int64_t got = dbz::nextslot();
		if (got != want) {
			ADD_FAILURE() << "step " << k << ": slot " << got << ", want "
			              << want;
			return;
		}
	}
	// The first slot of table 2 lies beyond the end of the file: empty.
	EXPECT_EQ(dbz::nextslot(), -1);
	EXPECT_EQ(dbz::state().probe.slot, modelslot(home(h), steps, size, first));
	EXPECT_EQ(dbz::state().probe.layer, 2);
	EXPECT_EQ(dbz::state().probe.failed, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ProbeShapeTest,
    ::testing::Values(ShapeCase{"file", false, false, false},
                      ShapeCase{"incore", false, true, false},
                      ShapeCase{"file_reversed", false, false, true},
                      ShapeCase{"incore_reversed", false, true, true},
                      ShapeCase{"legacy_file", true, false, false},
                      ShapeCase{"legacy_incore", true, true, false}),
    [](const auto &info) { return std::string(info.param.name); });

// What the probe does with the value in the key's home slot, when the key's
// own entry sits in the slot after it, or is still to be stored there.
// Values of other keys, by their tag or their record, are passed over; so
// are dangling ones whose record cannot be read in full (beyond the end of
// a history that was cut back, in its last bytes, negative), which must
// hide neither the key's entry nor the empty slot its store goes to.
TEST_F(ProbeTest, CandidatesThatAreNotTheKeysArePassedOver) {
	const std::string other = "<other@x.example>\tjunk\n";
	const std::string mine = "<mine@x.example>\t1~-\n";
	const std::string text = other + mine;
	const uint64_t mineoff = other.size();
	const uint64_t beyond = text.size() + 100;
	const uint64_t tail = text.size() - 3;  // fewer than n bytes there
	// Bit 63 and a tag-field bit: stored untagged, no position to read at.
	const uint64_t negative = (uint64_t{1} << 63) | (uint64_t{1} << 26);

	enum Form { kForeign, kOwn, kPlain };
	struct Case {
		const char *name;
		Form form;
		uint64_t offset;
	} cases[] = {
	    {"foreign tag, unreadable", kForeign, beyond},
	    {"own tag, beyond the end", kOwn, beyond},
	    {"untagged, beyond the end", kPlain, beyond},
	    {"own tag, in the last bytes", kOwn, tail},
	    {"untagged, in the last bytes", kPlain, tail},
	    {"untagged, negative offset", kPlain, negative},
	    {"own tag, another record", kOwn, 0},
	    {"untagged, another record", kPlain, 0},
	};
	std::string key = idkey("<mine@x.example>");
	for (const Case &c : cases) {
		for (bool incore : {false, true}) {
			for (bool stored : {true, false}) {
				SCOPED_TRACE(std::string(c.name) + (incore ? ", in core" : "") +
				             (stored ? "" : ", key not stored yet"));
				dbz::resetstate();
				dbz::hashinit();
				std::filesystem::remove(path(".pag"));
				writelayout({});
				writefile("", text);
				int64_t h = hash(key);
				int64_t next = (home(h) + 1) % layout_.tablesize;
				uint64_t form = c.form == kForeign ? foreignform(h, c.offset)
				                : c.form == kOwn   ? tagform(h, c.offset)
				                                   : plainform(c.offset);
				putslot(home(h), form);
				if (stored)
					putslot(next, tagform(h, mineoff));
				open(incore);

				std::optional<int64_t> v = found(dbzlookup(item(key)));
				if (stored) {
					EXPECT_EQ(v, std::optional<int64_t>(mineoff));
					continue;
				}
				// The miss leaves its probe at the empty slot after the
				// passed-over one, and the store writes there.
				EXPECT_FALSE(v);
				const dbz::indexstate &s = dbz::state();
				ASSERT_EQ(s.lastprobe, &s.probe);
				EXPECT_EQ(s.probe.slot, next);
				int64_t value = static_cast<int64_t>(mineoff);
				ASSERT_EQ(dbzstore(item(key),
				                   dbzitem{reinterpret_cast<char *>(&value), 8}),
				          0);
				EXPECT_EQ(found(dbzlookup(item(key))),
				          std::optional<int64_t>(mineoff));
				ASSERT_EQ(dbzflush(), 0);
				EXPECT_EQ(fileslot(next), tagform(h, mineoff));
				EXPECT_EQ(fileslot(home(h)), form);
			}
		}
	}
}

TEST_F(ProbeTest, KeysMatchTheRecordByTerminatorAndPrefixRules) {
	struct Case {
		const char *name;
		std::string record;  // the base file, the candidate at offset 0
		std::string key;     // as given to dbzlookup
		char casemode;
		int separator;
		bool hit;
	} cases[] = {
	    {"separator follows", "<a@b.example>\t1~-\n", idkey("<a@b.example>"), 'C', '\t', true},
	    {"NUL follows", std::string("<a@b.example>\0x", 15), idkey("<a@b.example>"), 'C', '\t', true},
	    {"other byte follows", "<a@b.example>x\t1~-\n", idkey("<a@b.example>"), 'C', '\t', false},
	    {"blank is no separator", "<a@b.example> 1~-\n", idkey("<a@b.example>"), 'C', '\t', false},
	    {"last character differs", "<a@b.examplf>\t1~-\n", idkey("<a@b.example>"), 'C', '\t', false},
	    {"record ends after the ID", "<a@b.example>", idkey("<a@b.example>"), 'C', '\t', false},
	    {"own separator", "<a@b.example> 1~-\n", idkey("<a@b.example>"), 'C', ' ', true},
	    {"tab with another separator", "<a@b.example>\t1~-\n", idkey("<a@b.example>"), 'C', ' ', false},
	    {"key without NUL is a prefix", "<a@b.example>\t1~-\n", "<a@b.", 'C', '\t', true},
	    {"prefix that differs", "<a@b.example>\t1~-\n", "<a@c.", 'C', '\t', false},
	    {"domain case is folded", "<A@B.EXAMPLE>\t1~-\n", idkey("<A@b.Example>"), 'C', '\t', true},
	    {"local part case counts", "<a@b.example>\t1~-\n", idkey("<A@b.example>"), 'C', '\t', false},
	    {"postmaster folded whole", "<postmaster@b.example>\t1~-\n", idkey("<PostMaster@B.example>"), 'C', '\t', true},
	    {"no folding in mode 0", "<a@B.example>\t1~-\n", idkey("<a@b.example>"), '0', '\t', false},
	    {"everything folded in mode =", "<A@B.EXAMPLE>\t1~-\n", idkey("<a@b.example>"), '=', '\t', true},
	    // The separator ends the record's key: it is not folded with it, and
	    // it does not decide where the key's folding begins.
	    {"upper-case separator", "<a@b.example>X1~-\n", idkey("<a@b.example>"), '=', 'X', true},
	    {"upper-case separator after @", "<a@b.example>X1~-\n", idkey("<a@b.example>"), 'C', 'X', true},
	    {"at sign separator", "<POSTMASTER@1~-\n", idkey("<POSTMASTER"), 'C', '@', true},
	    {"at sign separator, not postmaster", "<Abc@1~-\n", idkey("<Abc"), 'C', '@', true},
	};
	for (Case &c : cases) {
		SCOPED_TRACE(c.name);
		dbz::resetstate();
		dbz::hashinit();
		std::filesystem::remove(path(".pag"));
		Layout l;
		l.casemode = c.casemode;
		l.separator = c.separator;
		writelayout(l);
		writefile("", c.record);
		int64_t h = hash(c.key);
		putslot(home(h), tagform(h, 0));
		open();
		EXPECT_EQ(found(dbzlookup(item(c.key))).has_value(), c.hit);
	}
}

// dbzlookup truncates a key to 255 bytes before hashing and comparing;
// dbmfind hashes the whole key and compares its first 255 bytes.
TEST_F(ProbeTest, LongKeysAreTruncatedForTheFoldedLookupOnly) {
	const std::string key300(300, 'k');
	std::string nulat254 = key300;
	nulat254[254] = '\0';
	std::string diverging = key300;  // differs from byte 260 on
	diverging.replace(260, 40, 40, 'z');

	struct Case {
		const char *name;
		bool folded;           // dbzlookup, else dbmfind
		std::string key;
		size_t hashed;         // bytes whose hash places the entry
		std::string record;
		bool hit;
	} cases[] = {
	    {"folded: first 255 hashed", true, key300, 255, key300 + "\t", true},
	    {"folded: whole key not hashed", true, key300, 300, key300 + "\t", false},
	    {"folded: prefix of 255 compared", true, key300, 255, diverging + "\t", true},
	    {"folded: NUL at 255th byte", true, nulat254, 255, key300.substr(0, 254) + "\t", true},
	    {"folded: NUL at 255th, no separator", true, nulat254, 255, key300 + "\t", false},
	    {"raw: whole key hashed", false, key300, 300, key300 + "\t", true},
	    {"raw: first 255 not hashed", false, key300, 255, key300 + "\t", false},
	    {"raw: prefix of 255 compared", false, key300, 300, diverging + "\t", true},
	};
	for (Case &c : cases) {
		SCOPED_TRACE(c.name);
		dbz::resetstate();
		dbz::hashinit();
		std::filesystem::remove(path(".pag"));
		Layout l;
		l.tablesize = 101;
		writelayout(l);
		writefile("", c.record + "\n");
		ASSERT_NE(home(hash(c.key, 255)), home(hash(c.key, 300)))
		    << "the two hashes must place the entry apart";
		int64_t h = hash(c.key, c.hashed);
		putslot(home(h), tagform(h, 0));
		open();
		dbzitem r = c.folded ? dbzlookup(item(c.key)) : dbmfind(item(c.key));
		EXPECT_EQ(found(r).has_value(), c.hit);
	}
}

// A key of length 0 has no last byte for the terminator rule, and a negative
// length would hash gigabytes: both are a miss that leaves no probe behind.
TEST_F(ProbeTest, EmptyAndNegativeKeyLengthsAreNoResult) {
	writelayout({});
	writefile("", "<a@b.example>\t1~-\n");
	open();
	std::string miss = idkey("<nothing@here>");
	std::string buf = "<a@b.example>";
	using lookup = dbzitem (*)(dbzitem);
	struct Case {
		const char *name;
		lookup fn;
		int32_t dsize;
	} cases[] = {
	    {"dbzlookup 0", dbzlookup, 0}, {"dbzlookup -1", dbzlookup, -1},
	    {"dbzfind 0", dbzfind, 0},     {"dbzfind -1", dbzfind, -1},
	    {"dbmfind 0", dbmfind, 0},     {"dbmfind -1", dbmfind, -1},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		ASSERT_FALSE(found(dbzlookup(item(miss))));
		ASSERT_NE(dbz::state().lastprobe, nullptr);
		dbzitem r = c.fn(dbzitem{buf.data(), c.dsize});
		EXPECT_EQ(r.ptr, nullptr);
		EXPECT_EQ(r.dsize, 0);
		EXPECT_EQ(dbz::state().lastprobe, nullptr);
	}
}

TEST_F(ProbeTest, FoundValueIsOverwrittenByTheNextLookup) {
	writelayout({});
	writefile("", "<a@b.example>\t1~-\n");
	std::string key = idkey("<a@b.example>");
	int64_t h = hash(key);
	putslot(home(h), tagform(h, 0));
	open();
	dbzitem r = dbzlookup(item(key));
	ASSERT_EQ(found(r), std::optional<int64_t>(0));
	std::string other = idkey("<nothing@here>");
	ASSERT_FALSE(found(dbzlookup(item(other))));
	int64_t now;
	memcpy(&now, r.ptr, sizeof now);
	EXPECT_EQ(now, -1);
}

}  // namespace
}  // namespace dbztest
