// build.cc: dbz build and dbz rebuild: a new index for a history file,
// filled from its lines and put in place of the old one atomically.
//
// Under the history's exclusive lock the new index is made under a
// temporary base name beside the history (admin/tempindex.h), filled
// through the same folded lookup and store that quorlin uses, flushed, and
// committed in place of the old .pag and .dir. Until the commit the old
// index is untouched; on failure or on SIGINT, SIGTERM or SIGHUP the
// temporaries are removed, and those of a build that was killed outright
// are removed by the next one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "admin/commands.h"
#include "admin/common.h"
#include "admin/progress.h"
#include "admin/lock.h"
#include "admin/tempindex.h"
#include "dbz/dbz.h"

namespace {

// Lines between two looks at the clock for the progress display.
constexpr int64_t kProgressLines = 65536;

using admin::progress;

// Counts the lines of the file open at fd without moving its offset: the
// newlines, and a last line that the file ends in the middle of.
bool countlines(int fd, int64_t *lines) {
	char buf[65536];
	int64_t count = 0, pos = 0;
	char last = '\n';
	for (;;) {
		ssize_t n = pread(fd, buf, sizeof buf, pos);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return false;
		if (n == 0)
			break;
		for (const char *p = buf, *end = buf + n;
		     (p = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)))) != nullptr;
		     p++)
			count++;
		last = buf[n - 1];
		pos += n;
	}
	*lines = count + (last != '\n' ? 1 : 0);
	return true;
}

// Prints a bad line's message ID readably: at most 60 bytes, other bytes
// than printable ASCII shown as '?'.
std::string excerpt(const char *text, size_t len) {
	std::string s;
	for (size_t i = 0; i < len && i < 60; i++) {
		unsigned char c = static_cast<unsigned char>(text[i]);
		s += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
	}
	if (len > 60)
		s += "...";
	return s;
}

struct counts {
	int64_t stored, repeated, bad;
};

// Stores every line's message ID of the history open in r in the open
// index, at the line's offset, the way quorlin records an unseen ID. An ID
// already in the index keeps its first line. Returns false after printing
// the cause when the index could not be written or the history not read.
bool fill(admin::histreader &r, progress &pg, counts &n) {
	dbzinfo info;
	dbzgetinfo(&info);
	const char sep = info.params.separator;
	const char *path = r.path;
	char key[DBZ_MAXSTOREKEY + 1];
	admin::histline line;
	int got;
	while ((got = admin::histnext(&r, &line)) == 1) {
		if (pg.on && line.number % kProgressLines == 0)
			admin::progressshow(&pg, line.offset, line.number, false);
		size_t idlen;
		bool hassep = admin::lineid(line.text, line.len, sep, &idlen);
		const char *why = nullptr;
		if (line.length == 0)
			why = "empty line";
		else if (!admin::isid(line.text, idlen))
			why = "not a message ID";
		else if (!hassep)
			why = sep == '\t' ? "no tab after the message ID"
			                  : "no separator after the message ID";
		else if (idlen + 1 > DBZ_MAXSTOREKEY)
			why = "message ID too long";
		if (why != nullptr) {
			std::string shown = excerpt(line.text, idlen);
			admin::errmsg("%s:%lld: %s, line skipped%s%s", path,
			              static_cast<long long>(line.number), why,
			              shown.empty() ? "" : ": ", shown.c_str());
			n.bad++;
			continue;
		}
		memcpy(key, line.text, idlen);
		key[idlen] = '\0';
		dbzitem k = dbzidkey(key, idlen);
		if (dbzlookup(k).ptr != nullptr) {
			n.repeated++;
			continue;
		}
		int64_t offset = line.offset;
		dbzitem v{reinterpret_cast<char *>(&offset), sizeof offset};
		errno = 0;
		if (dbzstore(k, v) != 0) {
			if (static_cast<uint64_t>(offset) & info.tagenable)
				admin::errmsg("%s:%lld: offset %lld does not fit the index's "
				              "tag layout; make a new index with dbz build",
				              path, static_cast<long long>(line.number),
				              static_cast<long long>(offset));
			else
				admin::syserr("%s: cannot store line %lld", admin::temppag(),
				              static_cast<long long>(line.number));
			return false;
		}
		n.stored++;
	}
	if (got < 0) {
		admin::syserr("%s", path);
		return false;
	}
	admin::progressshow(&pg, r.pos, r.lines, true);
	return true;
}

