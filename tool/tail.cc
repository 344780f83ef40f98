// tail.cc: the start-up check of the history's last lines against the
// index. A run killed before its stores reached the index leaves the IDs
// it recorded last in the history only; the next run would append them
// again and could not cancel them. Looking the last few lines up costs a
// read and a handful of lookups, and tells the operator to repair.
#include <cstring>

#include <unistd.h>

#include "dbz/dbz.h"
#include "tool/quorlin.h"

namespace quorlin {

namespace {

// How much of the history's end is read, and how many of its last lines
// are looked up.
constexpr size_t kTailBytes = 4096;
constexpr int kTailLines = 8;
// The longest key the index stores, its NUL included.
constexpr size_t kMaxKey = 254;

}  // namespace

void checktail(const char *histfile) {
	int fd = fileno(tool.histstream);
	off_t size = lseek(fd, 0, SEEK_END);
	if (size <= 0)
		return;
	static char tail[kTailBytes + 1];
	off_t from = size > static_cast<off_t>(kTailBytes)
	                 ? size - static_cast<off_t>(kTailBytes)
	                 : 0;
	ssize_t n = pread(fd, tail, static_cast<size_t>(size - from), from);
	if (n <= 0)
		return;
	// Whole lines only: the block's first line may begin before it, and a
	// last line without its newline is still being written (or was torn).
	char *end = static_cast<char *>(memrchr(tail, '\n', static_cast<size_t>(n)));
	if (end == nullptr)
		return;
	int looked = 0, missing = 0;
	while (looked < kTailLines) {
		*end = '\0';
		char *start = static_cast<char *>(memrchr(tail, '\n', static_cast<size_t>(end - tail)));
		if (start == nullptr && from > 0)
			break;
		char *line = start == nullptr ? tail : start + 1;
		size_t idlen = strcspn(line, "\t");
		// Only lines that quorlin would have indexed count.
		if (line[idlen] == '\t' && idlen >= 2 && line[0] == '<' &&
		    line[idlen - 1] == '>' && idlen + 1 <= kMaxKey) {
			line[idlen] = '\0';
			dbzitem key = {line, static_cast<int32_t>(idlen + 1)};
			looked++;
			if (dbzlookup(key).ptr == nullptr)
				missing++;
		}
		if (start == nullptr)
			break;
		end = start;
	}
	if (missing > 0)
		fprintf(stderr,
		        "warning: the index lacks %d of the last %d IDs of %s: "
		        "run \"dbz repair %s%s\"%s\n",
		        missing, looked, histfile, tool.norecord ? "" : "-a ", histfile,
		        tool.norecord ? "" : " after this run");
}

}  // namespace quorlin
