// inspect_test.cc: the index's inspection interface: the slot walk, the
// probe walk, the confirmation of a candidate, the place of a slot on a
// key's probe, and that none of them disturbs a lookup's leftovers.
#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "index_fixture.h"

namespace dbztest {
namespace {

class InspectTest : public IndexTest {
protected:
	// Every slot in use that a walk over the whole index returns.
	std::vector<dbzslot> walkall() {
		dbzslotwalk w;
		EXPECT_EQ(dbzwalkstart(&w), 0);
		std::vector<dbzslot> out;
		dbzslot s;
		int r;
		while ((r = dbzwalknext(&w, &s)) > 0)
			out.push_back(s);
		EXPECT_EQ(r, 0);
		return out;
	}

	// The slots a probe walk of key returns, up to the empty slot.
	std::vector<dbzslot> probeall(std::string key) {
		dbzprobewalk w;
		EXPECT_EQ(dbzprobestart(&w, item(key)), 0);
		std::vector<dbzslot> out;
		dbzslot s;
		int r;
		while ((r = dbzprobenext(&w, &s)) > 0)
			out.push_back(s);
		EXPECT_EQ(r, 0);
		return out;
	}
};

TEST_F(InspectTest, IdKeysAreTheIdAndItsNulCutToTheLookupLimit) {
	std::string id(300, 'x');
	const struct {
		size_t len;
		int32_t dsize;
	} cases[] = {{0, 1}, {3, 4}, {253, 254}, {254, 255}, {255, 255}, {300, 255}};
	for (const auto &c : cases) {
		dbzitem k = dbzidkey(id.c_str(), c.len);
		EXPECT_EQ(k.ptr, id.c_str());
		EXPECT_EQ(k.dsize, c.dsize) << c.len;
	}
	static_assert(DBZ_MAXLOOKUPKEY == 255 && DBZ_MAXSTOREKEY == 254);
}

TEST_F(InspectTest, NothingWorksWithoutAnOpenIndex) {
	dbzinfo info;
	dbzslotwalk w;
	dbzprobewalk p;
	std::string k = idkey("<a@b>");
	EXPECT_EQ(dbzgetinfo(&info), -1);
	EXPECT_EQ(dbzwalkstart(&w), -1);
	EXPECT_EQ(dbzprobestart(&p, item(k)), -1);
	EXPECT_EQ(dbzconfirm(item(k), 0), -1);
	EXPECT_EQ(dbzprobeplace(item(k), 0), -1);
	EXPECT_EQ(dbzkeytag(item(k)), 0u);
}

TEST_F(InspectTest, InfoDescribesTheOpenIndex) {
	writelayout(Layout{.tablesize = 31, .casemode = '=', .reversed = true});
	open(true);
	dbzinfo info;
	ASSERT_EQ(dbzgetinfo(&info), 0);
	EXPECT_EQ(info.params.tablesize, 31);
	EXPECT_EQ(info.params.casemode, '=');
	EXPECT_EQ(info.tagfield, uint64_t{0x7C} << 24);
	EXPECT_EQ(info.tagenable, uint64_t{0x80} << 24);
	EXPECT_EQ(info.sameorder, 0);
	EXPECT_EQ(info.incore, 1);
	EXPECT_EQ(info.readonly, 0);
}

// Slots as the .pag holds them, in either byte order, decoded as a lookup
// decodes them; empty slots, a partial last slot and holes passed over.
TEST_F(InspectTest, SlotWalkDecodesEverySlotInUse) {
	for (bool reversed : {false, true}) {
		SCOPED_TRACE(reversed ? "reversed" : "native");
		dbz::resetstate();
		std::filesystem::remove(path(".pag"));
		writelayout(Layout{.tablesize = 10, .reversed = reversed});
		int64_t h = 123456789;  // any hash: only its tag matters here
		putslot(2, plainform(500));
		putslot(3, tagform(h, 600));
		putslot(14, plainform(0));
		// Far out, beyond a hole of several walk buffers.
		putslot(100000, plainform(700));
		int fd = ::open(path(".pag").c_str(), O_WRONLY | O_APPEND);
		ASSERT_EQ(write(fd, "\1\2\3", 3), 3);  // a partial slot: empty
		close(fd);
		open();
		std::vector<dbzslot> got = walkall();
		ASSERT_EQ(got.size(), 4u);
		const struct {
			int64_t slot, value;
			bool tagged;
			uint64_t tag;
		} want[] = {{2, 500, false, 0},
		            {3, 600, true, tag(h)},
		            {14, 0, false, 0},
		            {100000, 700, false, 0}};
		for (size_t i = 0; i < 4; i++) {
			EXPECT_EQ(got[i].slot, want[i].slot);
			EXPECT_EQ(got[i].value, want[i].value);
			EXPECT_EQ(got[i].tagged != 0, want[i].tagged);
			EXPECT_EQ(got[i].tag, want[i].tag);
		}
	}
}

// With the first table in memory, the walk sees stores not yet written
// back, also in a page far from the pages read (a hole of the empty .pag);
// slots written after the walk began are not read.
TEST_F(InspectTest, SlotWalkReadsTheInCoreTableAndStopsAtTheStartSize) {
	const int64_t size = 50 * dbz::kCorePageSlots;
	writelayout(Layout{.tablesize = size});
	writefile("", std::string(64, 'x'));
	open(true);
	std::string k;
	for (int i = 0; home(hash(k)) < 20 * dbz::kCorePageSlots; i++)
		k = idkey(numberedid(i, "example").c_str());
	int64_t off = 7;
	ASSERT_EQ(dbzstore(item(k), dbzitem{reinterpret_cast<char *>(&off), 8}), 0);
	EXPECT_EQ(readfile(".pag"), "");  // still in memory only
	dbzslotwalk w;
	ASSERT_EQ(dbzwalkstart(&w), 0);
	EXPECT_EQ(w.end, size);
	putslot(size + 10, plainform(9));  // another process's store, after the start
	dbzslot s;
	ASSERT_EQ(dbzwalknext(&w, &s), 1);
	EXPECT_EQ(s.slot, home(hash(k)));
	EXPECT_EQ(s.value, 7);
	EXPECT_EQ(dbzwalknext(&w, &s), 0);
}

// The probe walk returns every slot the lookup examines, candidates or
// not, and marks the ones the lookup would confirm.
TEST_F(InspectTest, ProbeWalkShowsTheLookupsCandidates) {
	writelayout(Layout{.tablesize = 10});
	std::string k = idkey("<probe@example>");
	int64_t h = hash(k);
	putslot(modelslot(home(h), 0, 10, 100), foreignform(h, 100));
	putslot(modelslot(home(h), 1, 10, 100), plainform(200));
	putslot(modelslot(home(h), 2, 10, 100), tagform(h, 300));
	open();
	std::vector<dbzslot> got = probeall(k);
	ASSERT_EQ(got.size(), 3u);
	const struct {
		int64_t value;
		bool candidate;
	} want[] = {{100, false}, {200, true}, {300, true}};
	for (size_t i = 0; i < 3; i++) {
		EXPECT_EQ(got[i].slot,
		          modelslot(home(h), static_cast<int64_t>(i), 10, 100));
		EXPECT_EQ(got[i].value, want[i].value);
		EXPECT_EQ(got[i].candidate != 0, want[i].candidate);
	}
	EXPECT_EQ(dbzkeytag(item(k)), tag(h));
}

// The confirmation applies the lookup's rule: folding, the separator or a
// NUL after a key that ends in NUL, a prefix match for any other key, and
// no answer for a record that cannot be read in full.
TEST_F(InspectTest, ConfirmationFollowsTheLookupsRule) {
	writelayout(Layout{});
	std::string base = "<Ab@Example.COM>\tx\n<cd@e>X\n<n@z>";
	writefile("", base);
	open();
	const int64_t cd = static_cast<int64_t>(base.find("<cd"));
	const int64_t end = static_cast<int64_t>(base.find("<n@"));
	const struct {
		std::string key;
		int64_t at;
		int want;
	} cases[] = {
	    {idkey("<Ab@example.com>"), 0, 1},   // folded from the '@'
	    {idkey("<ab@example.com>"), 0, 0},   // before it, case counts
	    {idkey("<cd@e>"), cd, 0},            // neither tab nor NUL after it
	    {"<cd@e>", cd, 1},                   // no NUL: a prefix
	    {idkey("<n@z>"), end, -1},           // the file ends in the key
	    {"<n@z>", end, 1},                   // exactly up to the end
	    {idkey("<Ab@example.com>"), 1000, -1},
	    {idkey("<Ab@example.com>"), -5, -1},
	};
	for (const auto &c : cases) {
		std::string key = c.key;
		EXPECT_EQ(dbzconfirm(item(key), c.at), c.want) << c.key << " " << c.at;
	}
}

// Walks, confirmations and placements leave the probe that a missed lookup
// hands to the next store, and the value a hit returned.
TEST_F(InspectTest, InspectionLeavesTheLookupsStateAlone) {
	writelayout(Layout{.tablesize = 10});
	writefile("", "<hit@x>\tline\n");
	open(true);
	std::string hit = idkey("<hit@x>"), miss = idkey("<miss@x>");
	int64_t zero = 0;
	ASSERT_EQ(dbzstore(item(hit), dbzitem{reinterpret_cast<char *>(&zero), 8}),
	          0);
	dbzitem found = dbzlookup(item(hit));
	ASSERT_NE(found.ptr, nullptr);
	ASSERT_EQ(dbzlookup(item(miss)).ptr, nullptr);
	const dbz::indexstate &s = dbz::state();
	ASSERT_EQ(s.lastprobe, &s.probe);
	dbz::probestate before = s.probe;
	int64_t foundvalue = s.foundvalue;

	walkall();
	probeall(hit);
	probeall(miss);
	EXPECT_EQ(dbzconfirm(item(hit), 0), 1);
	EXPECT_GT(dbzprobeplace(item(hit), home(hash(hit))), 0);
	dbzinfo info;
	dbzgetinfo(&info);

	EXPECT_EQ(s.lastprobe, &s.probe);
	EXPECT_EQ(memcmp(&before, &s.probe, sizeof before), 0);
	EXPECT_EQ(s.foundvalue, foundvalue);
	// The store resumes the lookup and writes where it stopped.
	int64_t v = 12;
	ASSERT_EQ(dbzstore(item(miss), dbzitem{reinterpret_cast<char *>(&v), 8}), 0);
	EXPECT_EQ(s.probe.slot, before.slot);
}

// The arithmetic placement of a slot on a probe agrees with the probe
// walked step by step, also where it wraps around a small table, examines
// positions again and spills into later tables.
TEST_F(InspectTest, ProbePlaceMatchesTheWalkedProbe) {
	struct layout {
		int64_t size;
		bool legacy;  // the first table is walked through once, not 100 slots
	};
	std::string base;
	std::vector<std::string> ids;
	std::vector<int64_t> offsets;
	for (int i = 0; i < 300; i++) {
		ids.push_back(numberedid(i * 7919, "Example.ORG"));
		offsets.push_back(static_cast<int64_t>(base.size()));
		base += ids.back() + "\tx\n";
	}
	for (layout l : {layout{7, false}, layout{211, false}, layout{7, true},
	                 layout{150, true}}) {
		SCOPED_TRACE(testing::Message() << l.size << (l.legacy ? " legacy" : ""));
		dbz::resetstate();
		std::filesystem::remove(path(".pag"));
		// No tags: every slot on the probe is a candidate.
		writelayout(Layout{.tablesize = l.size, .tagflag = 0, .tagspan = 0});
		writefile("", base);
		open();
		dbz::state().params.legacy = l.legacy;
		for (size_t i = 0; i < ids.size(); i++) {
			std::string k = idkey(ids[i].c_str());
			ASSERT_EQ(dbzstore(item(k),
			                   dbzitem{reinterpret_cast<char *>(&offsets[i]), 8}),
			          0);
		}
		std::set<int64_t> layers;
		for (size_t i = 0; i < ids.size(); i++) {
			std::string k = idkey(ids[i].c_str());
			std::vector<dbzslot> walked = probeall(k);
			auto at = std::find_if(walked.begin(), walked.end(),
			                       [&](const dbzslot &s) {
				                       return s.value == offsets[i];
			                       });
			ASSERT_NE(at, walked.end()) << ids[i];
			int64_t steps = at - walked.begin() + 1;
			layers.insert(at->slot / l.size);
			EXPECT_EQ(dbzprobeplace(item(k), at->slot), steps) << ids[i];
			// The same position one table further is off this probe
			// unless the probe gets there.
			int64_t later = dbzprobeplace(item(k), at->slot + l.size);
			EXPECT_TRUE(later == 0 || later > steps);
		}
		EXPECT_GT(layers.size(), size_t{1});  // the keys spill
	}
}

// Tables so large that the distance from a home slot to a slot, plus the
// table size, leaves the 64-bit range.
TEST_F(InspectTest, ProbePlaceInTablesNearTheLimit) {
	writelayout(Layout{});
	open();
	std::string abc = "abc";  // no '@', nothing folded; hash 0x6F2FED80
	const int64_t h = 0x6F2FED80;
	const struct {
		int64_t size, slot, place;
	} cases[] = {
	    {INT64_MAX, h, 1},
	    {INT64_MAX, h + 1, 2},
	    {INT64_MAX, h + 99, 100},
	    {INT64_MAX, h + 100, 0},  // past the first table's budget
	    {INT64_MAX, h - 1, 0},    // before the home slot: wraps too far
	    {INT64_MAX, INT64_MAX - 1, 0},
	    {(int64_t{1} << 62) + 1, h + 99, 100},
	    {2, INT64_MAX, 0},  // a table so far out that no probe gets there
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::Message() << c.size << " " << c.slot);
		dbz::state().params.tablesize = c.size;
		EXPECT_EQ(dbzprobeplace(item(abc), c.slot), c.place);
	}
}

}  // namespace
}  // namespace dbztest
