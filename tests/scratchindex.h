// scratchindex.h: a temporary directory per test, with helpers to write an
// index's files by hand and read them back (configuration and open tests).
#ifndef QUORLIN_TESTS_SCRATCHINDEX_H_
#define QUORLIN_TESTS_SCRATCHINDEX_H_

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "dbz/internal.h"
#include "tests/support.h"

namespace scratch {

using testsupport::orderline;

inline const std::string kZeros = "0 0 0 0 0 0 0 0 0 0 0\n";

// The fields of a .dir that tests vary; the rest are the defaults.
struct dirspec {
	int64_t tablesize = 16;
	char casemode = 'C';
	std::string tags = "128 124 24";  // tagflag tagspan tagpos
	std::string order = orderline();
	std::string usage = kZeros;
	std::string untagged = kZeros;
};

inline std::string dirtext(const dirspec &d = {}) {
	return "dbz 3 " + std::to_string(d.tablesize) + " 9 " + d.casemode + " " +
	       d.tags + " 8 " + d.order + "\n" + d.usage + d.untagged;
}

// Number of file descriptors this process has open: a failed open must not
// leave any of its streams behind.
inline int openfds() {
	int n = 0;
	DIR *d = opendir("/proc/self/fd");
	if (d == nullptr)
		return -1;
	while (readdir(d) != nullptr)
		n++;
	closedir(d);
	return n;
}

// A key as the tool passes it: the characters and their terminating NUL.
inline dbzitem key(const char *s) {
	return dbzitem{const_cast<char *>(s),
	               static_cast<int32_t>(std::char_traits<char>::length(s) + 1)};
}

class IndexTest : public ::testing::Test {
protected:
	void SetUp() override {
		const char *tmp = getenv("TMPDIR");
		std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") +
		                   "/dbztest.XXXXXX";
		ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
		dir_ = tmpl;
	}

	void TearDown() override {
		dbz::resetstate();
		std::error_code ec;
		std::filesystem::remove_all(dir_, ec);
	}

	std::string path(const std::string &name) const {
		return dir_ + "/" + name;
	}

	void writefile(const std::string &name, const std::string &bytes) const {
		std::ofstream out(path(name), std::ios::binary | std::ios::trunc);
		out << bytes;
		ASSERT_TRUE(out.good()) << path(name);
	}

	// Overwrites the start of a file in place, without truncating it.
	void overwrite(const std::string &name, const std::string &bytes) const {
		std::fstream out(path(name),
		                 std::ios::binary | std::ios::in | std::ios::out);
		out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
		ASSERT_TRUE(out.good()) << path(name);
	}

	std::string readfile(const std::string &name) const {
		std::ifstream in(path(name), std::ios::binary);
		std::ostringstream text;
		text << in.rdbuf();
		return text.str();
	}

	// Lays out index "base": a base file, a .dir and a .pag.
	void makeindex(const std::string &base, const std::string &dir,
	               const std::string &pag = "",
	               const std::string &records = "") const {
		writefile(base, records);
		writefile(base + ".dir", dir);
		writefile(base + ".pag", pag);
	}

	int open(const std::string &base) const {
		return dbzopen(path(base).c_str());
	}

	std::string dir_;
};

}  // namespace scratch

#endif  // QUORLIN_TESTS_SCRATCHINDEX_H_
