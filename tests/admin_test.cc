// admin_test.cc: dbz create, build and rebuild, run as built: transcripts
// of their messages and exit statuses, the index a build leaves (every ID
// found by quorlin, repeated IDs at their first line), and builds that are
// interrupted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/lock.h"
#include "dbz/internal.h"
#include "tests/support.h"

namespace {

namespace fs = std::filesystem;

const std::string kDbz = QUORLIN_BIN_DIR "/dbz";
const std::string kQuorlin = QUORLIN_BIN_DIR "/quorlin";

const std::string kCreateUsage =
    "usage: dbz create [-s size | -e expected] [-F separator] [-C casechar] "
    "[-t tagmask] [-w seconds] base\n";
const std::string kBuildUsage = "usage: dbz build [-e expected] [-q] [-w seconds] history\n";
const std::string kRebuildUsage = "usage: dbz rebuild [-q] [-w seconds] history\n";
const std::string kZeros = "0 0 0 0 0 0 0 0 0 0 0\n";

using testsupport::readfile;
using testsupport::writefile;

std::string replaceall(std::string s, const std::string &from, const std::string &to) {
	for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
		s.replace(at, from.size(), to);
	return s;
}

// The first .dir line for the given fields, in this machine's byte order.
std::string line1(const std::string &fields) {
	int32_t map[DBZ_NBYTEORDER];
	dbz::nativeorder(map);
	std::string s = "dbz 3 " + fields + " 8";
	for (int32_t m : map)
		s += " " + std::to_string(m);
	return s + "\n";
}

struct result {
	int status;  // exit status, or 128 + the signal that ended it
	std::string out, err;
};

// A command started in the background, its output going to files, so that
// no pipe can fill up.
struct child {
	pid_t pid;
	std::string outname, errname;
	int feed;  // the write end of its standard input, or -1
};

// Starts args[0] with the rest as its arguments, standard input read from
// the file inpath (or /dev/null), or from a pipe (child::feed) when inpath
// is empty.
child spawn(const std::vector<std::string> &args, const std::string &inpath = "/dev/null") {
	char outname[] = "/tmp/admin_test.out.XXXXXX";
	char errname[] = "/tmp/admin_test.err.XXXXXX";
	int out = mkstemp(outname), err = mkstemp(errname);
	EXPECT_GE(out, 0);
	EXPECT_GE(err, 0);
	int p[2] = {-1, -1};
	if (inpath.empty()) {
		EXPECT_EQ(pipe2(p, O_CLOEXEC), 0);
	}
	pid_t pid = fork();
	if (pid == 0) {
		int in = inpath.empty() ? p[0] : open(inpath.c_str(), O_RDONLY);
		if (in < 0)
			_exit(126);
		dup2(in, 0);
		dup2(out, 1);
		dup2(err, 2);
		std::vector<char *> argv;
		for (const std::string &a : args)
			argv.push_back(const_cast<char *>(a.c_str()));
		argv.push_back(nullptr);
		execv(argv[0], argv.data());
		_exit(127);
	}
	close(out);
	close(err);
	if (p[0] >= 0)
		close(p[0]);
	return child{pid, outname, errname, p[1]};
}

// Waits for c to end, for two minutes at most: a command that hangs is
// killed (status 128 + SIGKILL) rather than the test.
result collect(const child &c) {
	if (c.feed >= 0)
		close(c.feed);
	int st = 0;
	for (int waited = 0;; waited++) {
		pid_t got = waitpid(c.pid, &st, WNOHANG);
		if (got == c.pid || got < 0)
			break;
		if (waited == 12000) {
			kill(c.pid, SIGKILL);
			waitpid(c.pid, &st, 0);
			break;
		}
		usleep(10000);
	}
	result r{WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), readfile(c.outname),
	         readfile(c.errname)};
	unlink(c.outname.c_str());
	unlink(c.errname.c_str());
	return r;
}

// Runs args and collects its output.
result run(const std::vector<std::string> &args, const std::string &inpath = "/dev/null") {
	return collect(spawn(args, inpath));
}

// Looks id up in the index of history from this process; the offset found,
// or -1 for a miss.
int64_t lookup(const std::string &id) {
	dbzitem k{const_cast<char *>(id.c_str()), static_cast<int32_t>(id.size() + 1)};
	dbzitem r = dbzlookup(k);
	if (r.ptr == nullptr)
		return -1;
	int64_t v;
	memcpy(&v, r.ptr, sizeof v);
	return v;
}

std::vector<std::string> temporaries(const std::string &dir) {
	std::vector<std::string> names;
	for (const auto &e : fs::directory_iterator(dir)) {
		std::string name = e.path().filename();
		if (name.find(".new") != std::string::npos)
			names.push_back(name);
	}
	return names;
}

class AdminTest : public ::testing::Test {
protected:
	void SetUp() override {
		dbz::resetstate();
		dir_ = scratch_.dir();
		hist_ = dir_ + "/history";
	}
	void TearDown() override { dbz::resetstate(); }
	result dbz(std::vector<std::string> args) {
		for (std::string &a : args)
			a = replaceall(a, "%D", dir_);
		args.insert(args.begin(), kDbz);
		return run(args);
	}
	testsupport::scratchdir scratch_{"admin_test"};
	std::string dir_, hist_;
};

// A small history with one of each kind of line the build skips.
struct smallhistory {
	std::string text;
	std::vector<int64_t> offsets;  // of each line, by line number - 1
};

