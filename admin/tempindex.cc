// tempindex.cc: the temporary index of dbz build and rebuild, from its
// name to its commit.
#include "admin/tempindex.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "admin/common.h"
#include "common/commit.h"

namespace admin {

namespace {

// The temporaries, in fixed buffers so that the signal handler can remove
// them. A name is cleared once its file is committed or removed.
char tmpbase[4096], tmpdir[4100], tmppag[4100];

void removetemps() {
	// The base link goes last: while it exists its name is taken, and no
	// other build can pick the same .dir and .pag names.
	if (tmppag[0] != '\0')
		unlink(tmppag);
	if (tmpdir[0] != '\0')
		unlink(tmpdir);
	if (tmpbase[0] != '\0')
		unlink(tmpbase);
}

void forgettemps() { tmpbase[0] = tmpdir[0] = tmppag[0] = '\0'; }

// Signals are blocked while the names change and during the commit, so
// the handler sees whole names, and none once they are no longer ours.
void onsignal(int sig) {
	removetemps();
	signal(sig, SIG_DFL);
	raise(sig);
}

const int kCaught[] = {SIGINT, SIGTERM, SIGHUP};

void blocksignals(int how) {
	sigset_t set;
	sigemptyset(&set);
	for (int sig : kCaught)
		sigaddset(&set, sig);
	sigprocmask(how, &set, nullptr);
}

// Gives path the permissions and, where allowed, the owner of like, so that
// a rebuilt index stays writable for the news server's user.
void copymode(const char *path, const std::string &like) {
	struct stat st;
	if (stat(like.c_str(), &st) != 0)
		return;
	if (chown(path, st.st_uid, st.st_gid) != 0) {
		// Only the owner's own files can be given away; keep ours.
	}
	chmod(path, st.st_mode & 07777);
}

bool syncfile(const char *path) {
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0 || fsync(fd) != 0) {
		syserr("%s", path);
		if (fd >= 0)
			close(fd);
		return false;
	}
	if (close(fd) != 0) {
		syserr("%s", path);
		return false;
	}
	return true;
}

// True when name (in history's folder) is a temporary of a build of the
// history whose last component is prefix minus ".new": prefix, digits, '.',
// digits, and nothing or one of the temporary suffixes.
bool istemp(const char *name, const std::string &prefix) {
	if (strncmp(name, prefix.c_str(), prefix.size()) != 0)
		return false;
	const char *p = name + prefix.size();
	char *end;
	long pid = strtol(p, &end, 10);
	if (end == p || *end != '.' || pid <= 0)
		return false;
	p = end + 1;
	strtol(p, &end, 10);
	return end != p && (*end == '\0' || strcmp(end, ".dir") == 0 ||
	                    strcmp(end, ".pag") == 0 || strcmp(end, ".commit") == 0);
}

}  // namespace

void sweeptemps(const std::string &history) {
	std::string folder = common::folderof(history);
	std::string prefix = common::lastpart(history) + ".new";
	DIR *d = opendir(folder.c_str());
	if (d == nullptr)
		return;
	while (struct dirent *e = readdir(d)) {
		if (!istemp(e->d_name, prefix))
			continue;
		std::string path = folder + "/" + e->d_name;
		if (unlink(path.c_str()) == 0)
			errmsg("%s: removed, left by an interrupted build", path.c_str());
	}
	closedir(d);
}

namespace {

const char *claim(const std::string &history) {
	std::string last = common::lastpart(history);
	for (int attempt = 0; attempt < 1000; attempt++) {
		snprintf(tmpbase, sizeof tmpbase, "%s.new%ld.%d", history.c_str(),
		         static_cast<long>(getpid()), attempt);
		// Room for the longest suffix a temporary gets.
		if (strlen(tmpbase) + sizeof ".commit" > sizeof tmpdir) {
			tmpbase[0] = '\0';
			errno = ENAMETOOLONG;
			syserr("%s", history.c_str());
			return nullptr;
		}
		int r = link(history.c_str(), tmpbase);
		if (r != 0 && errno != EEXIST)
			r = symlink(last.c_str(), tmpbase);
		if (r == 0) {
			snprintf(tmpdir, sizeof tmpdir, "%s.dir", tmpbase);
			snprintf(tmppag, sizeof tmppag, "%s.pag", tmpbase);
			return tmpbase;
		}
		if (errno != EEXIST) {
			syserr("%s", tmpbase);
			tmpbase[0] = '\0';
			return nullptr;
		}
	}
	syserr("%s", tmpbase);
	tmpbase[0] = '\0';
	return nullptr;
}

}  // namespace

const char *maketemp(const std::string &history) {
	blocksignals(SIG_BLOCK);
	for (int sig : kCaught)
		signal(sig, onsignal);
	const char *name = claim(history);
	blocksignals(SIG_UNBLOCK);
	return name;
}

const char *temppag() { return tmppag; }

void droptemps() {
	blocksignals(SIG_BLOCK);
	removetemps();
	forgettemps();
	blocksignals(SIG_UNBLOCK);
}

bool committemp(const std::string &history) {
	std::string pag = history + ".pag", dir = history + ".dir";
	copymode(tmppag, pag);
	copymode(tmpdir, dir);
	if (!syncfile(tmppag) || !syncfile(tmpdir)) {
		droptemps();
		return false;
	}
	// From the record on, the new index is the history's: a signal now
	// must neither remove the temporaries nor stop the renames half way.
	blocksignals(SIG_BLOCK);
	if (common::writecommit(history.c_str(), tmpbase, "dbz") != 0) {
		removetemps();
		forgettemps();
		blocksignals(SIG_UNBLOCK);
		return false;
	}
	bool ok = common::finishcommit(history.c_str(), common::kCommitQuiet, "dbz") == 0;
	// Done, or recorded for the next lock holder to complete: the files
	// are no longer ours to remove.
	forgettemps();
	blocksignals(SIG_UNBLOCK);
	return ok;
}

}  // namespace admin
