// base.cc: reads of the base file. Candidate records and the application's
// lines are read from one read-only mapping of the file, grown as the file
// grows; what lies beyond the mapping, or where it faults, is read with
// positioned reads.
//
// The mapping reserves more address space than the file holds, so that
// lines appended later (by this process or another) come into it once a
// size check has seen them. A file cut back by another process leaves
// pages of the mapping with nothing behind them, and touching those raises
// SIGBUS: every read from the mapping is therefore a guarded copy, and a
// fault inside one is turned into a positioned read (a size check before
// the copy would race with the truncation).
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstring>

#include "dbz/internal.h"

namespace dbz {

namespace {

// Address space reserved beyond the file: at least this much, and at least
// as much again as the file holds, so that remapping is rare.
constexpr uint64_t kMinReserve = uint64_t{1} << 30;

// Bytes of a line read at first by a positioned read.
constexpr size_t kLinePiece = 512;

// The mapping of the open index's base file. Made at the first read, torn
// down by closebase(); one per process, as the index is.
struct basemap {
	int fd;               // the base stream's descriptor it maps, or -1
	const char *addr;     // the mapping, or nullptr: positioned reads only
	uint64_t reserved;    // bytes of address space the mapping spans
	int64_t known;        // bytes of the file seen by the last size check,
	                      // at most reserved: the mapping may be read below
	bool tried;           // a mapping was attempted for fd
};
basemap themap = {-1, nullptr, 0, 0, false};

// The SIGBUS guard. While guarding is set, a SIGBUS is a fault of the copy
// in progress and jumps back into it; any other SIGBUS goes to the handler
// that was there before ours.
sigjmp_buf guardjump;
volatile sig_atomic_t guarding = 0;
struct sigaction previous;
bool installed = false;

void onbus(int sig, siginfo_t *info, void *context) {
	if (guarding) {
		guarding = 0;
		siglongjmp(guardjump, 1);
	}
	if (previous.sa_flags & SA_SIGINFO) {
		previous.sa_sigaction(sig, info, context);
		return;
	}
	void (*handler)(int) = previous.sa_handler;
	if (handler != SIG_DFL && handler != SIG_IGN) {
		handler(sig);
		return;
	}
	// A fault repeats when the handler returns; under the default
	// disposition it then ends the process as it would have without us.
	// A SIGBUS sent by kill is raised again, unless it was ignored.
	bool fault = info != nullptr && info->si_code > 0;
	if (handler == SIG_IGN && !fault)
		return;
	struct sigaction dfl;
	memset(&dfl, 0, sizeof dfl);
	dfl.sa_handler = SIG_DFL;
	sigemptyset(&dfl.sa_mask);
	sigaction(SIGBUS, &dfl, nullptr);
	if (!fault)
		raise(sig);
}

bool installguard() {
	if (installed)
		return true;
	struct sigaction sa;
	memset(&sa, 0, sizeof sa);
	sa.sa_sigaction = onbus;
	// SIGBUS stays unblocked in the handler, so that leaving it by a jump
	// needs no saved signal mask (and no system call per copy).
	sa.sa_flags = SA_SIGINFO | SA_NODEFER;
	sigemptyset(&sa.sa_mask);
	if (sigaction(SIGBUS, &sa, &previous) != 0)
		return false;
	installed = true;
	return true;
}

// Puts the handler that was there before ours back, unless another one has
// replaced ours since.
void removeguard() {
	if (!installed)
		return;
	struct sigaction now;
	if (sigaction(SIGBUS, nullptr, &now) == 0 &&
	    (now.sa_flags & SA_SIGINFO) && now.sa_sigaction == onbus)
		sigaction(SIGBUS, &previous, nullptr);
	installed = false;
}

// Copies n bytes from the mapping at src; with line set, only up to and
// including the first newline among them. Returns the number of bytes
// copied, or -1 when the mapping faulted under the copy.
__attribute__((noinline)) int64_t guardedcopy(char *dst, const char *src,
                                              size_t n, bool line) {
	if (sigsetjmp(guardjump, 0) != 0)
		return -1;
	guarding = 1;
	std::atomic_signal_fence(std::memory_order_seq_cst);
	if (line) {
		const void *nl = memchr(src, '\n', n);
		if (nl != nullptr)
			n = static_cast<size_t>(static_cast<const char *>(nl) - src) + 1;
	}
	memcpy(dst, src, n);
	std::atomic_signal_fence(std::memory_order_seq_cst);
	guarding = 0;
	return static_cast<int64_t>(n);
}

void unmap(basemap &m) {
	if (m.addr != nullptr)
		munmap(const_cast<char *>(m.addr), m.reserved);
	m.addr = nullptr;
	m.reserved = 0;
	m.known = 0;
}

// Maps fd with room for a file of size bytes and more. False when the
// mapping cannot be had; reads are then positioned reads.
bool mapfile(basemap &m, int64_t size) {
	uint64_t want = static_cast<uint64_t>(size);
	want = want > kMinReserve / 2 ? want * 2 : kMinReserve;
	uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
	want = (want + page - 1) / page * page;
	if (want > SIZE_MAX || want < static_cast<uint64_t>(size))
		return false;
	void *p = mmap(nullptr, static_cast<size_t>(want), PROT_READ, MAP_SHARED,
	               m.fd, 0);
	if (p == MAP_FAILED)
		return false;
	m.addr = static_cast<const char *>(p);
	m.reserved = want;
	return true;
}

// Learns the file's size again and grows the mapping to cover it. False
// when there is no usable mapping afterwards.
bool refresh(basemap &m) {
	struct stat st;
	if (fstat(m.fd, &st) != 0) {
		unmap(m);
		return false;
	}
	if (static_cast<uint64_t>(st.st_size) > m.reserved) {
		unmap(m);
		if (!mapfile(m, st.st_size))
			return false;
	}
	m.known = st.st_size;
	return true;
}

// The mapping of the base file, made at the first read; nullptr when reads
// go through positioned reads.
basemap *mapping(indexstate &s) {
	basemap &m = themap;
	int fd = fileno(s.basefile);
	if (m.tried && m.fd == fd)
		return m.addr != nullptr ? &m : nullptr;
	closebase();
	m.fd = fd;
	m.tried = true;
	// Only a regular file can be mapped; anything else is read as before.
	struct stat st;
	if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !installguard() ||
	    !mapfile(m, st.st_size))
		return nullptr;
	m.known = st.st_size;
	return &m;
}

// Reads at off as readbase() (line clear) or readbaseline() (line set) do,
// into buf of n bytes.
int64_t readat(int64_t off, char *buf, size_t n, bool line) {
	indexstate &s = state();
	basemap *m = mapping(s);
	bool refreshed = false;
	while (m != nullptr) {
		int64_t known = m->known;
		size_t avail = 0;
		if (off < known)
			avail = static_cast<uint64_t>(known - off) < n
			            ? static_cast<size_t>(known - off)
			            : n;
		int64_t got = 0;
		if (avail > 0) {
			got = guardedcopy(buf, m->addr + off, avail, line);
			if (got < 0) {
				// The file was cut back under the copy.
				if (!refresh(*m))
					break;
				return preadat(m->fd, off, buf, n, line);
			}
			if (static_cast<size_t>(got) == n ||
			    (line && buf[got - 1] == '\n'))
				return got;
		}
		// The read runs into the end of the file as last seen: the file
		// may have grown since.
		if (refreshed)
			return got;
		refreshed = true;
		if (!refresh(*m))
			break;
		if (m->known == known)
			return got;
	}
	return preadat(fileno(s.basefile), off, buf, n, line);
}

// True when the base file still holds the n bytes at off. A file cut back
// inside a page of the mapping reads as zeros past its new end until its
// size is learnt again, and a zero byte can complete a match (the
// terminator rule); reads that did not go through the mapping are real.
bool stillholds(int64_t off, size_t n) {
	basemap &m = themap;
	if (m.addr == nullptr)
		return true;
	if (!refresh(m))
		return false;
	return m.known - off >= static_cast<int64_t>(n);
}

}  // namespace