smallhistory makesmall() {
	const std::string idmax = "<" + std::string(251, 'm') + ">";   // 253 bytes
	const std::string idlong = "<" + std::string(252, 'l') + ">";  // 254 bytes
	const std::vector<std::string> lines = {
	    "<a@Example.COM>\t1~-\tcomp.lang.c/1\n",  // 1
	    "<b@x>\t2~-\n",                           // 2
	    " bad\n",                                 // 3: no ID
	    "<a@example.com>\t3~-\n",                 // 4: repeats line 1
	    "<nota\t1\n",                             // 5: no '>'
	    "<c@x>\n",                                // 6: no tab
	    "\n",                                     // 7: empty
	    idmax + "\t5~-\n",                        // 8: longest storable
	    idlong + "\t6~-\n",                       // 9: too long
	    "<d@y>\t4",                               // 10: no newline at the end
	};
	smallhistory h;
	for (const std::string &l : lines) {
		h.offsets.push_back(static_cast<int64_t>(h.text.size()));
		h.text += l;
	}
	return h;
}

const std::string kSmallReport =
    "dbz: %D/history:3: not a message ID, line skipped:  bad\n"
    "dbz: %D/history:5: not a message ID, line skipped: <nota\n"
    "dbz: %D/history:6: no tab after the message ID, line skipped: <c@x>\n"
    "dbz: %D/history:7: empty line, line skipped\n"
    "dbz: %D/history:9: message ID too long, line skipped: <" +
    std::string(59, 'l') + "...\n"
    "dbz: %D/history: 1 repeated message IDs skipped, each kept its first line\n"
    "dbz: %D/history: 5 bad lines skipped\n";

