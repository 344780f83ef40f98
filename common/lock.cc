// lock.cc: the history lock: flock(2) on the history file, waited for with
// one message, a time limit and signals that end the wait.
#include "common/lock.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/commit.h"
#include "common/report.h"

namespace common {

namespace {

// How often a waiting process tries the lock again: from kFirstPoll,
// doubling up to kLongestPoll. The wait polls rather than blocks in
// flock() so that a time limit needs no timer and a caught signal ends it
// whatever the handler's SA_RESTART: signals are blocked but while ppoll()
// sleeps, so that none can slip in between two tries unnoticed.
constexpr long kFirstPollNanos = 5'000'000;
constexpr long kLongestPollNanos = 100'000'000;

// Locking again after the history was replaced under us: more than this
// many replacements in a row is a fight, not a rotation.
constexpr int kRelockLimit = 100;

double now() {
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The process that holds a lock on the file open at fd, from /proc/locks
// where the system has it; 0 when it cannot be told. Only for messages.
long holder(int fd) {
	struct stat st;
	if (fstat(fd, &st) != 0)
		return 0;
	FILE *f = fopen("/proc/locks", "re");
	if (f == nullptr)
		return 0;
	char line[256];
	long found = 0, byinode = 0;
	int byinodecount = 0;
	while (fgets(line, sizeof line, f) != nullptr) {
		// "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; waiters
		// are listed with "->" after the number and hold nothing.
		char kind[16], pidtext[16], dev[64];
		unsigned maj, min;
		unsigned long long ino;
		if (strstr(line, "->") != nullptr ||
		    sscanf(line, "%*d: %15s %*s %*s %15s %63s", kind, pidtext, dev) != 3 ||
		    strcmp(kind, "FLOCK") != 0 ||
		    sscanf(dev, "%x:%x:%llu", &maj, &min, &ino) != 3 ||
		    ino != static_cast<unsigned long long>(st.st_ino))
			continue;
		long pid = strtol(pidtext, nullptr, 10);
		if (pid == getpid())
			continue;
		if (maj == major(st.st_dev) && min == minor(st.st_dev))
			found = pid;
		byinode = pid;
		byinodecount++;
	}
	fclose(f);
	// Some file systems (overlays) show another device number there.
	return found != 0 ? found : byinodecount == 1 ? byinode : 0;
}

void describeholder(int fd, char *text, size_t size) {
	long pid = holder(fd);
	if (pid > 0)
		snprintf(text, size, "held by process %ld", pid);
	else
		snprintf(text, size, "held by another process");
}

// Opens history and locks it with op (LOCK_SH or LOCK_EX), waiting until
// deadline (< 0: no limit). *told says whether the waiting message was
// printed already. Signals are blocked on entry; awake is the mask to
// sleep with. Returns the descriptor, or -1 with errno set and, but for
// EINTR, the cause printed.
int acquire(const char *history, int op, int seconds, double deadline,
            bool *told, const char *prefix, const sigset_t *awake) {
	for (int attempt = 0;; attempt++) {
		int fd = open(history, O_RDONLY | O_CLOEXEC | O_NOCTTY);
		if (fd < 0) {
			reportsys(errno, prefix, "%s", history);
			return -1;
		}
		long pause = kFirstPollNanos;
		while (flock(fd, op | LOCK_NB) != 0) {
			int e = errno;
			if (e != EWOULDBLOCK && e != EINTR) {
				reportsys(e, prefix, "%s: lock", history);
				close(fd);
				errno = e;
				return -1;
			}
			if (e == EWOULDBLOCK) {
				double left = deadline - now();
				if (seconds >= 0 && left <= 0) {
					char who[64];
					describeholder(fd, who, sizeof who);
					if (seconds == 0)
						report(prefix, "%s: locked (%s); giving up", history, who);
					else
						report(prefix, "%s: still locked after %d seconds (%s); "
						       "giving up",
						       history, seconds, who);
					close(fd);
					errno = ETIMEDOUT;
					return -1;
				}
				if (!*told) {
					char who[64];
					describeholder(fd, who, sizeof who);
					report(prefix, "%s: waiting for the lock (%s)", history, who);
					*told = true;
				}
				struct timespec ts = {0, pause};
				if (seconds >= 0 && left < static_cast<double>(pause) / 1e9)
					ts.tv_nsec = static_cast<long>(left * 1e9) + 1;
				pause = pause * 2 > kLongestPollNanos ? kLongestPollNanos : pause * 2;
				if (ppoll(nullptr, 0, &ts, awake) == 0)
					continue;
			}
			// A caught signal ends the wait; the caller acts on it.
			close(fd);
			errno = EINTR;
			return -1;
		}
		// The lock is on the file that was opened; the path must still
		// name it, or a replaced history would be written unlocked.
		struct stat locked, named;
		if (fstat(fd, &locked) != 0) {
			reportsys(errno, prefix, "%s", history);
			close(fd);
			return -1;
		}
		if (stat(history, &named) == 0 && named.st_dev == locked.st_dev &&
		    named.st_ino == locked.st_ino)
			return fd;
		close(fd);
		if (attempt == kRelockLimit) {
			report(prefix, "%s: replaced again and again while being locked; "
			       "giving up",
			       history);
			errno = EAGAIN;
			return -1;
		}
	}
}

// Blocks every signal that can be blocked and is not a fault, for
// acquire(); *old gets the mask to sleep with and to restore.
void blockall(sigset_t *old) {
	sigset_t all;
	sigfillset(&all);
	for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS})
		sigdelset(&all, sig);
	sigprocmask(SIG_BLOCK, &all, old);
}

int lockfor(histlock *lk, const char *history, lockmode mode, int seconds,
            const char *prefix, const sigset_t *awake) {
	lk->fd = -1;
	double deadline = seconds >= 0 ? now() + seconds : -1;
	bool told = false;
	int op = mode == lockmode::shared ? LOCK_SH : LOCK_EX;
	for (;;) {
		int fd = acquire(history, op, seconds, deadline, &told, prefix, awake);
		if (fd < 0)
			return -1;
		if (!pendingcommit(history)) {
			lk->fd = fd;
			return 0;
		}
		if (op == LOCK_EX) {
			if (finishcommit(history, mode == lockmode::replace ? kCommitReplace : 0,
			                 prefix) != 0) {
				int saved = errno;
				close(fd);
				errno = saved;
				return -1;
			}
			lk->fd = fd;
			return 0;
		}
		// A shared holder cannot complete the commit: lock exclusively
		// for that, then take the shared lock again.
		close(fd);
		fd = acquire(history, LOCK_EX, seconds, deadline, &told, prefix, awake);
		if (fd < 0)
			return -1;
		int done = finishcommit(history, 0, prefix);
		int saved = errno;
		close(fd);
		if (done != 0) {
			errno = saved;
			return -1;
		}
	}
}

}  // namespace

int lockhistory(histlock *lk, const char *history, lockmode mode, int seconds,
                const char *prefix) {
	sigset_t old;
	blockall(&old);
	int r = lockfor(lk, history, mode, seconds, prefix, &old);
	int saved = errno;
	sigprocmask(SIG_SETMASK, &old, nullptr);
	errno = saved;
	return r;
}

void unlockhistory(histlock *lk) {
	if (lk->fd >= 0)
		close(lk->fd);
	lk->fd = -1;
}

int settlecommit(const char *history, const char *prefix) {
	if (!pendingcommit(history))
		return 0;
	histlock lk;
	int r = lockhistory(&lk, history, lockmode::exclusive, -1, prefix);
	unlockhistory(&lk);
	return r;
}

}  // namespace common