int64_t preadat(int fd, int64_t off, char *buf, size_t n, bool line) {
	size_t got = 0;
	while (got < n) {
		if (off > INT64_MAX - static_cast<int64_t>(got))
			break;
		// A line is read in a short piece first: most are far shorter
		// than the buffer, and the kernel copies all it is asked for.
		size_t want = n - got;
		if (line && got == 0 && want > kLinePiece)
			want = kLinePiece;
		ssize_t r = pread(fd, buf + got, want,
		                  static_cast<off_t>(off + static_cast<int64_t>(got)));
		if (r < 0 && errno == EINTR)
			continue;
		if (r < 0)
			return -1;
		if (r == 0)
			break;
		const void *nl = line ? memchr(buf + got, '\n', static_cast<size_t>(r))
		                      : nullptr;
		if (nl != nullptr)
			return static_cast<const char *>(nl) - buf + 1;
		got += static_cast<size_t>(r);
	}
	return static_cast<int64_t>(got);
}

bool readbase(int64_t off, char *buf, size_t n) {
	if (off < 0)
		return false;
	if (readat(off, buf, n, false) != static_cast<int64_t>(n))
		return false;
	// History records hold no zero bytes: only a record that does costs
	// the size check.
	return memchr(buf, '\0', n) == nullptr || stillholds(off, n);
}

int64_t readbaseline(int64_t off, char *buf, size_t size) {
	if (off < 0 || size == 0) {
		errno = EINVAL;
		return -1;
	}
	int64_t got = 0;
	if (size > 1)
		got = readat(off, buf, size - 1, true);
	if (got >= 0)
		buf[got] = '\0';
	return got;
}

void closebase() {
	unmap(themap);
	themap.fd = -1;
	themap.tried = false;
	removeguard();
}

}  // namespace dbz

extern "C" {

int64_t dbzreadline(int64_t offset, char *buf, size_t size) {
	dbz::indexstate &s = dbz::state();
	if (s.pagfile == nullptr || (s.basefile == nullptr && !dbz::openbase()))
		return -1;
	return dbz::readbaseline(offset, buf, size);
}

}  // extern "C"
