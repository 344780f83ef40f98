// main.cc: the quorlin command: options, start-up, the input loop and the
// end-of-run summary.
#include <cerrno>
#include <cstdint>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include "common/lock.h"
#include "dbz/dbz.h"
#include "tool/paths.h"
#include "tool/quorlin.h"

using quorlin::tool;

namespace {

// -f may replace it; the split writes into it, so it must be writable.
char defaultformat[] = "+ #";

// The input buffer. Its first bytes hold "<cancel" for good: every line is
// read in behind them, so that the derived cancel ID of a line is made by
// writing '.' over the ID's '<'.
char input[quorlin::kLineBytes] = "<cancel";


[[noreturn]] void usage(const char *name) {
	fprintf(stderr,
	        "usage: %s [-d] [-i] [-l] [-c] [-r] [-f logformat] [-h histfile] "
	        "[-s spooldir] [-a descriptor]\n",
	        name);
	exit(1);
}

// Reads the argument of -a: an optional '-' and decimal digits within the
// range of an int, nothing else. Any other text would be read as some
// descriptor the caller did not mean (atoi makes "fd5" standard input), so
// it is a usage error that names the option and its argument.
int32_t descriptorarg(const char *name, const char *arg) {
	const char *digits = arg[0] == '-' ? arg + 1 : arg;
	bool number = digits[0] != '\0' && strspn(digits, "0123456789") == strlen(digits);
	errno = 0;
	long value = number ? strtol(arg, nullptr, 10) : 0;
	if (!number || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) {
		fprintf(stderr, "%s: option -a: '%s' is %s\n", name, arg,
		        number ? "out of range" : "not a decimal number");
		usage(name);
	}
	return static_cast<int32_t>(value);
}

// Tells whether the index files of histfile can be written, the way the
// index decides it: a .dir or .pag that cannot be opened for writing makes
// the whole index read-only. Reports the first one that cannot and returns
// false.
bool indexwritable(const char *histfile) {
	for (const char *suffix : {".dir", ".pag"}) {
		char *file = joinpath(histfile, suffix);
		if (file == nullptr) {
			perror("main: dbmopen");
			return false;
		}
		bool ok = faccessat(AT_FDCWD, file, W_OK, AT_EACCESS) == 0;
		if (!ok) {
			int saved = errno;
			fprintf(stderr, "main: dbmopen: the index is read-only: %s: %s\n",
			        file, strerror(saved));
		}
		free(file);
		if (!ok)
			return false;
	}
	return true;
}

// Reads standard input to its end and hands every well-formed ID to
// do_one(). A line, its newline and the NUL must fit one read; a longer
// line is reported once and dropped up to its newline.
void inputloop() {
	char *const line = input + quorlin::kCancelBytes;
	const size_t limit = sizeof input - quorlin::kCancelBytes;
	bool linestart = true;
	size_t n;
	while ((n = quorlin::readinput(line, limit)) > 0) {
		// A NUL byte ends the text of a line, but where the line itself
		// ends is told by the byte read last, so that the line after one
		// with a NUL in it is not taken for its continuation.
		bool complete = line[n - 1] == '\n';
		if (!linestart) {
			linestart = complete;
			continue;
		}
		size_t len = strlen(line);
		if (len == 0 || line[len - 1] != '\n') {
			fputs("stdin: long line\n", stderr);
			linestart = complete;
			continue;
		}
		len = strcspn(line, " \t\n");
		line[len] = '\0';
		if (len == 0 || line[0] != '<' || line[len - 1] != '>') {
			fputs("stdin: syntax error\n", stderr);
			continue;
		}
		quorlin::do_one(line, 1);
		if (tool.cancelids && strncmp(line, "<cancel", 7) != 0) {
			line[0] = '.';
			quorlin::do_one(input, 0);
		}
		if (quorlin::stopsignal() != 0)
			return;
		quorlin::afterid();
	}
}

}  // namespace

void quorlin::splitlogformat(char *format) {
	tool.logprefix = format;
	tool.logmark = nullptr;
	tool.logsuffix = "";
	for (char *c = format; *c != '\0'; c++) {
		if (*c == '#') {
			*c = '\0';
			tool.logsuffix = c + 1;
		} else if (*c == '+') {
			tool.logmark = c;
		}
	}
}

