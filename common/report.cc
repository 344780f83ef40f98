// report.cc: the one-line messages of the shared helpers.
#include "common/report.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace common {

namespace {

// Formats the whole line first, so that it reaches standard error in one
// write even when another process writes there too.
void say(const char *prefix, const char *fmt, va_list ap, const char *tail) {
	char text[1024];
	vsnprintf(text, sizeof text, fmt, ap);
	fprintf(stderr, "%s: %s%s%s\n", prefix, text, tail[0] != '\0' ? ": " : "",
	        tail);
}

}  // namespace

void report(const char *prefix, const char *fmt, ...) {
	int saved = errno;
	va_list ap;
	va_start(ap, fmt);
	say(prefix, fmt, ap, "");
	va_end(ap);
	errno = saved;
}

void reportsys(int errnum, const char *prefix, const char *fmt, ...) {
	int saved = errno;
	va_list ap;
	va_start(ap, fmt);
	say(prefix, fmt, ap, strerror(errnum));
	va_end(ap);
	errno = saved;
}

}  // namespace common
