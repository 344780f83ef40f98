// fuzz_quorlin.cc: fuzz target for quorlin's input loop and its handling
// of history lines. Every input is one run of the command, through the
// same quorlin::run() that main() calls, on a scratch spool:
//
//   byte 0      options: bit 0 -d (else -a to a pipe), bit 1 -c, bit 2 -r,
//               bit 3 -i, bit 4 the log format of byte 1
//   byte 1      with bit 4: the log format's length, its bytes follow
//   2 bytes     the history's length (little-endian), the history follows
//   the rest    standard input
//
// Before the run, every history line whose first field is an ID is stored
// in a fresh index, as dbz build would, so that input IDs meet the history
// lines the input chose.
//
// Checked: the run ends with status 0; no path handed on or reported lies
// outside the spool; standard error holds the command's own messages only;
// log lines match the counters; the history only grows, by well-formed
// lines, and not at all with -d.
#include <fcntl.h>
#include <getopt.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dbz/internal.h"
#include "fuzz/scratch.h"
#include "tool/quorlin.h"

namespace {

std::string spool, history;
int stdinfd = -1;    // memory file that becomes standard input
int pipefd[2];       // the -a descriptor's pipe, read after every run
int startdir = -1;   // the run changes directory; libFuzzer must not see it

[[noreturn]] void fail(const char *what, const std::string &detail = "") {
	fprintf(stderr, "fuzz_quorlin: %s", what);
	if (!detail.empty())
		fprintf(stderr, ": \"%s\"", detail.c_str());
	fputc('\n', stderr);
	abort();
}

void removescratch() {
	dbz::resetstate();
	for (const char *suffix : {"", ".dir", ".pag"})
		unlink((history + suffix).c_str());
	rmdir(spool.c_str());
}

std::vector<std::string> lines(const std::string &text) {
	std::vector<std::string> out;
	size_t at = 0;
	while (at < text.size()) {
		size_t nl = text.find('\n', at);
		if (nl == std::string::npos)
			nl = text.size();
		out.push_back(text.substr(at, nl - at));
		at = nl + 1;
	}
	return out;
}

std::string readall(const std::string &path) {
	std::string out;
	FILE *f = fopen(path.c_str(), "rb");
	if (f == nullptr)
		fail("cannot read back", path);
	char buf[4096];
	size_t n;
	while ((n = fread(buf, 1, sizeof buf, f)) > 0)
		out.append(buf, n);
	fclose(f);
	return out;
}

// Writes the history and an index of the IDs its lines begin with.
void makespool(const uint8_t *p, size_t n) {
	FILE *f = fopen(history.c_str(), "wb");
	if (f == nullptr || fwrite(p, 1, n, f) != n || fclose(f) != 0)
		fail("cannot write the history");
	dbz::resetstate();
	if (dbzcreate(history.c_str(), 31, '\t', 'C', 0) != 0)
		fail("cannot create the index");
	std::string text(reinterpret_cast<const char *>(p), n);
	int64_t offset = 0;
	for (const std::string &line : lines(text)) {
		std::string id = line.substr(0, line.find('\t'));
		if (id.size() >= 2 && id.size() < dbz::kMaxStoreKey &&
		    id.find('\0') == std::string::npos && id.front() == '<' &&
		    id.back() == '>') {
			std::string key = id + '\0';
			dbzitem k = {key.data(), static_cast<int32_t>(key.size())};
			dbzitem v = {reinterpret_cast<char *>(&offset), sizeof offset};
			dbzstore(k, v);
		}
		offset += static_cast<int64_t>(line.size()) + 1;
	}
	if (dbzdone() != 0)
		fail("cannot close the index");
}

// A path handed on or reported: relative, inside the spool, with every
// '.' of its location made a '/'.
void checkpath(const std::string &path) {
	if (path.empty() || path[0] == '/' || path.find('.') != std::string::npos)
		fail("a path outside the spool", path);
}

bool startswith(const std::string &s, const char *prefix) {
	return s.compare(0, strlen(prefix), prefix) == 0;
}

bool isid(const std::string &s) {
	return s.size() >= 2 && s.front() == '<' && s.back() == '>';
}

// The messages quorlin writes on standard error; anything else is a fault.
void checkstderr(const std::string &text) {
	static const char *const kKnown[] = {
	    "stdin: long line",  "stdin: syntax error", "warning: ",
	    "do_one: fseek: ",   "do_one: fgets: ",     "do_new: dbzstore: ",
	    "do_new: fseek: ",   "do_new: ",            "fflush: ",
	    "dbz: invalid dsize ",
	};
	for (const std::string &line : lines(text)) {
		bool known = false;
		for (const char *k : kKnown)
			known = known || startswith(line, k);
		if (!known)
			fail("an unknown message on standard error", line);
	}
}

// A history line that quorlin appended: the ID, a tab, a time and "~-".
bool isappended(const std::string &line) {
	size_t tab = line.find('\t');
	if (tab == std::string::npos || !isid(line.substr(0, tab)))
		return false;
	std::string date = line.substr(tab + 1);
	return date.size() > 2 && date.compare(date.size() - 2, 2, "~-") == 0 &&
	       date.find_first_not_of("0123456789") == date.size() - 2;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
	spool = makescratch("fuzz_quorlin");
	history = spool + "/history";
	atexit(removescratch);
	stdinfd = memfd_create("stdin", 0);
	if (stdinfd < 0 || pipe2(pipefd, O_NONBLOCK | O_CLOEXEC) != 0)
		fail("cannot make the input file and the pipe");
	fcntl(pipefd[1], F_SETPIPE_SZ, 1 << 20);
	startdir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (startdir < 0)
		fail("cannot open the working directory");
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	if (size < 3)
		return 0;
	uint8_t options = data[0];
	size_t at = 1;
	std::string format = "+ #";
	if (options & 16) {
		size_t len = data[at++];
		if (len > size - at)
			len = size - at;
		format.assign(reinterpret_cast<const char *>(data + at), len);
		// An argument word ends at a NUL byte.
		format = format.c_str();
		at += len;
	}
	if (size - at < 2)
		return 0;
	size_t histlen = data[at] | data[at + 1] << 8;
	at += 2;
	if (histlen > size - at)
		histlen = size - at;
	makespool(data + at, histlen);
	std::string before = readall(history);
	at += histlen;

	if (ftruncate(stdinfd, 0) != 0 ||
	    pwrite(stdinfd, data + at, size - at, 0) != static_cast<ssize_t>(size - at) ||
	    lseek(stdinfd, 0, SEEK_SET) != 0 || dup2(stdinfd, STDIN_FILENO) < 0)
		fail("cannot set up standard input");
	clearerr(stdin);
	rewind(stdin);

	bool reportonly = options & 1;
	std::string fd = std::to_string(pipefd[1]);
	std::vector<const char *> args = {"quorlin", "-s", spool.c_str(), "-h",
	                                  "history", "-f", format.c_str()};
	if (reportonly)
		args.push_back("-d");
	else
		args.insert(args.end(), {"-a", fd.c_str()});
	if (options & 2)
		args.push_back("-c");
	if (options & 4)
		args.push_back("-r");
	if (options & 8)
		args.push_back("-i");
	args.push_back(nullptr);

	// The run's standard output and error go to memory; the descriptors
	// stay as they are, for the sanitizers' reports.
	char *outbuf = nullptr, *errbuf = nullptr;
	size_t outlen = 0, errlen = 0;
	FILE *realout = stdout, *realerr = stderr;
	fflush(stdout);
	stdout = open_memstream(&outbuf, &outlen);
	stderr = open_memstream(&errbuf, &errlen);
	if (stdout == nullptr || stderr == nullptr)
		abort();
	quorlin::tool = quorlin::toolstate{};
	quorlin::tool.descriptor = -1;
	optind = 0;
	int status = quorlin::run(static_cast<int>(args.size() - 1),
	                          const_cast<char **>(args.data()));
	fclose(stdout);
	fclose(stderr);
	stdout = realout;
	stderr = realerr;
	if (fchdir(startdir) != 0)
		fail("cannot return to the working directory");
	if (quorlin::tool.histstream != nullptr)
		fclose(quorlin::tool.histstream);
	std::string out(outbuf, outlen), err(errbuf, errlen);
	free(outbuf);
	free(errbuf);

	std::string handed;
	char buf[65536];
	ssize_t n;
	while ((n = read(pipefd[0], buf, sizeof buf)) > 0)
		handed.append(buf, static_cast<size_t>(n));

	if (getenv("FUZZ_TRACE") != nullptr)
		fprintf(stderr, "status %d added %d deleted %d files %d\n--- stdout\n%s--- stderr\n%s--- handed on\n%s",
		        status, quorlin::tool.arts_added, quorlin::tool.arts_deleted,
		        quorlin::tool.files_deleted, out.c_str(), err.c_str(), handed.c_str());
	if (status != 0)
		fail("the run failed", err);
	checkstderr(err);
	for (const std::string &path : lines(handed))
		checkpath(path);

	// Standard output: unlink lines, log lines, and with -d the history
	// lines that would be appended. A log format of the input's choice can
	// print anything, "unlink" lines too, so only the default one and none
	// at all are read.
	bool known = format == "+ #" || format.empty();
	int32_t plus = 0, minus = 0, unlinks = 0;
	for (const std::string &line : lines(known ? out : "")) {
		if (startswith(line, "unlink ")) {
			checkpath(line.substr(7));
			unlinks++;
		} else if (format == "+ #" && startswith(line, "+ ") && isid(line.substr(2))) {
			plus++;
		} else if (format == "+ #" && startswith(line, "- ") && isid(line.substr(2))) {
			minus++;
		} else if (!(reportonly && isappended(line))) {
			fail("an unknown line on standard output", line);
		}
	}
	const quorlin::toolstate &t = quorlin::tool;
	if (format == "+ #" && (plus != t.arts_added || minus != t.arts_deleted))
		fail("the log lines do not match the counters");
	if (known && reportonly && unlinks != t.files_deleted)
		fail("the unlink lines do not match the counter");
	if (!reportonly && err.find("write to descriptor") == std::string::npos &&
	    static_cast<int32_t>(lines(handed).size()) != t.files_deleted)
		fail("the paths handed on do not match the counter");

	// The history keeps every byte it had; what a run adds are lines of its
	// own, and a report-only run adds nothing.
	std::string after = readall(history);
	if (after.compare(0, before.size(), before) != 0)
		fail("the history lost bytes");
	std::string added = after.substr(before.size());
	if (reportonly && !added.empty())
		fail("a report-only run changed the history");
	if (!before.empty() && before.back() != '\n' && !added.empty() &&
	    added[0] == '\n')
		added.erase(0, 1);  // the run closed a torn last line
	for (const std::string &line : lines(added))
		if (!isappended(line))
			fail("an appended history line is malformed", line);
	return 0;
}
