// commit.cc: the commit record of a new index, and the renames it stands
// for.
#include "common/commit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/report.h"

namespace common {

namespace {

// A record is one short line; anything longer is not one of ours.
constexpr size_t kRecordMax = 4096;

struct record {
	uint64_t pagino, dirino;
	std::string name;  // the temporary base, without its folder
};

// Reads and parses the record at path. Returns 1 for a record, 0 when there
// is none, -1 on a read error (errno set), -2 when the file is malformed.
int readrecord(const std::string &path, record *rec) {
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
	if (fd < 0)
		return errno == ENOENT ? 0 : -1;
	char buf[kRecordMax + 1];
	size_t have = 0;
	for (;;) {
		ssize_t n = read(fd, buf + have, sizeof buf - 1 - have);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0) {
			int saved = errno;
			close(fd);
			errno = saved;
			return -1;
		}
		if (n == 0 || (have += static_cast<size_t>(n)) == sizeof buf - 1)
			break;
	}
	close(fd);
	buf[have] = '\0';
	int used = 0;
	if (have == 0 || buf[have - 1] != '\n' ||
	    sscanf(buf, "%" SCNu64 " %" SCNu64 " %n", &rec->pagino, &rec->dirino,
	           &used) != 2 ||
	    used == 0)
		return -2;
	rec->name.assign(buf + used, have - 1 - static_cast<size_t>(used));
	if (rec->name.empty() || rec->name.find('/') != std::string::npos ||
	    rec->name.find('\n') != std::string::npos || rec->name == "." ||
	    rec->name == "..")
		return -2;
	return 1;
}

// Moves from to to unless that was done already: from is gone and to is
// the file with inode ino. Returns 0 when done (now or before), -1 with
// errno set on failure, -2 when from is gone and to is not the new file.
int movenew(const std::string &from, const std::string &to, uint64_t ino) {
	if (rename(from.c_str(), to.c_str()) == 0)
		return 0;
	if (errno != ENOENT)
		return -1;
	struct stat st;
	if (stat(to.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_ino) == ino)
		return 0;
	return -2;
}

// Removes path; a path that is gone already is fine.
bool removegone(const std::string &path) {
	return unlink(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace

std::string folderof(const std::string &path) {
	size_t slash = path.rfind('/');
	if (slash == std::string::npos)
		return ".";
	if (slash == 0)
		return "/";
	return path.substr(0, slash);
}

std::string lastpart(const std::string &path) {
	size_t slash = path.rfind('/');
	return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string commitpath(const std::string &history) { return history + ".commit"; }

bool pendingcommit(const char *history) {
	struct stat st;
	return lstat(commitpath(history).c_str(), &st) == 0 || errno != ENOENT;
}

int syncfolder(const std::string &folder) {
	int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	if (fsync(fd) != 0) {
		int saved = errno;
		close(fd);
		errno = saved;
		return -1;
	}
	return close(fd);
}

int writecommit(const char *history, const char *tempbase, const char *prefix) {
	std::string temp = tempbase, pag = temp + ".pag", dir = temp + ".dir";
	struct stat pagst, dirst;
	if (stat(pag.c_str(), &pagst) != 0) {
		reportsys(errno, prefix, "%s", pag.c_str());
		return -1;
	}
	if (stat(dir.c_str(), &dirst) != 0) {
		reportsys(errno, prefix, "%s", dir.c_str());
		return -1;
	}
	char line[kRecordMax];
	int len = snprintf(line, sizeof line, "%" PRIu64 " %" PRIu64 " %s\n",
	                   static_cast<uint64_t>(pagst.st_ino),
	                   static_cast<uint64_t>(dirst.st_ino), lastpart(temp).c_str());
	if (len < 0 || static_cast<size_t>(len) >= sizeof line) {
		reportsys(ENAMETOOLONG, prefix, "%s", temp.c_str());
		return -1;
	}
	// The record is written under the temporary base's name, so that a
	// build killed while writing it leaves only a temporary, which the
	// next build's sweep removes.
	std::string draft = temp + ".commit", final = commitpath(history);
	int fd = open(draft.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
	if (fd < 0) {
		reportsys(errno, prefix, "%s", draft.c_str());
		return -1;
	}
	bool ok = write(fd, line, static_cast<size_t>(len)) == len && fsync(fd) == 0;
	int saved = errno;
	if (close(fd) != 0 && ok) {
		ok = false;
		saved = errno;
	}
	if (!ok || rename(draft.c_str(), final.c_str()) != 0) {
		if (ok)
			saved = errno;
		reportsys(saved, prefix, "%s", ok ? final.c_str() : draft.c_str());
		unlink(draft.c_str());
		return -1;
	}
	// Until the folder is synced a power loss could undo the rename; a
	// failure to sync leaves the decision made, so go on with it.
	if (syncfolder(folderof(history)) != 0)
		reportsys(errno, prefix, "%s", folderof(history).c_str());
	return 0;
}

int finishcommit(const char *history, int flags, const char *prefix) {
	std::string hist = history, recpath = commitpath(hist), folder = folderof(hist);
	record rec;
	int got = readrecord(recpath, &rec);
	if (got == 0)
		return 0;
	if (got == -1) {
		reportsys(errno, prefix, "%s", recpath.c_str());
		report(prefix, "%s: cannot tell whether an interrupted dbz build left "
		       "its new index half in place; run dbz build %s",
		       history, history);
		return -1;
	}
	// The record names a temporary of this history's builds, nothing else:
	// its files are renamed and removed.
	std::string ours = lastpart(hist) + ".new";
	if (got == 1 && rec.name.compare(0, ours.size(), ours) != 0)
		got = -2;
	std::string temp = folder + "/" + rec.name;
	int moved = -2;
	const char *failed = nullptr;
	if (got == 1) {
		moved = movenew(temp + ".pag", hist + ".pag", rec.pagino);
		failed = ".pag";
		if (moved == 0) {
			moved = movenew(temp + ".dir", hist + ".dir", rec.dirino);
			failed = ".dir";
		}
	}
	if (moved == -1) {
		int saved = errno;
		reportsys(saved, prefix, "%s%s", history, failed);
		report(prefix, "%s: an interrupted dbz build left its new index half "
		       "in place; run dbz check %s as a user who may write the index "
		       "to complete it",
		       history, history);
		errno = saved;
		return -1;
	}
	if (moved == -2) {
		// The record is malformed, or a new file is gone and was not
		// renamed into place: the index cannot be put together again.
		if (!(flags & kCommitReplace)) {
			report(prefix, "%s: an interrupted dbz build left its new index "
			       "half in place, and its files are missing; run dbz build %s",
			       history, history);
			errno = ENOENT;
			return -1;
		}
		if (got == 1) {
			removegone(temp + ".pag");
			removegone(temp + ".dir");
		}
	}
	// The renames are made durable before the record goes: a power loss
	// must not leave the record gone and the renames undone.
	if (syncfolder(folder) != 0) {
		reportsys(errno, prefix, "%s", folder.c_str());
		return -1;
	}
	// The removals need no sync: a record that comes back after a power
	// loss finds its renames made and is removed again.
	if ((got == 1 && !removegone(temp)) || !removegone(recpath)) {
		reportsys(errno, prefix, "%s", recpath.c_str());
		return -1;
	}
	if (moved == -2)
		report(prefix, "%s: dropped the unfinished commit of an interrupted "
		       "dbz build, whose new files are missing",
		       history);
	else if (!(flags & kCommitQuiet))
		report(prefix, "%s: completed putting in place the new index of an "
		       "interrupted dbz build",
		       history);
	return 0;
}

}  // namespace common
