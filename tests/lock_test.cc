// lock_test.cc: the history lock between real processes: who excludes whom,
// the one waiting message, the time limit, signals that end the wait, and a
// history replaced while a process waits for it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/lock.h"

namespace {

namespace fs = std::filesystem;
using common::lockmode;

// Every wait in these tests ends by itself: a child that is not done after
// this long is killed, and the test fails.
constexpr int kLimitMillis = 20000;

// Exit statuses of a child that called lockhistory().
enum : int { kLocked = 0, kTimedOut = 2, kInterrupted = 3, kFailed = 4 };

int outcome(int r) {
	if (r == 0)
		return kLocked;
	return errno == ETIMEDOUT ? kTimedOut : errno == EINTR ? kInterrupted : kFailed;
}

// Reads from fd into *text until it holds want or the time is up.
bool readuntil(int fd, const std::string &want, std::string *text) {
	for (int waited = 0; text->find(want) == std::string::npos; waited += 50) {
		if (waited >= kLimitMillis)
			return false;
		struct pollfd p = {fd, POLLIN, 0};
		if (poll(&p, 1, 50) <= 0)
			continue;
		char buf[512];
		ssize_t n = read(fd, buf, sizeof buf);
		if (n <= 0)
			return false;
		text->append(buf, static_cast<size_t>(n));
	}
	return true;
}

// Waits for pid to end; kills it if it does not within the limit. Returns
// its exit status, 128 + the signal that ended it, or -1 when it had to be
// killed.
int finish(pid_t pid) {
	for (int waited = 0; waited < kLimitMillis; waited += 10) {
		int st;
		if (waitpid(pid, &st, WNOHANG) == pid)
			return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
		struct timespec ts = {0, 10'000'000};
		nanosleep(&ts, nullptr);
	}
	kill(pid, SIGKILL);
	waitpid(pid, nullptr, 0);
	return -1;
}

// A process that takes the lock, reports it on a pipe and holds the lock
// until the test releases it.
struct holder {
	pid_t pid = -1;
	int release = -1;  // closing it releases the lock

	bool start(const std::string &history, lockmode mode) {
		int up[2], down[2];
		if (pipe(up) != 0 || pipe(down) != 0)
			return false;
		pid = fork();
		if (pid == 0) {
			close(up[0]);
			close(down[1]);
			common::histlock lk;
			if (common::lockhistory(&lk, history.c_str(), mode, 0, "holder") != 0)
				_exit(1);
			if (write(up[1], "L", 1) != 1)
				_exit(1);
			char c;
			while (read(down[0], &c, 1) > 0) {
			}
			_exit(0);
		}
		close(up[1]);
		close(down[0]);
		release = down[1];
		std::string got;
		bool ok = readuntil(up[0], "L", &got);
		close(up[0]);
		return ok;
	}
	int stop() {
		close(release);
		return finish(pid);
	}
};

// A process that asks for the lock with its standard error on a pipe.
struct waiter {
	pid_t pid = -1;
	int err = -1;
	std::string said;

	// inchild runs in the child before it asks for the lock.
	void start(const std::string &history, lockmode mode, int seconds,
	           void (*inchild)() = nullptr) {
		int p[2];
		ASSERT_EQ(pipe(p), 0);
		pid = fork();
		if (pid == 0) {
			dup2(p[1], 2);
			// Holders' pipes too: only the holder may keep its lock.
			for (int fd = 3; fd < 1024; fd++)
				close(fd);
			if (inchild != nullptr)
				inchild();
			common::histlock lk;
			int r = common::lockhistory(&lk, history.c_str(), mode, seconds, "waiter");
			int status = outcome(r);
			// Report which file is locked: its inode.
			struct stat st;
			if (r == 0 && fstat(lk.fd, &st) == 0)
				fprintf(stderr, "inode %llu\n", static_cast<unsigned long long>(st.st_ino));
			_exit(status);
		}
		close(p[1]);
		err = p[0];
	}
	bool sees(const std::string &text) { return readuntil(err, text, &said); }
	int end() {
		int status = finish(pid);
		char buf[512];
		ssize_t n;
		while ((n = read(err, buf, sizeof buf)) > 0)
			said.append(buf, static_cast<size_t>(n));
		close(err);
		return status;
	}
};

class LockTest : public ::testing::Test {
protected:
	void SetUp() override {
		char tmpl[] = "/tmp/lock_test.XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir_ = tmpl;
		hist_ = dir_ + "/history";
		std::ofstream(hist_) << "<a@b>\t1~-\n";
	}
	void TearDown() override { fs::remove_all(dir_); }

	// h holds the exclusive lock and w waits for it as long as it takes,
	// having said so.
	void contend(holder *h, waiter *w, void (*inchild)() = nullptr) {
		ASSERT_TRUE(h->start(hist_, lockmode::exclusive));
		w->start(hist_, lockmode::exclusive, -1, inchild);
		ASSERT_TRUE(w->sees("waiter: " + hist_ + ": waiting for the lock (held by process " +
		                    std::to_string(h->pid) + ")\n"))
		    << w->said;
	}

