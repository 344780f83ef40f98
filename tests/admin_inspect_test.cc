// admin_inspect_test.cc: dbz stats, check and lookup on built indexes,
// healthy and damaged on purpose.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "scratchindex.h"
#include "tests/support.h"

namespace {

struct result {
	int status;
	std::string out, err;
};

// Runs the built dbz command in dir, with input on its standard input.
result dbzcmd(const std::string &dir, const std::vector<std::string> &args,
              const std::string &input = "") {
	testsupport::runresult r = testsupport::run(QUORLIN_BIN_DIR "/dbz", args,
	                                            {.in = input, .cwd = dir});
	return result{r.status, r.out, r.err};
}

// The number after "key": in a JSON text, or -1.
int64_t jsonnum(const std::string &json, const std::string &key) {
	size_t at = json.find("\"" + key + "\":");
	if (at == std::string::npos)
		return -1;
	return std::stoll(json.substr(at + key.size() + 3));
}

// The first entry of the array after "key": in a JSON text, or -1.
int64_t jsonfirst(const std::string &json, const std::string &key) {
	size_t at = json.find("\"" + key + "\":[");
	if (at == std::string::npos)
		return -1;
	return std::stoll(json.substr(at + key.size() + 4));
}

// Index files' bytes and modification times.
struct snapshot {
	std::map<std::string, std::string> bytes;
	std::map<std::string, int64_t> mtimes;
	bool operator==(const snapshot &) const = default;
};

class InspectTest : public scratch::IndexTest {
public:
	// The cases' tables reach these through a pointer to the fixture.
	using scratch::IndexTest::path;
	using scratch::IndexTest::readfile;
	using scratch::IndexTest::writefile;

protected:
	// A history with mixed-case hosts, a postmaster ID, one repeated ID
	// and one line that is no message ID, though it begins with the ID of
	// line 351. Records each line's offset.
	static std::string idfor(int i) {
		return "<" + std::to_string(i * 7919) + "." + std::to_string(i % 13) +
		       "@News" + std::to_string(i % 5) + ".Example.ORG>";
	}

	void SetUp() override {
		scratch::IndexTest::SetUp();
		std::string text;
		for (int i = 0; i < 400; i++) {
			std::string id = idfor(i);
			if (i == 17)
				id = "<PostMaster@Example.Org>";
			if (i == 250)
				id = ids_[40];  // repeated: keeps line 41
			if (i == 300) {
				lineoffsets_.push_back(static_cast<int64_t>(text.size()));
				ids_.push_back("");
				text += idfor(350) + "Z\t1~-\n";
				continue;
			}
			lineoffsets_.push_back(static_cast<int64_t>(text.size()));
			ids_.push_back(id);
			text += id + "\t" + std::to_string(1700000000 + i) +
			        "~-\tcomp.lang.c/" + std::to_string(i) + "\n";
		}
		history_ = text;
		writefile("history", text);
	}

public:
	result dbz(const std::vector<std::string> &args,
	           const std::string &input = "") const {
		return dbzcmd(dir_, args, input);
	}

	void build() {
		result r = dbz({"build", "-q", "history"});
		ASSERT_EQ(r.status, 0) << r.err;
	}

	snapshot snap() const {
		snapshot s;
		for (const char *f : {"history", "history.dir", "history.pag"}) {
			struct stat st;
			EXPECT_EQ(stat(path(f).c_str(), &st), 0) << f;
			s.bytes[f] = readfile(f);
			s.mtimes[f] = int64_t{st.st_mtim.tv_sec} * 1000000000 +
			              st.st_mtim.tv_nsec;
		}
		return s;
	}

	// The slot that holds id's value, found through the index.
	int64_t slotof(const std::string &id) {
		EXPECT_EQ(open("history"), 0);
		dbzitem r = dbzlookup(scratch::key(id.c_str()));
		EXPECT_NE(r.ptr, nullptr) << id;
		int64_t slot = dbz::state().probe.slot;
		EXPECT_EQ(dbzdone(), 0);
		return slot;
	}

