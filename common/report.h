// report.h: the one-line messages of the shared helpers, in the calling
// command's shape: "<prefix>: <text>\n" on standard error.
#ifndef QUORLIN_COMMON_REPORT_H_
#define QUORLIN_COMMON_REPORT_H_

namespace common {

// Prints "<prefix>: <text>". Leaves errno as it found it.
void report(const char *prefix, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

// Prints "<prefix>: <text>: <strerror(errnum)>". Leaves errno as it found
// it.
void reportsys(int errnum, const char *prefix, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace common

#endif  // QUORLIN_COMMON_REPORT_H_