// One row per command line: the files before, the command, what it says
// and returns, and the .dir it leaves. "%D" stands for the test's folder.
TEST_F(AdminTest, Transcripts) {
	const std::string defaults = line1("300007 9 C 128 124 24") + kZeros + kZeros;
	const struct {
		const char *name;
		std::vector<std::pair<std::string, std::string>> files;
		std::vector<std::string> args;
		int status;
		std::string err;
		std::string dirfile, dirtext;  // dirfile empty: not checked
	} cases[] = {
	    {"no subcommand", {}, {}, 2, "", "", ""},
	    {"create without a base", {}, {"create"}, 2, kCreateUsage, "", ""},
	    {"create with two bases", {}, {"create", "%D/a", "%D/b"}, 2, kCreateUsage, "", ""},
	    {"create -s and -e together", {}, {"create", "-s", "10", "-e", "10", "%D/h"}, 2,
	     kCreateUsage, "", ""},
	    {"create -s too small", {}, {"create", "-s", "1", "%D/h"}, 2,
	     "dbz: -s 1: too small\n" + kCreateUsage, "", ""},
	    {"create -s not a number", {}, {"create", "-s", "12x", "%D/h"}, 2,
	     "dbz: -s 12x: invalid\n" + kCreateUsage, "", ""},
	    {"create -t negative", {}, {"create", "-t", "-256", "%D/h"}, 2,
	     "dbz: -t -256: too small\n" + kCreateUsage, "", ""},
	    {"create -F beyond a byte", {}, {"create", "-F", "300", "%D/h"}, 2,
	     "dbz: -F 300: too large\n" + kCreateUsage, "", ""},
	    {"create -C unknown", {}, {"create", "-C", "c", "%D/h"}, 2,
	     "dbz: -C c: invalid case character (one of 0 B b = C ?)\n" + kCreateUsage, "", ""},
	    {"create unknown option", {}, {"create", "-x", "%D/h"}, 2,
	     "dbz: create: unknown option -x\n" + kCreateUsage, "", ""},
	    {"create missing option argument", {}, {"create", "%D/h", "-s"}, 2,
	     "dbz: create: option -s needs an argument\n" + kCreateUsage, "", ""},
	    {"create in a missing folder", {}, {"create", "%D/none/h"}, 3,
	     "dbz: %D/none/h.dir: No such file or directory\n", "", ""},
	    {"create where the .pag cannot be written", {{"h.pag/x", ""}}, {"create", "%D/h"}, 3,
	     "dbz: %D/h.pag: Is a directory\n", "", ""},
	    {"create with defaults, no base file", {}, {"create", "%D/h"}, 0, "", "h.dir", defaults},
	    {"create with every option",
	     {},
	     {"create", "-e", "1000", "-F", ":", "-C", "b", "-t", "0x7C000000", "%D/h"},
	     0,
	     "",
	     "h.dir",
	     line1("1511 58 = 32 31 26") + kZeros + kZeros},
	    {"create -F as a character code, -t 1 for no tags",
	     {},
	     {"create", "-s", "77", "-F", "9", "-C", "0", "-t", "1", "%D/h"},
	     0,
	     "",
	     "h.dir",
	     line1("77 9 0 0 0 0") + kZeros + kZeros},
	    {"create over an existing index truncates it",
	     {{"h.dir", "junk"}, {"h.pag", "12345678"}},
	     {"create", "%D/h"},
	     0,
	     "",
	     "h.dir",
	     defaults},
	    {"build without a history", {}, {"build"}, 2, kBuildUsage, "", ""},
	    {"build -e not a number", {}, {"build", "-e", "many", "%D/history"}, 2,
	     "dbz: -e many: invalid\n" + kBuildUsage, "", ""},
	    {"build of a missing history", {}, {"build", "%D/history"}, 3,
	     "dbz: %D/history: No such file or directory\n", "", ""},
	    {"build of a folder", {}, {"build", "%D"}, 3, "dbz: %D: Is a directory\n", "", ""},
	    {"build of an empty history",
	     {{"history", ""}},
	     {"build", "%D/history"},
	     0,
	     "",
	     "history.dir",
	     line1("300007 9 C 128 127 24") + kZeros + kZeros},
	    {"build of a one-line history: two slots at least",
	     {{"history", "<a@b>\t1~-\n"}},
	     {"build", "%D/history"},
	     0,
	     "",
	     "history.dir",
	     line1("41 9 C 128 127 24") + "1 0 0 0 0 0 0 0 0 0 0\n" + kZeros},
	    {"create for one expected entry", {}, {"create", "-e", "1", "%D/h"}, 0, "", "h.dir",
	     line1("41 9 C 128 124 24") + kZeros + kZeros},
	    {"build with -e sizes from it",
	     {{"history", "<a@b>\t1~-\n<c@d>\t2~-\n"}},
	     {"build", "-q", "-e", "1000", "%D/history"},
	     0,
	     "",
	     "history.dir",
	     line1("1511 9 C 128 127 24") + "2 0 0 0 0 0 0 0 0 0 0\n" + kZeros},
	    {"build reports the lines it skips",
	     {{"history", makesmall().text}},
	     {"build", "%D/history"},
	     0,
	     kSmallReport,
	     "history.dir",
	     line1("41 9 C 128 127 24") + "4 0 0 0 0 0 0 0 0 0 0\n" + kZeros},
	    {"rebuild unknown option", {}, {"rebuild", "-e", "5", "%D/history"}, 2,
	     "dbz: rebuild: unknown option -e\n" + kRebuildUsage, "", ""},
	    {"build where a folder has the .dir's name: the old .pag stays",
	     {{"history", "<a@b>\t1~-\n"}, {"history.dir/x", ""}, {"history.pag", "old slots"}},
	     {"build", "%D/history"},
	     3,
	     "dbz: %D/history.dir: Is a directory\n",
	     "history.pag",
	     "old slots"},
	    {"rebuild where a folder has the .dir's name",
	     {{"history", "<a@b>\t1~-\n"}, {"history.dir/x", ""}, {"history.pag", "old slots"}},
	     {"rebuild", "%D/history"},
	     3,
	     "dbz: %D/history.dir: Is a directory\n",
	     "history.pag",
	     "old slots"},
	    {"rebuild without an index",
	     {{"history", "<a@b>\t1~-\n"}},
	     {"rebuild", "%D/history"},
	     3,
	     "dbz: %D/history.dir: No such file or directory\n",
	     "",
	     ""},
	    {"rebuild of a malformed index",
	     {{"history", "<a@b>\t1~-\n"}, {"history.dir", "dbz 4\n"}},
	     {"rebuild", "%D/history"},
	     3,
	     "dbz: %D/history.dir: malformed index configuration\n",
	     "history.dir",
	     "dbz 4\n"},
	    {"rebuild: usage moved on, size from the busiest period, tag field narrowed",
	     {{"history", "<a@b>\t1~-\n<c@d>\t2~-\n<a@b>\t3~-\n"},
	      {"history.dir", line1("20 9 = 128 124 24") + "5 4 3 2 1 9 8 7 6 5 1000\n" +
	                          "2 0 0 0 0 0 0 0 0 0 0\n"},
	      {"history.pag", std::string(800, '\x07')}},
	     {"rebuild", "-q", "%D/history"},
	     0,
	     "dbz: %D/history: 1 repeated message IDs skipped, each kept its first line\n",
	     "history.dir",
	     line1("1511 9 = 128 120 24") + "2 5 4 3 2 1 9 8 7 6 5\n" +
	         "0 2 0 0 0 0 0 0 0 0 0\n"},
	    {"rebuild to a table smaller than the history warns",
	     {{"history", "<a@b>\t1~-\n<c@d>\t2~-\n<e@f>\t3~-\n"},
	      {"history.dir", line1("20 9 C 128 124 24") + "1 1 1 1 1 1 1 1 1 1 1\n" + kZeros}},
	     {"rebuild", "-q", "%D/history"},
	     0,
	     "dbz: %D/history: warning: the rebuilt table has 1 slots for 3 lines and "
	     "will spill; dbz build sizes it for the lines\n",
	     "history.dir",
	     line1("1 9 C 128 124 24") + "3 1 1 1 1 1 1 1 1 1 1\n" + kZeros},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		fs::remove_all(dir_);
		fs::create_directory(dir_);
		for (const auto &[name, text] : c.files) {
			fs::create_directories(fs::path(dir_ + "/" + name).parent_path());
			writefile(dir_ + "/" + name, text);
		}
		result r = dbz(c.args);
		EXPECT_EQ(r.status, c.status);
		EXPECT_EQ(r.out, "");
		if (c.args.empty()) {
			EXPECT_EQ(r.err.rfind("usage: dbz create", 0), 0u) << r.err;
		} else {
			EXPECT_EQ(r.err, replaceall(c.err, "%D", dir_));
		}
		if (!c.dirfile.empty()) {
			EXPECT_EQ(readfile(dir_ + "/" + c.dirfile), c.dirtext);
		}
		EXPECT_EQ(temporaries(dir_), std::vector<std::string>{}) << "no temporaries left";
	}
}

