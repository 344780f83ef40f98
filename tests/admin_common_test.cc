// admin_common_test.cc: the dbz command's shared helpers: number parsing,
// error prints, the history line reader and the message ID checks.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "admin/common.h"

namespace {

TEST(ParseNum, AcceptsWholeNumbersInRangeAndNamesBadValues) {
	const struct {
		const char *text;
		int64_t min, max;
		bool ok;
		int64_t value;
		const char *message;  // on stderr when !ok
	} cases[] = {
	    {"0", 0, 10, true, 0, ""},
	    {"10", 0, 10, true, 10, ""},
	    {"-3", -5, 5, true, -3, ""},
	    {"007", 0, 10, true, 7, ""},  // decimal, not octal
	    {"0x7F000000", 0, INT64_MAX, true, 0x7F000000, ""},
	    {"0XfF", 0, 1000, true, 255, ""},
	    {"9223372036854775807", 0, INT64_MAX, true, INT64_MAX, ""},
	    {"-9223372036854775808", INT64_MIN, 0, true, INT64_MIN, ""},
	    {"", 0, 10, false, 0, "dbz: -s : invalid\n"},
	    {"12x", 0, 100, false, 0, "dbz: -s 12x: invalid\n"},
	    {" 12", 0, 100, false, 0, "dbz: -s  12: invalid\n"},
	    {"+12", 0, 100, false, 0, "dbz: -s +12: invalid\n"},
	    {"-", 0, 100, false, 0, "dbz: -s -: invalid\n"},
	    {"0x", 0, 100, false, 0, "dbz: -s 0x: invalid\n"},
	    {"0x1g", 0, 100, false, 0, "dbz: -s 0x1g: invalid\n"},
	    {"1", 2, 100, false, 0, "dbz: -s 1: too small\n"},
	    {"101", 2, 100, false, 0, "dbz: -s 101: too large\n"},
	    {"9223372036854775808", 0, INT64_MAX, false, 0,
	     "dbz: -s 9223372036854775808: too large\n"},
	    {"-9223372036854775809", INT64_MIN, 0, false, 0,
	     "dbz: -s -9223372036854775809: too small\n"},
	    {"0x10000000000000000", 0, INT64_MAX, false, 0,
	     "dbz: -s 0x10000000000000000: too large\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.text);
		int64_t out = -12345;
		testing::internal::CaptureStderr();
		bool ok = admin::parsenum(c.text, c.min, c.max, "-s", &out);
		std::string err = testing::internal::GetCapturedStderr();
		EXPECT_EQ(ok, c.ok);
		EXPECT_EQ(err, c.message);
		EXPECT_EQ(out, c.ok ? c.value : -12345) << "untouched on failure";
	}
}

TEST(ErrorPrints, OneShapeAndErrnoKept) {
	testing::internal::CaptureStderr();
	errno = ENOENT;
	admin::syserr("%s", "h.dir");
	EXPECT_EQ(errno, ENOENT);
	admin::syserrnum(EACCES, "%s: cannot create index", "h");
	admin::syserrnum(0, "%s: refused", "h");
	admin::errmsg("h:%d: bad", 3);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
	          "dbz: h.dir: No such file or directory\n"
	          "dbz: h: cannot create index: Permission denied\n"
	          "dbz: h: refused\n"
	          "dbz: h:3: bad\n");
}

TEST(MessageIds, CheckAndLineSplit) {
	const struct {
		std::string line;
		bool hassep;
		std::string id;
		bool isid;
	} cases[] = {
	    {"<a@b>\t1~-\tx/1", true, "<a@b>", true},
	    {"<a@b>", false, "<a@b>", true},
	    {"<>\t1", true, "<>", true},
	    {"<\t1", true, "<", false},
	    {"a@b>\t1", true, "a@b>", false},
	    {"<a@b\t1", true, "<a@b", false},
	    {"", false, "", false},
	    {"\t<a@b>", true, "", false},
	    {"<a b@c>\t1", true, "<a b@c>", true},
	    {std::string("<a\0b>\t1", 7), true, std::string("<a\0b>", 5), true},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.line);
		size_t idlen = 999;
		EXPECT_EQ(admin::lineid(c.line.data(), c.line.size(), '\t', &idlen), c.hassep);
		ASSERT_LE(idlen, c.line.size());
		EXPECT_EQ(std::string(c.line.data(), idlen), c.id);
		EXPECT_EQ(admin::isid(c.line.data(), idlen), c.isid);
	}
}

