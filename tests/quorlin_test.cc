// quorlin_test.cc: transcripts of the built quorlin command on a scratch
// spool: options, the input loop, cancelling, recording, start-up failures,
// and what reaches the history and its index.
#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/quorlin_harness.h"

namespace {

using qtest::runopts;
using qtest::runresult;
using qtest::spool;

// The history most transcripts start from. {spool} stands for the spool's
// path and .{dotspool} for the same path written with '.' for every '/'.
const std::string kHistory =
    "<x@y>\t1000~-\tx.y/1 z/2\tq.r/3\n"         // three locations
    "<none@y>\t1000~-\n"                          // no location
    "<two@y>\t\tx.y/1\n"                          // empty date field
    "<blank@y>\t1000 ~-\tx/1\n"                   // blank inside the date
    "<cancel.x@y>\t1000~-\tc/9\n"                 // derived ID of <x@y>
    "<abs@y>\t1000~-\t{spool}/victim .{dotspool}.victim2 ok/1\n"
    // One read of 9999 bytes ends in "k/2", the first bytes of k/22.
    "<long@y>\t1000~-\tk/1" + std::string(9977, ' ') + "k/22\n";

const std::vector<std::string> kArticles = {
    "x/y/1", "z/2", "q/r/3", "x/1", "c/9", "victim", "victim2", "ok/1", "k/1",
    "k/2", "k/22"};

const std::string kUsage =
    "usage: quorlin [-d] [-i] [-l] [-c] [-r] [-f logformat] [-h histfile] "
    "[-s spooldir] [-a descriptor]\n";

std::string substitute(std::string s, const spool &sp) {
	std::string dots = sp.dir();
	for (char &c : dots)
		if (c == '/')
			c = '.';
	for (auto [key, value] : {std::pair<std::string, std::string>{"{spool}", sp.dir()},
	                          {"{dotspool}", dots.substr(1)}}) {
		for (size_t at; (at = s.find(key)) != std::string::npos;)
			s.replace(at, key.size(), value);
	}
	return s;
}

// One run: the spool it starts from, the command line after
// "-s SPOOL -h history", standard input, and what must come of it. History
// lines printed or appended show their time as T.
struct transcript {
	const char *name;
	std::vector<std::string> args;
	std::string in;
	std::string out;
	std::string err = "";
	int status = 0;
	std::string appended = "";            // text the history grows by
	std::vector<std::string> gone = {};   // articles removed
	std::optional<std::string> fd5 = {};  // a file on descriptor 5 and
	                                      // what must be written to it
	std::string history = kHistory;
	std::string histpath = "history";
	int closed = -1;                      // a standard stream closed in
	                                      // the child
};

std::string times(int n, const std::string &s) {
	std::string r;
	while (n-- > 0)
		r += s;
	return r;
}

const std::string kFill = "<n@y> " + std::string(9985, 'w');  // 9991 bytes
const std::string kId254 = "<" + std::string(252, 'a') + ">";
const std::string kId253 = "<" + std::string(251, 'b') + ">";

const std::vector<transcript> kTranscripts = {
    // The input loop.
    {.name = "empty input", .args = {}, .in = "", .out = ""},
    {.name = "an ID followed by words or a tab is that ID",
     .args = {},
     .in = "<n@y> more words\n<m@y>\tx\n",
     .out = "+ <n@y>\n+ <m@y>\n",
     .appended = "<n@y>\tT~-\n<m@y>\tT~-\n"},
    {.name = "lines that are no ID",
     .args = {},
     .in = " <n@y>\n\n<\nn@y>\n<n@y\n<>\n",
     .out = "+ <>\n",
     .err = times(5, "stdin: syntax error\n"),
     .appended = "<>\tT~-\n"},
    {.name = "a line that fills the read exactly is processed",
     .args = {},
     .in = kFill + "\n<m@y>\n",
     .out = "+ <n@y>\n+ <m@y>\n",
     .appended = "<n@y>\tT~-\n<m@y>\tT~-\n"},
    {.name = "a line one byte longer is dropped, the next one processed",
     .args = {},
     .in = kFill + "w\n<m@y>\n",
     .out = "+ <m@y>\n",
     .err = "stdin: long line\n",
     .appended = "<m@y>\tT~-\n"},
    {.name = "a line of several reads is reported once",
     .args = {},
     .in = "<n@y> " + std::string(25000, 'w') + "\n<m@y>\n",
     .out = "+ <m@y>\n",
     .err = "stdin: long line\n",
     .appended = "<m@y>\tT~-\n"},
    {.name = "a last line without its newline is not processed",
     .args = {},
     .in = "<m@y>\n<n@y>",
     .out = "+ <m@y>\n",
     .err = "stdin: long line\n",
     .appended = "<m@y>\tT~-\n"},
    {.name = "a line with a NUL byte does not swallow the next line",
     .args = {},
     .in = std::string("<n@y>\0z\n<m@y>\n", 14),
     .out = "+ <m@y>\n",
     .err = "stdin: long line\n",
     .appended = "<m@y>\tT~-\n"},

    // Cancelling: the fields of the history line.
    {.name = "a found ID has its files removed",
     .args = {},
     .in = "<x@y>\n",
     .out = "- <x@y>\n",
     .gone = {"x/y/1", "z/2", "q/r/3"}},
    {.name = "a found ID without locations",
     .args = {},
     .in = "<none@y>\n",
     .out = "- <none@y>\n"},
    {.name = "an empty date field makes the first location the date",
     .args = {},
     .in = "<two@y>\n",
     .out = "- <two@y>\n"},
    {.name = "a blank stays inside the date field",
     .args = {},
     .in = "<blank@y>\n",
     .out = "- <blank@y>\n",
     .gone = {"x/1"}},
    {.name = "IDs are found with the case of their domain folded",
     .args = {},
     .in = "<x@Y>\n",
     .out = "- <x@Y>\n",
     .gone = {"x/y/1", "z/2", "q/r/3"}},
    {.name = "locations that would leave the spool are left alone",
     .args = {},
     .in = "<abs@y>\n",
     .out = "- <abs@y>\n",
     .err = "warning: <abs@y> article location {spool}/victim is outside the "
            "spool, left alone\n"
            "warning: <abs@y> article location .{dotspool}.victim2 is outside "
            "the spool, left alone\n",
     .gone = {"ok/1"}},
    {.name = "the cut last location of a long history line is left alone",
     .args = {},
     .in = "<long@y>\n",
     .out = "- <long@y>\n",
     .err = "warning: <long@y> long history line\n",
     .gone = {"k/1"}},
    {.name = "the last location of a cut last history line is left alone",
     .args = {},
     .in = "<cut@y>\n",
     .out = "- <cut@y>\n",
     .err = "warning: <cut@y> long history line\n",
     .gone = {"x/1"},
     .history = kHistory + "<cut@y>\t1000~-\tx/1 k/2"},

    // Recording.
    {.name = "a new ID is recorded, then found in the same run",
     .args = {},
     .in = "<none@y>\n<n@y>\n<n@y>\n<blank@y>\n",
     .out = "- <none@y>\n+ <n@y>\n- <n@y>\n- <blank@y>\n",
     .appended = "<n@y>\tT~-\n",
     .gone = {"x/1"}},
    {.name = "an ID too long for the index is appended and counted",
     .args = {},
     .in = kId254 + "\n" + kId253 + "\n",
     .out = "+ " + kId254 + "\n+ " + kId253 + "\n",
     .err = "do_new: dbzstore: message ID too long for the index\n",
     .appended = kId254 + "\tT~-\n" + kId253 + "\tT~-\n"},
    {.name = "a torn last line is closed before the first append",
     .args = {},
     .in = "<x@Y>\n<n@y>\n<m@y>\n",
     .out = "- <x@Y>\n+ <n@y>\n+ <m@y>\n",
     .err = "warning: history ended in a partial line, closed it\n",
     .appended = "\n<n@y>\tT~-\n<m@y>\tT~-\n",
     .gone = {"x/y/1", "z/2", "q/r/3"},
     .history = kHistory + "<torn@y>\t10"},
    {.name = "-r records nothing but cancels",
     .args = {"-r"},
     .in = "<n@y>\n<x@y>\n",
     .out = "- <x@y>\n",
     .gone = {"x/y/1", "z/2", "q/r/3"}},
    {.name = "-c records the derived ID",
     .args = {"-c"},
     .in = "<abc.def@y>\n",
     .out = "+ <abc.def@y>\n+ <cancel.abc.def@y>\n",
     .appended = "<abc.def@y>\tT~-\n<cancel.abc.def@y>\tT~-\n"},
    {.name = "-c: only IDs without the <cancel prefix, case-sensitive",
     .args = {"-c"},
     .in = "<cancelled@y>\n<Cancel@y>\n<ab>\n",
     .out = "+ <cancelled@y>\n+ <Cancel@y>\n+ <cancel.Cancel@y>\n+ <ab>\n"
            "+ <cancel.ab>\n",
     .appended = "<cancelled@y>\tT~-\n<Cancel@y>\tT~-\n<cancel.Cancel@y>\tT~-\n"
                 "<ab>\tT~-\n<cancel.ab>\tT~-\n"},
    {.name = "-c: a found derived ID is left alone",
     .args = {"-c"},
     .in = "<x@y>\n",
     .out = "- <x@y>\n",
     .gone = {"x/y/1", "z/2", "q/r/3"}},
    {.name = "-c with -r: derived IDs have no effect",
     .args = {"-cr"},
     .in = "<n@y>\n<x@y>\n",
     .out = "- <x@y>\n",
     .gone = {"x/y/1", "z/2", "q/r/3"}},

    // Report only.
    {.name = "-d prints instead of removing and appending",
     .args = {"-d"},
     .in = "<x@y>\n<n@y>\n<n@y>\n<abs@y>\n<long@y>\n",
     .out = "unlink x/y/1\nunlink z/2\nunlink q/r/3\n- <x@y>\n"
            "<n@y>\tT~-\n+ <n@y>\n<n@y>\tT~-\n+ <n@y>\n"
            "unlink ok/1\n- <abs@y>\n"
            "unlink k/1\n- <long@y>\n",
     .err = "warning: <abs@y> article location {spool}/victim is outside the "
            "spool, left alone\n"
            "warning: <abs@y> article location .{dotspool}.victim2 is outside "
            "the spool, left alone\n"
            "warning: <long@y> long history line\n"},

    // Handing paths to a descriptor.
    {.name = "-a hands the paths to the descriptor",
     .args = {"-a", "5"},
     .in = "<x@y>\n<abs@y>\n<n@y>\n",
     .out = "- <x@y>\n- <abs@y>\n+ <n@y>\n",
     .err = "warning: <abs@y> article location {spool}/victim is outside the "
            "spool, left alone\n"
            "warning: <abs@y> article location .{dotspool}.victim2 is outside "
            "the spool, left alone\n",
     .appended = "<n@y>\tT~-\n",
     .fd5 = "x/y/1\nz/2\nq/r/3\nok/1\n"},
    {.name = "-d decides over -a",
     .args = {"-a5", "-d"},
     .in = "<x@y>\n",
     .out = "unlink x/y/1\nunlink z/2\nunlink q/r/3\n- <x@y>\n",
     .fd5 = ""},
    {.name = "a negative descriptor removes the files",
     .args = {"-a", "-1"},
     .in = "<x@y>\n",
     .out = "- <x@y>\n",
     .gone = {"x/y/1", "z/2", "q/r/3"},
     .fd5 = ""},
    {.name = "the smallest int is a negative descriptor too",
     .args = {"-a-2147483648"},
     .in = "<x@y>\n",
     .out = "- <x@y>\n",
     .gone = {"x/y/1", "z/2", "q/r/3"}},
    {.name = "a descriptor that is not open stops the run",
     .args = {"-a", "7"},
     .in = "<x@y>\n",
     .out = "",
     .err = "main: descriptor 7: Bad file descriptor\n",
     .status = 1},
    {.name = "a report-only run writes nothing to the descriptor",
     .args = {"-d", "-a", "7"},
     .in = "<x@y>\n",
     .out = "unlink x/y/1\nunlink z/2\nunlink q/r/3\n- <x@y>\n"},

    // Log formats.
    {.name = "format without #", .args = {"-f", "abc"}, .in = "<x@y>\n<n@y>\n",
     .out = "abc<x@y>\nabc<n@y>\n", .appended = "<n@y>\tT~-\n",
     .gone = {"x/y/1", "z/2", "q/r/3"}},
    {.name = "format x+y#z+", .args = {"-f", "x+y#z+"}, .in = "<x@y>\n<n@y>\n",
     .out = "x+y<x@y>z-\nx+y<n@y>z+\n", .appended = "<n@y>\tT~-\n",
     .gone = {"x/y/1", "z/2", "q/r/3"}},
    {.name = "format +a#b#c", .args = {"-f", "+a#b#c"}, .in = "<x@y>\n<n@y>\n",
     .out = "-a<x@y>c\n+a<n@y>c\n", .appended = "<n@y>\tT~-\n",
     .gone = {"x/y/1", "z/2", "q/r/3"}},
    {.name = "format a#b+#c", .args = {"-f", "a#b+#c"}, .in = "<x@y>\n<n@y>\n",
     .out = "a<x@y>c\na<n@y>c\n", .appended = "<n@y>\tT~-\n",
     .gone = {"x/y/1", "z/2", "q/r/3"}},
    {.name = "format with % is printed as it stands",
     .args = {"-f", "%s %d#%n"}, .in = "<x@y>\n",
     .out = "%s %d<x@y>%n\n", .gone = {"x/y/1", "z/2", "q/r/3"}},
    {.name = "empty format", .args = {"-f", ""}, .in = "<x@y>\n<n@y>\n",
     .out = "", .appended = "<n@y>\tT~-\n", .gone = {"x/y/1", "z/2", "q/r/3"}},
    {.name = "format #x", .args = {"-f", "#x"}, .in = "<x@y>\n<n@y>\n",
     .out = "", .appended = "<n@y>\tT~-\n", .gone = {"x/y/1", "z/2", "q/r/3"}},

    // Option parsing.
    {.name = "clustered flags", .args = {"-dr"}, .in = "<x@y>\n<n@y>\n",
     .out = "unlink x/y/1\nunlink z/2\nunlink q/r/3\n- <x@y>\n"},
    {.name = "an argument attached to its letter, after flags",
     .args = {"-dfQ#"}, .in = "<none@y>\n", .out = "Q<none@y>\n"},
    {.name = "an argument as the next word, after flags",
     .args = {"-df", "Q#"}, .in = "<none@y>\n", .out = "Q<none@y>\n"},
    {.name = "the last of a repeated option wins",
     .args = {"-f", "A#", "-fB#"}, .in = "<none@y>\n", .out = "B<none@y>\n"},
    {.name = "options end at the first operand",
     .args = {"extra", "-d"}, .in = "<x@y>\n", .out = "- <x@y>\n",
     .gone = {"x/y/1", "z/2", "q/r/3"}},
    {.name = "an unknown option", .args = {"-x"}, .in = "<n@y>\n", .out = "",
     .err = "quorlin: invalid option -- 'x'\n" + kUsage, .status = 1},
    {.name = "a missing option argument", .args = {"-f"}, .in = "<n@y>\n",
     .out = "", .err = "quorlin: option requires an argument -- 'f'\n" + kUsage,
     .status = 1},

    // Where the history is, and start-up failures.
    {.name = "a relative history under the spool",
     .args = {"-h", "db/hist"}, .in = "<x@y>\n<n@y>\n",
     .out = "- <x@y>\n+ <n@y>\n", .appended = "<n@y>\tT~-\n",
     .gone = {"x/y/1", "z/2", "q/r/3"}, .histpath = "db/hist"},
    {.name = "an absolute history",
     .args = {"-h", "{spool}/db/hist"}, .in = "<x@y>\n", .out = "- <x@y>\n",
     .gone = {"x/y/1", "z/2", "q/r/3"}, .histpath = "db/hist"},
    {.name = "a spool that cannot be entered",
     .args = {"-s", "{spool}/missing"}, .in = "<n@y>\n", .out = "",
     .err = "main: chdir: No such file or directory\n", .status = 1},
    {.name = "a history that cannot be opened",
     .args = {"-h", "missing"}, .in = "<n@y>\n", .out = "",
     .err = "main: fopen: No such file or directory\n", .status = 1},
    {.name = "a history that cannot be opened, report only",
     .args = {"-d", "-h", "missing"}, .in = "<n@y>\n", .out = "",
     .err = "main: fopen: No such file or directory\n", .status = 1},
    {.name = "a history without an index",
     .args = {"-h", "victim"}, .in = "<n@y>\n", .out = "",
     .err = "main: dbmopen: No such file or directory\n", .status = 1},

    // A closed standard stream must not become the history's descriptor.
    {.name = "closed standard input reads no ID from the history",
     .args = {}, .in = "<x@y>\n", .out = "", .closed = 0},
    {.name = "closed standard output writes no log line into the history",
     .args = {}, .in = "<n@y>\n", .out = "", .appended = "<n@y>\tT~-\n",
     .closed = 1},
    {.name = "closed standard error writes no diagnostic over the history",
     .args = {}, .in = "bad\n<n@y>\n", .out = "+ <n@y>\n",
     .appended = "<n@y>\tT~-\n", .closed = 2},
};

void PrintTo(const transcript &t, std::ostream *os) { *os << t.name; }

class Transcript : public testing::TestWithParam<transcript> {};

TEST_P(Transcript, Run) {
	const transcript &t = GetParam();
	spool sp;
	for (const std::string &a : kArticles)
		sp.write(a, "article\n");
	std::string history = substitute(t.history, sp);
	sp.history(t.histpath, history);

	std::vector<std::string> args = {"-s", sp.dir(), "-h", "history"};
	for (const std::string &a : t.args)
		args.push_back(substitute(a, sp));
	runopts opts;
	opts.in = t.in;
	std::string fd5file = sp.path("fd5");
	if (t.fd5) {
		opts.fd5 = open(fd5file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
		ASSERT_GE(opts.fd5, 0);
	}
	if (t.closed >= 0)
		opts.beforeexec = [fd = t.closed] { return close(fd) == 0; };
	runresult r = qtest::run(args, opts);
	if (t.fd5)
		close(opts.fd5);

	EXPECT_EQ(r.status, t.status);
	EXPECT_EQ(qtest::maskedtimes(r.out), t.out);
	EXPECT_EQ(r.err, substitute(t.err, sp));
	std::string now = sp.read(t.histpath);
	ASSERT_GE(now.size(), history.size());
	EXPECT_EQ(now.substr(0, history.size()), history);
	EXPECT_EQ(qtest::maskedtimes(now.substr(history.size())), t.appended);
	for (const std::string &a : kArticles) {
		bool gone = std::find(t.gone.begin(), t.gone.end(), a) != t.gone.end();
		EXPECT_EQ(sp.exists(a), !gone) << a;
	}
	if (t.fd5) {
		EXPECT_EQ(sp.read("fd5"), *t.fd5);
	}
}

INSTANTIATE_TEST_SUITE_P(Quorlin, Transcript, testing::ValuesIn(kTranscripts),
                         [](const testing::TestParamInfo<transcript> &info) {
	                         std::string n;
	                         for (const char *c = info.param.name; *c; c++)
		                         n += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
	                         return n;
                         });

// Every ID a run records is found by the next run, with the in-core table
// (written back at the end of the run) and without it (-i).
class Persistence : public testing::TestWithParam<const char *> {};

TEST_P(Persistence, SecondRunFindsEveryRecordedId) {
	spool sp;
	sp.history("history", "");
	std::string in, found;
	for (int i = 0; i < 300; i++) {
		std::string id = "<" + std::to_string(i) + ".art@Host>";
		in += id + "\n";
		found += "- " + id + "\n";
	}
	std::vector<std::string> first = {"-s", sp.dir(), "-h", "history", "-c"};
	if (*GetParam())
		first.push_back(GetParam());
	runresult r = qtest::run(first, {.in = in});
	ASSERT_EQ(r.status, 0) << r.err;
	ASSERT_EQ(r.err, "");

	// Report only, so that nothing is stored: every ID and every derived
	// ID must be found.
	std::vector<std::string> second = {"-s", sp.dir(), "-h", "history", "-dc"};
	if (*GetParam())
		second.push_back(GetParam());
	r = qtest::run(second, {.in = in});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, found);
	EXPECT_EQ(r.err, "");

	// The index holds each ID at the offset of its own line.
	std::string history = sp.read("history");
	for (int i = 0; i < 300; i += 37) {
		std::string id = "<cancel." + std::to_string(i) + ".art@Host>";
		int64_t at = sp.lookup("history", id);
		ASSERT_GE(at, 0) << id;
		EXPECT_EQ(history.compare(static_cast<size_t>(at), id.size() + 1, id + "\t"), 0)
		    << id;
	}
}

INSTANTIATE_TEST_SUITE_P(Quorlin, Persistence, testing::Values("", "-i"),
                         [](const testing::TestParamInfo<const char *> &info) {
	                         return std::string(*info.param ? "WithoutIncore" : "Incore");
                         });

TEST(Quorlin, LongIdIsRecordedAgainByTheNextRun) {
	spool sp;
	sp.history("history", "");
	std::string in = kId254 + "\n" + kId253 + "\n";
	runresult r = qtest::run({"-s", sp.dir(), "-h", "history"}, {.in = in});
	ASSERT_EQ(r.status, 0);
	r = qtest::run({"-s", sp.dir(), "-h", "history"}, {.in = in});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "+ " + kId254 + "\n- " + kId253 + "\n");
	EXPECT_EQ(r.err, "do_new: dbzstore: message ID too long for the index\n");
}

