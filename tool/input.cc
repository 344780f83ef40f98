// input.cc: reading standard input, and the checkpoints that write the
// index back while stores are pending, also while the run waits for input.
#include <cerrno>
#include <cstring>
#include <ctime>

#include <unistd.h>

#include "dbz/dbz.h"
#include "tool/quorlin.h"

namespace quorlin {

namespace {

// Standard input is read in blocks into this buffer; lines are copied out
// of it. Reading it ourselves, not through stdio, tells when the next read
// would wait, which is where a checkpoint or a stop signal must be able to
// come in.
char inbuf[65536];
size_t inpos = 0, inend = 0;
bool inended = false;  // end of input or a read error
bool inerror = false;  // a read error

// When the stores made since the last checkpoint must be written back, in
// nanoseconds of the monotonic clock; -1 while none are pending.
int64_t due = -1;
int32_t addedatcheckpoint = 0;

int64_t clocknow() {
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
	return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void checkpoint() {
	due = -1;
	writeback(dbzflush, "main: dbzflush");
}

// Refills the buffer. Returns false at the end of input, on a read error
// and when a stop signal came; stopsignal() tells which.
bool fill() {
	while (!inended) {
		struct timespec left, *timeout = nullptr;
		if (due >= 0) {
			int64_t ns = due - clocknow();
			if (ns <= 0) {
				checkpoint();
				continue;
			}
			left.tv_sec = static_cast<time_t>(ns / 1000000000);
			left.tv_nsec = static_cast<long>(ns % 1000000000);
			timeout = &left;
		}
		int w = waitinput(STDIN_FILENO, timeout);
		if (w < 0)
			return false;
		if (w == 0)
			continue;  // the deadline, tested above
		ssize_t n = read(STDIN_FILENO, inbuf, sizeof inbuf);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0) {
			inended = true;
			inerror = n < 0;
			break;
		}
		inpos = 0;
		inend = static_cast<size_t>(n);
		return true;
	}
	return false;
}

}  // namespace

bool writeback(int (*op)(), const char *prefix) {
	errno = 0;
	if (op() == 0)
		return true;
	// The index sets no error number when it refuses for its own reasons.
	if (errno != 0)
		perror(prefix);
	else
		fprintf(stderr, "%s: the index could not be written back\n", prefix);
	return false;
}

void startinput() {
	inpos = inend = 0;
	inended = inerror = false;
	due = -1;
	addedatcheckpoint = tool.arts_added;
}

size_t readinput(char *buf, size_t limit) {
	size_t n = 0;
	while (n + 1 < limit) {
		if (inpos == inend && !fill()) {
			// A read error or a stop ends the input; what came before
			// it in the line is no line, and no long one either.
			if (inerror || stopsignal() != 0)
				n = 0;
			break;
		}
		size_t take = inend - inpos;
		if (take > limit - 1 - n)
			take = limit - 1 - n;
		const char *from = inbuf + inpos;
		const char *nl = static_cast<const char *>(memchr(from, '\n', take));
		if (nl != nullptr)
			take = static_cast<size_t>(nl - from) + 1;
		memcpy(buf + n, from, take);
		inpos += take;
		n += take;
		if (nl != nullptr)
			break;
	}
	buf[n] = '\0';
	return n;
}

void afterid() {
	if (tool.arts_added != addedatcheckpoint) {
		addedatcheckpoint = tool.arts_added;
		if (due < 0 && !tool.reportonly)
			due = clocknow() + kCheckpointSeconds * int64_t{1000000000};
	}
	if (due >= 0 && clocknow() >= due)
		checkpoint();
}

}  // namespace quorlin
