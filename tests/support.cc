// support.cc: scratch directories, runs of built commands, and .dir and
// .pag bytes for the tests.
#include "tests/support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <bit>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

namespace fs = std::filesystem;

scratchdir::scratchdir(const char *prefix) {
	const char *tmp = getenv("TMPDIR");
	std::string tmpl = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
	                   "/" + prefix + "XXXXXX";
	if (mkdtemp(tmpl.data()) == nullptr)
		throw std::runtime_error("mkdtemp failed");
	dir_ = tmpl;
}

scratchdir::~scratchdir() {
	std::error_code ec;
	fs::remove_all(dir_, ec);
}

void scratchdir::write(const std::string &rel, const std::string &bytes) const {
	fs::path p = path(rel);
	fs::create_directories(p.parent_path());
	writefile(p, bytes);
}

std::string scratchdir::read(const std::string &rel) const {
	return readfile(path(rel));
}

bool scratchdir::exists(const std::string &rel) const {
	return fs::exists(fs::symlink_status(path(rel)));
}

std::string readfile(const std::string &path) {
	std::ifstream f(path, std::ios::binary);
	std::ostringstream s;
	s << f.rdbuf();
	return s.str();
}

void writefile(const std::string &path, const std::string &bytes) {
	std::ofstream f(path, std::ios::binary | std::ios::trunc);
	f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
	if (!f)
		throw std::runtime_error("cannot write " + path);
}

namespace {

// A scratch file for one stream of the child, unlinked at once.
int scratchfile() {
	char tmpl[] = "/tmp/quorlinioXXXXXX";
	int fd = mkostemp(tmpl, O_CLOEXEC);
	if (fd < 0)
		throw std::runtime_error("mkstemp failed");
	unlink(tmpl);
	return fd;
}

std::string readback(int fd) {
	std::string s;
	char buf[65536];
	lseek(fd, 0, SEEK_SET);
	ssize_t n;
	while ((n = ::read(fd, buf, sizeof buf)) > 0)
		s.append(buf, static_cast<size_t>(n));
	close(fd);
	return s;
}

// Waits for pid, killing it after timeout seconds.
int waitbounded(pid_t pid, int timeout) {
	struct timespec pause = {0, 5 * 1000 * 1000};
	long waited = 0, limit = static_cast<long>(timeout) * 200;
	int wstatus;
	for (;;) {
		pid_t r = waitpid(pid, &wstatus, WNOHANG);
		if (r == pid)
			return wstatus;
		if (r < 0 && errno != EINTR)
			throw std::runtime_error("waitpid failed");
		if (++waited > limit) {
			kill(pid, SIGKILL);
			waitpid(pid, &wstatus, 0);
			return wstatus;
		}
		nanosleep(&pause, nullptr);
	}
}

}  // namespace

runresult run(const std::string &bin, const std::vector<std::string> &args,
              const runopts &opts) {
	int in, feeder = -1, out = scratchfile(), err = scratchfile();
	if (opts.feed) {
		int p[2];
		if (pipe2(p, O_CLOEXEC) != 0)
			throw std::runtime_error("pipe failed");
		in = p[0];
		feeder = p[1];
	} else {
		in = scratchfile();
		if (::write(in, opts.in.data(), opts.in.size()) !=
		    static_cast<ssize_t>(opts.in.size()))
			throw std::runtime_error("cannot write the input");
		lseek(in, 0, SEEK_SET);
	}

	std::vector<char *> argv;
	std::string name = fs::path(bin).filename();
	argv.push_back(name.data());
	std::vector<std::string> copy = args;
	for (std::string &a : copy)
		argv.push_back(a.data());
	argv.push_back(nullptr);

	fflush(nullptr);
	pid_t pid = fork();
	if (pid < 0)
		throw std::runtime_error("fork failed");
	if (pid == 0) {
		if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0)
			_exit(126);
		if (opts.inchild && !opts.inchild())
			_exit(126);
		// The standard streams first: a scratch file may have number 5.
		if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
			_exit(126);
		if (opts.fd5 >= 0) {
			if (opts.fd5 == 5)
				fcntl(5, F_SETFD, 0);
			else if (dup2(opts.fd5, 5) < 0)
				_exit(126);
		}
		if (opts.fsizelimit != RLIM_INFINITY) {
			// The limit makes writes fail; the signal that comes with it
			// would end the run before it could say so.
			signal(SIGXFSZ, SIG_IGN);
			struct rlimit r = {opts.fsizelimit, opts.fsizelimit};
			setrlimit(RLIMIT_FSIZE, &r);
		}
		if (opts.beforeexec && !opts.beforeexec())
			_exit(126);
		execv(bin.c_str(), argv.data());
		_exit(127);
	}
	close(in);
	if (feeder >= 0) {
		opts.feed(feeder);
		close(feeder);
	}
	int wstatus = waitbounded(pid, opts.timeout);
	runresult r;
	r.out = readback(out);
	r.err = readback(err);
	r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
	return r;
}

std::string orderline(bool reversed) {
	bool big = (std::endian::native == std::endian::big) != reversed;
	std::string out;
	for (int i = 0; i < 8; i++)
		out += (i ? " " : "") + std::to_string(big ? i : 7 - i);
	return out;
}

std::string dirtext(const dirfields &d) {
	char line[200];
	snprintf(line, sizeof line, "dbz 3 %lld %d %c %lld %lld %d 8 ",
	         static_cast<long long>(d.tablesize),
	         static_cast<int>(static_cast<signed char>(d.separator)), d.casemode,
	         static_cast<long long>(d.tagflag), static_cast<long long>(d.tagspan),
	         d.tagpos);
	return line + orderline(d.reversed) + "\n" + d.usage + d.untagged;
}

void putslot(const std::string &pagpath, int64_t slot, uint64_t form,
             bool reversed) {
	if (reversed)
		form = __builtin_bswap64(form);
	int fd = ::open(pagpath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
	if (fd < 0)
		throw std::runtime_error("cannot open " + pagpath);
	ssize_t n = pwrite(fd, &form, 8, static_cast<off_t>(slot) * 8);
	close(fd);
	if (n != 8)
		throw std::runtime_error("cannot write a slot of " + pagpath);
}

}  // namespace testsupport