TEST(Quorlin, ReportOnlyRunLeavesTheIndexAlone) {
	spool sp;
	sp.history("history", "<x@y>\t1000~-\n");
	std::string dir = sp.read("history.dir");
	std::string pag = sp.read("history.pag");
	runresult r = qtest::run({"-s", sp.dir(), "-h", "history", "-d"},
	                         {.in = "<x@y>\n<n@y>\n<m@y>\n"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(sp.read("history.dir"), dir);
	EXPECT_EQ(sp.read("history.pag"), pag);
}

// When the index cannot be written back at the end, the run's records did
// not all reach it: the run says so and fails.
TEST(Quorlin, FailedCloseOfTheIndexFailsTheRun) {
	spool sp;
	sp.history("history", "<x@y>\t1000~-\n");  // 1009 slots: an 8 KiB table
	runopts opts;
	opts.in = "<n@y>\n";
	opts.fsizelimit = 4096;
	runresult r = qtest::run({"-s", sp.dir(), "-h", "history"}, opts);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "+ <n@y>\n");
	EXPECT_EQ(r.err, "main: dbmdone: File too large\n");
}

// An append that the file system refuses, wholly or after part of the line,
// leaves the history as it was, and the ID is neither stored nor logged.
class FailedAppend : public testing::TestWithParam<size_t> {};

TEST_P(FailedAppend, LeavesTheHistoryAsItWas) {
	spool sp;
	std::string history =
	    "<x@y>\t1000~-\n<pad@y>\t1000~-\t" + std::string(GetParam() - 29, '#') + "\n";
	ASSERT_EQ(history.size(), GetParam());
	sp.history("history", history, 2);  // a small table: the close writes little
	runopts opts;
	opts.in = "<n@y>\n<x@y>\n";
	opts.fsizelimit = 4096;
	runresult r = qtest::run({"-s", sp.dir(), "-h", "history"}, opts);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "- <x@y>\n");
	EXPECT_EQ(r.err, "fflush: File too large\n");
	EXPECT_EQ(sp.read("history"), history);
	EXPECT_EQ(sp.lookup("history", "<n@y>"), -1);
}

