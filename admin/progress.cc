// progress.cc: the progress line of long runs on a terminal.
#include "admin/progress.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>

namespace admin {

namespace {

double now() {
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

void progressstart(progress *pg, bool quiet, const char *name, int64_t total,
                   const char *unit) {
	*pg = progress{!quiet && isatty(2) != 0, now(), 0, name, total, unit};
}

void progressshow(progress *pg, int64_t done, int64_t lines, bool last) {
	if (!pg->on)
		return;
	double t = now();
	if (!last && pg->shown != 0 && t - pg->shown < 1.0)
		return;
	pg->shown = t;
	double elapsed = t - pg->started;
	int pct = pg->total > 0 ? static_cast<int>(done * 100 / pg->total) : 100;
	fprintf(stderr, "\rdbz: %s: %lld of %lld %s (%d%%)", pg->name,
	        static_cast<long long>(done), static_cast<long long>(pg->total),
	        pg->unit, pct);
	if (lines >= 0)
		fprintf(stderr, ", %lld lines, %.0f lines/s",
		        static_cast<long long>(lines),
		        elapsed > 0 ? static_cast<double>(lines) / elapsed : 0.0);
	fputs(last ? "\n" : "   ", stderr);
}

}  // namespace admin