// Help and the version on standard output with status 0; misuse on
// standard error with the usage and status 2.
TEST_F(AdminTest, HelpVersionAndMisuse) {
	const std::string all =
	    "usage: dbz create [-s size | -e expected] [-F separator] [-C casechar] "
	    "[-t tagmask] [-w seconds] base\n"
	    "       dbz build [-e expected] [-q] [-w seconds] history\n"
	    "       dbz rebuild [-q] [-w seconds] history\n"
	    "       dbz stats [-j] history\n"
	    "       dbz check [-j] [-w seconds] history\n"
	    "       dbz lookup history id ... | history -\n"
	    "       dbz repair [-a] [-w seconds] history\n"
	    "       dbz help [command]\n"
	    "       dbz --version\n";
	const struct {
		std::vector<std::string> args;
		int status;
		std::string out, err;  // out: its first line, or all of it with \n
	} cases[] = {
	    {{"--help"}, 0, all, ""},
	    {{"-h"}, 0, all, ""},
	    {{"help"}, 0, all, ""},
	    {{"help", "build"}, 0, kBuildUsage, ""},
	    {{"build", "--help"}, 0, kBuildUsage, ""},
	    {{"rebuild", "-q", "--help"}, 0, kRebuildUsage, ""},
	    {{"create", "-h"}, 0, kCreateUsage, ""},
	    {{"--version"}, 0, "dbz (quorlin) " QUORLIN_VERSION "\n", ""},
	    {{}, 2, "", all},
	    {{"frob"}, 2, "", "dbz: unknown command: frob\n" + all},
	    {{"help", "frob"}, 2, "", "dbz: unknown command: frob\n" + all},
	    {{"build", "-x", "h"}, 2, "", "dbz: build: unknown option -x\n" + kBuildUsage},
	    {{"lookup", "h"}, 2, "", "usage: dbz lookup history id ... | history -\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0] + " ...");
		std::vector<std::string> args = {kDbz};
		args.insert(args.end(), c.args.begin(), c.args.end());
		result r = run(args);
		EXPECT_EQ(r.status, c.status);
		EXPECT_EQ(r.out.substr(0, c.out.size()), c.out);
		EXPECT_EQ(r.out.empty(), c.out.empty());
		EXPECT_EQ(r.err, c.err);
	}
}

TEST_F(AdminTest, BuildStoresFirstLinesAtTheirOffsets) {
	smallhistory h = makesmall();
	writefile(hist_, h.text);
	result r = dbz({"build", "-q", hist_});
	ASSERT_EQ(r.status, 0) << r.err;
	dbzsetincore(0);
	ASSERT_EQ(dbzopen(hist_.c_str()), 0);
	const struct {
		std::string id;
		int64_t offset;
	} cases[] = {
	    {"<a@Example.COM>", h.offsets[0]},
	    {"<a@example.com>", h.offsets[0]},  // line 4 repeats it: line 1 kept
	    {"<b@x>", h.offsets[1]},
	    {"<nota", -1},
	    {"<c@x>", -1},
	    {"<" + std::string(251, 'm') + ">", h.offsets[7]},
	    {"<" + std::string(252, 'l') + ">", -1},
	    {"<d@y>", h.offsets[9]},
	    {"<A@example.com>", -1},  // the local part keeps its case
	};
	for (const auto &c : cases)
		EXPECT_EQ(lookup(c.id), c.offset) << c.id;
	EXPECT_EQ(dbz::state().params.usage[0], 4);
	EXPECT_EQ(dbzdone(), 0);
}

TEST_F(AdminTest, RebuildKeepsOldIndexOnFailureAndReplacesItOnSuccess) {
	writefile(hist_, "<a@b>\t1~-\n<c@d>\t2~-\n");
	ASSERT_EQ(dbz({"build", "-q", hist_}).status, 0);
	std::string olddir = readfile(hist_ + ".dir");

	// A .pag that cannot be replaced: the rename fails, the .dir stays.
	fs::rename(hist_ + ".pag", dir_ + "/saved.pag");
	fs::create_directory(hist_ + ".pag");
	result r = dbz({"rebuild", "-q", hist_});
	EXPECT_EQ(r.status, 3);
	EXPECT_EQ(r.err, "dbz: " + hist_ + ".pag: Is a directory\n");
	EXPECT_EQ(readfile(hist_ + ".dir"), olddir);
	EXPECT_EQ(temporaries(dir_), std::vector<std::string>{});
	fs::remove(hist_ + ".pag");
	fs::rename(dir_ + "/saved.pag", hist_ + ".pag");

	chmod((hist_ + ".pag").c_str(), 0640);
	r = dbz({"rebuild", "-q", hist_});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(readfile(hist_ + ".dir"),
	          line1("41 9 C 128 127 24") + "2 2 0 0 0 0 0 0 0 0 0\n" + kZeros);
	EXPECT_EQ(fs::status(hist_ + ".pag").permissions(),
	          fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read)
	    << "the new .pag keeps the old one's permissions";
	dbzsetincore(1);
	ASSERT_EQ(dbzopen(hist_.c_str()), 0);
	EXPECT_EQ(lookup("<a@b>"), 0);
	EXPECT_EQ(lookup("<c@d>"), 10);
	EXPECT_EQ(dbzdone(), 0);
}

// Which commands wait for the history lock, in which mode, and how -w ends
// the wait: the test process holds the lock while the command runs.
TEST_F(AdminTest, CommandsTakeTheHistoryLock) {
	writefile(hist_, "<a@b>\t1~-\n<c@d>\t2~-\n");
	ASSERT_EQ(dbz({"build", "-q", hist_}).status, 0);
	const std::string dir = readfile(hist_ + ".dir");
	const std::string me = "(held by process " + std::to_string(getpid()) + ")";
	const std::string locked = "dbz: %D/history: locked " + me + "; giving up\n";
	const struct {
		common::lockmode held;
		std::vector<std::string> args;
		int status;
		std::string err;  // "*": not checked
	} cases[] = {
	    {common::lockmode::shared, {"check", "-w", "0", "%D/history"}, 0, ""},
	    {common::lockmode::exclusive, {"check", "-w", "0", "%D/history"}, 3, locked},
	    {common::lockmode::shared, {"build", "-q", "-w", "0", "%D/history"}, 3, locked},
	    {common::lockmode::shared, {"rebuild", "-w", "1", "%D/history"}, 3,
	     "dbz: %D/history: waiting for the lock " + me + "\n" +
	         "dbz: %D/history: still locked after 1 seconds " + me + "; giving up\n"},
	    {common::lockmode::shared, {"create", "-w", "0", "%D/history"}, 3, locked},
	    // Readers take no lock.
	    {common::lockmode::exclusive, {"stats", "%D/history"}, 0, "*"},
	    {common::lockmode::exclusive, {"lookup", "%D/history", "<c@d>"}, 0, ""},
	    {common::lockmode::shared, {"build", "-w", "soon", "%D/history"}, 2,
	     "dbz: -w soon: invalid\n" + kBuildUsage},
	    {common::lockmode::shared, {"check", "%D/history", "-w"}, 2,
	     "dbz: check: option -w needs an argument\nusage: dbz check [-j] [-w seconds] history\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.args[0] + " under a " +
		             (c.held == common::lockmode::shared ? "shared" : "exclusive") + " lock");
		common::histlock lk;
		ASSERT_EQ(common::lockhistory(&lk, hist_.c_str(), c.held, 0, "test"), 0);
		result r = dbz(c.args);
		common::unlockhistory(&lk);
		EXPECT_EQ(r.status, c.status);
		if (c.err != "*") {
			EXPECT_EQ(r.err, replaceall(c.err, "%D", dir_));
		}
		EXPECT_EQ(readfile(hist_ + ".dir"), dir) << "the index untouched";
		EXPECT_EQ(temporaries(dir_), std::vector<std::string>{});
	}
}

// A build killed at each step of its commit (strace kills it as it enters
// the system call) leaves the old index, or a commit that the next command
// completes before it reads the index: never a .pag and a .dir of
// different builds.
TEST_F(AdminTest, BuildKilledDuringItsCommit) {
	if (system("strace -V >/dev/null 2>&1") != 0)
		GTEST_SKIP() << "strace is not installed";
	std::string first, second;
	for (int i = 0; i < 1500; i++) {
		first += "<" + std::to_string(i) + "@old.example>\t1~-\n";
		second += "<" + std::to_string(i) + "@new.example>\t2~-\n";
	}
	// The next command: dbz lookup, quorlin -d (both read without the lock)
	// or a recording quorlin run (which takes it).
	enum nextcommand { lookup, report, record };
	const struct {
		const char *call;
		int when;
		bool committed;  // the record was in place when the build died
		nextcommand next;
	} cases[] = {
	    {"rename", 1, false, lookup},  // the record's own rename
	    {"rename", 1, false, record},
	    {"rename", 2, true, lookup},   // the .pag's
	    {"rename", 2, true, report},
	    {"rename", 3, true, record},   // the .dir's
	    {"unlink", 1, true, lookup},   // the base link's
	    {"unlink", 2, true, report},   // the record's removal
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.call) + " " + std::to_string(c.when) + ", then " +
		             (c.next == lookup ? "lookup" : c.next == report ? "quorlin -d" : "quorlin"));
		fs::remove_all(dir_);
		fs::create_directory(dir_);
		writefile(dir_ + "/ids", "<1499@old.example>\n<1499@new.example>\n");
		// The old index knows the first half of the history only.
		writefile(hist_, first);
		ASSERT_EQ(dbz({"build", "-q", hist_}).status, 0);
		writefile(hist_, first + second);
		const std::string olddir = readfile(hist_ + ".dir");

		// Sized for more lines than the old index: a .dir of the other
		// build would not fit the .pag.
		result r = run({"/usr/bin/strace", "-f", "-o", "/dev/null", "-e",
		                "inject=" + std::string(c.call) + ":signal=SIGKILL:when=" +
		                    std::to_string(c.when),
		                kDbz, "build", "-q", hist_});
		ASSERT_EQ(r.status, 128 + SIGKILL) << r.err;
		EXPECT_EQ(fs::exists(hist_ + ".commit"), c.committed);
		if (!c.committed) {
			EXPECT_EQ(readfile(hist_ + ".dir"), olddir);
		}

		// The next command finds a whole index: the old one, or the new
		// one completed.
		const std::string completed =
		    ": " + hist_ + ": completed putting in place the new index of an interrupted dbz build\n";
		if (c.next == lookup) {
			r = dbz({"lookup", hist_, "<1499@old.example>", "<1499@new.example>"});
			EXPECT_EQ(r.out, "<1499@old.example>\t1~-\n" +
			                     std::string(c.committed ? "<1499@new.example>\t2~-\n" : ""));
			EXPECT_EQ(r.err, c.committed ? "dbz" + completed
			                             : "dbz: <1499@new.example>: not found\n");
		} else {
			std::vector<std::string> args = {kQuorlin, "-s", dir_, "-h", hist_};
			if (c.next == report)
				args.push_back("-d");
			r = run(args, dir_ + "/ids");
			EXPECT_EQ(r.status, 0);
			// Only an index without the new half records its IDs again.
			EXPECT_EQ(r.out.find("+ <1499@new.example>") != std::string::npos, !c.committed)
			    << r.out;
			EXPECT_NE(r.out.find("- <1499@old.example>"), std::string::npos) << r.out;
			// (The old index lacks the history's last lines, and quorlin
			// says so.)
			if (c.committed) {
				EXPECT_EQ(r.err, "main: lock" + completed);
			} else {
				EXPECT_EQ(r.err.find("completed"), std::string::npos) << r.err;
			}
		}
		EXPECT_FALSE(fs::exists(hist_ + ".commit"));
		EXPECT_EQ(temporaries(dir_).size(), c.committed ? 0u : 4u)
		    << "base link, .dir, .pag and the unrenamed record";
		if (c.committed) {
			r = dbz({"check", hist_});
			EXPECT_EQ(r.status, 0) << r.out << r.err;
			EXPECT_EQ(readfile(hist_ + ".dir").substr(0, 12), "dbz 3 4507 9")
			    << "the new .dir";
		}
	}
}

