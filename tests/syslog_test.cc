// syslog_test.cc: the end-of-run summary of quorlin -l as the system log
// receives it. quorlin runs in a private mount namespace in which a
// datagram socket of the test covers /dev/log, where syslog(3) sends.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/quorlin_harness.h"

namespace {

using qtest::runopts;
using qtest::runresult;
using qtest::spool;

// Makes the calling process's /dev/log the socket at sock, in a mount
// namespace of its own. When the system has no /dev/log to cover, a
// private /dev is put in place holding the few devices a run may touch,
// bound from the real ones through stage. Returns "" or what failed. A
// user who is not root gets the rights to mount in a user namespace of its
// own, where it keeps its IDs, where the system allows that.
std::string privatedevlog(const std::string &sock, const std::string &stage) {
	auto failed = [](const char *what) { return std::string(what) + ": " + strerror(errno); };
	if (geteuid() != 0) {
		uid_t uid = geteuid();
		gid_t gid = getegid();
		if (unshare(CLONE_NEWUSER) != 0)
			return failed("unshare user namespace");
		auto put = [](const char *file, const std::string &text) {
			int fd = open(file, O_WRONLY | O_CLOEXEC);
			bool ok = fd >= 0 && write(fd, text.data(), text.size()) ==
			                         static_cast<ssize_t>(text.size());
			if (fd >= 0)
				close(fd);
			return ok;
		};
		if (!put("/proc/self/setgroups", "deny") ||
		    !put("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
		    !put("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1"))
			return failed("map the user");
	}
	if (unshare(CLONE_NEWNS) != 0)
		return failed("unshare");
	if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
		return failed("mount private");
	if (access("/dev/log", F_OK) != 0) {
		if (mount("/dev", stage.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
			return failed("bind /dev");
		if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0)
			return failed("mount tmpfs on /dev");
		for (const char *dev : {"null", "zero", "full", "random", "urandom"}) {
			std::string from = stage + "/" + dev, to = std::string("/dev/") + dev;
			if (access(from.c_str(), F_OK) != 0)
				continue;
			int fd = open(to.c_str(), O_CREAT | O_WRONLY, 0666);
			if (fd < 0)
				return failed("create device node");
			close(fd);
			if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0)
				return failed("bind device");
		}
		int fd = open("/dev/log", O_CREAT | O_WRONLY, 0666);
		if (fd < 0)
			return failed("create /dev/log");
		close(fd);
	}
	if (mount(sock.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0)
		return failed("bind /dev/log");
	return "";
}

// One logged run and the summary it must leave, or "" for none.
struct logcase {
	const char *name;
	std::vector<std::string> args;  // after "-s SPOOL -h history"
	std::string in;
	int status;
	std::string summary;
	rlim_t fsizelimit = RLIM_INFINITY;
	int stopsig = 0;  // sent once <n@y> is recorded; the input stays open
};

const std::string kId254 = "<" + std::string(252, 'a') + ">";

const std::vector<logcase> kCases = {
    {"empty input", {"-l"}, "", 0, "deleted 0 arts 0 files, added 0 arts"},
    {"cancels and records", {"-l"}, "<x@y>\n<abs@y>\n<n@y>\n<m@y>\n", 0,
     "deleted 2 arts 3 files, added 2 arts"},
    {"report only counts what it would do", {"-ld"},
     "<x@y>\n<abs@y>\n<n@y>\n<m@y>\n", 0, "deleted 2 arts 3 files, added 2 arts"},
    {"unrecorded and found derived IDs count nothing", {"-lcr"},
     "<x@y>\n<n@y>\n", 0, "deleted 1 arts 2 files, added 0 arts"},
    {"no log lines, still counted", {"-l", "-f", ""}, "<x@y>\n<n@y>\n", 0,
     "deleted 1 arts 2 files, added 1 arts"},
    {"an ID too long for the index counts as added", {"-l"}, kId254 + "\n", 0,
     "deleted 0 arts 0 files, added 1 arts"},
    {"without -l", {}, "<x@y>\n<n@y>\n", 0, ""},
    {"usage error", {"-l", "-x"}, "<n@y>\n", 1, ""},
    {"spool cannot be entered", {"-l", "-s", "/nonexistent-quorlin"}, "<n@y>\n", 1, ""},
    {"history cannot be opened", {"-l", "-h", "missing"}, "<n@y>\n", 1, ""},
    {"index cannot be opened", {"-l", "-h", "x/1"}, "<n@y>\n", 1, ""},
    {"index cannot be written back", {"-l"}, "<n@y>\n", 1, "", 4096},
    {"a run stopped by SIGTERM logs what it did", {"-l"}, "<x@y>\n<n@y>\n",
     128 + SIGTERM, "deleted 1 arts 2 files, added 1 arts", RLIM_INFINITY, SIGTERM},
    {"a run stopped by SIGHUP logs what it did", {"-l"}, "<n@y>\n", 128 + SIGHUP,
     "deleted 0 arts 0 files, added 1 arts", RLIM_INFINITY, SIGHUP},
};

void PrintTo(const logcase &c, std::ostream *os) { *os << c.name; }

class Syslog : public testing::TestWithParam<logcase> {
protected:
	void SetUp() override {
		sock_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
		ASSERT_GE(sock_, 0);
		sockaddr_un addr = {};
		addr.sun_family = AF_UNIX;
		std::string path = sp_.path("log");
		ASSERT_LT(path.size(), sizeof addr.sun_path);
		memcpy(addr.sun_path, path.c_str(), path.size() + 1);
		ASSERT_EQ(bind(sock_, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
		ASSERT_EQ(mkdir(sp_.path("stage").c_str(), 0755), 0);

		// Try the namespace once in a child of our own, to skip with the
		// reason when this system does not let us make one.
		int report[2];
		ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
		pid_t pid = fork();
		ASSERT_GE(pid, 0);
		if (pid == 0) {
			std::string why = privatedevlog(path, sp_.path("stage"));
			ssize_t ignored = write(report[1], why.data(), why.size());
			(void)ignored;
			_exit(why.empty() ? 0 : 1);
		}
		close(report[1]);
		char buf[256];
		ssize_t n = read(report[0], buf, sizeof buf);
		close(report[0]);
		int status;
		waitpid(pid, &status, 0);
		if (n > 0)
			GTEST_SKIP() << "no private mount namespace: " << std::string(buf, n);
	}

	void TearDown() override {
		if (sock_ >= 0)
			close(sock_);
	}

	// Every datagram that has reached the socket. A run's datagrams are
	// queued by the time it has exited, so nothing needs waiting for.
	std::vector<std::string> received() {
		std::vector<std::string> got;
		char buf[2048];
		ssize_t n;
		while ((n = recv(sock_, buf, sizeof buf, MSG_DONTWAIT)) >= 0)
			got.emplace_back(buf, static_cast<size_t>(n));
		EXPECT_EQ(errno, EAGAIN);
		return got;
	}

	spool sp_;
	int sock_ = -1;
};

TEST_P(Syslog, Summary) {
	const logcase &c = GetParam();
	sp_.write("x/1", "article\n");
	sp_.write("z/2", "article\n");
	sp_.write("ok/1", "article\n");
	sp_.history("history",
	            "<x@y>\t1000~-\tx/1 z/2\n"
	            "<cancel.x@y>\t1000~-\tz/2\n"
	            "<abs@y>\t1000~-\t/nonexistent-quorlin/1 ok/1\n");
	std::vector<std::string> args = {"-s", sp_.dir(), "-h", "history"};
	args.insert(args.end(), c.args.begin(), c.args.end());
	std::string sock = sp_.path("log"), stage = sp_.path("stage");
	runopts opts;
	opts.in = c.in;
	opts.fsizelimit = c.fsizelimit;
	std::string history = sp_.path("history");
	opts.inchild = [&] {
		if (!privatedevlog(sock, stage).empty())
			return false;
		if (c.stopsig == 0)
			return true;
		// A helper of the run's own sends the signal once <n@y> is in the
		// history, while the run waits for more input.
		pid_t run = getpid();
		pid_t helper = fork();
		if (helper == 0) {
			for (int i = 0; i < 2000; i++) {
				int fd = open(history.c_str(), O_RDONLY);
				char buf[4096];
				ssize_t n = fd >= 0 ? read(fd, buf, sizeof buf) : -1;
				if (fd >= 0)
					close(fd);
				if (n > 0 && memmem(buf, static_cast<size_t>(n), "<n@y>", 5) != nullptr) {
					kill(run, c.stopsig);
					_exit(0);
				}
				usleep(10000);
			}
			_exit(1);
		}
		return helper > 0;
	};
	if (c.stopsig != 0) {
		// The input stays open until the summary has come: only the signal
		// can end the run.
		opts.feed = [&](int in) {
			ASSERT_EQ(write(in, c.in.data(), c.in.size()), static_cast<ssize_t>(c.in.size()));
			struct pollfd p = {sock_, POLLIN, 0};
			EXPECT_EQ(poll(&p, 1, 20000), 1) << "no summary within 20 s";
		};
	}
	runresult r = qtest::run(args, opts);
	EXPECT_EQ(r.status, c.status) << r.err;

	std::vector<std::string> got = received();
	if (c.summary.empty()) {
		EXPECT_TRUE(got.empty()) << got.front();
		return;
	}
	ASSERT_EQ(got.size(), 1u);
	// "<priority>Mmm dd hh:mm:ss quorlin: text"
	std::regex shape("<" + std::to_string(LOG_NEWS | LOG_NOTICE) +
	                 ">[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} "
	                 "quorlin: " + c.summary);
	EXPECT_TRUE(std::regex_match(got[0], shape)) << got[0];
}

INSTANTIATE_TEST_SUITE_P(Quorlin, Syslog, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<logcase> &info) {
	                         std::string n;
	                         for (const char *c = info.param.name; *c; c++)
		                         n += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
	                         return n;
                         });

}  // namespace
