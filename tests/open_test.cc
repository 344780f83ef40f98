// open_test.cc: opening, flushing, discarding and closing an index, the
// in-core table, the settings and the open hook, observed in the files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tests/scratchindex.h"

// A table that cannot be allocated is part of what is tested; the sanitizer
// build must hand back NULL for it as the C library does.
extern "C" const char *__asan_default_options() {
	return "allocator_may_return_null=1";
}

namespace {

using scratch::dirspec;
using scratch::dirtext;
using scratch::key;
using scratch::openfds;

const std::string kRecords = "<a@b>\tx\n<c@d>\ty\n";  // <c@d> at offset 8

// What the open hook saw: each stream and its access mode.
struct seen {
	FILE *stream;
	int access;  // O_RDONLY, O_WRONLY or O_RDWR
};
std::vector<seen> hooked;

void recordhook(FILE *f) {
	hooked.push_back({f, fcntl(fileno(f), F_GETFL) & O_ACCMODE});
}

void otherhook(FILE *) {}

class OpenTest : public scratch::IndexTest {
protected:
	void SetUp() override {
		IndexTest::SetUp();
		hooked.clear();
	}

	// The streams the hook saw, in order, named by the open index's
	// streams they are.
	static std::vector<std::string> hookednames() {
		const dbz::indexstate &s = dbz::state();
		std::vector<std::string> names;
		for (const seen &h : hooked)
			names.push_back(h.stream == s.dirfile    ? "dir"
			                : h.stream == s.pagfile  ? "pag"
			                : h.stream == s.basefile ? "base"
			                : h.stream == s.corefile ? "core"
			                                         : "?");
		return names;
	}

	static int store(const char *id, int64_t offset) {
		return dbzstore(key(id), dbzitem{reinterpret_cast<char *>(&offset), 8});
	}

	static std::optional<int64_t> lookup(const char *id) {
		dbzitem r = dbzlookup(key(id));
		if (r.ptr == nullptr)
			return std::nullopt;
		EXPECT_EQ(r.dsize, 8);
		int64_t v;
		memcpy(&v, r.ptr, sizeof v);
		return v;
	}

