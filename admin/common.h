// common.h: helpers shared by the subcommands of the dbz command: error
// prints in one shape, strict number parsing, and a history file reader
// that knows each line's offset and number.
//
// These interfaces are used by several subcommands; keep them stable.
#ifndef DBZ_ADMIN_COMMON_H_
#define DBZ_ADMIN_COMMON_H_

#include <cstddef>
#include <cstdint>

namespace admin {

// Error prints. Each writes one line to standard error, beginning "dbz: ",
// and leaves errno as it found it.
//
//   syserr("%s", path)         "dbz: <path>: <strerror(errno)>"
//   syserrnum(e, "%s", path)   "dbz: <path>: <strerror(e)>"
//   errmsg("%s: bad", path)    "dbz: <path>: bad"
//
// With an error number of 0 (a refusal that set no errno) syserr and
// syserrnum print the context alone, never "Success".
void syserr(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void syserrnum(int errnum, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
void errmsg(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Reports the option getopt() refused (optopt, with opterr off) for the
// subcommand cmd: a missing argument when optopt is one of withargs, an
// unknown option otherwise.
void badoption(const char *cmd, const char *withargs);

// Parses all of text as an integer in [min, max]: an optional '-' and
// decimal digits, or "0x"/"0X" and hexadecimal digits. Nothing else is
// allowed (no blanks, no '+', no trailing text). On success stores the
// value in *out and returns true. Otherwise prints
// "dbz: <what> <text>: invalid" (or "too small", "too large") and returns
// false; what names the value, e.g. "-s" or "table size".
bool parsenum(const char *text, int64_t min, int64_t max, const char *what,
              int64_t *out);

// How much of a line the history reader keeps. Longer lines are cut in
// histline::text, but their offsets, lengths and numbers stay exact.
inline constexpr size_t kLineKeep = 16384;
// Bytes the history reader reads from the file at a time.
inline constexpr size_t kReadChunk = 65536;

// One line of a history file, as histnext() returns it.
struct histline {
	const char *text;  // the line's first bytes without the newline,
	                   // NUL-terminated (the line may hold NULs itself)
	size_t len;        // bytes in text: min(length, kLineKeep)
	int64_t length;    // the whole line's length without its newline
	int64_t offset;    // byte offset of the line's first byte
	int64_t number;    // line number, the first line is 1
	bool newline;      // ends with a newline; false only for a last line
	                   // that the file ends in the middle of
};

// A history file opened for reading line by line. All buffers are part of
// the record (about 80 KiB): reading allocates nothing, whatever the file's
// size or the length of its lines. Declare one, histopen() it, call
// histnext() until it returns 0, then histclose() it.
struct histreader {
	int fd;
	const char *path;   // the name given to histopen(), not copied
	int64_t size;       // the file's size when it was opened
	int64_t pos;        // file offset of chunk[start]
	int64_t lines;      // lines returned so far
	size_t start, end;  // unread bytes: chunk[start, end)
	bool eof;
	char chunk[kReadChunk];
	char line[kLineKeep + 1];
};

// Opens path. Returns false with errno set (and prints nothing) when it
// cannot be opened or is a directory (EISDIR).
bool histopen(histreader *r, const char *path);
// Reads the next line into *line, whose text stays valid until the next
// call. Returns 1 for a line, 0 at the end of the file, -1 on a read error
// (errno set). A file that does not end in a newline yields its last bytes
// as a line with newline false; an empty file yields no line.
int histnext(histreader *r, histline *line);
// Closes the file; returns -1 with errno set if the close failed.
int histclose(histreader *r);

// The message ID of a history line: the bytes before its first separator
// byte (a tab in a history file). Stores its length in *idlen and returns
// true when a separator follows it; returns false, with *idlen covering the
// whole text, when the text holds no separator.
bool lineid(const char *text, size_t len, char separator, size_t *idlen);

// Writes the len bytes at text to standard output as a JSON string: in
// quotes, with quotes, backslashes, control characters and bytes beyond
// ASCII escaped.
void jsonstring(const char *text, size_t len);

// True when the len bytes at id form a message ID as the tools accept one:
// they begin with '<' and end with '>' (so at least two bytes).
bool isid(const char *id, size_t len);

}  // namespace admin

#endif  // DBZ_ADMIN_COMMON_H_