	// Puts the untagged value v into slot of the .pag (this machine's
	// byte order, which a build here writes).
	void putslot(int64_t slot, uint64_t v) {
		uint64_t stored = v + 1;
		int fd = ::open(path("history.pag").c_str(), O_WRONLY);
		ASSERT_GE(fd, 0);
		ASSERT_EQ(pwrite(fd, &stored, 8, slot * 8), 8);
		close(fd);
	}

	std::string history_;
	std::vector<std::string> ids_;
	std::vector<int64_t> lineoffsets_;
};

TEST_F(InspectTest, StatsAgreeWithTheHistory) {
	build();
	result r = dbz({"stats", "-j", "history"});
	ASSERT_EQ(r.status, 0) << r.err;
	// 400 lines less the repeated ID and the line without one.
	EXPECT_EQ(jsonnum(r.out, "values"), 398) << r.out;
	EXPECT_EQ(jsonfirst(r.out, "usage"), 398);
	EXPECT_EQ(jsonfirst(r.out, "inuse"), 398);
	EXPECT_EQ(jsonnum(r.out, "tablesize"), dbzpicksize(400));
	// Every stored value's key hashes to a probe through its slot: the
	// folding and hashing agree with the store's.
	EXPECT_EQ(jsonnum(r.out, "unreachable"), 0);
	EXPECT_GE(jsonnum(r.out, "max"), jsonnum(r.out, "p99"));
	EXPECT_GE(jsonnum(r.out, "p99"), 1);
	EXPECT_NE(r.out.find("\"verdict\":\"healthy\""), std::string::npos);
	EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);

	result text = dbz({"stats", "history"});
	ASSERT_EQ(text.status, 0) << text.err;
	EXPECT_NE(text.out.find("398 of " + std::to_string(dbzpicksize(400)) +
	                        " slots in table 1"),
	          std::string::npos)
	    << text.out;
	EXPECT_NE(text.out.find("verdict       healthy"), std::string::npos);
}

TEST_F(InspectTest, CheckPassesOnABuiltIndex) {
	build();
	result r = dbz({"check", "history"});
	EXPECT_EQ(r.status, 0) << r.out << r.err;
	EXPECT_NE(r.out.find("400 lines (1 not indexable, 1 repeated IDs), 398 "
	                     "slots in use: index and history agree"),
	          std::string::npos)
	    << r.out;
}

// An index written on a machine of the other byte order: every slot is
// read through the conversion, so both commands see the same index.
TEST_F(InspectTest, ForeignByteOrderIsConverted) {
	build();
	std::string dir = readfile("history.dir");
	size_t at = dir.find(" " + scratch::orderline() + "\n");
	ASSERT_NE(at, std::string::npos) << dir;
	dir.replace(at + 1, scratch::orderline().size(), scratch::orderline(true));
	writefile("history.dir", dir);
	std::string pag = readfile("history.pag");
	for (size_t i = 0; i + 8 <= pag.size(); i += 8)
		std::reverse(pag.begin() + static_cast<std::ptrdiff_t>(i),
		             pag.begin() + static_cast<std::ptrdiff_t>(i + 8));
	writefile("history.pag", pag);

	result check = dbz({"check", "history"});
	EXPECT_EQ(check.status, 0) << check.out;
	result r = dbz({"stats", "-j", "history"});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find("\"nativeorder\":false"), std::string::npos) << r.out;
	EXPECT_EQ(jsonnum(r.out, "values"), 398);
	EXPECT_EQ(jsonnum(r.out, "unreachable"), 0);
	result found = dbz({"lookup", "history", ids_[7]});
	EXPECT_EQ(found.status, 0) << found.err;
}

TEST_F(InspectTest, InspectionWritesNothing) {
	build();
	snapshot before = snap();
	const std::vector<std::vector<std::string>> runs = {
	    {"stats", "history"},
	    {"stats", "-j", "history"},
	    {"check", "history"},
	    {"lookup", "history", ids_[3], "<absent@x>"},
	};
	for (const auto &args : runs) {
		dbz(args);
		EXPECT_TRUE(snap() == before) << args[0];
	}
}