class HistReader : public ::testing::Test {
protected:
	void SetUp() override {
		char tmpl[] = "/tmp/admin_common_test.XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir_ = tmpl;
		path_ = dir_ + "/history";
	}
	void TearDown() override { std::filesystem::remove_all(dir_); }

	struct got {
		std::string text;
		int64_t length, offset, number;
		bool newline;
	};
	// Reads the whole file written with content.
	std::vector<got> readall(const std::string &content) {
		std::ofstream(path_, std::ios::binary | std::ios::trunc) << content;
		static admin::histreader r;  // large; keep it off the stack
		std::vector<got> lines;
		EXPECT_TRUE(admin::histopen(&r, path_.c_str()));
		EXPECT_EQ(r.size, static_cast<int64_t>(content.size()));
		admin::histline l;
		int n;
		while ((n = admin::histnext(&r, &l)) == 1) {
			EXPECT_EQ(l.text[l.len], '\0');
			lines.push_back({std::string(l.text, l.len), l.length, l.offset,
			                 l.number, l.newline});
		}
		EXPECT_EQ(n, 0);
		EXPECT_EQ(admin::histnext(&r, &l), 0) << "end of file stays the end";
		EXPECT_EQ(admin::histclose(&r), 0);
		return lines;
	}

	std::string dir_, path_;
};

TEST_F(HistReader, OffsetsNumbersAndLastLine) {
	auto lines = readall(std::string("<a@b>\t1\n\n<c@d>\t2\0x\n<e@f>", 24));
	ASSERT_EQ(lines.size(), 4u);
	EXPECT_EQ(lines[0].text, "<a@b>\t1");
	EXPECT_EQ(lines[0].offset, 0);
	EXPECT_EQ(lines[1].text, "");
	EXPECT_EQ(lines[1].offset, 8);
	EXPECT_EQ(lines[2].text, std::string("<c@d>\t2\0x", 9)) << "NUL bytes kept";
	EXPECT_EQ(lines[2].offset, 9);
	EXPECT_EQ(lines[3].text, "<e@f>");
	EXPECT_EQ(lines[3].offset, 19);
	EXPECT_FALSE(lines[3].newline);
	for (size_t i = 0; i < 3; i++)
		EXPECT_TRUE(lines[i].newline);
	for (size_t i = 0; i < lines.size(); i++) {
		EXPECT_EQ(lines[i].number, static_cast<int64_t>(i + 1));
		EXPECT_EQ(lines[i].length, static_cast<int64_t>(lines[i].text.size()));
	}
}

TEST_F(HistReader, EmptyFileHasNoLines) {
	EXPECT_TRUE(readall("").empty());
	EXPECT_EQ(readall("\n").size(), 1u);
}

TEST_F(HistReader, LongLinesAreCutButCountedExactly) {
	// A line longer than what is kept, and lines that straddle the read
	// chunks, keep exact offsets and lengths.
	std::string longline(admin::kLineKeep * 5 + 3, 'x');
	longline[0] = '<';
	std::string content = "<a@b>\t1\n" + longline + "\n";
	std::vector<int64_t> offsets;
	while (content.size() < 3 * admin::kReadChunk) {
		offsets.push_back(static_cast<int64_t>(content.size()));
		content += "<" + std::to_string(content.size()) + "@h>\t1~-\n";
	}
	auto lines = readall(content);
	ASSERT_EQ(lines.size(), 2 + offsets.size());
	EXPECT_EQ(lines[1].offset, 8);
	EXPECT_EQ(lines[1].length, static_cast<int64_t>(longline.size()));
	EXPECT_EQ(lines[1].text, longline.substr(0, admin::kLineKeep));
	for (size_t i = 0; i < offsets.size(); i++) {
		const got &g = lines[i + 2];
		ASSERT_EQ(g.offset, offsets[i]);
		ASSERT_EQ(g.text, "<" + std::to_string(offsets[i]) + "@h>\t1~-");
	}
}

TEST_F(HistReader, OpenFailsWithErrno) {
	static admin::histreader r;
	errno = 0;
	EXPECT_FALSE(admin::histopen(&r, (dir_ + "/missing").c_str()));
	EXPECT_EQ(errno, ENOENT);
	EXPECT_FALSE(admin::histopen(&r, dir_.c_str()));
	EXPECT_EQ(errno, EISDIR);
}

}  // namespace