int quorlin::run(int argc, char **argv) {
	const char *name = argc > 0 ? argv[0] : "quorlin";
	const char *histfile = QUORLIN_PATH_HISTORY;
	const char *spooldir = QUORLIN_PATH_SPOOL;
	char *logformat = defaultformat;
	bool incore = true;
	bool summary = false;

	// '+': options end at the first operand, also with GNU getopt.
	int ch;
	while ((ch = getopt(argc, argv, "+dilcrf:h:s:a:")) != -1) {
		switch (ch) {
		case 'd':
			tool.reportonly = true;
			break;
		case 'i':
			incore = false;
			break;
		case 'l':
			summary = true;
			break;
		case 'c':
			tool.cancelids = true;
			break;
		case 'r':
			tool.norecord = true;
			break;
		case 'f':
			logformat = optarg;
			break;
		case 'h':
			histfile = optarg;
			break;
		case 's':
			spooldir = optarg;
			break;
		case 'a':
			tool.descriptor = descriptorarg(name, optarg);
			break;
		default:
			usage(name);
		}
	}

	// A descriptor that is not open would be taken by the first file the
	// run opens, and the article paths would be written into the history
	// or the index. A report-only run writes nothing to it.
	if (!tool.reportonly && tool.descriptor >= 0 &&
	    fcntl(tool.descriptor, F_GETFD) < 0) {
		fprintf(stderr, "main: descriptor %d: %s\n", tool.descriptor,
		        strerror(errno));
		return 1;
	}
	// So would a closed standard stream: IDs would be read from the
	// history, log lines and diagnostics written over it. Such a stream
	// gets /dev/null.
	for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
		if (fcntl(fd, F_GETFD) >= 0)
			continue;
		if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd) {
			perror("main: /dev/null");
			return 1;
		}
	}
	// A reader that goes away makes descriptor and output writes fail
	// instead of ending the run, which would lose the index's stores.
	signal(SIGPIPE, SIG_IGN);

	if (chdir(spooldir) != 0) {
		perror("main: chdir");
		return 1;
	}
	tool.histstream = fopen(histfile, tool.reportonly ? "r" : "r+");
	if (tool.histstream == nullptr) {
		perror("main: fopen");
		return 1;
	}
	if (!tool.reportonly) {
		// Appends go in at the end whatever other writers do meanwhile.
		int fd = fileno(tool.histstream);
		int fl = fcntl(fd, F_GETFL);
		if (fl < 0 || fcntl(fd, F_SETFL, fl | O_APPEND) < 0) {
			perror("main: fcntl");
			return 1;
		}
	}
	// One writer at a time: a recording run holds the history's lock until
	// its index is closed, waiting for it as long as it takes; a stop signal ends the
	// wait as it ends a run. A report-only run takes none, but a build
	// that a crash left half committed must be completed before it reads.
	quorlin::catchstops();
	common::histlock lock;
	if (!tool.reportonly) {
		if (quorlin::stopsignal() != 0 ||
		    common::lockhistory(&lock, histfile, common::lockmode::exclusive, -1,
		                        "main: lock") != 0) {
			if (quorlin::stopsignal() != 0)
				quorlin::diefrom(quorlin::stopsignal());
			return 1;
		}
	} else if (common::settlecommit(histfile, "main: lock") != 0) {
		return 1;
	}
	dbzsetincore(incore ? 1 : 0);
	if (dbmopen(histfile) < 0) {
		perror("main: dbmopen");
		return 1;
	}
	// Stores into a read-only index fail one by one, while their history
	// lines stay: the next run would append the same IDs again. A run
	// that may record refuses such an index before it reads any input.
	if (!tool.reportonly && !tool.norecord && !indexwritable(histfile))
		return 1;
	if (!tool.reportonly)
		quorlin::checktail(histfile);
	quorlin::splitlogformat(logformat);


	quorlin::startinput();
	inputloop();

	// Stores into the in-core table reach the .pag only here, or at the
	// checkpoints. A run stopped by a signal closes the index too, logs
	// what it did and then dies of the signal.
	int stopsig = quorlin::stopsignal();
	if (!quorlin::writeback(dbmdone, "main: dbmdone")) {
		if (stopsig != 0)
			quorlin::diefrom(stopsig);
		return 1;
	}
	// The index is written back and closed: the next writer may have the
	// history. (A run that ends otherwise releases the lock by exiting.)
	common::unlockhistory(&lock);
	if (summary) {
		openlog("quorlin", LOG_NDELAY, LOG_NEWS);
		syslog(LOG_NOTICE, "deleted %d arts %d files, added %d arts",
		       tool.arts_deleted, tool.files_deleted, tool.arts_added);
		closelog();
	}
	if (stopsig != 0)
		quorlin::diefrom(stopsig);
	return 0;
}

// The fuzz target links this file without main() and calls run() itself.
#ifndef QUORLIN_NO_MAIN
int main(int argc, char **argv) { return quorlin::run(argc, argv); }
#endif