// A quorlin run that records IDs while a dbz build starts: the build waits
// for the run's lock, so that neither the IDs stored before it started nor
// those stored after are lost (without the lock the run's last stores went
// to the .pag that the build replaced).
TEST_F(AdminTest, RecordingAcrossABuildLosesNothing) {
	std::string text;
	for (int i = 0; i < 20000; i++)
		text += "<" + std::to_string(i) + "@old.example>\t1~-\n";
	writefile(hist_, text);
	ASSERT_EQ(dbz({"build", "-q", hist_}).status, 0);
	auto ids = [](int from, int to) {
		std::string s;
		for (int i = from; i < to; i++)
			s += "<" + std::to_string(i) + "@new.example>\n";
		return s;
	};
	auto feed = [](const child &c, const std::string &s) {
		return write(c.feed, s.data(), s.size()) == static_cast<ssize_t>(s.size());
	};

	child q = spawn({kQuorlin, "-s", dir_, "-h", hist_}, "");
	ASSERT_TRUE(feed(q, ids(0, 1000)));
	// The run has taken the lock once it has handled its first ID.
	for (int waited = 0; readfile(q.outname).find("+ <0@new.example>") == std::string::npos;
	     waited++) {
		ASSERT_LT(waited, 2000) << "quorlin handled nothing";
		usleep(10000);
	}
	child b = spawn({kDbz, "build", "-q", hist_});
	// The build waits for the run (or, were nothing locked, is done).
	auto running = [](pid_t pid) {
		siginfo_t si{};
		return waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOHANG | WNOWAIT) == 0 &&
		       si.si_pid == 0;
	};
	for (int waited = 0;
	     readfile(b.errname).find("waiting for the lock") == std::string::npos && running(b.pid);
	     waited++) {
		ASSERT_LT(waited, 2000) << "the build neither waits nor ends";
		usleep(10000);
	}
	ASSERT_TRUE(feed(q, ids(1000, 2000)));
	result r = collect(q);
	ASSERT_EQ(r.status, 0) << r.err;
	r = collect(b);
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "dbz: " + hist_ + ": waiting for the lock (held by process " +
	                     std::to_string(q.pid) + ")\n");

	// Every ID recorded is found, in the index the build left.
	writefile(dir_ + "/ids", ids(0, 2000));
	r = run({kQuorlin, "-d", "-s", dir_, "-h", hist_}, dir_ + "/ids");
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out.find("+ <"), std::string::npos) << "an ID the index lost";
	r = dbz({"check", hist_});
	EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// A commit record that cannot be completed is refused by the commands that