// The common part of build and rebuild. expected < 0: size from the line
// count. With rebuild the configuration comes from the old index instead.
int run(const char *historyarg, bool rebuild, int64_t expected, bool quiet,
        int wait) {
	std::string history = historyarg;
	// Held until the process ends: quorlin and other builds wait for the
	// new index.
	static common::histlock lock;
	if (int status = admin::takelock(&lock, historyarg,
	                                 common::lockmode::replace, wait))
		return status;
	static admin::histreader r;
	if (!admin::histopen(&r, history.c_str())) {
		admin::syserr("%s", history.c_str());
		return kExitFail;
	}

	int64_t size = 0, tagmask = 0;
	if (rebuild) {
		// Make sure the old configuration can be read, to name the file
		// when it cannot; dbzrebuild() only fails.
		std::string olddir = history + ".dir";
		int fd = open(olddir.c_str(), O_RDONLY | O_CLOEXEC);
		struct stat st;
		if (fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
			close(fd);
			fd = -1;
			errno = EISDIR;
		}
		if (fd < 0) {
			admin::syserr("%s", olddir.c_str());
			admin::histclose(&r);
			return kExitFail;
		}
		close(fd);
	} else {
		if (expected < 0 && !countlines(r.fd, &expected)) {
			admin::syserr("%s", history.c_str());
			admin::histclose(&r);
			return kExitFail;
		}
		// A table needs two slots at least; one expected entry would
		// give one.
		size = dbzpicksize(expected == 1 ? 2 : expected);
		int64_t largest = r.size > INT32_MAX ? INT32_MAX : r.size;
		tagmask = dbzpicktagmask(static_cast<int32_t>(largest));
	}

	// A directory under the name of the .dir or .pag cannot be replaced;
	// find that out before any work, and before the .pag could be renamed
	// into place without its .dir.
	for (const char *suffix : {".pag", ".dir"}) {
		std::string path = history + suffix;
		struct stat st;
		if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
			errno = EISDIR;
			admin::syserr("%s", path.c_str());
			admin::histclose(&r);
			return kExitFail;
		}
	}

	admin::sweeptemps(history);
	const char *tmpbase = admin::maketemp(history);
	if (tmpbase == nullptr) {
		admin::histclose(&r);
		return kExitFail;
	}
	dbzsetincore(1);
	errno = 0;
	int made = rebuild ? dbzrebuild(tmpbase, history.c_str())
	                   : dbzcreate(tmpbase, size, '\t', 'C', tagmask);
	if (made != 0) {
		// A rebuild that reads its old .dir and fails without an error
		// of the system found that .dir malformed.
		if (rebuild && errno == 0)
			admin::errmsg("%s.dir: malformed index configuration",
			              history.c_str());
		else
			admin::syserr("%s: cannot create index", tmpbase);
		dbzdone();
		admin::droptemps();
		admin::histclose(&r);
		return kExitFail;
	}
	dbzinfo info;
	dbzgetinfo(&info);
	// A rebuild sizes the table for the busiest period on record, which can
	// be far below what the history holds: every further line then spills,
	// and the fill slows down with the square of the line count.
	int64_t lines;
	if (rebuild && countlines(r.fd, &lines) && lines > info.params.tablesize)
		admin::errmsg("%s: warning: the rebuilt table has %lld slots for %lld "
		              "lines and will spill; dbz build sizes it for the lines",
		              history.c_str(), static_cast<long long>(info.params.tablesize),
		              static_cast<long long>(lines));
	if (!info.incore)
		admin::errmsg("%s: no memory for the in-core table of %lld slots; "
		              "working through the file (slow)",
		              admin::temppag(), static_cast<long long>(info.params.tablesize));

	progress pg;
	admin::progressstart(&pg, quiet, history.c_str(), r.size, "bytes");
	counts n{0, 0, 0};
	bool ok = fill(r, pg, n);
	admin::histclose(&r);
	errno = 0;
	if (dbzdone() != 0 && ok) {
		admin::syserr("%s: cannot write index", tmpbase);
		ok = false;
	}
	if (ok)
		ok = admin::committemp(history);
	if (!ok) {
		admin::droptemps();
		return kExitFail;
	}
	if (n.repeated > 0)
		admin::errmsg("%s: %lld repeated message IDs skipped, each kept its "
		              "first line",
		              history.c_str(), static_cast<long long>(n.repeated));
	if (n.bad > 0)
		admin::errmsg("%s: %lld bad lines skipped", history.c_str(),
		              static_cast<long long>(n.bad));
	return kExitOK;
}

int parse(int argc, char **argv, bool rebuild) {
	int64_t expected = -1;
	int wait = -1;
	bool quiet = false;
	opterr = 0;
	optind = 1;
	int c;
	while ((c = getopt(argc, argv, rebuild ? "qw:" : "e:qw:")) != -1) {
		switch (c) {
		case 'e':
			if (!admin::parsenum(optarg, 0, INT64_MAX, "-e", &expected))
				return kExitUsage;
			break;
		case 'q':
			quiet = true;
			break;
		case 'w':
			if (!admin::parsewait(optarg, &wait))
				return kExitUsage;
			break;
		default:
			admin::badoption(argv[0], rebuild ? "w" : "ew");
			return kExitUsage;
		}
	}
	argc -= optind;
	argv += optind;
	if (argc != 1)
		return kExitUsage;
	return run(argv[0], rebuild, expected, quiet, wait);
}

}  // namespace

int cmd_build(int argc, char **argv) { return parse(argc, argv, false); }

int cmd_rebuild(int argc, char **argv) { return parse(argc, argv, true); }