	// Slots of the .pag that are not empty.
	int usedslots(const std::string &name) const {
		std::string pag = readfile(name);
		int n = 0;
		for (size_t i = 0; i + 8 <= pag.size(); i += 8)
			n += pag.compare(i, 8, std::string(8, '\0')) != 0;
		return n;
	}
};

// What the flush and the close write, and when. Before finishing, both
// files are overwritten with a marker: a file that still holds its marker
// afterwards was not written. The .pag's marker is a partial slot: a
// write-back makes the file one table long, with that slot as the table
// holds it (empty) and the stored slot in place.
TEST_F(OpenTest, FlushAndCloseWriteWhatIsPending) {
	const struct tcase {
		const char *label;
		bool incore, writethru, legacy, store, discard;
		bool dirwritten, pagwritten;
		bool writethrulater = false;  // turned on after the store
	} cases[] = {
	    {"no store", true, false, false, false, false, false, false},
	    {"a store", true, false, false, true, false, true, true},
	    {"a store, then discard", true, false, false, true, true, false, false},
	    {"a store, write-through", true, true, false, true, false, true, false},
	    // A slot stored in memory only must not be lost when write-through
	    // is turned on before the flush.
	    {"a store, then write-through", true, false, false, true, false, true,
	     true, true},
	    {"a store without in-core table", false, false, false, true, false, true,
	     false},
	    {"legacy, a store", true, false, true, true, false, false, true},
	    {"legacy, no store", true, false, true, false, false, false, false},
	};
	for (const tcase &c : cases) {
		for (bool close : {false, true}) {
			SCOPED_TRACE(std::string(c.label) + (close ? ", dbzdone" : ", dbzflush"));
			int64_t size = c.legacy ? dbz::kDefaultTableSize : 16;
			makeindex("hist", c.legacy ? "" : dirtext(),
			          c.legacy ? std::string(8, '\0') : "", kRecords);
			dbzsetincore(c.incore);
			dbzsetwritethrough(c.writethru);
			ASSERT_EQ(open("hist"), 0);
			ASSERT_EQ(dbz::state().params.legacy, c.legacy);
			if (c.store) {
				ASSERT_EQ(store("<c@d>", 8), 0);
			}
			if (c.discard) {
				ASSERT_EQ(dbzdiscard(), 0);
			}
			if (c.writethrulater)
				dbzsetwritethrough(1);

			const std::string dirmark(40, '#');
			const std::string pagmark(3, '\xEE');
			writefile("hist.dir", dirmark);
			writefile("hist.pag", pagmark);
			EXPECT_EQ(close ? dbzdone() : dbzflush(), 0);

			std::string dir = readfile("hist.dir"), pag = readfile("hist.pag");
			if (c.dirwritten) {
				EXPECT_EQ(dir.substr(0, 9), "dbz 3 16 ");
				// line 2 counts the store
				EXPECT_EQ(dir.substr(dir.find('\n') + 1, 2), "1 ");
			} else {
				EXPECT_EQ(dir, dirmark);
			}
			if (c.pagwritten) {
				EXPECT_EQ(pag.size(), static_cast<size_t>(size) * 8);
				EXPECT_EQ(pag.find('\xEE'), std::string::npos);
				EXPECT_EQ(usedslots("hist.pag"), 1);
			} else {
				EXPECT_EQ(pag, pagmark);
			}
			dbz::resetstate();
		}
	}
}

// The flush leaves the pending state as it is: every flush writes again, and
// so does the close after it.
TEST_F(OpenTest, EveryFlushAfterAStoreWritesAgain) {
	makeindex("hist", dirtext(), "", kRecords);
	dbzsetincore(1);
	ASSERT_EQ(open("hist"), 0);
	ASSERT_EQ(store("<c@d>", 8), 0);
	for (int round = 0; round < 3; round++) {
		SCOPED_TRACE(round);
		writefile("hist.dir", "#");
		writefile("hist.pag", "#");
		EXPECT_EQ(round < 2 ? dbzflush() : dbzdone(), 0);
		EXPECT_EQ(readfile("hist.dir").substr(0, 4), "dbz ");
		EXPECT_EQ(readfile("hist.pag").size(), 16u * 8);
		EXPECT_EQ(usedslots("hist.pag"), 1);
	}
	ASSERT_EQ(open("hist"), 0);
	EXPECT_EQ(lookup("<c@d>"), 8);
}

// A failed write of the in-core table fails the flush but does not keep the
// .dir from being rewritten; the index stays open with its store pending,
// and the close still closes everything.
TEST_F(OpenTest, FailedTableWriteStillRewritesTheDir) {
	makeindex("hist", dirtext(), "", kRecords);
	dbzsetincore(1);
	int fds = openfds();
	ASSERT_EQ(open("hist"), 0);
	ASSERT_EQ(store("<c@d>", 8), 0);
	// Swap a read-only descriptor in under the core stream.
	int ro = ::open(path("hist.pag").c_str(), O_RDONLY);
	ASSERT_GE(ro, 0);
	ASSERT_GE(dup2(ro, fileno(dbz::state().corefile)), 0);
	close(ro);

	writefile("hist.dir", "#");
	EXPECT_EQ(dbzflush(), -1);
	EXPECT_EQ(readfile("hist.dir").substr(0, 4), "dbz ");
	EXPECT_NE(dbz::state().pagfile, nullptr);
	EXPECT_TRUE(dbz::state().dirty);

	writefile("hist.dir", "#");
	EXPECT_EQ(dbzdone(), -1);
	EXPECT_EQ(readfile("hist.dir").substr(0, 4), "dbz ");
	EXPECT_EQ(dbz::state().pagfile, nullptr);
	EXPECT_EQ(openfds(), fds);
	EXPECT_EQ(open("hist"), 0);  // a failed close leaves the index closed
}

// A failed flush is reported by that flush alone: once the files can be
// written again, the next flush and the close write everything and report
// success. Each case puts a read-only descriptor under one stream for the
// first flush.
TEST_F(OpenTest, FlushAfterAFailedOneSucceedsAgain) {
	for (bool core : {true, false}) {
		SCOPED_TRACE(core ? "in-core table write fails" : ".dir write fails");
		makeindex("hist", dirtext(), "", kRecords);
		dbzsetincore(1);
		ASSERT_EQ(open("hist"), 0);
		ASSERT_EQ(store("<c@d>", 8), 0);
		const dbz::indexstate &s = dbz::state();
		const char *name = core ? "hist.pag" : "hist.dir";
		int fd = fileno(core ? s.corefile : s.dirfile);
		int saved = dup(fd);
		int ro = ::open(path(name).c_str(), O_RDONLY);
		ASSERT_GE(saved, 0);
		ASSERT_GE(ro, 0);
		ASSERT_GE(dup2(ro, fd), 0);
		close(ro);
		EXPECT_EQ(dbzflush(), -1);
		ASSERT_GE(dup2(saved, fd), 0);
		close(saved);

		EXPECT_EQ(dbzflush(), 0);
		EXPECT_EQ(usedslots("hist.pag"), 1);
		EXPECT_EQ(readfile("hist.dir").substr(0, 4), "dbz ");
		EXPECT_EQ(dbzdone(), 0);
		ASSERT_EQ(open("hist"), 0);
		EXPECT_EQ(lookup("<c@d>"), 8);
		dbz::resetstate();
	}
}

// The in-core table holds the first table as the file does; the slots the
// file does not reach, a partial slot at its end among them, are empty.
TEST_F(OpenTest, InCoreTableHoldsTheFirstTable) {
	const struct {
		int nslots;
		size_t partial;  // bytes of one more slot after them
	} cases[] = {{0, 0}, {3, 0}, {3, 5}, {15, 7}, {16, 0}, {20, 3}};
	for (const auto [nslots, partial] : cases) {
		SCOPED_TRACE(std::to_string(nslots) + " slots + " +
		             std::to_string(partial) + " bytes");
		std::string pag;
		for (int i = 0; i < nslots; i++) {
			uint64_t w = 0x0101010101010101 * static_cast<uint64_t>(i + 1);
			pag.append(reinterpret_cast<char *>(&w), 8);
		}
		pag.append(partial, '\x7F');
		makeindex("hist", dirtext(), pag, kRecords);
		dbzsetincore(1);
		ASSERT_EQ(open("hist"), 0);
		dbz::indexstate &s = dbz::state();
		ASSERT_NE(s.corefile, nullptr);
		ASSERT_NE(s.coretable, nullptr);
		for (int i = 0; i < 16; i++) {
			ASSERT_TRUE(dbz::pageready(s, i));
			uint64_t want = i < nslots ? 0x0101010101010101 * (i + 1u) : 0;
			EXPECT_EQ(s.coretable[i], want) << "slot " << i;
		}
		EXPECT_EQ(dbzdone(), 0);
	}
}

// Tables too large for memory are no failure: the index works from the .pag.
TEST_F(OpenTest, TableTooLargeForMemoryIsNotLoaded) {
	const int64_t sizes[] = {int64_t{1} << 60,   // the allocation fails
	                         int64_t{1} << 61,   // its byte count overflows
	                         INT64_MAX};
	for (int64_t size : sizes) {
		SCOPED_TRACE(size);
		makeindex("hist", dirtext({.tablesize = size}), "", kRecords);
		dbzsetincore(1);
		ASSERT_EQ(open("hist"), 0);
		const dbz::indexstate &s = dbz::state();
		EXPECT_EQ(s.coretable, nullptr);
		// the second .pag stream is opened only for a size that fits
		EXPECT_EQ(s.corefile != nullptr, size < int64_t{1} << 61);
		EXPECT_FALSE(lookup("<c@d>"));
		EXPECT_EQ(dbzdone(), 0);
	}
}

TEST_F(OpenTest, IncoreSettingActsAtTheNextOpen) {
	makeindex("hist", dirtext(), "", kRecords);
	ASSERT_EQ(open("hist"), 0);
	dbzsetincore(1);
	EXPECT_EQ(dbz::state().coretable, nullptr);
	ASSERT_EQ(dbzdone(), 0);
	ASSERT_EQ(open("hist"), 0);
	EXPECT_NE(dbz::state().coretable, nullptr);
	dbzsetincore(0);
	EXPECT_NE(dbz::state().coretable, nullptr);
}

TEST_F(OpenTest, SettingsReturnThePreviousValue) {
	makeindex("hist", dirtext(), "", kRecords);
	for (bool opened : {false, true}) {
		SCOPED_TRACE(opened ? "index open" : "no index open");
		dbz::resetstate();
		if (opened) {
			ASSERT_EQ(open("hist"), 0);
		}
		EXPECT_EQ(dbzsetincore(1), 0);
		EXPECT_EQ(dbzsetincore(7), 1);
		EXPECT_EQ(dbzsetincore(0), 7);
		EXPECT_EQ(dbzsetwritethrough(1), 0);
		EXPECT_EQ(dbzsetwritethrough(-3), 1);
		EXPECT_EQ(dbzsetwritethrough(0), -3);
		EXPECT_EQ(dbzsetopenhook(recordhook), nullptr);
		EXPECT_EQ(dbzsetopenhook(otherhook), recordhook);
		EXPECT_EQ(dbzsetopenhook(nullptr), otherhook);
		EXPECT_EQ(dbzsetdebug(1), -1);
		EXPECT_EQ(dbzsetdebug(0), -1);
	}
}

TEST_F(OpenTest, HookSeesTheStreamsInOrder) {
	const struct {
		bool incore, base;
		std::vector<std::string> atopen;
	} cases[] = {
	    {false, true, {"dir", "pag", "base"}},
	    {true, true, {"dir", "pag", "base", "core"}},
	    {false, false, {"dir", "pag"}},
	    {true, false, {"dir", "pag", "core"}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.incore ? "in-core" : "no in-core") +
		             (c.base ? ", base present" : ", base deferred"));
		makeindex("hist", dirtext(), "", kRecords);
		if (!c.base)
			std::filesystem::remove(path("hist"));
		hooked.clear();
		dbzsetopenhook(recordhook);
		dbzsetincore(c.incore);
		ASSERT_EQ(open("hist"), 0);
		EXPECT_EQ(hookednames(), c.atopen);
		if (!c.base) {
			writefile("hist", kRecords);
			EXPECT_FALSE(lookup("<c@d>"));  // opens the base file
			std::vector<std::string> want = c.atopen;
			want.push_back("base");
			EXPECT_EQ(hookednames(), want);
		}
		EXPECT_FALSE(lookup("<a@b>"));
		EXPECT_EQ(hooked.size(), c.atopen.size() + !c.base);
		dbz::resetstate();
	}
}

