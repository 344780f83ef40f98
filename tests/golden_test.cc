// golden_test.cc: a small history of realistic message IDs and the index
// that "dbz build" must make of it, byte for byte. The expected .dir and
// .pag in tests/golden/ were worked out by tests/golden/make_golden.py
// from the file formats alone, not by this code.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dbz/dbz.h"
#include "tests/support.h"

namespace {

const std::string kGolden = QUORLIN_SOURCE_DIR "/tests/golden/";
const std::string kDbz = QUORLIN_BIN_DIR "/dbz";

struct line {
	std::string id;
	int64_t offset;
};

// The golden history's lines: each ID and its line's offset.
std::vector<line> goldenlines() {
	std::string text = testsupport::readfile(kGolden + "history");
	std::vector<line> out;
	for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1)
		out.push_back({text.substr(at, text.find('\t', at) - at),
		               static_cast<int64_t>(at)});
	return out;
}

// Whether a .pag holds the golden slots: the same bytes where both have
// them, and only empty slots where one is longer (a slot beyond the end of
// the file is empty).
::testing::AssertionResult sameslots(const std::string &got,
                                     const std::string &want) {
	size_t n = std::min(got.size(), want.size());
	if (got.compare(0, n, want, 0, n) != 0)
		return ::testing::AssertionFailure() << "the slots differ";
	const std::string &longer = got.size() > want.size() ? got : want;
	if (longer.find_first_not_of('\0', n) != std::string::npos)
		return ::testing::AssertionFailure() << "slots in use beyond " << n;
	return ::testing::AssertionSuccess();
}

TEST(Golden, TheFixtureShowsWhatItIsFor) {
	std::vector<line> lines = goldenlines();
	ASSERT_EQ(lines.size(), 12u);
	EXPECT_EQ(testsupport::readfile(kGolden + "history.pag").size(), 41u * 8);
}

TEST(Golden, BuildMakesTheGoldenBytes) {
	testsupport::scratchdir d("golden");
	d.write("history", testsupport::readfile(kGolden + "history"));
	testsupport::runresult r = testsupport::run(kDbz, {"build", "-q", d.path("history")});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(d.read("history.dir"), testsupport::readfile(kGolden + "history.dir"));
	EXPECT_TRUE(sameslots(d.read("history.pag"),
	                      testsupport::readfile(kGolden + "history.pag")));
}

// The golden files, as they are, answer every lookup with the line of the
// ID, with the table in memory or read from the file, and the dbz
// command's check finds them in agreement with the history.
TEST(Golden, TheGoldenIndexFindsEveryLine) {
	testsupport::scratchdir d("golden");
	for (const char *f : {"history", "history.dir", "history.pag"})
		d.write(f, testsupport::readfile(kGolden + f));
	std::string base = d.path("history");
	for (int incore : {0, 1}) {
		SCOPED_TRACE(incore ? "in core" : "from the file");
		dbzsetincore(incore);
		ASSERT_EQ(dbzopen(base.c_str()), 0);
		for (const line &l : goldenlines()) {
			std::string upper = l.id;
			for (size_t i = upper.find('@'); i < upper.size(); i++)
				upper[i] = static_cast<char>(toupper(upper[i]));
			for (const std::string &id : {l.id, upper}) {
				dbzitem found = dbzlookup(dbzidkey(id.c_str(), id.size()));
				ASSERT_NE(found.ptr, nullptr) << id;
				int64_t v;
				memcpy(&v, found.ptr, sizeof v);
				EXPECT_EQ(v, l.offset) << id;
			}
		}
		std::string absent = "<absent@example.org>";
		EXPECT_EQ(dbzlookup(dbzidkey(absent.c_str(), absent.size())).ptr, nullptr);
		ASSERT_EQ(dbzdone(), 0);
	}
	dbzsetincore(0);
	testsupport::runresult r = testsupport::run(kDbz, {"check", base});
	EXPECT_EQ(r.status, 0) << r.out << r.err;
	EXPECT_EQ(d.read("history.dir"), testsupport::readfile(kGolden + "history.dir"))
	    << "looking up writes nothing back";
}

}  // namespace
