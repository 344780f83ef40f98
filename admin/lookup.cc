// lookup.cc: dbz lookup: prints the history line of each message ID given,
// found through the index as quorlin finds it.
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "admin/commands.h"
#include "admin/common.h"
#include "admin/inspect.h"
#include "common/lock.h"
#include "dbz/dbz.h"

namespace {

using admin::inspected;

int usage() {
	fputs("usage: dbz lookup history id ...\n", stderr);
	return 2;
}

// Copies the history line at offset, newline included, to standard output.
// A line that the file ends in the middle of gets its newline added.
bool printline(const inspected &ix, int64_t offset) {
	char buf[8192];
	for (;;) {
		ssize_t n = pread(ix.basefd, buf, sizeof buf, offset);
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

}  // namespace

int cmd_lookup(int argc, char **argv) {
	opterr = 0;
	optind = 1;
	if (getopt(argc, argv, "") != -1) {
		admin::errmsg("lookup: unknown option -%c", optopt);
		return usage();
	}
	argc -= optind;
	argv += optind;
	if (argc < 2)
		return usage();

	// Read without the lock; only a build's commit that a crash left
	// unfinished is completed first.
	if (common::settlecommit(argv[0], "dbz") != 0)
		return 1;
	inspected ix;
	if (!admin::inspectopen(&ix, argv[0], false))
		return 1;
	int status = 0;
	for (int i = 1; i < argc; i++) {
		const char *id = argv[i];
		size_t len = strlen(id);
		dbzitem r = dbzlookup(dbzidkey(id, len));
		if (r.ptr == nullptr) {
			admin::errmsg("%s: not found", id);
			status = 1;
			continue;
		}
		int64_t offset;
		memcpy(&offset, r.ptr, sizeof offset);
		if (offset >= ix.basesize || !printline(ix, offset)) {
			if (offset >= ix.basesize)
				admin::errmsg("%s: offset %" PRId64 " beyond the end of %s", id,
				              offset, ix.history);
			else
				admin::syserr("%s", ix.history);
			status = 1;
		}
	}
	admin::inspectclose(&ix);
	if (fflush(stdout) != 0 || ferror(stdout)) {
		admin::syserr("stdout");
		return 1;
	}
	return status;
}
