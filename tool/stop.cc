// stop.cc: stopping a run safely. SIGINT, SIGTERM and SIGHUP only ask the
// run to stop: the input loop ends after the ID at hand, the index is
// written back and closed, and the process then dies of the same signal,
// so that a shell or a supervisor sees what ended it.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <poll.h>
#include <unistd.h>

#include "tool/quorlin.h"

namespace quorlin {

namespace {

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t stopped = 0;

void onstop(int sig) {
	if (stopped == 0)
		stopped = sig;
}

sigset_t stopset() {
	sigset_t set;
	sigemptyset(&set);
	for (int sig : kStopSignals)
		sigaddset(&set, sig);
	return set;
}

}  // namespace

void catchstops() {
	for (int sig : kStopSignals) {
		struct sigaction old;
		// A signal ignored by whoever started us (nohup, a background
		// job) stays ignored.
		if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
			continue;
		struct sigaction sa = {};
		sa.sa_handler = onstop;
		sigfillset(&sa.sa_mask);
		// Writes to the output and the descriptor go on undisturbed; the
		// wait for input is what the signal has to end.
		sa.sa_flags = SA_RESTART;
		sigaction(sig, &sa, nullptr);
	}
	// A file-size limit makes the write that reaches it fail, which is
	// reported like any failed write, instead of killing the run.
	signal(SIGXFSZ, SIG_IGN);
}

int stopsignal() { return stopped; }

int waitinput(int fd, const struct timespec *timeout) {
	// The stop signals are blocked from the test of the flag until ppoll()
	// unblocks them atomically, so that one that comes in between cannot
	// leave the run waiting for input.
	sigset_t set = stopset(), old;
	sigprocmask(SIG_BLOCK, &set, &old);
	int result;
	if (stopped != 0) {
		result = -1;
	} else {
		struct pollfd p = {fd, POLLIN, 0};
		int n = ppoll(&p, 1, timeout, &old);
		if (n < 0 && errno == EINTR)
			result = stopped != 0 ? -1 : 0;
		else
			result = n == 0 ? 0 : 1;  // an error is left to the read
	}
	sigprocmask(SIG_SETMASK, &old, nullptr);
	return result;
}

void diefrom(int sig) {
	fflush(stdout);
	signal(sig, SIG_DFL);
	sigset_t set;
	sigemptyset(&set);
	sigaddset(&set, sig);
	sigprocmask(SIG_UNBLOCK, &set, nullptr);
	raise(sig);
	_exit(128 + sig);
}

}  // namespace quorlin