// Each kind of damage, made on purpose, is reported at its place: the
// line by its number, the slot by its number.
TEST_F(InspectTest, CheckReportsEachDisagreement) {
	// slots[i]: the slot that holds the value of ids_[i], before the damage.
	using slotmap = std::map<int, int64_t>;
	struct damage {
		const char *name;
		std::function<void(InspectTest *, const slotmap &)> make;
		std::function<std::vector<std::string>(InspectTest *, const slotmap &)>
		    expect;
	};
	auto at = [](const slotmap &slots, int i, int64_t off) {
		return "slot " + std::to_string(slots.at(i)) + ": offset " +
		       std::to_string(off) + ": ";
	};
	const std::vector<damage> cases = {
	    {"line appended without indexing",
	     [](InspectTest *t, const slotmap &) {
		     t->writefile("history", t->history_ + "<late@x.org>\t1~-\n");
	     },
	     [](InspectTest *, const slotmap &) {
		     return std::vector<std::string>{
		         "line 401: <late@x.org>: not found in the index\n"};
	     }},
	    {"slot overwritten with an offset inside a line",
	     [](InspectTest *t, const slotmap &slots) {
		     t->putslot(slots.at(5), t->lineoffsets_[9] + 3);
	     },
	     [at](InspectTest *t, const slotmap &slots) {
		     return std::vector<std::string>{
		         "line 6: " + t->ids_[5] + ": not found in the index\n",
		         at(slots, 5, t->lineoffsets_[9] + 3) +
		             "not the start of a line\n"};
	     }},
	    {"slot overwritten with an offset past the end",
	     [](InspectTest *t, const slotmap &slots) {
		     t->putslot(slots.at(8), t->history_.size() + 100);
	     },
	     [at](InspectTest *t, const slotmap &slots) {
		     int64_t off = static_cast<int64_t>(t->history_.size()) + 100;
		     return std::vector<std::string>{
		         "line 9: " + t->ids_[8] + ": not found in the index\n",
		         at(slots, 8, off) + "beyond the end of the history\n"};
	     }},
	    {"a line's ID edited",
	     [](InspectTest *t, const slotmap &) {
		     std::string h = t->history_;
		     h[static_cast<size_t>(t->lineoffsets_[20]) + 1] = 'x';
		     t->writefile("history", h);
	     },
	     [at](InspectTest *t, const slotmap &slots) {
		     std::string id = t->ids_[20];
		     id[1] = 'x';
		     return std::vector<std::string>{
		         "line 21: " + id + ": not found in the index\n",
		         at(slots, 20, t->lineoffsets_[20]) + id + " "};
	     }},
	};
	for (const damage &d : cases) {
		SCOPED_TRACE(d.name);
		writefile("history", history_);
		build();
		slotmap slots;
		for (int i : {5, 8, 20})
			slots[i] = slotof(ids_[i]);
		d.make(this, slots);
		result r = dbz({"check", "history"});
		EXPECT_EQ(r.status, 1) << r.out << r.err;
		for (const std::string &want : d.expect(this, slots))
			EXPECT_NE(r.out.find(want), std::string::npos)
			    << "want: " << want << "\nout:\n" << r.out;
		EXPECT_NE(r.out.find("disagreements"), std::string::npos) << r.out;
	}
}