// Drops root's right to write any file while it lives, so that file modes
// decide what opens for writing.
class unprivileged {
public:
	unprivileged() {
		if (geteuid() == 0)
			ok_ = seteuid(65534) == 0;
	}
	~unprivileged() {
		if (geteuid() != 0 && getuid() == 0 && seteuid(0) != 0)
			abort();
	}
	bool ok() const { return ok_; }

private:
	bool ok_ = true;
};

// A .dir or .pag that can only be read makes the index read-only; the
// streams are opened with the modes that allow, seen through the hook.
TEST_F(OpenTest, ReadOnlyFilesMakeAReadOnlyIndex) {
	ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
	const struct {
		const char *label;
		bool dirwritable, pagwritable;
		int dir, pag, core;
	} cases[] = {
	    {"both writable", true, true, O_RDWR, O_RDWR, O_RDWR},
	    {"read-only .dir", false, true, O_RDONLY, O_RDWR, O_RDONLY},
	    {"read-only .pag", true, false, O_RDWR, O_RDONLY, O_RDONLY},
	    {"both read-only", false, false, O_RDONLY, O_RDONLY, O_RDONLY},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		// The case before may have left the files read-only, which only
		// root could write over.
		chmod(path("hist.dir").c_str(), 0666);
		chmod(path("hist.pag").c_str(), 0666);
		makeindex("hist", dirtext(), "", kRecords);
		chmod(path("hist.dir").c_str(), c.dirwritable ? 0666 : 0444);
		chmod(path("hist.pag").c_str(), c.pagwritable ? 0666 : 0444);
		const std::string dirbefore = readfile("hist.dir");
		hooked.clear();
		dbzsetopenhook(recordhook);
		dbzsetincore(1);
		{
			unprivileged guard;
			if (!guard.ok())
				GTEST_SKIP() << "cannot drop root's rights here";
			ASSERT_EQ(open("hist"), 0);
		}
		ASSERT_EQ(hookednames(),
		          (std::vector<std::string>{"dir", "pag", "base", "core"}));
		EXPECT_EQ(hooked[0].access, c.dir);
		EXPECT_EQ(hooked[1].access, c.pag);
		EXPECT_EQ(hooked[2].access, O_RDONLY);
		EXPECT_EQ(hooked[3].access, c.core);

		bool readonly = !c.dirwritable || !c.pagwritable;
		EXPECT_EQ(dbz::state().pagreadonly, readonly);
		EXPECT_EQ(store("<c@d>", 8), readonly ? -1 : 0);
		EXPECT_EQ(dbz::state().dirty, !readonly);
		EXPECT_EQ(dbzdone(), 0);
		if (readonly) {
			EXPECT_EQ(readfile("hist.dir"), dirbefore);
		}
		dbz::resetstate();
	}
}

