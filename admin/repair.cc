// repair.cc: dbz repair: stores the IDs that a writer killed before its
// stores reached the index left in the history only.
//
// quorlin writes the index back at least every five seconds while stores
// are pending (a checkpoint), and every checkpoint rewrites the .dir. So a
// crash can leave unindexed only lines appended after the .dir was last
// written, and quorlin stamps each line it appends with the time. repair
// walks back from the end of the history to the first line stamped more
// than kSlackSeconds before the .dir's modification time, then goes
// forward from the line after it and stores, in history order, every line
// whose ID the index does not find. Its cost follows that tail, not the
// history: the index is opened without the in-core table, so lookups and
// stores touch only the slots on the tail's probes. -a repairs the whole
// history instead, for when runs have recorded after the crash and
// written the .dir since.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "admin/commands.h"
#include "admin/common.h"
#include "admin/lock.h"
#include "dbz/dbz.h"

namespace {

// How long before the .dir's last rewrite a line may be stamped and still
// be unindexed: the checkpoint interval again, to be safe from the
// granularity of the stamps and of file times and from small clock steps.
constexpr int64_t kSlackSeconds = 10;
// A line's ID and the start of its date field lie in this many bytes.
constexpr size_t kHead = DBZ_MAXSTOREKEY + 32;

// The time at the start of a history line's date field, the text after
// the first tab (quorlin writes seconds since the epoch and "~-"), or -1
// when head (n bytes) holds no such number.
int64_t linetime(const char *head, size_t n) {
	auto *tab = static_cast<const char *>(memchr(head, '\t', n));
	if (tab == nullptr)
		return -1;
	const char *p = tab + 1, *end = head + n;
	int64_t t = 0;
	if (p == end || *p < '0' || *p > '9')
		return -1;
	for (; p < end && *p >= '0' && *p <= '9'; p++) {
		if (t > (INT64_MAX - 9) / 10)
			return -1;
		t = t * 10 + (*p - '0');
	}
	return t;
}

// Reads n bytes at offset at into buf; false on a read error or a file
// that has become shorter.
bool readat(int fd, char *buf, int64_t n, int64_t at) {
	while (n > 0) {
		ssize_t got = pread(fd, buf, static_cast<size_t>(n), at);
		if (got < 0 && errno == EINTR)
			continue;
		if (got <= 0)
			return false;
		buf += got;
		n -= got;
		at += got;
	}
	return true;
}

// Walks back from the end of the history (fd, size bytes) to the last line
// stamped before bound and returns the offset of the line after it: where
// the lines begin that may be unindexed. 0 when no line is stamped before
// bound; -1 on a read error.
int64_t tailstart(int fd, int64_t size, int64_t bound) {
	constexpr int64_t kChunk = 65536;
	static char buf[kChunk + kHead];
	int64_t next = size;  // the start of the line after the one at hand
	for (int64_t b = size; b > 0;) {
		int64_t a = b > kChunk ? b - kChunk : 0;
		// The newlines of [a, b), and the heads of the lines after them.
		int64_t want = std::min<int64_t>(size, b + static_cast<int64_t>(kHead)) - a;
		if (!readat(fd, buf, want, a))
			return -1;
		// A line begins after every newline, and at the file's start.
		for (int64_t p = b - 1; p >= (a == 0 ? -1 : a); p--) {
			if (p >= 0 && buf[p - a] != '\n')
				continue;
			int64_t s = p + 1;
			if (s >= size)
				continue;
			int64_t t = linetime(buf + (s - a),
			                     static_cast<size_t>(std::min<int64_t>(
			                         static_cast<int64_t>(kHead), want - (s - a))));
			if (t >= 0 && t < bound)
				return next;
			next = s;
		}
		b = a;
	}
	return 0;
}

struct tally {
	int64_t lines = 0;   // lines looked at
	int64_t stored = 0;  // IDs stored
	int64_t failed = 0;  // stores refused
};

// Goes forward from offset start to the end of the history and stores
// every indexable ID that the index does not find. False on a read error.
bool storemissing(const char *history, int64_t start, tally *t) {
	admin::histreader r;
	if (!admin::histopen(&r, history)) {
		admin::syserr("%s", history);
		return false;
	}
	if (lseek(r.fd, start, SEEK_SET) != start) {
		admin::syserr("%s", history);
		admin::histclose(&r);
		return false;
	}
	r.pos = start;
	admin::histline line;
	int got;
	while ((got = admin::histnext(&r, &line)) == 1) {
		t->lines++;
		size_t idlen;
		if (!admin::lineid(line.text, line.len, '\t', &idlen) ||
		    !admin::isid(line.text, idlen) || idlen + 1 > DBZ_MAXSTOREKEY)
			continue;
		char key[DBZ_MAXSTOREKEY];
		memcpy(key, line.text, idlen);
		key[idlen] = '\0';
		dbzitem k = dbzidkey(key, idlen);
		if (dbzlookup(k).ptr != nullptr)
			continue;
		int64_t offset = line.offset;
		dbzitem v = {reinterpret_cast<char *>(&offset), sizeof offset};
		errno = 0;
		if (dbzstore(k, v) != 0) {
			admin::syserr("%s: line at %" PRId64 ": %.*s: cannot store", history,
			              line.offset, static_cast<int>(idlen), key);
			t->failed++;
			continue;
		}
		t->stored++;
	}
	int e = errno;
	admin::histclose(&r);
	if (got < 0) {
		admin::syserrnum(e, "%s", history);
		return false;
	}
	return true;
}

}  // namespace

