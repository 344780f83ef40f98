// lookup.cc: dbz lookup: prints the history line of each message ID given,
// found through the index as quorlin finds it. The IDs come from the
// command line, or one per line from standard input.
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "admin/commands.h"
#include "admin/common.h"
#include "admin/inspect.h"
#include "common/lock.h"
#include "dbz/dbz.h"

namespace {

using admin::inspected;

// Copies the history line at offset, newline included, to standard output.
// A line that the file ends in the middle of gets its newline added.
bool printline(const inspected &ix, int64_t offset) {
	char buf[8192];
	for (;;) {
		ssize_t n = pread(ix.basefd, buf, sizeof buf, offset);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return false;
		if (n == 0) {
			putchar('\n');
			return true;
		}
		auto *nl = static_cast<const char *>(memchr(buf, '\n', static_cast<size_t>(n)));
		size_t take = nl != nullptr ? static_cast<size_t>(nl - buf) + 1
		                            : static_cast<size_t>(n);
		fwrite(buf, 1, take, stdout);
		if (nl != nullptr)
			return true;
		offset += n;
	}
}

// Looks id (len bytes, a NUL after them) up and prints its line. Returns
// the exit status it calls for.
int lookupone(const inspected &ix, const char *id, size_t len) {
	dbzitem r = dbzlookup(dbzidkey(id, len));
	if (r.ptr == nullptr) {
		admin::errmsg("%s: not found", id);
		return kExitNo;
	}
	int64_t offset;
	memcpy(&offset, r.ptr, sizeof offset);
	if (offset >= ix.basesize) {
		admin::errmsg("%s: offset %" PRId64 " beyond the end of %s", id, offset,
		              ix.history);
		return kExitNo;
	}
	if (!printline(ix, offset)) {
		admin::syserr("%s", ix.history);
		return kExitFail;
	}
	return kExitOK;
}

// Looks up the IDs of standard input, one per line: a line is cut at its
// first blank, tab or newline, as quorlin cuts it; empty lines are passed
// over.
int lookupinput(const inspected &ix) {
	int status = kExitOK;
	char *line = nullptr;
	size_t cap = 0;
	ssize_t n;
	while ((n = getline(&line, &cap, stdin)) >= 0) {
		size_t len = strcspn(line, " \t\n");
		line[len] = '\0';
		if (len == 0)
			continue;
		int s = lookupone(ix, line, len);
		if (s > status)
			status = s;
	}
	if (ferror(stdin)) {
		admin::syserr("stdin");
		status = kExitFail;
	}
	free(line);
	return status;
}

}  // namespace

int cmd_lookup(int argc, char **argv) {
	opterr = 0;
	optind = 1;
	if (getopt(argc, argv, "") != -1) {
		admin::errmsg("lookup: unknown option -%c", optopt);
		return kExitUsage;
	}
	argc -= optind;
	argv += optind;
	bool input = argc == 2 && strcmp(argv[1], "-") == 0;
	if (argc < 2)
		return kExitUsage;

	// Read without the lock; only a build's commit that a crash left
	// unfinished is completed first.
	if (common::settlecommit(argv[0], "dbz") != 0)
		return kExitFail;
	inspected ix;
	if (int status = admin::inspectopen(&ix, argv[0], false))
		return status;
	int status = kExitOK;
	if (input) {
		status = lookupinput(ix);
	} else {
		for (int i = 1; i < argc; i++) {
			int s = lookupone(ix, argv[i], strlen(argv[i]));
			if (s > status)
				status = s;
		}
	}
	admin::inspectclose(&ix);
	if (fflush(stdout) != 0 || ferror(stdout)) {
		admin::syserr("stdout");
		return kExitFail;
	}
	return status;
}