// Lines reported by check are exactly those whose lookup, made through the
// index as quorlin makes it, misses them, in an index with slots pointing
// inside lines, at other lines, near and beyond the end of the history.
TEST_F(InspectTest, CheckReportsTheLinesThatLookupsMiss) {
	int64_t size = static_cast<int64_t>(history_.size());
	uint64_t seed = 12345;
	auto next = [&seed] {
		seed = seed * 6364136223846793005u + 1442695040888963407u;
		return seed >> 33;
	};
	for (int damaged : {0, 60}) {
		SCOPED_TRACE(damaged);
		writefile("history", history_);
		build();
		// Line 301 begins with line 351's ID but goes on with a 'Z': no
		// match, though it is a line start before line 351.
		putslot(slotof(ids_[350]), static_cast<uint64_t>(lineoffsets_[300]));
		int64_t slots = static_cast<int64_t>(readfile("history.pag").size() / 8);
		for (int i = 0; i < damaged; i++) {
			int64_t slot =
			    static_cast<int64_t>(next() % static_cast<uint64_t>(slots));
			int64_t v;
			switch (i % 4) {
			case 0:  // inside a line
				v = static_cast<int64_t>(next() % static_cast<uint64_t>(size));
				break;
			case 1:  // another line's start
				v = lineoffsets_[next() % lineoffsets_.size()];
				break;
			case 2:  // too near the end for a whole key
				v = size - 1 - static_cast<int64_t>(next() % 20);
				break;
			default:  // beyond the end
				v = size + static_cast<int64_t>(next() % 100);
				break;
			}
			putslot(slot, static_cast<uint64_t>(v));
		}
		result r = dbz({"check", "history"});
		EXPECT_EQ(r.status, 1);
		std::set<int64_t> reported;
		for (size_t at = 0; (at = r.out.find("line ", at)) != std::string::npos;
		     at++)
			if (at == 0 || r.out[at - 1] == '\n')
				reported.insert(std::stoll(r.out.substr(at + 5)));

		std::set<int64_t> missed;
		ASSERT_EQ(open("history"), 0);
		for (size_t i = 0; i < ids_.size(); i++) {
			if (ids_[i].empty())
				continue;
			dbzitem found = dbzlookup(scratch::key(ids_[i].c_str()));
			int64_t off = -1;
			if (found.ptr != nullptr)
				memcpy(&off, found.ptr, sizeof off);
			// A repeated ID may be found at its first line.
			size_t first =
			    std::find(ids_.begin(), ids_.end(), ids_[i]) - ids_.begin();
			if (off != lineoffsets_[i] && off != lineoffsets_[first])
				missed.insert(static_cast<int64_t>(i) + 1);
		}
		ASSERT_EQ(dbzdone(), 0);
		EXPECT_EQ(missed.count(351), 1u);
		EXPECT_EQ(reported, missed) << r.out;
	}
}

TEST_F(InspectTest, LookupPrintsTheLinesFound) {
	build();
	auto line = [this](int i) {
		size_t from = static_cast<size_t>(lineoffsets_[i]);
		return history_.substr(from, history_.find('\n', from) + 1 - from);
	};
	// The host part is case-insensitive, as the index folds it.
	std::string folded = ids_[2];
	for (size_t i = folded.find('@'); i < folded.size(); i++)
		folded[i] = static_cast<char>(tolower(folded[i]));
	ASSERT_NE(folded, ids_[2]);

	struct row {
		std::vector<std::string> args;
		int status;
		std::string out, err;
	};
	const std::vector<row> rows = {
	    {{ids_[0], ids_[399]}, 0, line(0) + line(399), ""},
	    {{folded}, 0, line(2), ""},
	    {{"<postmaster@example.org>"}, 0, line(17), ""},
	    {{ids_[250]}, 0, line(40), ""},  // a repeated ID: its first line
	    {{"<absent@x>", ids_[1]}, 1, line(1), "dbz: <absent@x>: not found\n"},
	    {{"<absent>x"}, 1, "", "dbz: <absent>x: not found\n"},
	};
	// Each row with the IDs as arguments, and read from standard input
	// with "-", one per line.
	for (const row &w : rows) {
		std::vector<std::string> args = {"lookup", "history"};
		args.insert(args.end(), w.args.begin(), w.args.end());
		std::string input;
		for (const std::string &id : w.args)
			input += id + "\n";
		for (const result &r : {dbz(args), dbz({"lookup", "history", "-"}, input)}) {
			EXPECT_EQ(r.status, w.status) << w.args[0];
			EXPECT_EQ(r.out, w.out) << w.args[0];
			EXPECT_EQ(r.err, w.err) << w.args[0];
		}
	}
	// Standard input as quorlin reads it: a line ends at its first blank
	// or tab; empty lines are passed over; no newline at the end.
	result r = dbz({"lookup", "history", "-"},
	               ids_[0] + " trailing words\n\n" + ids_[5] + "\tx\n" + ids_[6]);
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, line(0) + line(5) + line(6));
}