TEST_F(OpenTest, OpenWhileOpenFailsWithErrnoZero) {
	makeindex("hist", dirtext(), "", kRecords);
	makeindex("other", dirtext({.tablesize = 32}), "", kRecords);
	dbzsetincore(1);
	ASSERT_EQ(open("hist"), 0);
	ASSERT_EQ(store("<c@d>", 8), 0);
	const dbz::indexstate &s = dbz::state();
	FILE *pag = s.pagfile, *dir = s.dirfile, *base = s.basefile,
	     *core = s.corefile;
	const uint64_t *table = s.coretable;
	for (const char *name : {"other", "hist", "missing"}) {
		SCOPED_TRACE(name);
		errno = ENOENT;
		EXPECT_EQ(open(name), -1);
		EXPECT_EQ(errno, 0);
		// the open index is left as it was
		EXPECT_EQ(s.pagfile, pag);
		EXPECT_EQ(s.dirfile, dir);
		EXPECT_EQ(s.basefile, base);
		EXPECT_EQ(s.corefile, core);
		EXPECT_EQ(s.coretable, table);
		EXPECT_EQ(s.params.tablesize, 16);
		EXPECT_TRUE(s.dirty);
		EXPECT_EQ(lookup("<c@d>"), 8);
	}
	EXPECT_EQ(dbzdone(), 0);
	EXPECT_EQ(open("other"), 0);
	EXPECT_EQ(dbz::state().params.tablesize, 32);
}

