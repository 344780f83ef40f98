// process.cc: the work on one ID: cancelling a recorded ID (do_one) and
// recording an unseen one (do_new).
#include <cerrno>
#include <cstring>
#include <ctime>

#include <sys/stat.h>
#include <unistd.h>

#include "dbz/dbz.h"
#include "tool/quorlin.h"

namespace quorlin {

toolstate tool = {false, false, false, -1, nullptr, nullptr, "", nullptr,
                  false, false, 0, 0, 0};

namespace {

// An error print: prefix, ": " and the error text. When the failing call
// set no error number, fallback names the cause instead, so that the text
// is never one left over from an earlier call.
void errprint(const char *prefix, const char *fallback) {
	if (errno != 0)
		perror(prefix);
	else
		fprintf(stderr, "%s: %s\n", prefix, fallback);
}

// Writes all n bytes of buf to fd, going on after interrupted and short
// writes. Returns false, with errno set, when the descriptor refuses.
bool writeall(int fd, const char *buf, size_t n) {
	while (n > 0) {
		ssize_t w = write(fd, buf, n);
		if (w < 0) {
			if (errno == EINTR)
				continue;
			return false;
		}
		if (w == 0) {
			errno = EIO;
			return false;
		}
		buf += w;
		n -= static_cast<size_t>(w);
	}
	return true;
}

// The next field of the text at *p: skips a run of the separator
// characters in seps, NUL-terminates the field and leaves *p after it.
// nullptr when the text has no field left. *ended tells whether a
// separator closed the field (false: it ran into the end of the text).
char *nextfield(char **p, const char *seps, bool *ended) {
	char *s = *p + strspn(*p, seps);
	if (*s == '\0') {
		*p = s;
		return nullptr;
	}
	char *e = s + strcspn(s, seps);
	*ended = *e != '\0';
	if (*ended)
		*e++ = '\0';
	*p = e;
	return s;
}

// Prints the log line of id with mark ('-' cancelled, '+' recorded) put at
// the format's mark; an empty prefix turns log lines off.
void logline(const char *id, char mark) {
	if (tool.logprefix[0] == '\0')
		return;
	if (tool.logmark != nullptr)
		*tool.logmark = mark;
	// printf("%s%s%s\n") without parsing the format for every ID.
	fputs_unlocked(tool.logprefix, stdout);
	fputs_unlocked(id, stdout);
	fputs_unlocked(tool.logsuffix, stdout);
	putchar_unlocked('\n');
}

// Disposes of the article file at path, listed for id: prints it (-d),
// hands it to the descriptor (-a), or removes it. A file that is gone
// already is no failure; any other failed removal is reported with its
// path, a failing descriptor once for the run. The location counts either
// way.
void dispose(const char *id, const char *path) {
	if (tool.reportonly) {
		printf("unlink %s\n", path);
	} else if (tool.descriptor >= 0) {
		if (!(writeall(tool.descriptor, path, strlen(path)) &&
		      writeall(tool.descriptor, "\n", 1)) &&
		    !tool.descwarned) {
			fprintf(stderr, "warning: %s write to descriptor %d: %s\n", id,
			        tool.descriptor, strerror(errno));
			tool.descwarned = true;
		}
	} else if (unlink(path) != 0 && errno != ENOENT) {
		fprintf(stderr, "warning: %s unlink %s: %s\n", id, path, strerror(errno));
	}
}

// Takes back the part of a line that a failed append left at [start, end)
// of the history: cut off when nothing follows it, so that the next append
// does not run on from it. What another writer appended after it must stay,
// so the part is then left in place, and the next append first closes the
// line it leaves unfinished.
void takeback(int fd, off_t start, off_t end) {
	int saved = errno;
	struct stat st;
	if (fstat(fd, &st) != 0 || st.st_size != end || ftruncate(fd, start) != 0) {
		fprintf(stderr, "warning: history has a partial line at %lld\n",
		        static_cast<long long>(start));
		tool.histclosed = false;
	}
	errno = saved;
}

// Makes sure that the history ends with a newline before the first line of
// the run goes in: a writer that died in the middle of a line leaves it
// open, and a line appended to it would be glued to it and lost.
bool closelastline(int fd) {
	struct stat st;
	if (fstat(fd, &st) != 0) {
		perror("do_new: fstat");
		return false;
	}
	char last = '\n';
	if (st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) != 1) {
		perror("do_new: pread");
		return false;
	}
	if (last != '\n') {
		if (write(fd, "\n", 1) != 1) {
			perror("fflush");
			return false;
		}
		fprintf(stderr, "warning: history ended in a partial line, closed it\n");
	}
	tool.histclosed = true;
	return true;
}

// Appends line (n bytes) at the end of the history file and sets *offset
// to where it begins. The stream's descriptor is in append mode, so the
// line goes in whole at the end, wherever other writers have moved it,
// and can neither overwrite their lines nor be overwritten; it is in the
// file, visible to every reader, when this returns. The cost is one
// write() and one lseek() that tells where the line ended.
// Nothing is read or written through histstream's buffer: history lines
// are read through the index (dbzreadline()).
bool append(const char *line, size_t n, int64_t *offset) {
	int fd = fileno(tool.histstream);
	if (!tool.histclosed && !closelastline(fd))
		return false;
	ssize_t w;
	while ((w = write(fd, line, n)) < 0 && errno == EINTR)
		;
	if (w < 0) {
		perror("fflush");
		return false;
	}
	off_t end = lseek(fd, 0, SEEK_CUR);
	if (end < 0) {
		perror("do_new: ftell");
		return false;
	}
	if (static_cast<size_t>(w) < n) {
		// A file system that takes part of a line refuses the rest, and
		// says why; if it took the rest after all, the line is whole only
		// when nobody appended in between.
		size_t rest = n - static_cast<size_t>(w);
		ssize_t r = write(fd, line + w, rest);
		off_t after = r > 0 ? lseek(fd, 0, SEEK_CUR) : -1;
		if (r == static_cast<ssize_t>(rest) && after == end + static_cast<off_t>(rest)) {
			*offset = end - w;
			return true;
		}
		if (r >= 0)
			errno = EIO;
		int saved = errno;
		if (r > 0)
			takeback(fd, after - r, after);
		takeback(fd, end - w, end);
		errno = saved;
		perror("fflush");
		return false;
	}
	*offset = end - static_cast<off_t>(n);
	return true;
}

}  // namespace

