// table_test.cc: the in-core table against the file. Pages are read when a
// probe first reaches them and only changed pages are written back; the
// .pag and .dir bytes that leaves are compared with what writing the whole
// table back at every flush would have left.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/index_fixture.h"

namespace dbztest {
namespace {

enum Op { kStore, kFlush, kDiscard, kWritethruOn, kWritethruOff, kClose };

struct Step {
	Op op;
	int count = 1;  // keys stored by kStore
};

// An index worked through the library while a model keeps what the whole
// table written back at every flush would leave: the first table as read
// at open, changed by the stores, and the bytes of both files.
class TableTest : public IndexTest {
protected:
	void TearDown() override {
		dbzsetwritethrough(0);
		IndexTest::TearDown();
	}

	// Opens the index with its in-core table and the model with it.
	void openboth() {
		open(true);
		ASSERT_NE(dbz::state().coretable, nullptr);
		pag_ = readfile(".pag");
		dir_text_ = readfile(".dir");
		size_t table = static_cast<size_t>(layout_.tablesize) * 8;
		image_.assign(table, '\0');
		size_t whole = std::min(pag_.size() / 8 * 8, table);
		image_.replace(0, whole, pag_, 0, whole);
		dirty_ = coredirty_ = false;
	}

	void storeone() {
		std::string key = idkey(numberedid(next_, "table.example").c_str());
		int64_t v = 1000 + next_++;
		ASSERT_EQ(dbzstore(item(key), dbzitem{reinterpret_cast<char *>(&v), 8}),
		          0);
		stores_++;
		dirty_ = true;
		int64_t slot = dbz::state().probe.slot;
		std::string bytes =
		    encode(layout_.legacy ? plainform(v) : tagform(hash(key), v));
		if (slot < layout_.tablesize) {
			image_.replace(static_cast<size_t>(slot) * 8, 8, bytes);
			if (!writethru_) {
				coredirty_ = true;
				return;
			}
		}
		putmodel(slot, bytes);
	}

	void putmodel(int64_t slot, const std::string &bytes) {
		size_t at = static_cast<size_t>(slot) * 8;
		if (pag_.size() < at + 8)
			pag_.resize(at + 8, '\0');
		pag_.replace(at, 8, bytes);
	}

	// What a whole-table write-back leaves.
	void flushmodel() {
		if (!dirty_)
			return;
		if (!writethru_ || coredirty_) {
			if (pag_.size() < image_.size())
				pag_.resize(image_.size(), '\0');
			pag_.replace(0, image_.size(), image_);
			coredirty_ = false;
		}
		if (!layout_.legacy) {
			std::string zeros = " 0 0 0 0 0 0 0 0 0 0\n";
			dir_text_ = dir_text_.substr(0, dir_text_.find('\n') + 1) +
			            std::to_string(stores_) + zeros + "0" + zeros;
		}
	}

	void run(Step step) {
		switch (step.op) {
		case kStore:
			for (int i = 0; i < step.count; i++)
				storeone();
			break;
		case kFlush:
			EXPECT_EQ(dbzflush(), 0);
			flushmodel();
			break;
		case kDiscard:
			EXPECT_EQ(dbzdiscard(), 0);
			dirty_ = false;
			break;
		case kWritethruOn:
		case kWritethruOff:
			writethru_ = step.op == kWritethruOn;
			dbzsetwritethrough(writethru_);
			break;
		case kClose:
			EXPECT_EQ(dbzdone(), 0);
			flushmodel();
			break;
		}
	}

	// The files hold what the model says; a difference in the .pag is shown
	// by its first slot rather than by a megabyte of bytes.
	void expectfiles() {
		std::string pag = readfile(".pag");
		EXPECT_EQ(pag.size(), pag_.size());
		auto diff = std::mismatch(pag.begin(), pag.end(), pag_.begin(),
		                          pag_.end());
		EXPECT_TRUE(diff.first == pag.end() && diff.second == pag_.end())
		    << "first difference in slot " << (diff.first - pag.begin()) / 8;
		EXPECT_EQ(readfile(".dir"), dir_text_);
	}

	// The native stored form of a slot of a .pag too large to read whole.
	uint64_t slotat(int64_t slot) const {
		int fd = ::open(path(".pag").c_str(), O_RDONLY);
		uint64_t form = 0;
		EXPECT_GE(fd, 0);
		EXPECT_EQ(pread(fd, &form, 8, slot * 8), 8);
		close(fd);
		return layout_.reversed ? __builtin_bswap64(form) : form;
	}

