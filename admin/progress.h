// progress.h: the progress line that long runs of the dbz command show on
// a terminal: rewritten in place at most once a second, ended with a
// newline when the work is done.
#ifndef DBZ_ADMIN_PROGRESS_H_
#define DBZ_ADMIN_PROGRESS_H_

#include <cstdint>

namespace admin {

struct progress {
	bool on;           // shown at all
	double started;    // monotonic seconds at the start
	double shown;      // when the line was last written, 0 before
	const char *name;  // what is read, as the line names it
	int64_t total;     // its size, in units
	const char *unit;  // "bytes", "slots"
};

// Sets *pg up for reading total units of name. The line is shown only when
// standard error is a terminal and quiet is not set.
void progressstart(progress *pg, bool quiet, const char *name, int64_t total,
                   const char *unit);

// Shows that done units of the total have been read, and lines lines when
// lines is not negative: at most once a second, unless last, which ends the
// line. Cheap enough to be called every few thousand items.
void progressshow(progress *pg, int64_t done, int64_t lines, bool last);

}  // namespace admin

#endif  // DBZ_ADMIN_PROGRESS_H_
