// common.cc: error prints, number parsing and the history line reader of
// the dbz command.
#include "admin/common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace admin {

namespace {

// The callers' format checks reach through to vfprintf.
__attribute__((format(printf, 3, 0)))
void vprint(int errnum, bool witherrno, const char *fmt, va_list ap) {
	int saved = errno;
	fputs("dbz: ", stderr);
	vfprintf(stderr, fmt, ap);
	if (witherrno && errnum != 0)
		fprintf(stderr, ": %s", strerror(errnum));
	fputc('\n', stderr);
	errno = saved;
}

int digitvalue(char c) {
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return 99;
}

}  // namespace

void syserr(const char *fmt, ...) {
	int e = errno;
	va_list ap;
	va_start(ap, fmt);
	vprint(e, true, fmt, ap);
	va_end(ap);
}

void syserrnum(int errnum, const char *fmt, ...) {
	va_list ap;
	va_start(ap, fmt);
	vprint(errnum, true, fmt, ap);
	va_end(ap);
}

void errmsg(const char *fmt, ...) {
	va_list ap;
	va_start(ap, fmt);
	vprint(0, false, fmt, ap);
	va_end(ap);
}

void badoption(const char *cmd, const char *withargs) {
	if (optopt != 0 && strchr(withargs, optopt) != nullptr)
		errmsg("%s: option -%c needs an argument", cmd, optopt);
	else
		errmsg("%s: unknown option -%c", cmd, optopt);
}

bool parsenum(const char *text, int64_t min, int64_t max, const char *what,
              int64_t *out) {
	const char *p = text;
	bool negative = false;
	int base = 10;
	if (*p == '-') {
		negative = true;
		p++;
	} else if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
		base = 16;
		p += 2;
	}
	const char *why = nullptr;
	// Accumulate as a negative number: its range holds INT64_MIN too.
	int64_t acc = 0;
	bool overflow = false;
	if (*p == '\0')
		why = "invalid";
	for (; why == nullptr && *p != '\0'; p++) {
		int d = digitvalue(*p);
		if (d >= base) {
			why = "invalid";
			break;
		}
		if (!overflow && (__builtin_mul_overflow(acc, base, &acc) ||
		                  __builtin_sub_overflow(acc, d, &acc)))
			overflow = true;
	}
	int64_t value = 0;
	if (why == nullptr) {
		if (overflow)
			why = negative ? "too small" : "too large";
		else if (!negative && acc == INT64_MIN)
			why = "too large";
		else
			value = negative ? acc : -acc;
	}
	if (why == nullptr && value < min)
		why = "too small";
	if (why == nullptr && value > max)
		why = "too large";
	if (why != nullptr) {
		errmsg("%s %s: %s", what, text, why);
		return false;
	}
	*out = value;
	return true;
}

bool histopen(histreader *r, const char *path) {
	r->fd = open(path, O_RDONLY | O_CLOEXEC);
	if (r->fd < 0)
		return false;
	struct stat st;
	if (fstat(r->fd, &st) != 0 || S_ISDIR(st.st_mode)) {
		int e = S_ISDIR(st.st_mode) ? EISDIR : errno;
		close(r->fd);
		r->fd = -1;
		errno = e;
		return false;
	}
	r->path = path;
	r->size = st.st_size;
	r->pos = 0;
	r->lines = 0;
	r->start = r->end = 0;
	r->eof = false;
	return true;
}

int histnext(histreader *r, histline *line) {
	size_t kept = 0;
	int64_t length = 0;
	int64_t offset = r->pos;
	for (;;) {
		if (r->start == r->end) {
			if (r->eof)
				break;
			ssize_t n;
			do
				n = read(r->fd, r->chunk, sizeof r->chunk);
			while (n < 0 && errno == EINTR);
			if (n < 0)
				return -1;
			r->start = 0;
			r->end = static_cast<size_t>(n);
			if (n == 0) {
				r->eof = true;
				break;
			}
		}
		const char *from = r->chunk + r->start;
		size_t avail = r->end - r->start;
		auto *nl = static_cast<const char *>(memchr(from, '\n', avail));
		size_t take = nl != nullptr ? static_cast<size_t>(nl - from) : avail;
		size_t room = kLineKeep - kept;
		size_t copy = take < room ? take : room;
		memcpy(r->line + kept, from, copy);
		kept += copy;
		length += static_cast<int64_t>(take);
		size_t used = take + (nl != nullptr ? 1 : 0);
		r->start += used;
		r->pos += static_cast<int64_t>(used);
		if (nl != nullptr) {
			r->line[kept] = '\0';
			*line = histline{r->line, kept, length, offset, ++r->lines, true};
			return 1;
		}
	}
	// End of file: an unterminated last line, or nothing at all.
	if (length == 0)
		return 0;
	r->line[kept] = '\0';
	*line = histline{r->line, kept, length, offset, ++r->lines, false};
	return 1;
}

int histclose(histreader *r) {
	int fd = r->fd;
	r->fd = -1;
	if (fd < 0)
		return 0;
	return close(fd);
}

bool lineid(const char *text, size_t len, char separator, size_t *idlen) {
	auto *sep = static_cast<const char *>(memchr(text, separator, len));
	if (sep == nullptr) {
		*idlen = len;
		return false;
	}
	*idlen = static_cast<size_t>(sep - text);
	return true;
}

void jsonstring(const char *text, size_t len) {
	putchar('"');
	for (size_t i = 0; i < len; i++) {
		unsigned char c = static_cast<unsigned char>(text[i]);
		if (c == '"' || c == '\\')
			printf("\\%c", c);
		else if (c < 0x20 || c >= 0x7f)
			printf("\\u%04x", c);
		else
			putchar(c);
	}
	putchar('"');
}

bool isid(const char *id, size_t len) {
	return len >= 2 && id[0] == '<' && id[len - 1] == '>';
}

}  // namespace admin
