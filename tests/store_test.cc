// store_test.cc: storing keys: where the slot lands and what it holds, the
// tagging rule, refusals, the in-core table and resuming a missed lookup.
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/index_fixture.h"

namespace dbztest {
namespace {

using StoreTest = IndexTest;

dbzitem valueitem(int64_t &v) {
	return dbzitem{reinterpret_cast<char *>(&v), 8};
}

int store(std::string &key, int64_t v) {
	return dbzstore(item(key), valueitem(v));
}

class PagImageTest : public IndexTest,
                     public ::testing::WithParamInterface<bool> {
protected:
	// Adds to used the first message ID of the form <n@store.example> not
	// in it yet whose home slot is want.
	void pick(int64_t want, std::vector<std::string> &used) {
		for (int n = 0;; n++) {
			std::string id = numberedid(n, "store.example");
			if (std::find(used.begin(), used.end(), id) == used.end() &&
			    home(hash(idkey(id.c_str()))) == want) {
				used.push_back(id);
				return;
			}
		}
	}
};

// Stores with the in-core table off go straight to the .pag: each key at its
// home slot or the next free one after it (wrapping), holding the tagged
// value plus one, in the byte order the .dir names.
TEST_P(PagImageTest, SlotsHoldTheStoredFormAtTheProbedPlace) {
	Layout l;
	l.tablesize = 13;
	l.reversed = GetParam();
	writelayout(l);
	std::vector<std::string> ids;
	// Two keys at the last slot (the second wraps to slot 0), one whose home
	// is slot 0 (pushed on to 1), and two sharing slot 5.
	pick(12, ids);
	pick(12, ids);
	pick(0, ids);
	pick(5, ids);
	pick(5, ids);
	std::string text;
	std::vector<int64_t> offsets;
	for (const std::string &id : ids) {
		offsets.push_back(static_cast<int64_t>(text.size()));
		text += id + "\t1700000000~-\n";
	}
	writefile("", text);
	open();

	// Where the five land, in the order stored.
	const int64_t slots[] = {12, 0, 1, 5, 6};
	std::map<int64_t, uint64_t> expect;  // slot -> native stored form
	for (size_t i = 0; i < ids.size(); i++) {
		std::string key = idkey(ids[i].c_str());
		expect[slots[i]] = tagform(hash(key), static_cast<uint64_t>(offsets[i]));
		ASSERT_EQ(store(key, offsets[i]), 0) << ids[i];
	}
	std::string image(13 * 8, '\0');
	for (auto [slot, form] : expect)
		image.replace(static_cast<size_t>(slot) * 8, 8, encode(form));
	EXPECT_EQ(readfile(".pag"), image);

	for (size_t i = 0; i < ids.size(); i++) {
		std::string key = idkey(ids[i].c_str());
		EXPECT_EQ(found(dbzlookup(item(key))), std::optional<int64_t>(offsets[i]))
		    << ids[i];
	}
	EXPECT_EQ(dbz::state().params.usage[0], 5);
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, PagImageTest, ::testing::Bool(),
                         [](const auto &info) {
	                         return info.param ? "reversed" : "native";
                         });

TEST_F(StoreTest, TaggingRuleRowByRow) {
	enum Kind { kDefault, kLegacy, kNoTags };
	enum Result { kRefused, kTagged, kPlain };
	const uint64_t tagall = 0xFC000000;  // default layout: bits 26 to 31
	struct Case {
		const char *name;
		Kind kind;
		uint64_t v;
		Result result;
		int untagged;       // growth of untagged[0]
		bool fulltag;       // use a key whose tag fills the tag field
	} cases[] = {
	    {"tag-enable bit set", kDefault, uint64_t{1} << 31, kRefused, 0, false},
	    {"minus one", kDefault, ~uint64_t{0}, kRefused, 0, false},
	    {"legacy: small value", kLegacy, 1000, kPlain, 0, false},
	    {"legacy: value in the tag field", kLegacy, uint64_t{1} << 26, kPlain, 0, false},
	    {"value in the tag field", kDefault, uint64_t{1} << 26, kPlain, 1, false},
	    {"bits 24 and 25 are no tag bits", kDefault, uint64_t{3} << 24, kTagged, 0, false},
	    {"small value", kDefault, 1000, kTagged, 0, false},
	    {"bits above the tag field", kDefault, (uint64_t{1} << 32) | 7, kTagged, 0, false},
	    {"tagged form all ones", kDefault, ~tagall, kPlain, 0, true},
	    {"no tags: minus one", kNoTags, ~uint64_t{0}, kRefused, 0, false},
	    {"no tags: bit 31", kNoTags, uint64_t{1} << 31, kPlain, 0, false},
	    {"no tags: largest value", kNoTags, ~uint64_t{0} >> 1, kPlain, 0, false},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		dbz::resetstate();
		dbz::hashinit();
		std::filesystem::remove(path(".pag"));
		Layout l;
		l.legacy = c.kind == kLegacy;
		if (c.kind == kNoTags)
			l.tagflag = l.tagspan = 0;
		if (l.legacy)
			writefile(".pag", std::string(8, '\0'));
		writelayout(l);
		writefile("", "");
		std::string key = idkey("<tag@rule.example>");
		for (int n = 0; c.fulltag; n++) {
			key = idkey(numberedid(n, "full.example").c_str());
			if (tag(hash(key)) == tagfield())
				break;
		}
		int64_t h = hash(key);
		open();
		ASSERT_EQ(dbz::state().params.legacy, l.legacy ? 1 : 0);

		int64_t v = static_cast<int64_t>(c.v);
		int got = store(key, v);
		const dbz::indexstate &s = dbz::state();
		EXPECT_EQ(s.params.untagged[0], c.untagged);
		if (c.result == kRefused) {
			EXPECT_EQ(got, -1);
			EXPECT_EQ(s.params.usage[0], 0);
			EXPECT_FALSE(s.dirty);
			EXPECT_EQ(fileslot(home(h)), 0u);
			continue;
		}
		EXPECT_EQ(got, 0);
		EXPECT_EQ(s.params.usage[0], 1);
		EXPECT_TRUE(s.dirty);
		uint64_t want = c.result == kTagged ? tagform(h, c.v) : plainform(c.v);
		EXPECT_EQ(fileslot(home(h)), want);
		// The probe hands the value back as it was given.
		dbz::startprobe(h);
		EXPECT_EQ(dbz::nextslot(), v);
	}
}

// Counts that stand at the largest value stay there: a store never
// overflows them, and the .dir keeps the value.
TEST_F(StoreTest, CountsStopAtTheLargestValue) {
	writelayout({});
	const std::string max = "9223372036854775807";
	std::string dir = readfile(".dir");
	std::string counts = max + " 0 0 0 0 0 0 0 0 0 0\n";
	writefile(".dir", dir.substr(0, dir.find('\n') + 1) + counts + counts);
	writefile("", "");
	open(true);
	std::string key = idkey("<max@b.example>");
	// A value in the tag field is counted as untagged too.
	ASSERT_EQ(store(key, int64_t{1} << 26), 0);
	const dbz::indexstate &s = dbz::state();
	EXPECT_EQ(s.params.usage[0], INT64_MAX);
	EXPECT_EQ(s.params.untagged[0], INT64_MAX);
	ASSERT_EQ(dbzdone(), 0);
	dir = readfile(".dir");
	EXPECT_EQ(dir.substr(dir.find('\n') + 1), counts + counts);
}

// Refusals before the probe change nothing, not even the probe that the
// missed lookup left for the store.
TEST_F(StoreTest, RefusedStoresChangeNothing) {
	writelayout({});
	writefile("", "<a@b.example>\t1~-\n");
	open();
	std::string missed = idkey("<missed@b.example>");
	std::string key = idkey("<a@b.example>");
	std::string long255(255, 'x');
	int64_t zero = 0;
	int64_t enable = int64_t{1} << 31;
	struct Case {
		const char *name;
		int (*fn)(dbzitem, dbzitem);
		dbzitem key;
		dbzitem value;
	} cases[] = {
	    {"value of 4 bytes", dbzstore, item(key), dbzitem{reinterpret_cast<char *>(&zero), 4}},
	    {"value with the tag-enable bit", dbzstore, item(key), valueitem(enable)},
	    {"dbzstore: key of 255 bytes", dbzstore, item(long255), valueitem(zero)},
	    {"dbzput: key of 255 bytes", dbzput, item(long255), valueitem(zero)},
	    {"dbmput: key of 255 bytes", dbmput, item(long255), valueitem(zero)},
	    {"dbzstore: negative key length", dbzstore, dbzitem{key.data(), -1}, valueitem(zero)},
	    {"dbzput: negative key length", dbzput, dbzitem{key.data(), -1}, valueitem(zero)},
	    {"dbmput: negative key length", dbmput, dbzitem{key.data(), -1}, valueitem(zero)},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		ASSERT_FALSE(found(dbzlookup(item(missed))));
		EXPECT_EQ(c.fn(c.key, c.value), -1);
		const dbz::indexstate &s = dbz::state();
		EXPECT_EQ(s.params.usage[0], 0);
		EXPECT_EQ(s.params.untagged[0], 0);
		EXPECT_FALSE(s.dirty);
		EXPECT_EQ(s.lastprobe, &s.probe);
	}
	EXPECT_EQ(readfile(".pag"), "");
}

TEST_F(StoreTest, WithoutAnOpenIndexStoresFail) {
	std::string key = idkey("<a@b.example>");
	EXPECT_EQ(store(key, 0), -1);
	int64_t v = 0;
	EXPECT_EQ(dbzput(item(key), valueitem(v)), -1);
}

TEST_F(StoreTest, LongestStorableKeyIs254Bytes) {
	writelayout({});
	std::string id = "<" + std::string(251, 'x') + ">";
	std::string key = idkey(id.c_str());
	ASSERT_EQ(key.size(), 254u);
	writefile("", id + "\t1~-\n");
	open();
	EXPECT_EQ(store(key, 0), 0);
	EXPECT_EQ(found(dbzlookup(item(key))), std::optional<int64_t>(0));
}

// An empty key may come without an address: folding it must not hand the
// C library a null pointer (the sanitizer build reports that). It hashes to
// 0 and lands in slot 0.
TEST_F(StoreTest, EmptyKeyWithoutAnAddressIsStored) {
	for (char mode : {'C', '=', '0'}) {
		SCOPED_TRACE(mode);
		dbz::resetstate();
		dbz::hashinit();
		std::filesystem::remove(path(".pag"));
		Layout l;
		l.casemode = mode;
		writelayout(l);
		writefile("", "\t1~-\n");
		open();
		int64_t v = 0;
		EXPECT_EQ(dbzstore(dbzitem{nullptr, 0}, valueitem(v)), 0);
		EXPECT_EQ(dbz::state().params.usage[0], 1);
		EXPECT_EQ(fileslot(0), tagform(0, 0));
	}
}

// A .pag that cannot be opened for writing makes every store fail. A
// directory stands in for it: it opens for reading only, even as root.
TEST_F(StoreTest, ReadOnlyIndexRefusesEveryStore) {
	writelayout({});
	writefile("", "<a@b.example>\t1~-\n");
	std::filesystem::remove(path(".pag"));
	ASSERT_EQ(mkdir(path(".pag").c_str(), 0755), 0);
	open();
	ASSERT_TRUE(dbz::state().pagreadonly);
	std::string key = idkey("<a@b.example>");
	int64_t v = 0;
	EXPECT_EQ(dbzstore(item(key), valueitem(v)), -1);
	EXPECT_EQ(dbzput(item(key), valueitem(v)), -1);
	EXPECT_EQ(dbmput(item(key), valueitem(v)), -1);
	EXPECT_EQ(dbz::state().params.usage[0], 0);
	EXPECT_FALSE(dbz::state().dirty);
}

// A store does not look for an earlier entry: the second goes into the next
// slot, and a lookup finds the first.
TEST_F(StoreTest, DuplicateKeysKeepTheFirstValue) {
	writelayout({});
	const std::string line = "<dup@b.example>\t1~-\n";
	writefile("", line + line);
	open();
	std::string key = idkey("<dup@b.example>");
	int64_t h = hash(key);
	int64_t second = static_cast<int64_t>(line.size());
	ASSERT_EQ(store(key, 0), 0);
	ASSERT_EQ(store(key, second), 0);
	EXPECT_EQ(fileslot(home(h)), tagform(h, 0));
	EXPECT_EQ(fileslot((home(h) + 1) % 10), tagform(h, second));
	EXPECT_EQ(found(dbzlookup(item(key))), std::optional<int64_t>(0));
	EXPECT_EQ(dbz::state().params.usage[0], 2);
}

// Where a store lands: memory only for a slot of the in-core first table
// without write-through, the .pag file at once in every other case.
struct TargetCase {
	const char *name;
	bool incore;
	bool writethru;
	bool spill;  // the first table is full: the slot lies in the second
	bool atonce;
};

class StoreTargetTest : public IndexTest,
                        public ::testing::WithParamInterface<TargetCase> {};

TEST_P(StoreTargetTest, SlotReachesTheFileAtOnceOrAtTheFlush) {
	const TargetCase &c = GetParam();
	writelayout({});
	const std::string line = "<target@b.example>\t1~-\n";
	writefile("", "junk\n" + line);
	const int64_t offset = 5;
	std::string key = idkey("<target@b.example>");
	int64_t h = hash(key);
	if (c.spill)
		for (int64_t slot = 0; slot < 10; slot++)
			putslot(slot, foreignform(h, 0));
	const std::string before = readfile(".pag");
	dbzsetwritethrough(c.writethru ? 1 : 0);
	open(c.incore);
	ASSERT_EQ(dbz::state().coretable != nullptr, c.incore);

	int64_t slot = c.spill ? modelslot(home(h), 100, 10, 100) : home(h);
	uint64_t form = tagform(h, offset);
	ASSERT_EQ(store(key, offset), 0);
	EXPECT_EQ(dbz::state().probe.slot, slot);
	if (c.atonce) {
		EXPECT_EQ(fileslot(slot), form);
		EXPECT_EQ(dbz::state().pagcursor, -1);
	} else {
		EXPECT_EQ(readfile(".pag"), before);
	}
	if (c.incore && !c.spill) {
		EXPECT_EQ(dbz::state().coretable[slot], form);
	}
	// Found at once in this process, wherever the slot went.
	EXPECT_EQ(found(dbzlookup(item(key))), std::optional<int64_t>(offset));

	ASSERT_EQ(dbzflush(), 0);
	EXPECT_EQ(fileslot(slot), form);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, StoreTargetTest,
    ::testing::Values(TargetCase{"file", false, false, false, true},
                      TargetCase{"file_spill", false, false, true, true},
                      TargetCase{"incore", true, false, false, false},
                      TargetCase{"incore_writethrough", true, true, false, true},
                      TargetCase{"incore_spill", true, false, true, true}),
    [](const auto &info) { return std::string(info.param.name); });

// A store right after a missed lookup of its key resumes that probe: it
// reads the slot where the lookup stopped once more and no slot before it.
// The in-core table is changed behind the index's back between the two
// calls, so that every other course lands elsewhere.
TEST_F(StoreTest, StoreResumesTheProbeOfTheMissedLookup) {
	enum Before { kMissSameKey, kMissOtherHash, kHit };
	struct Case {
		const char *name;
		Before before;
		int64_t landing;  // steps from K's home where the store must land
	} cases[] = {
	    // K's home H holds another key's value, the lookup stops at H+1.
	    // Then H is emptied and H+1 filled: a fresh walk would land at H,
	    // a resumed probe that skipped H+1 would overwrite it.
	    {"after a miss of the same key", kMissSameKey, 2},
	    // Nothing to resume: the store walks from K's home, now empty.
	    {"after a miss of another hash", kMissOtherHash, 0},
	    {"after a hit", kHit, 0},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		dbz::resetstate();
		dbz::hashinit();
		std::filesystem::remove(path(".pag"));
		writelayout({});
		const std::string kline = "<k@b.example>\t1~-\n";
		writefile("", kline + "<j@b.example>\t1~-\n");
		std::string key = idkey("<k@b.example>");
		std::string other = idkey("<j@b.example>");
		int64_t h = hash(key);
		int64_t hj = hash(other);
		int64_t size = layout_.tablesize;
		int64_t at = home(h);
		auto step = [&](int64_t k) { return (at + k) % size; };
		ASSERT_NE(h, hj);
		ASSERT_NE(home(hj), at);
		ASSERT_NE(home(hj), step(1));
		putslot(at, foreignform(h, 0));
		open(true);
		uint64_t *core = dbz::state().coretable;
		ASSERT_NE(core, nullptr);

		switch (c.before) {
		case kMissSameKey:
			ASSERT_FALSE(found(dbzlookup(item(key))));
			ASSERT_EQ(dbz::state().probe.slot, step(1));
			core[step(1)] = foreignform(h, 0);
			break;
		case kMissOtherHash:
			ASSERT_FALSE(found(dbzlookup(item(other))));
			break;
		case kHit:
			ASSERT_EQ(store(key, 0), 0);
			ASSERT_EQ(found(dbzlookup(item(key))), std::optional<int64_t>(0));
			break;
		}
		core[at] = 0;
		int64_t usage = dbz::state().params.usage[0];

		const int64_t value = 7;
		ASSERT_EQ(store(key, value), 0);
		int64_t slot = step(c.landing);
		EXPECT_EQ(dbz::state().probe.slot, slot);
		EXPECT_EQ(core[slot], tagform(h, value));
		EXPECT_EQ(dbz::state().lastprobe, nullptr);
		EXPECT_EQ(dbz::state().params.usage[0], usage + 1);
	}
}

// A .pag read error ends the lookup; a store of the same hash then resumes
// the failed probe and fails without reading, but still counts. The error
// is made by putting a directory under the .pag stream's descriptor: every
// read of it fails.
TEST_F(StoreTest, PagReadErrorFailsTheResumedStore) {
	writelayout({});
	writefile("", "<a@b.example>\t1~-\n");
	std::string key = idkey("<a@b.example>");
	open();
	int pagfd = fileno(dbz::state().pagfile);
	int saved = breakreads(pagfd);

	EXPECT_FALSE(found(dbzlookup(item(key))));
	const dbz::indexstate &s = dbz::state();
	EXPECT_EQ(s.probe.failed, 1);
	EXPECT_EQ(s.pagcursor, -1);
	EXPECT_EQ(s.lastprobe, &s.probe);

	// With the .pag readable again, a fresh probe would succeed: the -1
	// shows that the store went on from the failed one.
	restorefd(saved, pagfd);
	EXPECT_EQ(store(key, 0), -1);
	EXPECT_EQ(s.params.usage[0], 1);
	EXPECT_TRUE(s.dirty);
	EXPECT_EQ(s.lastprobe, nullptr);
	EXPECT_EQ(readfile(".pag"), "");

	// The next lookup starts afresh and reads again.
	EXPECT_FALSE(found(dbzlookup(item(key))));
	EXPECT_EQ(s.probe.failed, 0);
	EXPECT_EQ(store(key, 0), 0);
	EXPECT_EQ(found(dbzlookup(item(key))), std::optional<int64_t>(0));
}

// A failed slot write fails its store and nothing after it: the next probe
// that reads past the end of the .pag finds an empty slot, not an error, and
// the store that follows it succeeds. The write is made to fail by putting
// a read-only descriptor under the .pag stream.
TEST_F(StoreTest, FailedSlotWriteDoesNotFailLaterStores) {
	writelayout({});
	const std::string aline = "<a@b.example>\t1~-\n";
	writefile("", aline + "<c@b.example>\t1~-\n");
	std::string a = idkey("<a@b.example>"), c = idkey("<c@b.example>");
	const int64_t coff = static_cast<int64_t>(aline.size());
	open();
	int pagfd = fileno(dbz::state().pagfile);
	int saved = dup(pagfd);
	int ro = ::open(path(".pag").c_str(), O_RDONLY);
	ASSERT_GE(saved, 0);
	ASSERT_GE(ro, 0);
	ASSERT_EQ(dup2(ro, pagfd), pagfd);
	close(ro);
	EXPECT_EQ(store(a, 0), -1);
	ASSERT_EQ(dup2(saved, pagfd), pagfd);
	close(saved);

	const dbz::indexstate &s = dbz::state();
	EXPECT_FALSE(found(dbzlookup(item(c))));
	EXPECT_EQ(s.probe.failed, 0);
	EXPECT_EQ(store(c, coff), 0);
	EXPECT_EQ(found(dbzlookup(item(c))), std::optional<int64_t>(coff));
	EXPECT_EQ(store(a, 0), 0);
	EXPECT_EQ(found(dbzlookup(item(a))), std::optional<int64_t>(0));
}

}  // namespace
}  // namespace dbztest