TEST_F(OpenTest, MissingDirOrPagFailsTheOpen) {
	for (const char *gone : {"hist.dir", "hist.pag"}) {
		SCOPED_TRACE(gone);
		makeindex("hist", dirtext(), "", kRecords);
		std::filesystem::remove(path(gone));
		hooked.clear();
		dbzsetopenhook(recordhook);
		int fds = openfds();
		EXPECT_EQ(open("hist"), -1);
		EXPECT_EQ(errno, ENOENT);
		EXPECT_EQ(dbz::state().pagfile, nullptr);
		EXPECT_EQ(openfds(), fds);
		EXPECT_EQ(hooked.size(), std::string(gone) == "hist.dir" ? 0u : 1u);
	}
}

TEST_F(OpenTest, ClosedIndexRefusesEverything) {
	makeindex("hist", dirtext(), "", kRecords);
	for (bool wasopen : {false, true}) {
		SCOPED_TRACE(wasopen ? "after dbzdone" : "never opened");
		if (wasopen) {
			ASSERT_EQ(open("hist"), 0);
			ASSERT_EQ(dbzdone(), 0);
		}
		EXPECT_EQ(dbzflush(), -1);
		EXPECT_EQ(dbzdone(), -1);
		EXPECT_EQ(dbmdone(), -1);
		EXPECT_EQ(dbzdiscard(), -1);
		EXPECT_FALSE(lookup("<c@d>"));
		EXPECT_EQ(store("<c@d>", 8), -1);
	}
}

