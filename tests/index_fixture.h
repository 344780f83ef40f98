// index_fixture.h: a scratch index in a temporary directory for the probe and
// store tests: hand-written .dir, .pag and base files, and the slot and tag
// arithmetic that the tests predict placements with.
#ifndef QUORLIN_TESTS_INDEX_FIXTURE_H_
#define QUORLIN_TESTS_INDEX_FIXTURE_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "dbz/internal.h"
#include "tests/support.h"

namespace dbztest {

// What goes into the .dir. The defaults are a small table with the standard
// tag layout; reversed writes the .pag in the opposite byte order to this
// machine's.
struct Layout {
	int64_t tablesize = 10;
	int separator = '\t';
	char casemode = 'C';
	int64_t tagflag = 0x80;
	int64_t tagspan = 0x7C;
	int32_t tagpos = 24;
	bool reversed = false;
	bool legacy = false;  // empty .dir: the defaults, table of 300007
};

// A key as a lookup or store takes it.
inline dbzitem item(std::string &bytes) {
	return dbzitem{bytes.data(), static_cast<int32_t>(bytes.size())};
}

// A message ID with its terminating NUL, as the cancel tool passes it.
inline std::string idkey(const char *id) { return std::string(id) + '\0'; }

// The message ID <n@domain>, for searching keys with a wanted hash.
inline std::string numberedid(int n, const char *domain) {
	char id[64];
	snprintf(id, sizeof id, "<%d@%s>", n, domain);
	return id;
}

class IndexTest : public ::testing::Test {
protected:
	void SetUp() override {
		dbz::resetstate();
		dbz::hashinit();
		char tmpl[] = "/tmp/quorlin-index-XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir_ = tmpl;
		base_ = dir_ + "/history";
	}

	void TearDown() override {
		dbz::resetstate();
		std::error_code ec;
		std::filesystem::remove_all(dir_, ec);
	}

	std::string path(const char *suffix = "") const { return base_ + suffix; }

	void writefile(const char *suffix, const std::string &bytes) {
		std::ofstream out(path(suffix), std::ios::binary | std::ios::trunc);
		out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
		ASSERT_TRUE(out.good()) << path(suffix);
	}

	std::string readfile(const char *suffix) const {
		std::ifstream in(path(suffix), std::ios::binary);
		return std::string(std::istreambuf_iterator<char>(in), {});
	}

	// Writes the .dir for layout (empty for a legacy index) and an empty
	// .pag, unless one is there already.
	void writelayout(const Layout &l) {
		layout_ = l;
		if (l.legacy) {
			layout_.tablesize = dbz::kDefaultTableSize;
			writefile(".dir", "");
		} else {
			testsupport::dirfields d;
			d.tablesize = l.tablesize;
			d.separator = l.separator;
			d.casemode = l.casemode;
			d.tagflag = l.tagflag;
			d.tagspan = l.tagspan;
			d.tagpos = l.tagpos;
			d.reversed = l.reversed;
			writefile(".dir", testsupport::dirtext(d));
		}
		if (!std::filesystem::exists(path(".pag")))
			writefile(".pag", "");
	}

	void open(bool incore = false) {
		dbzsetincore(incore ? 1 : 0);
		ASSERT_EQ(dbzopen(base_.c_str()), 0) << strerror(errno);
	}

	// The masks of the layout, in place.
	uint64_t tagfield() const {
		return static_cast<uint64_t>(layout_.tagspan) << layout_.tagpos;
	}
	uint64_t tagenable() const {
		return static_cast<uint64_t>(layout_.tagflag) << layout_.tagpos;
	}

	// The hash of a key as a lookup or store of it computes it: folded the
	// layout's way, over at most limit bytes. Folding reads the case mode
	// from the index state, so it is set there (an open index has it
	// already).
	int64_t hash(const std::string &key, size_t limit = 255) {
		dbz::state().params.casemode = layout_.casemode;
		size_t n = key.size() < limit ? key.size() : limit;
		std::string buf(n, '\0');
		const char *k = dbz::foldkey(buf.data(), key.data(), n);
		return dbz::keyhash(k, n);
	}
	int64_t home(int64_t h) const { return h % layout_.tablesize; }
	uint64_t tag(int64_t h) const {
		return (static_cast<uint64_t>(h / layout_.tablesize) << layout_.tagpos) &
		       tagfield();
	}

	// Stored forms in native order: v tagged for hash h, v untagged, and v
	// tagged with a tag that h's key does not have.
	uint64_t tagform(int64_t h, uint64_t v) const {
		return (v | tag(h) | tagenable()) + 1;
	}
	static uint64_t plainform(uint64_t v) { return v + 1; }
	uint64_t foreignform(int64_t h, uint64_t v) const {
		uint64_t lowest = tagfield() & -tagfield();
		return (v | (tag(h) ^ lowest) | tagenable()) + 1;
	}

	// The 8 bytes of a native stored form as the .pag holds them.
	std::string encode(uint64_t form) const {
		if (layout_.reversed)
			form = __builtin_bswap64(form);
		std::string bytes(8, '\0');
		memcpy(bytes.data(), &form, 8);
		return bytes;
	}

	// Writes one slot into the .pag file, extending it as needed.
	void putslot(int64_t slot, uint64_t form) {
		testsupport::putslot(path(".pag"), slot, form, layout_.reversed);
	}

	// The native stored form of a slot as the .pag file holds it now; 0 for
	// a slot beyond its end.
	uint64_t fileslot(int64_t slot) const {
		std::string pag = readfile(".pag");
		if (static_cast<size_t>(slot * 8 + 8) > pag.size())
			return 0;
		uint64_t form;
		memcpy(&form, pag.data() + slot * 8, 8);
		return layout_.reversed ? __builtin_bswap64(form) : form;
	}

	// The slot examined k-th (from 0) by a probe from home: the position
	// moves on by one each step, wrapping within the table; the first table
	// gets firstbudget steps and every later one 100.
	static int64_t modelslot(int64_t home, int64_t k, int64_t size,
	                         int64_t firstbudget) {
		int64_t layer = k < firstbudget ? 0 : 1 + (k - firstbudget) / 100;
		return layer * size + (home + k) % size;
	}

	// Puts a directory under descriptor fd, so that every read through it
	// fails, and returns a copy of what was there for restorefd().
	int breakreads(int fd) {
		std::string sub = dir_ + "/unreadable";
		mkdir(sub.c_str(), 0755);  // there already after an earlier call
		int saved = dup(fd);
		int dirfd = ::open(sub.c_str(), O_RDONLY | O_DIRECTORY);
		EXPECT_GE(saved, 0);
		EXPECT_GE(dirfd, 0);
		EXPECT_EQ(dup2(dirfd, fd), fd);
		close(dirfd);
		return saved;
	}
	static void restorefd(int saved, int fd) {
		EXPECT_EQ(dup2(saved, fd), fd);
		close(saved);
	}

	// The value a hit returned, or nothing for a miss.
	static std::optional<int64_t> found(dbzitem r) {
		if (r.ptr == nullptr)
			return std::nullopt;
		EXPECT_EQ(r.dsize, 8);
		int64_t v;
		memcpy(&v, r.ptr, sizeof v);
		return v;
	}

	std::string dir_;
	std::string base_;
	Layout layout_;
};

}  // namespace dbztest

#endif  // QUORLIN_TESTS_INDEX_FIXTURE_H_