// use the index, with the fix named, and dropped by the one that replaces
// it; a record naming a file that is no temporary of ours removes nothing.
TEST_F(AdminTest, ACommitThatCannotBeCompleted) {
	writefile(hist_, "<a@b>\t1~-\n");
	ASSERT_EQ(dbz({"build", "-q", hist_}).status, 0);
	const std::string index = readfile(hist_ + ".dir") + readfile(hist_ + ".pag");
	const struct {
		const char *name;
		std::string record;
	} cases[] = {
	    {"new files gone", "12345 12346 history.new99.0\n"},
	    {"names the history itself", "12345 12346 history\n"},
	    {"malformed", "dbz commit\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		writefile(hist_ + ".commit", c.record);
		const std::string refusal = "dbz: " + hist_ +
		                            ": an interrupted dbz build left its new index half "
		                            "in place, and its files are missing; run dbz build " +
		                            hist_ + "\n";
		for (const std::vector<std::string> &args :
		     {std::vector<std::string>{"lookup", hist_, "<a@b>"}, {"check", hist_}}) {
			result r = dbz(args);
			EXPECT_EQ(r.status, 3) << args[0];
			EXPECT_EQ(r.out, "");
			EXPECT_EQ(r.err, refusal) << args[0];
		}
		EXPECT_EQ(readfile(hist_ + ".dir") + readfile(hist_ + ".pag"), index);
		EXPECT_EQ(readfile(hist_), "<a@b>\t1~-\n");

		result r = dbz({"build", "-q", hist_});
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.err, "dbz: " + hist_ +
		                     ": dropped the unfinished commit of an interrupted dbz "
		                     "build, whose new files are missing\n");
		EXPECT_FALSE(fs::exists(hist_ + ".commit"));
		EXPECT_EQ(readfile(hist_), "<a@b>\t1~-\n");
		EXPECT_EQ(dbz({"check", hist_}).status, 0);
	}
}

