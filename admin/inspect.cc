// inspect.cc: opening an index for inspection and reading the history at
// the offsets it holds.
#include "admin/inspect.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "admin/commands.h"
#include "admin/common.h"

namespace admin {

namespace {

// Checks that name+suffix can be opened for reading, or prints why not. A
// directory opens for reading but is no index file.
bool canread(const char *name, const char *suffix) {
	char *path = joinpath(name, suffix);
	if (path == nullptr) {
		syserr("%s%s", name, suffix);
		return false;
	}
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	struct stat st;
	if (fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
		close(fd);
		fd = -1;
		errno = EISDIR;
	}
	if (fd < 0)
		syserr("%s", path);
	else
		close(fd);
	free(path);
	return fd >= 0;
}

}  // namespace

int inspectopen(inspected *ix, const char *history, bool incore) {
	memset(ix, 0, sizeof *ix);
	ix->history = history;
	ix->basefd = open(history, O_RDONLY | O_CLOEXEC);
	if (ix->basefd < 0) {
		syserr("%s", history);
		return kExitFail;
	}
	struct stat st;
	bool statted = fstat(ix->basefd, &st) == 0;
	if (!statted || S_ISDIR(st.st_mode)) {
		if (statted)
			errno = EISDIR;
		syserr("%s", history);
		close(ix->basefd);
		ix->basefd = -1;
		return kExitFail;
	}
	ix->basesize = st.st_size;

	// Try the two index files first, so that a failure names the file;
	// the index opens its own streams after that.
	if (!canread(history, ".dir") || !canread(history, ".pag")) {
		close(ix->basefd);
		ix->basefd = -1;
		return kExitFail;
	}
	int old = dbzsetincore(incore ? 1 : 0);
	int opened = dbzopen(history);
	int e = errno;
	dbzsetincore(old);
	if (opened < 0) {
		close(ix->basefd);
		ix->basefd = -1;
		if (e == EDOM) {
			errmsg("%s.dir: malformed index configuration", history);
			return kExitNo;
		}
		syserrnum(e, "%s: cannot open the index", history);
		return kExitFail;
	}
	dbzgetinfo(&ix->info);
	return kExitOK;
}

void inspectclose(inspected *ix) {
	// Nothing was stored, but make sure the close writes nothing back.
	if (dbzdiscard() == 0)
		dbzdone();
	if (ix->basefd >= 0)
		close(ix->basefd);
	ix->basefd = -1;
}

int64_t recordid(const inspected *ix, int64_t offset, char *buf, size_t cap) {
	if (offset < 0 || offset >= ix->basesize)
		return -1;
	ssize_t got = pread(ix->basefd, buf, cap, offset);
	if (got <= 0)
		return -1;
	char sep = ix->info.params.separator;
	for (ssize_t i = 0; i < got; i++)
		if (buf[i] == sep || buf[i] == '\n')
			return i;
	return -1;
}

}  // namespace admin
