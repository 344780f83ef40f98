// quorlin_harness.cc: scratch spools and runs of the built quorlin.
#include "tests/quorlin_harness.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "dbz/dbz.h"

namespace qtest {

namespace fs = std::filesystem;

spool::spool() {
	char tmpl[] = "/tmp/quorlinXXXXXX";
	if (mkdtemp(tmpl) == nullptr)
		throw std::runtime_error("mkdtemp failed");
	dir_ = tmpl;
}

spool::~spool() {
	std::error_code ec;
	fs::remove_all(dir_, ec);
}

void spool::write(const std::string &rel, const std::string &text) const {
	fs::path p = path(rel);
	fs::create_directories(p.parent_path());
	std::ofstream f(p, std::ios::binary | std::ios::trunc);
	f << text;
	if (!f)
		throw std::runtime_error("cannot write " + p.string());
}

std::string spool::read(const std::string &rel) const {
	std::ifstream f(path(rel), std::ios::binary);
	std::ostringstream s;
	s << f.rdbuf();
	return s.str();
}

bool spool::exists(const std::string &rel) const {
	return fs::exists(fs::symlink_status(path(rel)));
}

void spool::history(const std::string &rel, const std::string &text,
                    int64_t tablesize) const {
	write(rel, text);
	std::string base = path(rel);
	if (dbzcreate(base.c_str(), tablesize, '\t', 'C', 0) != 0)
		throw std::runtime_error("dbzcreate failed for " + base);
	size_t at = 0;
	while (at < text.size()) {
		size_t end = text.find('\n', at);
		if (end == std::string::npos)
			end = text.size();
		std::string line = text.substr(at, end - at);
		std::string id = line.substr(0, line.find('\t'));
		int64_t offset = static_cast<int64_t>(at);
		dbzitem key = {id.data(), static_cast<int32_t>(id.size() + 1)};
		dbzitem value = {reinterpret_cast<char *>(&offset), sizeof offset};
		if (!id.empty() && dbzstore(key, value) != 0) {
			dbzdone();
			throw std::runtime_error("dbzstore failed for " + id);
		}
		at = end + 1;
	}
	if (dbzdone() != 0)
		throw std::runtime_error("dbzdone failed for " + base);
}

int64_t spool::lookup(const std::string &rel, const std::string &id) const {
	std::string base = path(rel);
	if (dbzopen(base.c_str()) != 0)
		throw std::runtime_error("dbzopen failed for " + base);
	std::string k = id;
	dbzitem key = {k.data(), static_cast<int32_t>(k.size() + 1)};
	dbzitem found = dbzlookup(key);
	int64_t offset = -1;
	if (found.ptr != nullptr)
		memcpy(&offset, found.ptr, sizeof offset);
	dbzdone();
	return offset;
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

}  // namespace

runresult run(const std::vector<std::string> &args, const runopts &opts) {
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
	std::string name = "quorlin";
	argv.push_back(name.data());
	std::vector<std::string> copy = args;
	for (std::string &a : copy)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	std::string bin = QUORLIN_BIN_DIR "/quorlin";

	fflush(nullptr);
	pid_t pid = fork();
	if (pid < 0)
		throw std::runtime_error("fork failed");
	if (pid == 0) {
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
	int wstatus;
	if (waitpid(pid, &wstatus, 0) != pid)
		throw std::runtime_error("waitpid failed");
	runresult r;
	r.out = readback(out);
	r.err = readback(err);
	r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
	return r;
}

std::string maskedtimes(const std::string &out) {
	static const std::regex time("\t[0-9]+~-\n");
	return std::regex_replace(out, time, "\tT~-\n");
}

}  // namespace qtest