	std::string dir_, hist_;
};

// Who can hold the lock alongside whom, asked without waiting.
TEST_F(LockTest, SharedHoldersExcludeOnlyExclusiveOnes) {
	const struct {
		lockmode held, asked;
		int status;
	} cases[] = {
	    {lockmode::shared, lockmode::shared, kLocked},
	    {lockmode::shared, lockmode::exclusive, kTimedOut},
	    {lockmode::shared, lockmode::replace, kTimedOut},
	    {lockmode::exclusive, lockmode::shared, kTimedOut},
	    {lockmode::exclusive, lockmode::exclusive, kTimedOut},
	    {lockmode::replace, lockmode::exclusive, kTimedOut},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::Message() << "held " << static_cast<int>(c.held)
		                                << ", asked " << static_cast<int>(c.asked));
		holder h;
		ASSERT_TRUE(h.start(hist_, c.held));
		waiter w;
		w.start(hist_, c.asked, 0);
		EXPECT_EQ(w.end(), c.status);
		if (c.status == kTimedOut)
			EXPECT_EQ(w.said, "waiter: " + hist_ + ": locked (held by process " +
			                      std::to_string(h.pid) + "); giving up\n");
		else
			EXPECT_EQ(w.said.find("waiter:"), std::string::npos) << w.said;
		EXPECT_EQ(h.stop(), 0);
	}
}

TEST_F(LockTest, WaitsWithOneMessageUntilTheHolderLetsGo) {
	holder h;
	waiter w;
	ASSERT_NO_FATAL_FAILURE(contend(&h, &w));
	EXPECT_EQ(h.stop(), 0);
	EXPECT_EQ(w.end(), kLocked);
	EXPECT_EQ(w.said.find("waiter:"), w.said.rfind("waiter:")) << "said once: " << w.said;
}

TEST_F(LockTest, GivesUpAfterTheTimeGiven) {
	holder h;
	ASSERT_TRUE(h.start(hist_, lockmode::shared));
	waiter w;
	w.start(hist_, lockmode::exclusive, 1);
	EXPECT_EQ(w.end(), kTimedOut);
	const std::string who = "(held by process " + std::to_string(h.pid) + ")";
	EXPECT_EQ(w.said, "waiter: " + hist_ + ": waiting for the lock " + who + "\n" +
	                      "waiter: " + hist_ + ": still locked after 1 seconds " + who +
	                      "; giving up\n");
	EXPECT_EQ(h.stop(), 0);
}

void onterm(int) {}

// A signal ends the wait: with a handler, lockhistory() returns EINTR (the
// handler is installed with SA_RESTART, which must not matter); with the
// default action the process dies of it.
TEST_F(LockTest, ASignalEndsTheWait) {
	const struct {
		const char *name;
		void (*inchild)();
		int status;
	} cases[] = {
	    {"caught",
	     [] {
		     struct sigaction sa = {};
		     sa.sa_handler = onterm;
		     sa.sa_flags = SA_RESTART;
		     sigaction(SIGTERM, &sa, nullptr);
	     },
	     kInterrupted},
	    {"default", nullptr, 128 + SIGTERM},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		holder h;
		waiter w;
		ASSERT_NO_FATAL_FAILURE(contend(&h, &w, c.inchild));
		kill(w.pid, SIGTERM);
		EXPECT_EQ(w.end(), c.status);
		EXPECT_EQ(w.said.find("giving up"), std::string::npos) << w.said;
		EXPECT_EQ(h.stop(), 0);
	}
}

// A history replaced while a process waits (rotated, say) is locked anew:
// the lock ends up on the file the name stands for when it is granted.
TEST_F(LockTest, AReplacedHistoryIsLockedAgain) {
	holder h;
	waiter w;
	ASSERT_NO_FATAL_FAILURE(contend(&h, &w));
	std::ofstream(hist_ + ".next") << "<c@d>\t2~-\n";
	fs::rename(hist_ + ".next", hist_);
	struct stat st;
	ASSERT_EQ(stat(hist_.c_str(), &st), 0);
	EXPECT_EQ(h.stop(), 0);
	EXPECT_EQ(w.end(), kLocked);
	EXPECT_NE(w.said.find("inode " + std::to_string(st.st_ino) + "\n"), std::string::npos)
	    << w.said;
}

TEST_F(LockTest, AMissingHistoryIsAFailure) {
	waiter w;
	w.start(dir_ + "/none", lockmode::shared, -1);
	EXPECT_EQ(w.end(), kFailed);
	EXPECT_EQ(w.said, "waiter: " + dir_ + "/none: No such file or directory\n");
}

}  // namespace