// A base file that is missing at open is opened by the first lookup or
// store after it appears, and then stays open.
TEST_F(OpenTest, MissingBaseFileIsOpenedLater) {
	makeindex("hist", dirtext(), "", kRecords);
	std::filesystem::remove(path("hist"));
	ASSERT_EQ(open("hist"), 0);
	const dbz::indexstate &s = dbz::state();
	EXPECT_EQ(s.basefile, nullptr);
	ASSERT_NE(s.basepath, nullptr);
	EXPECT_EQ(std::string(s.basepath), path("hist"));

	EXPECT_FALSE(lookup("<c@d>"));
	EXPECT_EQ(store("<c@d>", 8), -1);
	EXPECT_FALSE(s.dirty);
	EXPECT_EQ(s.basefile, nullptr);

	writefile("hist", kRecords);
	ASSERT_EQ(store("<c@d>", 8), 0);
	FILE *base = s.basefile;
	ASSERT_NE(base, nullptr);
	EXPECT_EQ(s.basepath, nullptr);
	EXPECT_EQ(lookup("<c@d>"), 8);
	EXPECT_EQ(s.basefile, base);
	EXPECT_EQ(dbzdone(), 0);
}

// The close of an index whose base file never opened has nothing to write
// and succeeds.
TEST_F(OpenTest, CloseWithTheBaseFileDeferred) {
	makeindex("hist", dirtext(), "", kRecords);
	std::filesystem::remove(path("hist"));
	int fds = openfds();
	ASSERT_EQ(open("hist"), 0);
	writefile("hist.dir", "#");
	EXPECT_EQ(dbzdone(), 0);
	EXPECT_EQ(readfile("hist.dir"), "#");
	EXPECT_EQ(dbz::state().basepath, nullptr);
	EXPECT_EQ(openfds(), fds);
}

// Many opens and closes, good and failed, in every configuration, leave no
// descriptor behind (and, under the sanitizers, no memory), and every store
// survives the cycle.
TEST_F(OpenTest, RepeatedCyclesLeaveNothingBehind) {
	std::string records;
	std::vector<std::string> ids;
	std::vector<int64_t> offsets;
	for (int i = 0; i < 24; i++) {
		ids.push_back("<k" + std::to_string(i) + "@x>");
		offsets.push_back(static_cast<int64_t>(records.size()));
		records += ids.back() + "\tline\n";
	}
	makeindex("hist", dirtext({.tablesize = 64}), "", records);
	makeindex("bad", "dbz 9\n");
	makeindex("nobase", dirtext());
	std::filesystem::remove(path("nobase"));
	dbzsetopenhook(recordhook);
	int fds = openfds();
	for (int i = 0; i < 24; i++) {
		SCOPED_TRACE(i);
		dbzsetincore(i % 2);
		dbzsetwritethrough(i % 3 == 0);
		ASSERT_EQ(i % 4 ? open("hist") : dbmopen(path("hist").c_str()), 0);
		ASSERT_EQ(store(ids[i].c_str(), offsets[i]), 0);
		if (i % 5 == 0) {
			ASSERT_EQ(dbzflush(), 0);
		}
		ASSERT_EQ(i % 2 ? dbzdone() : dbmdone(), 0);

		EXPECT_EQ(open("bad"), -1);
		ASSERT_EQ(open("nobase"), 0);
		EXPECT_FALSE(lookup("<k0@x>"));
		ASSERT_EQ(dbzdone(), 0);
		ASSERT_EQ(openfds(), fds);
	}
	ASSERT_EQ(open("hist"), 0);
	for (int i = 0; i < 24; i++)
		EXPECT_EQ(lookup(ids[i].c_str()), offsets[i]) << ids[i];
	EXPECT_EQ(readfile("hist.dir").substr(readfile("hist.dir").find('\n') + 1, 3),
	          "24 ");
}

}  // namespace