// Runs args with standard error on a terminal of its own (a pty whose
// foreground it is) and returns what the terminal received.
result runonterminal(const std::vector<std::string> &args) {
	int master = posix_openpt(O_RDWR | O_NOCTTY);
	EXPECT_GE(master, 0);
	EXPECT_EQ(grantpt(master), 0);
	EXPECT_EQ(unlockpt(master), 0);
	std::string slavename = ptsname(master);
	pid_t pid = fork();
	if (pid == 0) {
		setsid();
		int slave = open(slavename.c_str(), O_RDWR);
		int null = open("/dev/null", O_RDWR);
		if (slave < 0 || null < 0)
			_exit(126);
		dup2(null, 0);
		dup2(null, 1);
		dup2(slave, 2);
		close(master);
		std::vector<char *> argv;
		for (const std::string &a : args)
			argv.push_back(const_cast<char *>(a.c_str()));
		argv.push_back(nullptr);
		execv(argv[0], argv.data());
		_exit(127);
	}
	// Read until the terminal's last user has gone (EIO).
	std::string seen;
	char buf[4096];
	ssize_t n;
	while ((n = read(master, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
		if (n > 0)
			seen.append(buf, static_cast<size_t>(n));
	int st = 0;
	waitpid(pid, &st, 0);
	close(master);
	return result{WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), "", seen};
}

TEST_F(AdminTest, ProgressOnATerminalUnlessQuiet) {
	std::string text;
	for (int i = 0; i < 70000; i++)
		text += "<" + std::to_string(i) + "@Host.Example>\t1~-\n";
	writefile(hist_, text);
	const std::string size = std::to_string(text.size());

	result r = runonterminal({kDbz, "build", hist_});
	ASSERT_EQ(r.status, 0) << r.err;
	// One line after the first 65536 lines, rewritten in place, and the
	// final one: bytes done of the whole, lines, lines per second.
	std::regex shape("\rdbz: " + hist_ + ": [0-9]+ of " + size +
	                 " bytes \\([0-9]+%\\), 65536 lines, [0-9]+ lines/s +"
	                 "\rdbz: " + hist_ + ": " + size + " of " + size +
	                 " bytes \\(100%\\), 70000 lines, [0-9]+ lines/s\r?\n");
	EXPECT_TRUE(std::regex_match(r.err, shape)) << r.err;

	r = runonterminal({kDbz, "build", "-q", hist_});
	ASSERT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "");

	// stats reads the .pag, check the history and then the .pag; each
	// line ends at 100%.
	const std::string slots = std::to_string(fs::file_size(hist_ + ".pag") / 8);
	const std::string pagdone = "\rdbz: " + hist_ + "\\.pag: " + slots + " of " +
	                            slots + " slots \\(100%\\)\r?\n";
	r = runonterminal({kDbz, "stats", hist_});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_TRUE(std::regex_search(r.err, std::regex(pagdone))) << r.err;
	r = runonterminal({kDbz, "check", hist_});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_TRUE(std::regex_search(
	    r.err, std::regex("\rdbz: " + hist_ + ": " + size + " of " + size +
	                      " bytes \\(100%\\), 70000 lines, [0-9]+ lines/s\r?\n")))
	    << r.err;
	EXPECT_TRUE(std::regex_search(r.err, std::regex(pagdone))) << r.err;
	// Elsewhere they are quiet.
	EXPECT_EQ(run({kDbz, "check", hist_}).err, "");
	EXPECT_EQ(run({kDbz, "stats", hist_}).err, "");
}

// A history of a million lines, made once for the tests below: a mix of
// message IDs with upper and lower case in their host parts, every 1000th
// line repeating an earlier ID with its host in another case, and three
// bad lines.
class BigHistory : public ::testing::Test {
protected:
	static constexpr int kLines = 1000000;
	static void SetUpTestSuite() {
		char tmpl[] = "/tmp/admin_test_big.XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir_ = new std::string(tmpl);
		hist_ = new std::string(*dir_ + "/history");
		ids_ = new std::vector<std::string>;
		offsets_ = new std::vector<int64_t>;
		static const char *const hosts[] = {"news.Example.COM", "MAIL.example.org",
		                                    "Relay.Uni-Stuttgart.DE", "abc.net",
		                                    "host7.Big.ISP.example"};
		std::string text;
		text.reserve(kLines * 60);
		std::string idlist;
		for (int i = 1; i <= kLines; i++) {
			int64_t offset = static_cast<int64_t>(text.size());
			if (i == 17 || i == 500000 || i == kLines) {
				text += i == 17 ? "garbage without an ID\n"
				        : i == 500000 ? "<no-close@example.com\t1~-\n"
				                      : "\n";
				continue;
			}
			if (i % 1000 == 0) {
				// Repeat the ID of line i - 500, its host lower-cased.
				std::string id = (*ids_)[ids_->size() - 499];
				size_t at = id.find('@');
				for (size_t k = at; k < id.size(); k++)
					id[k] = static_cast<char>(tolower(id[k]));
				text += id + "\t1700000000~-\n";
				idlist += id + "\n";
				repeats_++;
				continue;
			}
			std::string id = "<" + std::to_string(i * 7919LL % 1000003) + "." +
			                 std::to_string(i) + "@" + hosts[i % 5] + ">";
			ids_->push_back(id);
			offsets_->push_back(offset);
			text += id + "\t" + std::to_string(1700000000 + i) + "~-";
			if (i % 3 != 0)
				text += "\tcomp.lang.c/" + std::to_string(i);
			text += "\n";
			idlist += id + "\n";
		}
		writefile(*hist_, text);
		writefile(*dir_ + "/ids", idlist);
	}
	static void TearDownTestSuite() {
		fs::remove_all(*dir_);
		delete dir_;
		delete hist_;
		delete ids_;
		delete offsets_;
	}
	void SetUp() override {
		dbz::resetstate();
		for (const std::string &name : temporaries(*dir_))
			fs::remove(*dir_ + "/" + name);
	}
	void TearDown() override { dbz::resetstate(); }

	static std::string *dir_, *hist_;
	static std::vector<std::string> *ids_;   // the unique IDs, in order
	static std::vector<int64_t> *offsets_;  // their lines' offsets
	static size_t repeats_;                 // lines repeating an earlier ID
};
size_t BigHistory::repeats_;

std::string *BigHistory::dir_, *BigHistory::hist_;
std::vector<std::string> *BigHistory::ids_;
std::vector<int64_t> *BigHistory::offsets_;

TEST_F(BigHistory, EveryIdFoundAtItsFirstLine) {
	result r = run({kDbz, "build", *hist_});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "dbz: " + *hist_ + ":17: not a message ID, line skipped: garbage without an ID\n"
	                 "dbz: " + *hist_ + ":500000: not a message ID, line skipped: <no-close@example.com\n"
	                 "dbz: " + *hist_ + ":1000000: empty line, line skipped\n"
	                 "dbz: " + *hist_ + ": " + std::to_string(repeats_) +
	                 " repeated message IDs skipped, each kept its first line\n"
	                 "dbz: " + *hist_ + ": 3 bad lines skipped\n");

	dbzsetincore(1);
	ASSERT_EQ(dbzopen(hist_->c_str()), 0);
	EXPECT_EQ(dbz::state().params.tablesize, dbzpicksize(kLines));
	EXPECT_EQ(dbz::state().params.usage[0], static_cast<int64_t>(ids_->size()));
	for (size_t i = 0; i < ids_->size(); i++)
		ASSERT_EQ(lookup((*ids_)[i]), (*offsets_)[i]) << (*ids_)[i];
	EXPECT_EQ(dbzdone(), 0);

	// quorlin in report-only mode finds every ID it is given, the repeated
	// spellings included, and would record none.
	r = run({kQuorlin, "-d", "-s", *dir_, "-h", *hist_}, *dir_ + "/ids");
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "");
	size_t found = 0, recorded = 0;
	std::istringstream out(r.out);
	for (std::string line; std::getline(out, line);) {
		found += line.rfind("- <", 0) == 0;
		recorded += line.rfind("+ <", 0) == 0;
	}
	EXPECT_EQ(found, ids_->size() + repeats_);
	EXPECT_EQ(recorded, 0u);
}

