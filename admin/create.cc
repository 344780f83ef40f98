// create.cc: dbz create: an empty index with chosen parameters.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "admin/commands.h"
#include "admin/common.h"
#include "admin/lock.h"
#include "common/commit.h"
#include "dbz/dbz.h"

namespace {

// The separator is one character other than a digit, taken as it stands,
// or a character code from 0 to 255: "-F :" and "-F 58" are the same, and
// "-F 9" is a tab.
bool parseseparator(const char *text, int *sep) {
	if (text[0] != '\0' && text[1] == '\0' && (text[0] < '0' || text[0] > '9')) {
		*sep = static_cast<unsigned char>(text[0]);
		return true;
	}
	int64_t code;
	if (!admin::parsenum(text, 0, 255, "-F", &code))
		return false;
	*sep = static_cast<int>(code);
	return true;
}

bool parsecasechar(const char *text, int *casechar) {
	if (text[0] == '\0' || text[1] != '\0' || strchr("0Bb=C?", text[0]) == nullptr) {
		admin::errmsg("-C %s: invalid case character (one of 0 B b = C ?)",
		              text);
		return false;
	}
	*casechar = text[0];
	return true;
}

}  // namespace

int cmd_create(int argc, char **argv) {
	int64_t size = 0, expected = -1, tagmask = 0;
	bool havesize = false, havetagmask = false;
	int separator = '\t', casechar = 'C', wait = -1;
	opterr = 0;
	optind = 1;
	int c;
	while ((c = getopt(argc, argv, "s:e:F:C:t:w:")) != -1) {
		switch (c) {
		case 's':
			if (!admin::parsenum(optarg, 2, INT64_MAX, "-s", &size))
				return kExitUsage;
			havesize = true;
			break;
		case 'e':
			if (!admin::parsenum(optarg, 0, INT64_MAX, "-e", &expected))
				return kExitUsage;
			break;
		case 'F':
			if (!parseseparator(optarg, &separator))
				return kExitUsage;
			break;
		case 'C':
			if (!parsecasechar(optarg, &casechar))
				return kExitUsage;
			break;
		case 't':
			// A mask with the sign bit set has no room for the
			// tag-enable bit above its field.
			if (!admin::parsenum(optarg, 0, INT64_MAX, "-t", &tagmask))
				return kExitUsage;
			havetagmask = true;
			break;
		case 'w':
			if (!admin::parsewait(optarg, &wait))
				return kExitUsage;
			break;
		default:
			admin::badoption("create", "seFCtw");
			return kExitUsage;
		}
	}
	argc -= optind;
	argv += optind;
	if (argc != 1 || (havesize && expected >= 0))
		return kExitUsage;
	const char *base = argv[0];

	// A table needs two slots at least; one expected entry would give one.
	if (expected >= 0)
		size = dbzpicksize(expected == 1 ? 2 : expected);
	if (!havetagmask) {
		// Leave room in the values for offsets up to the base file's
		// present size; without a base file keep the default layout.
		struct stat st;
		if (stat(base, &st) == 0) {
			int64_t largest = st.st_size > INT32_MAX ? INT32_MAX : st.st_size;
			tagmask = dbzpicktagmask(static_cast<int32_t>(largest));
		}
	}

	// Under the exclusive lock, when there is a base file to lock: quorlin
	// and the other dbz commands wait for the new index. Without a base
	// file no one can use the index; a commit that an interrupted build
	// left is still settled, so that it cannot land over the new index.
	common::histlock lock;
	struct stat st;
	if (stat(base, &st) == 0) {
		if (int status = admin::takelock(&lock, base, common::lockmode::replace, wait))
			return status;
	} else if (common::finishcommit(base, common::kCommitReplace, "dbz") != 0) {
		return kExitFail;
	}

	// Open both files for writing first, so that a failure names the file
	// it concerns; dbzcreate() truncates them anyway.
	for (const char *suffix : {".dir", ".pag"}) {
		std::string path = std::string(base) + suffix;
		int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
		if (fd < 0) {
			admin::syserr("%s", path.c_str());
			return kExitFail;
		}
		close(fd);
	}
	errno = 0;
	if (dbzcreate(base, size, separator, casechar, tagmask) != 0) {
		admin::syserr("%s: cannot create index", base);
		return kExitFail;
	}
	errno = 0;
	if (dbzdone() != 0) {
		admin::syserr("%s: cannot close new index", base);
		return kExitFail;
	}
	return kExitOK;
}