int cmd_repair(int argc, char **argv) {
	bool all = false;
	int wait = -1;
	opterr = 0;
	optind = 1;
	int ch;
	while ((ch = getopt(argc, argv, "aw:")) != -1) {
		switch (ch) {
		case 'a':
			all = true;
			break;
		case 'w':
			if (!admin::parsewait(optarg, &wait))
				return kExitUsage;
			break;
		default:
			admin::badoption("repair", "w");
			return kExitUsage;
		}
	}
	argc -= optind;
	argv += optind;
	if (argc != 1)
		return kExitUsage;
	const char *history = argv[0];

	// A writer, like quorlin: no other may append or store meanwhile.
	common::histlock lock;
	if (int status = admin::takelock(&lock, history, common::lockmode::exclusive, wait))
		return status;

	int fd = open(history, O_RDONLY | O_CLOEXEC);
	struct stat hs;
	if (fd < 0 || fstat(fd, &hs) != 0) {
		admin::syserr("%s", history);
		if (fd >= 0)
			close(fd);
		return kExitFail;
	}
	int64_t start = 0;
	if (!all) {
		char *dirname = joinpath(history, ".dir");
		struct stat ds;
		bool ok = dirname != nullptr && stat(dirname, &ds) == 0;
		if (!ok)
			admin::syserr("%s.dir", history);
		free(dirname);
		if (!ok) {
			close(fd);
			return kExitFail;
		}
		start = tailstart(fd, hs.st_size, ds.st_mtim.tv_sec - kSlackSeconds);
		if (start < 0) {
			admin::syserr("%s", history);
			close(fd);
			return kExitFail;
		}
	}
	close(fd);

	// Without the in-core table the index reads and writes only the slots
	// that the tail's probes reach, and every store is in the .pag at once.
	dbzsetincore(0);
	if (dbzopen(history) != 0) {
		if (errno == EDOM)
			admin::errmsg("%s.dir: malformed", history);
		else
			admin::syserr("%s: cannot open the index", history);
		return kExitFail;
	}
	tally t;
	bool ok = storemissing(history, start, &t);
	if (dbzdone() != 0) {
		admin::syserr("%s: cannot write the index back", history);
		ok = false;
	}
	printf("%s: %" PRId64 " lines from offset %" PRId64 " looked up, %" PRId64
	       " stored\n",
	       history, t.lines, start, t.stored);
	if (fflush(stdout) != 0 || ferror(stdout)) {
		admin::syserr("stdout");
		return kExitFail;
	}
	return ok && t.failed == 0 ? kExitOK : kExitFail;
}