// Runs "dbz build" on history with standard error on a terminal whose
// foreground it is not: its first progress line stops it (SIGTTOU), about
// 65536 lines into the build. Then sends it sig (and SIGCONT so that it
// acts on it). Returns true when the build was stopped there and died of
// sig, never having reached the end.
bool interruptbuild(const std::string &history, int sig) {
	int master = posix_openpt(O_RDWR | O_NOCTTY);
	if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
		return false;
	std::string slavename = ptsname(master);
	pid_t middle = fork();
	if (middle == 0) {
		// A session of its own, with the terminal as its controlling
		// terminal and the build in a background process group.
		setsid();
		int slave = open(slavename.c_str(), O_RDWR);
		struct termios t;
		if (slave < 0 || tcgetattr(slave, &t) != 0)
			_exit(5);
		t.c_lflag |= TOSTOP;
		tcsetattr(slave, TCSANOW, &t);
		pid_t build = fork();
		if (build == 0) {
			setpgid(0, 0);
			signal(SIGTTOU, SIG_DFL);
			int null = open("/dev/null", O_RDWR);
			dup2(null, 0);
			dup2(null, 1);
			dup2(slave, 2);
			close(master);
			execl(kDbz.c_str(), "dbz", "build", history.c_str(), static_cast<char *>(nullptr));
			_exit(127);
		}
		setpgid(build, build);
		int st;
		if (waitpid(build, &st, WUNTRACED) != build || !WIFSTOPPED(st))
			_exit(3);
		kill(build, sig);
		kill(build, SIGCONT);
		if (waitpid(build, &st, 0) != build)
			_exit(4);
		_exit(WIFSIGNALED(st) && WTERMSIG(st) == sig ? 0 : 6);
	}
	int st = 0;
	waitpid(middle, &st, 0);
	close(master);
	return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

TEST_F(BigHistory, InterruptedBuildLeavesThePreviousIndex) {
	// The previous index: built for the first half of the history only, so
	// that it differs from what a complete build would leave.
	std::string half = *dir_ + "/half";
	fs::copy_file(*hist_, half);
	fs::resize_file(half, fs::file_size(*hist_) / 2);
	ASSERT_EQ(run({kDbz, "build", "-q", half}).status, 0);
	fs::remove(*hist_ + ".dir");
	fs::remove(*hist_ + ".pag");
	fs::rename(half + ".dir", *hist_ + ".dir");
	fs::rename(half + ".pag", *hist_ + ".pag");
	fs::remove(half);
	const std::string olddir = readfile(*hist_ + ".dir"), oldpag = readfile(*hist_ + ".pag");

	const struct {
		int sig;
		bool leftover;  // the killed build could not remove its temporaries
	} cases[] = {{SIGTERM, false}, {SIGINT, false}, {SIGKILL, true}};
	std::vector<std::string> leftovers;
	for (const auto &c : cases) {
		SCOPED_TRACE(strsignal(c.sig));
		ASSERT_TRUE(interruptbuild(*hist_, c.sig));
		EXPECT_EQ(readfile(*hist_ + ".dir"), olddir);
		EXPECT_EQ(readfile(*hist_ + ".pag"), oldpag);
		std::vector<std::string> left = temporaries(*dir_);
		EXPECT_EQ(left.size(), c.leftover ? 3u : 0u) << "base link, .dir and .pag";
		if (c.leftover)
			leftovers.insert(leftovers.end(), left.begin(), left.end());

		// The previous index still answers: the first half's IDs are
		// found, the second half's are not.
		dbzsetincore(0);
		ASSERT_EQ(dbzopen(hist_->c_str()), 0);
		EXPECT_EQ(lookup((*ids_)[10]), (*offsets_)[10]);
		EXPECT_EQ(lookup(ids_->back()), -1);
		EXPECT_EQ(dbzdone(), 0);
	}

	// The next build removes what the killed one left, and completes.
	result r = run({kDbz, "build", "-q", *hist_});
	ASSERT_EQ(r.status, 0) << r.err;
	for (const std::string &name : leftovers)
		EXPECT_NE(r.err.find("dbz: " + *dir_ + "/" + name +
		                     ": removed, left by an interrupted build\n"),
		          std::string::npos)
		    << name << " in " << r.err;
	EXPECT_EQ(temporaries(*dir_), std::vector<std::string>{});
	dbzsetincore(0);
	ASSERT_EQ(dbzopen(hist_->c_str()), 0);
	EXPECT_EQ(lookup(ids_->back()), offsets_->back());
	EXPECT_EQ(dbzdone(), 0);
}

}  // namespace
