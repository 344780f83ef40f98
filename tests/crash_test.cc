// crash_test.cc: quorlin runs that overlap, are stopped by signals or
// killed, and dbz repair after them: real processes, real signals, and the
// history and index they leave, judged by dbz check.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <csignal>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/quorlin_harness.h"

namespace {

using qtest::spool;
using namespace std::chrono_literals;

// A program started in the background. Standard input is a pipe (in) or a
// file; standard output and standard error go to files of the spool.
struct child {
	pid_t pid = -1;
	int in = -1;  // the write end of the input pipe, or -1
	std::string out, err;
};

child start(const spool &sp, const std::string &name,
            const std::vector<std::string> &args, const std::string &infile = "") {
	child c;
	c.out = sp.path(name + ".out");
	c.err = sp.path(name + ".err");
	int p[2] = {-1, -1};
	if (infile.empty() && pipe2(p, O_CLOEXEC) != 0)
		throw std::runtime_error("pipe failed");
	std::vector<std::string> copy = args;
	std::vector<char *> argv;
	for (std::string &a : copy)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	c.pid = fork();
	if (c.pid < 0)
		throw std::runtime_error("fork failed");
	if (c.pid == 0) {
		int in = infile.empty() ? p[0] : open(infile.c_str(), O_RDONLY);
		int out = open(c.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		int err = open(c.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
		    dup2(err, 2) < 0)
			_exit(126);
		// The test's own handlers and mask are not the child's.
		sigset_t none;
		sigemptyset(&none);
		sigprocmask(SIG_SETMASK, &none, nullptr);
		execv(argv[0], argv.data());
		_exit(127);
	}
	if (p[0] >= 0) {
		close(p[0]);
		c.in = p[1];
	}
	return c;
}

// Waits at most limit for the child to end and returns its exit status, or
// 128 + the signal that ended it; kills it and returns -1 when it does not
// end in time.
int finish(child &c, std::chrono::milliseconds limit = 60s) {
	if (c.in >= 0) {
		close(c.in);
		c.in = -1;
	}
	auto deadline = std::chrono::steady_clock::now() + limit;
	for (;;) {
		int ws;
		pid_t r = waitpid(c.pid, &ws, WNOHANG);
		if (r == c.pid)
			return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
		if (std::chrono::steady_clock::now() > deadline) {
			kill(c.pid, SIGKILL);
			waitpid(c.pid, &ws, 0);
			return -1;
		}
		std::this_thread::sleep_for(10ms);
	}
}

std::string quorlin() { return QUORLIN_BIN_DIR "/quorlin"; }
std::string dbz() { return QUORLIN_BIN_DIR "/dbz"; }

// Runs a dbz command to its end and returns its status; its standard
// output goes to *out.
int dbzrun(const spool &sp, const std::vector<std::string> &args,
           std::string *out = nullptr) {
	std::vector<std::string> argv = {dbz()};
	argv.insert(argv.end(), args.begin(), args.end());
	child c = start(sp, "dbz", argv, "/dev/null");
	int status = finish(c);
	if (out != nullptr)
		*out = sp.read("dbz.out") + sp.read("dbz.err");
	return status;
}

// Blocks until the file at path has at least n lines, for at most limit.
// (quorlin's log lines are buffered: its history shows how far it got.)
bool awaitlines(const std::string &path, size_t n, std::chrono::milliseconds limit = 20s) {
	auto deadline = std::chrono::steady_clock::now() + limit;
	while (std::chrono::steady_clock::now() < deadline) {
		int fd = open(path.c_str(), O_RDONLY);
		if (fd >= 0) {
			size_t lines = 0;
			char buf[65536];
			ssize_t got;
			while ((got = read(fd, buf, sizeof buf)) > 0)
				lines += static_cast<size_t>(std::count(buf, buf + got, '\n'));
			close(fd);
			if (lines >= n)
				return true;
		}
		std::this_thread::sleep_for(5ms);
	}
	return false;
}

void writeall(int fd, const std::string &s) {
	ASSERT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
}

std::string ids(const std::string &prefix, int from, int to) {
	std::string s;
	for (int i = from; i < to; i++)
		s += "<" + prefix + std::to_string(i) + "@Host.example>\n";
	return s;
}

// A history of n old lines (stamped long ago), indexed.
std::string oldhistory(int n) {
	std::string h;
	for (int i = 0; i < n; i++)
		h += "<old" + std::to_string(i) + "@host>\t1000~-\tg/" + std::to_string(i) + "\n";
	return h;
}

// The IDs of the history's lines, with the number of lines of each; fails
// the test for every line that is not an intact line as quorlin writes it.
std::map<std::string, int> intactlines(const std::string &history, const std::string &prefix) {
	static const std::regex line("(<[^\t\n]+>)\t[0-9]+~-(\t[^\n]*)?");
	std::map<std::string, int> seen;
	size_t at = 0;
	while (at < history.size()) {
		size_t nl = history.find('\n', at);
		EXPECT_NE(nl, std::string::npos) << "the history ends in a partial line";
		if (nl == std::string::npos)
			break;
		std::string l = history.substr(at, nl - at);
		std::smatch m;
		EXPECT_TRUE(std::regex_match(l, m, line)) << "garbled line at " << at << ": " << l;
		if (!m.empty() && m[1].str().compare(1, prefix.size(), prefix) == 0)
			seen[m[1].str()]++;
		at = nl + 1;
	}
	return seen;
}

void expectclean(const spool &sp) {
	std::string out;
	EXPECT_EQ(dbzrun(sp, {"check", sp.path("history")}, &out), 0) << out;
	EXPECT_NE(out.find("index and history agree"), std::string::npos) << out;
}

// Several runs at once on one history, each with IDs that the others have
// too: every ID gets one intact line, and the index agrees with the
// history.
TEST(Overlap, ConcurrentRecordingRunsLeaveOneLinePerId) {
	spool sp;
	sp.history("history", oldhistory(100), 100003);
	constexpr int kRuns = 3, kStep = 10000, kEach = 20000;
	std::vector<child> runs;
	for (int r = 0; r < kRuns; r++) {
		// Each run's IDs overlap the next run's by half.
		sp.write("in" + std::to_string(r), ids("n", r * kStep, r * kStep + kEach));
		runs.push_back(start(sp, "run" + std::to_string(r),
		                     {quorlin(), "-s", sp.dir(), "-h", "history"},
		                     sp.path("in" + std::to_string(r))));
	}
	for (child &c : runs)
		EXPECT_EQ(finish(c), 0) << sp.read("run0.err") << sp.read("run1.err");
	std::map<std::string, int> seen = intactlines(sp.read("history"), "n");
	EXPECT_EQ(seen.size(), static_cast<size_t>((kRuns - 1) * kStep + kEach));
	for (auto &[id, n] : seen)
		EXPECT_EQ(n, 1) << id;
	expectclean(sp);
}

// Blocks until the file at path holds text, for at most limit.
bool awaittext(const std::string &path, const std::string &text,
               std::chrono::milliseconds limit = 20s) {
	auto deadline = std::chrono::steady_clock::now() + limit;
	while (std::chrono::steady_clock::now() < deadline) {
		std::ifstream f(path);
		std::stringstream s;
		s << f.rdbuf();
		if (s.str().find(text) != std::string::npos)
			return true;
		std::this_thread::sleep_for(5ms);
	}
	return false;
}

// A recording run waits for the history's lock, saying so once; it goes on
// when the lock is released, and a stop signal ends the wait with that
// signal. A report-only run does not wait.
TEST(Lock, RecordingRunWaitsForTheLock) {
	for (bool released : {true, false}) {
		SCOPED_TRACE(released ? "released" : "stopped by SIGTERM");
		spool sp;
		std::string h = oldhistory(5);
		sp.history("history", h);
		int holder = open(sp.path("history").c_str(), O_RDONLY | O_CLOEXEC);
		ASSERT_GE(holder, 0);
		ASSERT_EQ(flock(holder, LOCK_EX), 0);

		qtest::runresult d = qtest::run({"-s", sp.dir(), "-h", "history", "-d"},
		                                {.in = "<old1@host>\n"});
		EXPECT_EQ(d.status, 0);
		EXPECT_EQ(d.out, "unlink g/1\n- <old1@host>\n");

		child c = start(sp, "run", {quorlin(), "-s", sp.dir(), "-h", "history"});
		writeall(c.in, "<n@y>\n");
		ASSERT_TRUE(awaittext(c.err, "waiting for the lock"));
		std::this_thread::sleep_for(300ms);
		EXPECT_EQ(sp.read("history"), h) << "appended without the lock";
		if (released) {
			close(holder);
			EXPECT_EQ(finish(c), 0);
			EXPECT_EQ(qtest::maskedtimes(sp.read("history")), h + "<n@y>\tT~-\n");
		} else {
			kill(c.pid, SIGTERM);
			EXPECT_EQ(finish(c, 10s), 128 + SIGTERM);
			close(holder);
			EXPECT_EQ(sp.read("history"), h);
		}
		EXPECT_EQ(sp.read("run.err"),
		          "main: lock: history: waiting for the lock (held by process " +
		              std::to_string(getpid()) + ")\n");
	}
}

// A stop signal ends the run after the ID at hand, whether the run is busy
// or waiting for input: what it recorded is in the index, and it dies of
// the signal.
struct stopcase {
	int sig;
	bool waiting;  // sent while the run waits for more input
};

class Stop : public testing::TestWithParam<stopcase> {};

TEST_P(Stop, RunEndsCleanlyAndDiesOfTheSignal) {
	const stopcase &p = GetParam();
	spool sp;
	sp.history("history", oldhistory(10), 400009);
	child c;
	if (p.waiting) {
		c = start(sp, "run", {quorlin(), "-s", sp.dir(), "-h", "history", "-l"});
		writeall(c.in, ids("n", 0, 500));
		ASSERT_TRUE(awaitlines(sp.path("history"), 510));
	} else {
		sp.write("in", ids("n", 0, 200000));
		c = start(sp, "run", {quorlin(), "-s", sp.dir(), "-h", "history", "-l"},
		          sp.path("in"));
		ASSERT_TRUE(awaitlines(sp.path("history"), 11));
	}
	ASSERT_EQ(kill(c.pid, p.sig), 0);
	EXPECT_EQ(finish(c, 30s), 128 + p.sig);
	EXPECT_EQ(sp.read("run.err"), "");
	std::string out = sp.read("run.out");
	std::map<std::string, int> seen = intactlines(sp.read("history"), "n");
	// Every log line printed is a recorded ID, and the other way round.
	EXPECT_EQ(static_cast<size_t>(std::count(out.begin(), out.end(), '\n')), seen.size());
	if (p.waiting)
		EXPECT_EQ(seen.size(), 500u);
	else
		EXPECT_LT(seen.size(), 200000u) << "the signal came too late to test anything";
	expectclean(sp);
}

INSTANTIATE_TEST_SUITE_P(
    Quorlin, Stop,
    testing::Values(stopcase{SIGINT, true}, stopcase{SIGTERM, true},
                    stopcase{SIGHUP, true}, stopcase{SIGINT, false},
                    stopcase{SIGTERM, false}, stopcase{SIGHUP, false}),
    [](const testing::TestParamInfo<stopcase> &info) {
	    return std::string(strsignal(info.param.sig)).substr(0, 4) +
	           (info.param.waiting ? "_waiting" : "_busy") + std::to_string(info.index);
    });

// A file-size limit shows as a failed append, reported, not as a run
// killed by SIGXFSZ.
TEST(Quorlin, FileSizeLimitIsAFailedWriteNotADeath) {
	spool sp;
	sp.history("history", oldhistory(10), 11);
	sp.write("in", "<n@y>\n");
	struct stat st;
	ASSERT_EQ(stat(sp.path("history").c_str(), &st), 0);
	qtest::runopts opts;
	opts.in = "<n@y>\n";
	opts.beforeexec = [size = st.st_size] {
		signal(SIGXFSZ, SIG_DFL);
		struct rlimit r = {static_cast<rlim_t>(size), static_cast<rlim_t>(size)};
		return setrlimit(RLIMIT_FSIZE, &r) == 0;
	};
	qtest::runresult r = qtest::run({"-s", sp.dir(), "-h", "history"}, opts);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "fflush: File too large\n");
	EXPECT_EQ(r.out, "");
}

// Bytes that the program traced in log read from the file at path.
int64_t bytesread(const std::string &log, const std::string &path) {
	static const std::regex call("^[0-9]+ +(read|pread64)\\([0-9]+<([^>]*)>.*= ([0-9]+)$");
	int64_t total = 0;
	size_t at = 0;
	while (at < log.size()) {
		size_t nl = log.find('\n', at);
		std::string l = log.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
		std::smatch m;
		if (std::regex_match(l, m, call) && m[2] == path)
			total += std::stoll(m[3]);
		at = nl == std::string::npos ? log.size() : nl + 1;
	}
	return total;
}

// kill -9 at random points of a recording run, fed without end, before
// and after its first checkpoints: dbz repair then stores what the run left
// unindexed, and the index agrees with the history.
TEST(Crash, KillAtRandomPointsThenRepair) {
	signal(SIGPIPE, SIG_IGN);
	std::mt19937 rng(20261211);
	for (int round = 0; round < 4; round++) {
		int ms = 50 + static_cast<int>(rng() % 6500);
		SCOPED_TRACE("killed after " + std::to_string(ms) + " ms");
		spool sp;
		sp.history("history", oldhistory(1000), 300007);
		child c = start(sp, "run", {quorlin(), "-s", sp.dir(), "-h", "history"});
		std::atomic<bool> done = false;
		std::thread feeder([&] {
			for (int i = 0; !done; i += 1000) {
				std::string chunk = ids("n", i, i + 1000);
				if (write(c.in, chunk.data(), chunk.size()) < 0)
					break;
				std::this_thread::sleep_for(50ms);
			}
		});
		std::this_thread::sleep_for(std::chrono::milliseconds(ms));
		kill(c.pid, SIGKILL);
		done = true;
		feeder.join();  // its write fails once the run is gone
		int status = finish(c);
		EXPECT_EQ(status, 128 + SIGKILL);
		std::string out;
		EXPECT_EQ(dbzrun(sp, {"repair", sp.path("history")}, &out), 0) << out;
		expectclean(sp);
	}
}

// After a small loss in a large history, repair reads the tail that the
// crash can have left unindexed, not the history.
TEST(Crash, RepairReadsOnlyTheTail) {
	if (system("strace -o /dev/null true >/dev/null 2>&1") != 0)
		GTEST_SKIP() << "strace is not installed or may not trace here";
	spool sp;
	sp.history("history", oldhistory(100000), 200003);  // about 2.4 MB
	child c = start(sp, "run", {quorlin(), "-s", sp.dir(), "-h", "history"});
	writeall(c.in, ids("n", 0, 300));
	ASSERT_TRUE(awaitlines(sp.path("history"), 100300));
	// Within the first checkpoint interval: nothing is written back yet.
	kill(c.pid, SIGKILL);
	EXPECT_EQ(finish(c), 128 + SIGKILL);
	std::string lost;
	for (int i = 0; i < 300; i += 50)
		if (sp.lookup("history", "<n" + std::to_string(i) + "@Host.example>") < 0)
			lost += ".";
	EXPECT_FALSE(lost.empty()) << "the kill lost nothing; nothing to repair";

	std::string log = sp.path("strace.log");
	// LeakSanitizer cannot work under a tracer.
	const char *asan = getenv("ASAN_OPTIONS");
	std::string saved = asan != nullptr ? asan : "";
	setenv("ASAN_OPTIONS", (saved + ":detect_leaks=0").c_str(), 1);
	child r = start(sp, "repair",
	                {"/usr/bin/strace", "-f", "-y", "-e", "trace=read,pread64", "-o", log,
	                 dbz(), "repair", sp.path("history")},
	                "/dev/null");
	if (asan != nullptr)
		setenv("ASAN_OPTIONS", saved.c_str(), 1);
	else
		unsetenv("ASAN_OPTIONS");
	ASSERT_EQ(finish(r), 0) << sp.read("repair.err");
	EXPECT_NE(sp.read("repair.out").find(" stored\n"), std::string::npos);
	struct stat st;
	ASSERT_EQ(stat(sp.path("history").c_str(), &st), 0);
	int64_t read = bytesread(sp.read("strace.log"), sp.path("history"));
	EXPECT_GT(read, 0) << "no reads of the history traced";
	EXPECT_LT(read, st.st_size / 8) << "of " << st.st_size << " bytes";
	expectclean(sp);
}

// A slow feeder, killed after 8 s: the IDs of its first seconds were
// written back by a checkpoint and are in the index without any repair.
TEST(Crash, CheckpointKeepsTheFirstSecondsOfASlowFeeder) {
	spool sp;
	sp.history("history", oldhistory(10), 1009);
	child c = start(sp, "run", {quorlin(), "-s", sp.dir(), "-h", "history"});
	auto begin = std::chrono::steady_clock::now();
	int fed = 0, early = 0;
	while (std::chrono::steady_clock::now() - begin < 8s) {
		writeall(c.in, ids("n", fed, fed + 1));
		fed++;
		if (std::chrono::steady_clock::now() - begin < 2s)
			early = fed;
		std::this_thread::sleep_for(100ms);
	}
	ASSERT_TRUE(awaitlines(sp.path("history"), static_cast<size_t>(10 + fed)));
	kill(c.pid, SIGKILL);
	EXPECT_EQ(finish(c), 128 + SIGKILL);
	ASSERT_GT(early, 5);
	for (int i = 0; i < early; i++) {
		std::string id = "<n" + std::to_string(i) + "@Host.example>";
		EXPECT_GE(sp.lookup("history", id), 0) << id;
	}
}

// The start-up check of the history's last lines: a history whose last
// IDs the index lacks gets a warning naming dbz repair, and the run goes on.
// dbz repair then stores them: the lines stamped after the index was last
// written back, or with -a every line.
TEST(Repair, StartUpWarnsAndRepairStoresTheLostLines) {
	for (bool stampednow : {true, false}) {
		SCOPED_TRACE(stampednow ? "stamped now" : "stamped long ago");
		spool sp;
		std::string h = oldhistory(20);
		sp.history("history", h);
		std::string t = stampednow ? std::to_string(time(nullptr)) : "2000";
		int fd = open(sp.path("history").c_str(), O_WRONLY | O_APPEND);
		ASSERT_GE(fd, 0);
		writeall(fd, "<lost1@host>\t" + t + "~-\n<lost2@host>\t" + t + "~-\n");
		close(fd);
		for (const char *flag : {"", "-r"}) {
			std::vector<std::string> args = {"-s", sp.dir(), "-h", "history"};
			if (*flag)
				args.push_back(flag);
			qtest::runresult r = qtest::run(args, {.in = "<old3@host>\n"});
			EXPECT_EQ(r.status, 0);
			EXPECT_EQ(r.out, "- <old3@host>\n");
			EXPECT_EQ(r.err, std::string("warning: the index lacks 2 of the last 8 IDs of "
			                             "history: run \"dbz repair ") +
			                     (*flag ? "history\"\n" : "-a history\" after this run\n"));
		}
		std::string out, base = sp.path("history");
		EXPECT_EQ(dbzrun(sp, {"repair", base}, &out), 0);
		if (stampednow) {
			EXPECT_EQ(out, base + ": 2 lines from offset " + std::to_string(h.size()) +
			                   " looked up, 2 stored\n");
		} else {
			EXPECT_EQ(out, base + ": 0 lines from offset " + std::to_string(h.size() + 40) +
			                   " looked up, 0 stored\n");
			EXPECT_EQ(dbzrun(sp, {"repair", "-a", base}, &out), 0);
			EXPECT_EQ(out, base + ": 22 lines from offset 0 looked up, 2 stored\n");
		}
		qtest::runresult r = qtest::run({"-s", sp.dir(), "-h", "history"}, {.in = ""});
		EXPECT_EQ(r.err, "");
		expectclean(sp);
	}
}

}  // namespace
