// fuzz_history.cc: fuzz target for the dbz command's history reader, the
// one that build, check and the other subcommands read history files with.
//
// The input makes the file: byte 0 gives how often the body repeats (1 to
// 64), byte 1 how many 512-byte blocks of 'x' come first (a long first
// line, so that short inputs reach the reader's line cut and its read
// boundaries at any position); the rest is the body.
//
// Checked: the lines returned tile the file exactly (offsets, lengths,
// newlines, numbers), every kept text is the file's bytes, the end is
// reported once and stays the end, and each line's ID split is consistent.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "admin/common.h"
#include "fuzz/scratch.h"

namespace {

std::string scratchdir, path;

[[noreturn]] void fail(const char *what, int64_t line) {
	fprintf(stderr, "fuzz_history: line %lld: %s\n",
	        static_cast<long long>(line), what);
	abort();
}

void removescratch() {
	unlink(path.c_str());
	rmdir(scratchdir.c_str());
}

void checkid(const admin::histline &l) {
	size_t idlen;
	bool split = admin::lineid(l.text, l.len, '\t', &idlen);
	if (idlen > l.len)
		fail("the ID runs past the line", l.number);
	if (memchr(l.text, '\t', idlen) != nullptr)
		fail("the ID holds a separator", l.number);
	if (split != (idlen < l.len && l.text[idlen] == '\t'))
		fail("the ID split disagrees with the text", l.number);
	if (admin::isid(l.text, idlen) &&
	    (idlen < 2 || l.text[0] != '<' || l.text[idlen - 1] != '>'))
		fail("an ID accepted without its brackets", l.number);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
	scratchdir = makescratch("fuzz_history");
	path = scratchdir + "/history";
	atexit(removescratch);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	if (size < 2)
		return 0;
	size_t repeat = data[0] % 64 + 1;
	std::string file(static_cast<size_t>(data[1]) * 512, 'x');
	for (size_t i = 0; i < repeat; i++)
		file.append(reinterpret_cast<const char *>(data + 2), size - 2);

	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
	if (fd < 0 ||
	    write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size()))
		abort();
	close(fd);

	static admin::histreader r;
	if (!admin::histopen(&r, path.c_str()))
		abort();
	if (r.size != static_cast<int64_t>(file.size()))
		fail("the size at open is not the file's", 0);
	int64_t at = 0, number = 0;
	admin::histline l;
	int got;
	while ((got = admin::histnext(&r, &l)) == 1) {
		number++;
		if (l.number != number || l.offset != at)
			fail("lines do not follow one another", number);
		if (l.length < 0 || l.offset + l.length > r.size)
			fail("a line runs past the file", number);
		size_t keep = static_cast<size_t>(l.length) < admin::kLineKeep
		                  ? static_cast<size_t>(l.length)
		                  : admin::kLineKeep;
		if (l.len != keep || l.text[l.len] != '\0')
			fail("the kept text has the wrong length", number);
		if (memcmp(l.text, file.data() + l.offset, l.len) != 0)
			fail("the kept text is not the file's", number);
		if (memchr(file.data() + l.offset, '\n', static_cast<size_t>(l.length)))
			fail("a line holds a newline", number);
		int64_t end = l.offset + l.length;
		if (l.newline ? end >= r.size || file[static_cast<size_t>(end)] != '\n'
		              : end != r.size)
			fail("a line's end is not a newline or the file's end", number);
		checkid(l);
		at = end + (l.newline ? 1 : 0);
	}
	if (got != 0)
		fail("a read error on a plain file", number);
	if (at != r.size)
		fail("the lines do not cover the file", number);
	if (admin::histnext(&r, &l) != 0)
		fail("the end of the file was not reported again", number);
	if (admin::histclose(&r) != 0)
		fail("close failed", number);
	return 0;
}