// 4090: the first bytes of the line fit under the limit; 5000: none do.
INSTANTIATE_TEST_SUITE_P(Quorlin, FailedAppend, testing::Values(4090, 5000));

// Reads from fd until want has arrived; false if the writer goes away
// first or something else arrives.
bool readexactly(int fd, const std::string &want) {
	std::string got;
	char buf[64];
	ssize_t n;
	while (got.size() < want.size() &&
	       (n = read(fd, buf, std::min(sizeof buf, want.size() - got.size()))) > 0)
		got.append(buf, static_cast<size_t>(n));
	return got == want;
}

// The append goes where the history ends at that moment, also when another
// process has appended in between, and reads through the history stream
// see what was appended behind its back.
TEST(Quorlin, AppendsAtTheCurrentEndOfTheHistory) {
	spool sp;
	sp.write("a/1", "article\n");
	sp.history("history", "<old@y>\t1000~-\ta/1\n");
	int paths[2];
	ASSERT_EQ(pipe2(paths, O_CLOEXEC), 0);
	runopts opts;
	opts.fd5 = paths[1];
	std::string external = "<ext@y>\t2000~-\te/1\n";
	opts.feed = [&](int in) {
		close(paths[1]);
		// <old@y> hands its path on only after <n1@y> has been appended.
		std::string first = "<n1@y>\n<old@y>\n";
		ASSERT_EQ(write(in, first.data(), first.size()), static_cast<ssize_t>(first.size()));
		ASSERT_TRUE(readexactly(paths[0], "a/1\n"));
		int h = open(sp.path("history").c_str(), O_WRONLY | O_APPEND);
		ASSERT_GE(h, 0);
		ASSERT_EQ(write(h, external.data(), external.size()),
		          static_cast<ssize_t>(external.size()));
		close(h);
		std::string rest = "<n2@y>\n<n2@y>\n<n1@y>\n";
		ASSERT_EQ(write(in, rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
	};
	runresult r = qtest::run({"-s", sp.dir(), "-h", "history", "-a", "5"}, opts);
	close(paths[0]);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "+ <n1@y>\n- <old@y>\n+ <n2@y>\n- <n2@y>\n- <n1@y>\n");
	EXPECT_EQ(r.err, "");

	std::string history = sp.read("history");
	EXPECT_EQ(qtest::maskedtimes(history),
	          "<old@y>\t1000~-\ta/1\n<n1@y>\tT~-\n<ext@y>\t2000~-\te/1\n<n2@y>\tT~-\n");
	int64_t at = sp.lookup("history", "<n2@y>");
	ASSERT_GE(at, 0);
	EXPECT_EQ(history.substr(static_cast<size_t>(at), 7), "<n2@y>\t");
}

// Another process cuts the history back while a run reads it: the lines
// past the cut, on pages of their own or on the page where the file now
// ends, read as the end of the file. Their IDs are recorded again at the
// new end and found there; nothing crashes and nothing recorded is lost.
TEST(Quorlin, HistoryCutBackDuringTheRunIsReadAsItsNewEnd) {
	spool sp;
	std::string text;
	for (int i = 0; i < 1000; i++)
		text += "<k" + std::to_string(i) + "@y>\t1000~-\ta/" + std::to_string(i) + "\n";
	size_t cut = text.find("<k10@y>");
	sp.history("history", text, 2003);
	int paths[2];
	ASSERT_EQ(pipe2(paths, O_CLOEXEC), 0);
	runopts opts;
	opts.fd5 = paths[1];
	opts.feed = [&](int in) {
		close(paths[1]);
		std::string first = "<k999@y>\n";
		ASSERT_EQ(write(in, first.data(), first.size()), static_cast<ssize_t>(first.size()));
		ASSERT_TRUE(readexactly(paths[0], "a/999\n"));
		ASSERT_EQ(truncate(sp.path("history").c_str(), static_cast<off_t>(cut)), 0);
		std::string rest = "<k999@y>\n<k999@y>\n<k11@y>\n<k11@y>\n<k5@y>\n";
		ASSERT_EQ(write(in, rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
		ASSERT_TRUE(readexactly(paths[0], "a/5\n"));
	};
	runresult r = qtest::run({"-s", sp.dir(), "-h", "history", "-a", "5"}, opts);
	close(paths[0]);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "- <k999@y>\n+ <k999@y>\n- <k999@y>\n+ <k11@y>\n- <k11@y>\n- <k5@y>\n");
	EXPECT_EQ(r.err, "");
	std::string history = sp.read("history");
	EXPECT_EQ(qtest::maskedtimes(history.substr(cut)), "<k999@y>\tT~-\n<k11@y>\tT~-\n");
	EXPECT_EQ(sp.lookup("history", "<k999@y>"), static_cast<int64_t>(cut));
	EXPECT_EQ(sp.lookup("history", "<k11@y>"),
	          static_cast<int64_t>(history.find("<k11@y>", cut)));
	EXPECT_EQ(sp.lookup("history", "<k5@y>"), static_cast<int64_t>(text.find("<k5@y>")));
}

// A read error on standard input ends it like its end, and the part of a
// line read before the error is no line and not reported as one.
TEST(Quorlin, ReadErrorOnStandardInputEndsItQuietly) {
	spool sp;
	sp.history("history", "");
	// A peer that goes away with data of ours unread resets the
	// connection: the reader gets what was sent, then ECONNRESET.
	int s[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s), 0);
	std::string sent = "<m@y>\n<n@y>";
	ASSERT_EQ(write(s[1], sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
	ASSERT_EQ(write(s[0], "x", 1), 1);
	close(s[1]);
	runopts opts;
	opts.beforeexec = [&] { return dup2(s[0], STDIN_FILENO) == STDIN_FILENO; };
	runresult r = qtest::run({"-s", sp.dir(), "-h", "history"}, opts);
	close(s[0]);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "+ <m@y>\n");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(qtest::maskedtimes(sp.read("history")), "<m@y>\tT~-\n");
}

// The argument of -a is a decimal int and nothing else; anything else is a
// usage error, found before anything is opened (the history named here
// does not exist).
TEST(Quorlin, DescriptorArgumentMustBeADecimalInt) {
	const struct {
		std::string arg, why;
	} cases[] = {
	    {"fd5", "is not a decimal number"},
	    {"3x", "is not a decimal number"},
	    {"+5", "is not a decimal number"},
	    {" 5", "is not a decimal number"},
	    {"5 ", "is not a decimal number"},
	    {"", "is not a decimal number"},
	    {"-", "is not a decimal number"},
	    {"--1", "is not a decimal number"},
	    {"2147483648", "is out of range"},
	    {"-2147483649", "is out of range"},
	    {"99999999999999999999999", "is out of range"},
	};
	spool sp;
	for (const auto &c : cases) {
		SCOPED_TRACE("-a '" + c.arg + "'");
		runresult r = qtest::run({"-s", sp.dir(), "-h", "missing", "-a", c.arg},
		                         {.in = "<n@y>\n"});
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, "quorlin: option -a: '" + c.arg + "' " + c.why + "\n" + kUsage);
	}
	EXPECT_FALSE(sp.exists("missing"));
}

// A removal that fails for another reason than a missing file is reported
// with the ID, the path and the error; the location still counts, and the
// other files of the line are removed.
TEST(Quorlin, FailedRemovalIsReported) {
	spool sp;
	sp.write("x/y/1/inside", "article\n");  // a directory where x/y/1 is
	sp.write("q/r/3", "article\n");         // z/2 is gone already
	sp.history("history", "<x@y>\t1000~-\tx.y/1 z/2\tq.r/3\n");
	runresult r = qtest::run({"-s", sp.dir(), "-h", "history", "-l"},
	                         {.in = "<x@y>\n"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "- <x@y>\n");
	EXPECT_EQ(r.err, "warning: <x@y> unlink x/y/1: Is a directory\n");
	EXPECT_TRUE(sp.exists("x/y/1/inside"));
	EXPECT_FALSE(sp.exists("q/r/3"));
}

// Writes to the -a descriptor that fail (the reader went away, a
// descriptor open for reading only) are reported once for the run; the run
// goes on, counts, logs and keeps what it recorded.
TEST(Quorlin, FailingDescriptorIsReportedOnce) {
	const struct {
		const char *label;
		bool pipe;
		std::string error;
	} cases[] = {
	    {"closed pipe", true, "Broken pipe"},
	    {"descriptor open for reading", false, "Bad file descriptor"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		spool sp;
		sp.write("a/1", "article\n");
		sp.write("b/1", "article\n");
		sp.history("history", "<old@y>\t1000~-\ta/1\n<two@y>\t1000~-\tb/1 a/1\n");
		int fd5;
		if (c.pipe) {
			int paths[2];
			ASSERT_EQ(pipe2(paths, O_CLOEXEC), 0);
			close(paths[0]);
			fd5 = paths[1];
		} else {
			fd5 = open(sp.path("a/1").c_str(), O_RDONLY | O_CLOEXEC);
			ASSERT_GE(fd5, 0);
		}
		runresult r = qtest::run({"-s", sp.dir(), "-h", "history", "-a", "5"},
		                         {.in = "<old@y>\n<n@y>\n<two@y>\n", .fd5 = fd5});
		close(fd5);
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.out, "- <old@y>\n+ <n@y>\n- <two@y>\n");
		EXPECT_EQ(r.err, "warning: <old@y> write to descriptor 5: " + c.error + "\n");
		EXPECT_TRUE(sp.exists("a/1"));
		EXPECT_TRUE(sp.exists("b/1"));
		EXPECT_GE(sp.lookup("history", "<n@y>"), 0);
	}
}

// An index whose .dir or .pag cannot be written is refused by a run that
// may record, before it reads any input: its stores would fail while its
// history lines stay. Report-only (-d) and non-recording (-r) runs go on.
// As root, file modes do not make a file read-only, so the run is made by
// an unprivileged user then.
TEST(Quorlin, ReadOnlyIndexIsRefusedForRecording) {
	const char *const files[][2] = {{".dir", nullptr}, {".pag", nullptr},
	                                {".dir", ".pag"}};
	const struct {
		std::vector<std::string> args;
		std::string out;
	} runs[] = {
	    {{}, ""},
	    {{"-d"}, "- <x@y>\n<n@y>\tT~-\n+ <n@y>\n"},
	    {{"-r"}, "- <x@y>\n"},
	};
	const std::string history = "<x@y>\t1000~-\n";
	const std::string in = "<x@y>\n<n@y>\n";
	for (const auto &readonly : files) {
		for (const auto &run : runs) {
			std::string label = std::string(readonly[0]) +
			                    (readonly[1] ? readonly[1] : "") + " read-only, args:";
			for (const std::string &a : run.args)
				label += " " + a;
			SCOPED_TRACE(label);
			spool sp;
			sp.history("history", history);
			ASSERT_EQ(chmod(sp.dir().c_str(), 0755), 0);
			ASSERT_EQ(chmod(sp.path("history").c_str(), 0666), 0);
			ASSERT_EQ(chmod(sp.path("history.dir").c_str(), 0666), 0);
			ASSERT_EQ(chmod(sp.path("history.pag").c_str(), 0666), 0);
			for (const char *suffix : readonly) {
				if (suffix != nullptr) {
					ASSERT_EQ(chmod(sp.path(std::string("history") + suffix).c_str(), 0444), 0);
				}
			}
			const std::string pag = sp.read("history.pag");

			// Standard input is a file of our own, so that its offset
			// afterwards tells how much the run read.
			sp.write("input", in);
			int input = open(sp.path("input").c_str(), O_RDONLY | O_CLOEXEC);
			ASSERT_GE(input, 0);
			runopts opts;
			opts.beforeexec = [input] {
				if (dup2(input, STDIN_FILENO) != STDIN_FILENO)
					return false;
				return geteuid() != 0 ||
				       (setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 &&
				        setresuid(65534, 65534, 65534) == 0);
			};
			std::vector<std::string> args = {"-s", sp.dir(), "-h", "history"};
			args.insert(args.end(), run.args.begin(), run.args.end());
			runresult r = qtest::run(args, opts);
			off_t consumed = lseek(input, 0, SEEK_CUR);
			close(input);

			EXPECT_EQ(qtest::maskedtimes(r.out), run.out);
			EXPECT_EQ(sp.read("history"), history);
			EXPECT_EQ(sp.read("history.pag"), pag);
			if (run.args.empty()) {
				EXPECT_EQ(r.status, 1);
				EXPECT_EQ(r.err, "main: dbmopen: the index is read-only: history" +
				                     std::string(readonly[0]) + ": Permission denied\n");
				EXPECT_EQ(consumed, 0);
			} else {
				EXPECT_EQ(r.status, 0);
				EXPECT_EQ(r.err, "");
				EXPECT_EQ(consumed, static_cast<off_t>(in.size()));
			}
		}
	}
}

}  // namespace