// Damage that the slots show by themselves: stats calls it so, names dbz
// build as the fix, and answers with status 1.
TEST_F(InspectTest, StatsFindsDamage) {
	const struct {
		const char *name;
		std::function<void(InspectTest *)> damage;
		std::string why;  // the start of the damage's ground
	} cases[] = {
	    {"a .pag cut to nothing",
	     [](InspectTest *t) { t->writefile("history.pag", ""); },
	     "the .pag holds 0 values, fewer than the 398 stores recorded since "
	     "the index was made (failed stores count there too)"},
	    {"a .pag that lost its second half",
	     [](InspectTest *t) {
		     std::string pag = t->readfile("history.pag");
		     t->writefile("history.pag", pag.substr(0, pag.size() / 2));
	     },
	     "the .pag holds "},
	    {"a .dir whose table is ten times too small",
	     [](InspectTest *t) {
		     std::string dir = t->readfile("history.dir");
		     std::string size = std::to_string(dbzpicksize(400));
		     size_t at = dir.find(" " + size + " ");
		     ASSERT_NE(at, std::string::npos) << dir;
		     dir.replace(at + 1, size.size(), std::to_string(dbzpicksize(40)));
		     t->writefile("history.dir", dir);
	     },
	     "values stand where no key's probe reaches them (a table size that "
	     "does not belong to this .pag?)"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		build();
		c.damage(this);
		result r = dbz({"stats", "history"});
		EXPECT_EQ(r.status, 1) << r.err;
		EXPECT_NE(r.out.find("verdict       damaged\n"), std::string::npos)
		    << r.out;
		EXPECT_NE(r.out.find(c.why), std::string::npos) << r.out;
		EXPECT_NE(r.out.find("make a new index with dbz build\n"),
		          std::string::npos);
		result j = dbz({"stats", "-j", "history"});
		EXPECT_EQ(j.status, 1);
		EXPECT_NE(j.out.find("\"verdict\":\"damaged\""), std::string::npos);
		// The fix it names mends it.
		build();
		EXPECT_EQ(dbz({"stats", "history"}).status, 0);
	}
}

// The JSON report of check: one object on one line with the counts and the
// first disagreements, each as the text report gives it.
TEST_F(InspectTest, CheckWritesJson) {
	build();
	result ok = dbz({"check", "-j", "history"});
	EXPECT_EQ(ok.status, 0) << ok.err;
	EXPECT_EQ(ok.out,
	          "{\"history\":\"history\",\"lines\":400,\"notindexable\":1,"
	          "\"repeated\":1,\"slots\":398,\"disagreements\":0,"
	          "\"badlines\":0,\"badslots\":0,\"agree\":true,\"first\":[]}\n");

	// Line 4's slot now points into its line; a value lands in a far slot.
	int64_t slot = slotof(ids_[3]);
	putslot(slot, static_cast<uint64_t>(lineoffsets_[3] + 1));
	putslot(100000, static_cast<uint64_t>(lineoffsets_[5]));
	result text = dbz({"check", "history"});
	result r = dbz({"check", "-j", "history"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(text.status, 1);
	EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);
	EXPECT_EQ(jsonnum(r.out, "disagreements"), 3) << r.out;
	EXPECT_EQ(jsonnum(r.out, "badlines"), 1);
	EXPECT_EQ(jsonnum(r.out, "badslots"), 2);
	EXPECT_NE(r.out.find("\"agree\":false"), std::string::npos);
	EXPECT_NE(r.out.find("{\"line\":4,\"offset\":" +
	                     std::to_string(lineoffsets_[3]) + ",\"id\":\"" +
	                     ids_[3] + "\",\"problem\":\"not found in the index\"}"),
	          std::string::npos)
	    << r.out;
	EXPECT_NE(r.out.find("{\"slot\":" + std::to_string(slot) + ",\"offset\":" +
	                     std::to_string(lineoffsets_[3] + 1) +
	                     ",\"id\":null,\"problem\":\"not the start of a line\"}"),
	          std::string::npos)
	    << r.out;
	EXPECT_NE(r.out.find("{\"slot\":100000,\"offset\":" +
	                     std::to_string(lineoffsets_[5]) + ",\"id\":\"" +
	                     ids_[5] + "\",\"problem\":"),
	          std::string::npos)
	    << r.out;
	EXPECT_NE(text.out.find("line 4: " + ids_[3] + ": not found in the index\n"),
	          std::string::npos)
	    << text.out;
}

TEST_F(InspectTest, MisuseAndUnreadableFiles) {
	struct row {
		std::function<void(InspectTest *)> setup;
		std::vector<std::string> args;
		int status;
		std::string err;  // a part of standard error
	};
	const std::vector<row> rows = {
	    {nullptr, {"stats"}, 2, "usage: dbz stats [-j] history\n"},
	    {nullptr, {"stats", "-x", "history"}, 2,
	     "dbz: stats: unknown option -x\nusage: dbz stats [-j] history\n"},
	    {nullptr, {"check"}, 2, "usage: dbz check [-j] [-w seconds] history\n"},
	    {nullptr, {"check", "history", "more"}, 2, "usage: dbz check"},
	    {nullptr, {"lookup", "history"}, 2, "usage: dbz lookup history id"},
	    {nullptr, {"check", "nothere"}, 3,
	     "dbz: nothere: No such file or directory\n"},
	    {[](InspectTest *t) { mkdir(t->path("adir").c_str(), 0755); },
	     {"stats", "adir"}, 3, "dbz: adir: Is a directory\n"},
	    {[](InspectTest *t) { unlink(t->path("history.pag").c_str()); },
	     {"stats", "history"}, 3,
	     "dbz: history.pag: No such file or directory\n"},
	    {[](InspectTest *t) { t->writefile("history.dir", "dbz 4\n"); },
	     {"check", "history"}, 1,
	     "dbz: history.dir: malformed index configuration\n"},
	    {[](InspectTest *t) { unlink(t->path("history.dir").c_str()); },
	     {"lookup", "history", "<a@b>"}, 3,
	     "dbz: history.dir: No such file or directory\n"},
	    {[](InspectTest *t) {
		     unlink(t->path("history.dir").c_str());
		     mkdir(t->path("history.dir").c_str(), 0755);
	     },
	     {"stats", "history"}, 3, "dbz: history.dir: Is a directory\n"},
	};
	for (const row &w : rows) {
		build();
		if (w.setup)
			w.setup(this);
		result r = dbz(w.args);
		EXPECT_EQ(r.status, w.status) << w.args[0] << " " << r.err;
		EXPECT_NE(r.err.find(w.err), std::string::npos) << r.err;
		EXPECT_EQ(r.out, "");
	}
}

// An index filled past its first table, whose values also reach into a
// narrow tag field: stats advises a rebuild, and predicts the size and tag
// span that dbz rebuild then really picks.
TEST_F(InspectTest, StatsAdvisesTheRebuildThatRebuildMakes) {
	// Tag field bits 12-13 with the enable bit 14: the offsets from 4096
	// on reach into the field, and the history stays below 2^14 bytes.
	size_t lines = 0;
	while (lines < ids_.size() && lineoffsets_[lines] < 15000)
		lines++;
	writefile("history",
	          history_.substr(0, static_cast<size_t>(lineoffsets_[lines])));
	ASSERT_EQ(dbzcreate(path("history").c_str(), 101, '\t', 'C', 0x3000), 0);
	int64_t stored = 0;
	for (size_t i = 0; i < lines; i++) {
		if (ids_[i].empty() || i == 250)
			continue;
		int64_t off = lineoffsets_[i];
		ASSERT_EQ(dbzlookup(scratch::key(ids_[i].c_str())).ptr, nullptr);
		ASSERT_EQ(dbzstore(scratch::key(ids_[i].c_str()),
		                   dbzitem{reinterpret_cast<char *>(&off), 8}),
		          0);
		stored++;
	}
	ASSERT_GT(stored, 200);
	ASSERT_EQ(dbzdone(), 0);

	result check = dbz({"check", "history"});
	EXPECT_EQ(check.status, 0) << check.out;

	result r = dbz({"stats", "-j", "history"});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find("\"verdict\":\"rebuild advised\""), std::string::npos)
	    << r.out;
	EXPECT_NE(r.out.find("the first table spills"), std::string::npos);
	EXPECT_NE(r.out.find("the first table is 100.0% full"), std::string::npos);
	EXPECT_NE(r.out.find("reached into the tag field"), std::string::npos);
	EXPECT_EQ(jsonnum(r.out, "values"), stored);
	EXPECT_EQ(jsonfirst(r.out, "inuse"), 101);
	EXPECT_EQ(jsonnum(r.out, "unreachable"), 0);
	size_t at = r.out.find("\"rebuild\":");
	ASSERT_NE(at, std::string::npos);
	int64_t size = jsonnum(r.out.substr(at), "tablesize");
	int64_t span = jsonnum(r.out.substr(at), "tagspan");
	EXPECT_EQ(span, 2);  // 3, narrowed by its lowest bit

	result rb = dbz({"rebuild", "-q", "history"});
	ASSERT_EQ(rb.status, 0) << rb.err;
	std::string dir = readfile("history.dir");
	std::string want = "dbz 3 " + std::to_string(size) + " 9 C 4 " +
	                   std::to_string(span) + " 12 ";
	EXPECT_EQ(dir.compare(0, want.size(), want), 0) << dir;
}

// A .pag whose slots lie far apart, terabytes into a sparse file (a table
// of two slots spread over many tables, or a damaged slot): stats and check
// count what is there, pass over the holes, and hold no memory for them.
TEST_F(InspectTest, SparsePagWithFarSlots) {
	writefile("history",
	          history_.substr(0, static_cast<size_t>(lineoffsets_[10])));
	ASSERT_EQ(dbzcreate(path("history").c_str(), 2, '\t', 'C', 0), 0);
	for (int i = 0; i < 10; i++) {
		int64_t off = lineoffsets_[i];
		ASSERT_EQ(dbzstore(scratch::key(ids_[i].c_str()),
		                   dbzitem{reinterpret_cast<char *>(&off), 8}),
		          0);
	}
	ASSERT_EQ(dbzdone(), 0);
	const int64_t far = (int64_t{1} << 40) - 1;  // the last slot of 8 TiB
	putslot(far, static_cast<uint64_t>(lineoffsets_[0]));

	// No probe gets to the far slot: the .pag is damaged.
	result r = dbz({"stats", "-j", "history"});
	ASSERT_EQ(r.status, 1) << r.err;
	EXPECT_NE(r.out.find("\"verdict\":\"damaged\",\"damage\":[\"1 values stand"),
	          std::string::npos)
	    << r.out;
	EXPECT_EQ(jsonnum(r.out, "values"), 11) << r.out;
	EXPECT_EQ(jsonnum(r.out, "tables"), int64_t{1} << 39);
	EXPECT_NE(r.out.find(",549755813888],"), std::string::npos)
	    << "the far slot's table is listed: " << r.out;
	result text = dbz({"stats", "history"});
	ASSERT_EQ(text.status, 1) << text.err;
	EXPECT_NE(text.out.find("              1 in table 549755813888\n"),
	          std::string::npos)
	    << text.out;
	EXPECT_EQ(text.out.find(" 0 in table "), std::string::npos)
	    << "empty tables are not listed";

	result check = dbz({"check", "history"});
	EXPECT_EQ(check.status, 1) << check.err;
	EXPECT_NE(check.out.find("slot 1099511627775: offset 0: " + ids_[0] +
	                         " lies beyond the end of its key's probe\n"),
	          std::string::npos)
	    << check.out;
	EXPECT_NE(check.out.find("10 lines"), std::string::npos);
	EXPECT_NE(check.out.find("11 slots in use: 1 disagreements"),
	          std::string::npos)
	    << check.out;
}

}  // namespace