	// Slots of the pattern 0x1111... and then partial bytes of one more.
	static std::string filled(int slots, int partial = 0) {
		return std::string(static_cast<size_t>(slots) * 8, '\x11') +
		       std::string(static_cast<size_t>(partial), '\x7F');
	}

	std::string image_, pag_, dir_text_;
	bool dirty_ = false, coredirty_ = false, writethru_ = false;
	int next_ = 0;
	int64_t stores_ = 0;
};

// Every sequence of stores, flushes, discards and write-through changes
// leaves the files as whole-table write-backs would. Tables of 2000 slots
// span four pages, the last one partial.
TEST_F(TableTest, FilesAsWholeTableWriteBacksLeaveThem) {
	Layout plain;
	plain.tablesize = 2000;
	Layout reversed = plain;
	reversed.reversed = true;
	Layout legacy;
	legacy.legacy = true;
	Layout small = plain;
	small.tablesize = 600;
	const struct {
		const char *name;
		Layout layout;
		std::string pag;
		std::vector<Step> steps;
	} cases[] = {
	    // Discarded slots are written by a later flush after a store.
	    {"empty .pag",
	     plain,
	     "",
	     {{kStore, 5}, {kFlush}, {kDiscard}, {kFlush}, {kStore, 3}, {kDiscard},
	      {kStore}, {kFlush}, {kStore, 2}, {kClose}}},
	    {"stores discarded for good",
	     plain,
	     filled(10),
	     {{kStore, 4}, {kDiscard}, {kFlush}, {kClose}}},
	    // The old end lies in the second page, in a partial slot.
	    {"short .pag with a partial slot",
	     plain,
	     filled(700, 5),
	     {{kStore, 4}, {kFlush}, {kStore, 2}, {kClose}}},
	    {"a partial slot and no store in its page",
	     plain,
	     filled(3, 3),
	     {{kStore}, {kClose}}},
	    {"write-through toggled",
	     plain,
	     "",
	     {{kStore, 3}, {kWritethruOn}, {kStore, 2}, {kFlush}, {kStore}, {kFlush},
	      {kWritethruOff}, {kStore, 2}, {kFlush}, {kDiscard}, {kWritethruOn},
	      {kStore}, {kClose}}},
	    {"write-through from the open",
	     plain,
	     filled(100),
	     {{kWritethruOn}, {kStore, 4}, {kFlush}, {kClose}}},
	    {"legacy index", legacy, std::string(8, '\0'),
	     {{kStore, 5}, {kFlush}, {kDiscard}, {kStore}, {kClose}}},
	    {"foreign byte order",
	     reversed,
	     filled(600),
	     {{kStore, 5}, {kFlush}, {kStore, 5}, {kDiscard}, {kStore}, {kClose}}},
	    // A .pag longer than one table is never cut back.
	    {"second table in use",
	     small,
	     filled(700),
	     {{kStore, 3}, {kFlush}, {kClose}}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		dbz::resetstate();
		std::filesystem::remove(path(".pag"));
		writefile(".pag", c.pag);
		writelayout(c.layout);
		writefile("", "");
		writethru_ = false;
		next_ = 0;
		stores_ = 0;
		openboth();
		for (size_t i = 0; i < c.steps.size(); i++) {
			SCOPED_TRACE("after step " + std::to_string(i));
			run(c.steps[i]);
			if (c.steps[i].op == kFlush || c.steps[i].op == kClose)
				expectfiles();
		}
	}
}

// A flush that cannot write everything (the file size limit) writes what
// it can and fails; the next one, with room again, writes the rest.
TEST_F(TableTest, FailedFlushIsDoneAgainByTheNext) {
	Layout l;
	l.tablesize = 3000;
	writelayout(l);
	writefile("", "");
	openboth();
	run({kStore, 40});

	struct rlimit old;
	ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
	struct rlimit small = old;
	small.rlim_cur = 2 * dbz::kCorePageBytes;
	void (*oldsig)(int) = signal(SIGXFSZ, SIG_IGN);
	ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
	int failed = dbzflush();
	ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
	signal(SIGXFSZ, oldsig);
	EXPECT_EQ(failed, -1);
	std::string partial = readfile(".pag");
	EXPECT_LE(partial.size(), 2u * dbz::kCorePageBytes);
	EXPECT_EQ(partial, image_.substr(0, partial.size()));

	run({kFlush});
	expectfiles();
	run({kClose});
	expectfiles();
}

// A page that cannot be read fails the probe that reached it, and the next
// probe reads it again. The read error comes from a directory put under the
// descriptor of the core stream.
TEST_F(TableTest, UnreadablePageIsReadAgain) {
	Layout l;
	l.tablesize = 2000;
	writelayout(l);
	std::string line = "<x@table.example>\t1~-\n";
	writefile("", line);
	std::string key = idkey("<x@table.example>");
	open(false);
	int64_t zero = 0;
	ASSERT_EQ(dbzstore(item(key), dbzitem{reinterpret_cast<char *>(&zero), 8}),
	          0);
	ASSERT_EQ(dbzdone(), 0);

	open(true);
	int corefd = fileno(dbz::state().corefile);
	int saved = breakreads(corefd);
	EXPECT_EQ(found(dbzlookup(item(key))), std::nullopt);
	int64_t one = 1;
	EXPECT_EQ(dbzstore(item(key), dbzitem{reinterpret_cast<char *>(&one), 8}),
	          -1);
	EXPECT_EQ(dbz::state().coreresident, 0);

	restorefd(saved, corefd);
	EXPECT_EQ(found(dbzlookup(item(key))), std::optional<int64_t>(0));
	EXPECT_EQ(dbz::state().coreresident, 1);
}

// A table of 150 million slots (a 1.2 GB .pag): a few stores read and
// write a few pages, the .pag stays a hole, and a later flush writes only
// the pages stored into since: a slot changed in the file meanwhile, in a
// page the run never reached, stays as it is.
TEST_F(TableTest, HugeTableCostsWhatItTouches) {
	Layout l;
	l.tablesize = 150000007;
	writelayout(l);
	writefile("", "");
	open(true);
	EXPECT_EQ(dbz::state().coreresident, 0) << "the open read the table";
	std::string keys[20];
	for (int i = 0; i < 20; i++) {
		keys[i] = idkey(numberedid(i, "huge.example").c_str());
		int64_t v = i;
		ASSERT_EQ(dbzlookup(item(keys[i])).ptr, nullptr);
		ASSERT_EQ(dbzstore(item(keys[i]), dbzitem{reinterpret_cast<char *>(&v), 8}),
		          0);
		if (i == 9) {
			ASSERT_EQ(dbzflush(), 0);
			putslot(l.tablesize / 2, plainform(77));
		}
	}
	const dbz::indexstate &s = dbz::state();
	EXPECT_LE(s.coreresident, 20);
	ASSERT_EQ(dbzdone(), 0);

	struct stat st;
	ASSERT_EQ(stat(path(".pag").c_str(), &st), 0);
	EXPECT_EQ(st.st_size, l.tablesize * 8);
	EXPECT_LT(st.st_blocks * 512, 2 << 20) << "the .pag was written densely";
	EXPECT_EQ(slotat(l.tablesize / 2), plainform(77));
	for (int i = 0; i < 20; i++) {
		int64_t h = hash(keys[i]);
		EXPECT_EQ(slotat(home(h)), tagform(h, static_cast<uint64_t>(i)))
		    << "key " << i;
	}
}

// A flush that leaves more pages in memory than are kept gives them back;
// they are read again when next reached, with what was stored in them.
TEST_F(TableTest, PagesGivenBackAreReadAgain) {
	Layout l;
	l.tablesize = (dbz::kCoreKeepPages + 8) * dbz::kCorePageSlots;
	writelayout(l);
	std::string line = "<back@table.example>\t1~-\n";
	writefile("", line);
	std::string key = idkey("<back@table.example>");
	open(true);
	dbz::indexstate &s = dbz::state();
	for (int64_t slot = 0; slot < l.tablesize; slot += dbz::kCorePageSlots)
		ASSERT_TRUE(dbz::pageready(s, slot));
	EXPECT_EQ(s.coreresident, dbz::kCoreKeepPages + 8);
	int64_t zero = 0;
	ASSERT_EQ(dbzstore(item(key), dbzitem{reinterpret_cast<char *>(&zero), 8}),
	          0);
	ASSERT_EQ(dbzflush(), 0);
	EXPECT_EQ(s.coreresident, 0);
	EXPECT_EQ(found(dbzlookup(item(key))), std::optional<int64_t>(0));
	EXPECT_EQ(s.coreresident, 1);
	EXPECT_EQ(slotat(home(hash(key))), tagform(hash(key), 0));
}

}  // namespace
}  // namespace dbztest