void do_one(const char *id, int cancel) {
	size_t idlen = strlen(id);
	dbzitem found = dbzlookup(dbzidkey(id, idlen));
	if (found.ptr == nullptr) {
		do_new(id);
		return;
	}
	if (found.dsize != 8) {
		fprintf(stderr, "dbz: invalid dsize %d", found.dsize);
		return;
	}
	if (!cancel)
		return;
	int64_t offset;
	memcpy(&offset, found.ptr, sizeof offset);

	// The line comes from the index's reads of the history (its mapping,
	// where the candidate was just confirmed), not through histstream:
	// what a seek and one fgets() of kLineBytes there would read.
	static char line[kLineBytes];
	if (offset < 0) {
		errno = EINVAL;
		perror("do_one: fseek");
		return;
	}
	errno = 0;
	if (dbzreadline(offset, line, kLineBytes) <= 0) {
		errprint("do_one: fgets", "no history line at the indexed offset");
		return;
	}
	size_t len = strlen(line);
	if (len == 0 || line[len - 1] != '\n')
		fprintf(stderr, "warning: %s long history line\n", id);

	// Field 1 is the ID and field 2 the date, each ended by a tab or a
	// newline; the article locations follow, ended by a tab, a blank or a
	// newline.
	char *p = line;
	bool ended;
	nextfield(&p, "\t\n", &ended);
	nextfield(&p, "\t\n", &ended);
	while (char *loc = nextfield(&p, "\t \n", &ended)) {
		// A location that runs into the end of a line read without its
		// newline may be cut short and name another file.
		if (!ended)
			break;
		// Such a location would become an absolute path.
		if (loc[0] == '.' || loc[0] == '/') {
			fprintf(stderr,
			        "warning: %s article location %s is outside the spool, "
			        "left alone\n",
			        id, loc);
			continue;
		}
		for (char *c = loc; *c != '\0'; c++)
			if (*c == '.')
				*c = '/';
		dispose(id, loc);
		tool.files_deleted++;
	}
	logline(id, '-');
	tool.arts_deleted++;
}

void do_new(const char *id) {
	unsigned long now = static_cast<unsigned long>(time(nullptr));
	if (tool.norecord)
		return;
	if (tool.reportonly) {
		printf("%s\t%lu~-\n", id, now);
	} else {
		// An ID from the input loop is shorter than a line buffer, so the
		// history line always fits.
		static char line[kLineBytes + 32];
		int n = snprintf(line, sizeof line, "%s\t%lu~-\n", id, now);
		if (n < 0 || static_cast<size_t>(n) >= sizeof line) {
			fprintf(stderr, "do_new: %s: message ID too long\n", id);
			return;
		}
		int64_t offset;
		if (!append(line, static_cast<size_t>(n), &offset))
			return;
		size_t idlen = strlen(id);
		dbzitem key = dbzidkey(id, idlen);
		dbzitem value = {reinterpret_cast<char *>(&offset), sizeof offset};
		errno = 0;
		if (dbzstore(key, value) < 0)
			// Longer IDs are appended to the history but cannot be
			// indexed.
			errprint("do_new: dbzstore", idlen + 1 > DBZ_MAXSTOREKEY
			                                     ? "message ID too long for the index"
			                                     : "store refused by the index");
	}
	logline(id, '+');
	tool.arts_added++;
}

}  // namespace quorlin
