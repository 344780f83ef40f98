// base_test.cc: reads of the base file through its mapping: lines as
// fgets() reads them, a file that grows (past the mapping too) and one that
// is cut back under it, and the SIGBUS handler that guards the mapping.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <chrono>
#include <string>
#include <thread>

#include "tests/index_fixture.h"

namespace dbztest {
namespace {

using BaseTest = IndexTest;

// What a seek to off and one fgets() of size bytes read from the file at
// path, or nothing (-1) where fgets() returns NULL.
std::pair<int64_t, std::string> fgetsat(const std::string &path, int64_t off,
                                        size_t size) {
	FILE *f = fopen(path.c_str(), "r");
	EXPECT_NE(f, nullptr);
	std::string buf(size, '\x7f');
	std::pair<int64_t, std::string> r{-1, ""};
	// What fgets() read is told by how far the stream moved: the text may
	// hold NUL bytes of its own.
	if (fseeko(f, off, SEEK_SET) == 0 &&
	    fgets(buf.data(), static_cast<int>(size), f) != nullptr) {
		size_t n = static_cast<size_t>(ftello(f) - off);
		r = {static_cast<int64_t>(n), buf.substr(0, n)};
	}
	fclose(f);
	return r;
}

std::pair<int64_t, std::string> readlineat(int64_t off, size_t size) {
	std::string buf(size, '\x7f');
	int64_t n = dbzreadline(off, buf.data(), size);
	if (n < 0)
		return {-1, ""};
	EXPECT_EQ(buf[static_cast<size_t>(n)], '\0') << "at " << off;
	return {n, buf.substr(0, static_cast<size_t>(n))};
}

// Waits at most 30 s for child; kills it when it hangs. The wait status.
int waitbounded(pid_t child) {
	int status = 0;
	for (int i = 0; i < 3000; i++) {
		pid_t r = waitpid(child, &status, WNOHANG);
		if (r == child)
			return status;
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	kill(child, SIGKILL);
	waitpid(child, &status, 0);
	ADD_FAILURE() << "child hung";
	return status;
}

// The offsets and buffer sizes at which dbzreadline() and a seek and
// fgets() read differently, as "size/offset" words: every offset of the
// file at path and a little beyond its end (where fgets() reads nothing
// and dbzreadline() 0 bytes).
std::string disagreements(const std::string &path, int64_t end) {
	std::string bad;
	for (size_t size : {2, 3, 8, 15, 513, 1500, 10000}) {
		for (int64_t off = 0; off <= end + 2; off++) {
			auto want = fgetsat(path, off, size);
			if (want.first < 0)
				want = {0, ""};
			if (readlineat(off, size) != want)
				bad += std::to_string(size) + "/" + std::to_string(off) + " ";
		}
	}
	return bad;
}

// Long lines cut at size - 1 bytes, a NUL inside a line, an empty line,
// the last line without its newline.
const std::string kLines = std::string("<a@b>\t1~-\tx/1\n") + "\n" +
                           std::string("<n@b>\t1\0~-\n", 11) +
                           std::string(1200, 'L') + "\n" + "<last@b>\t1~-\tk/2";

TEST_F(BaseTest, LinesReadAsFgetsReadsThem) {
	writelayout({});
	writefile("", kLines);
	open();
	EXPECT_EQ(disagreements(path(), static_cast<int64_t>(kLines.size())), "");
}

// The same with positioned reads alone: a process without the address
// space for the mapping.
TEST_F(BaseTest, LinesReadAsFgetsReadsThemWithoutTheMapping) {
#if defined(__SANITIZE_ADDRESS__)
	GTEST_SKIP() << "the sanitizer's shadow memory needs the address space";
#endif
	writelayout({});
	writefile("", kLines);
	std::string report = path(".report");
	pid_t child = fork();
	ASSERT_GE(child, 0);
	if (child == 0) {
		long pages = 0;
		if (FILE *f = fopen("/proc/self/statm", "r")) {
			if (fscanf(f, "%ld", &pages) != 1)
				pages = 0;
			fclose(f);
		}
		rlim_t have = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
		struct rlimit lim = {have + (rlim_t{256} << 20), have + (rlim_t{256} << 20)};
		std::string bad;
		if (pages == 0 || setrlimit(RLIMIT_AS, &lim) != 0) {
			bad = "no address-space limit";
		} else {
			dbzsetincore(0);
			if (dbzopen(path().c_str()) != 0)
				bad = "no index";
			else
				bad = disagreements(path(), static_cast<int64_t>(kLines.size()));
			// The history must not be mapped, or this tested the mapping.
			std::ifstream maps("/proc/self/maps");
			for (std::string line; std::getline(maps, line);)
				if (line.find(path()) != std::string::npos)
					bad += "mapped";
		}
		std::ofstream(report) << bad;
		_exit(0);
	}
	int status = waitbounded(child);
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
	EXPECT_EQ(readfile(".report"), "");
}

TEST_F(BaseTest, BadArgumentsAndNoIndex) {
	char buf[16];
	EXPECT_EQ(dbzreadline(0, buf, sizeof buf), -1);  // no index open
	writelayout({});
	writefile("", "<a@b>\t1~-\n");
	open();
	errno = 0;
	EXPECT_EQ(dbzreadline(-1, buf, sizeof buf), -1);
	EXPECT_EQ(errno, EINVAL);
	errno = 0;
	EXPECT_EQ(dbzreadline(0, buf, 0), -1);
	EXPECT_EQ(errno, EINVAL);
	EXPECT_EQ(dbzreadline(INT64_MAX, buf, sizeof buf), 0);
	EXPECT_EQ(dbzreadline(INT64_MAX - 3, buf, sizeof buf), 0);
}

// Lines appended after the first read, by another descriptor as another
// process would, are read: at the end of the mapping, and far beyond the
// address space it first reserved (a sparse file of more than 2 GiB).
TEST_F(BaseTest, LinesAppendedLaterAreRead) {
	Layout untagged;  // the far offset needs the bits of a tag field
	untagged.tagflag = 0;
	untagged.tagspan = 0;
	writelayout(untagged);
	std::string first = "<a@b>\t1~-\n";
	writefile("", first);
	std::string key = idkey("<far@b>");
	int64_t h = hash(key);
	const int64_t far = (int64_t{5} << 29) + 7;  // 2.5 GiB and a bit
	putslot(home(h), plainform(static_cast<uint64_t>(far)));
	open();
	char buf[64];
	ASSERT_EQ(dbzreadline(0, buf, sizeof buf), static_cast<int64_t>(first.size()));
	EXPECT_FALSE(found(dbzlookup(item(key))));

	int fd = ::open(path().c_str(), O_WRONLY | O_APPEND);
	ASSERT_GE(fd, 0);
	std::string more = "<b@b>\t2~-\n";
	ASSERT_EQ(write(fd, more.data(), more.size()), static_cast<ssize_t>(more.size()));
	EXPECT_EQ(readlineat(static_cast<int64_t>(first.size()), 64),
	          std::make_pair(static_cast<int64_t>(more.size()), more));

	close(fd);
	// Written where it lies (pwrite() on an O_APPEND descriptor appends).
	std::string line = "<far@b>\t3~-\tf/1\n";
	fd = ::open(path().c_str(), O_WRONLY);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(pwrite(fd, line.data(), line.size(), far),
	          static_cast<ssize_t>(line.size()));
	close(fd);
	EXPECT_EQ(found(dbzlookup(item(key))), std::optional<int64_t>(far));
	EXPECT_EQ(readlineat(far, 64),
	          std::make_pair(static_cast<int64_t>(line.size()), line));
}

// A history cut back under the mapping: the pages past its new end fault,
// and the reads there see the end of the file instead. A lookup passes over
// the entry left dangling and finds the key's entry after it.
TEST_F(BaseTest, FileCutBackUnderTheMappingReadsAsItsEnd) {
	writelayout({});
	std::string head = "<keep@b>\t1~-\tk/1\n";
	std::string pad(3 * 4096, 'p');
	std::string gone = "<gone@b>\t1~-\tg/1\n";
	std::string text = head + pad + "\n" + gone;
	writefile("", text);
	int64_t goneoff = static_cast<int64_t>(text.size() - gone.size());
	std::string key = idkey("<gone@b>");
	int64_t h = hash(key);
	putslot(home(h), tagform(h, static_cast<uint64_t>(goneoff)));
	putslot((home(h) + 1) % layout_.tablesize, tagform(h, 0));
	open();
	EXPECT_EQ(found(dbzlookup(item(key))), std::optional<int64_t>(goneoff));
	EXPECT_EQ(readlineat(goneoff, 100).second, gone);

	// Cut back to the first line, then put the key's line there: the first
	// page of the mapping holds it, the others fault.
	ASSERT_EQ(truncate(path().c_str(), 0), 0);
	writefile("", gone);
	EXPECT_EQ(readlineat(goneoff, 100).first, 0);
	EXPECT_EQ(readlineat(goneoff - 50, 100).first, 0);
	EXPECT_EQ(found(dbzlookup(item(key))), std::optional<int64_t>(0));
	EXPECT_EQ(readlineat(0, 100).second, gone);
	// The file grows again over the pages that faulted.
	writefile("", text);
	EXPECT_EQ(readlineat(goneoff, 100).second, gone);
	EXPECT_EQ(found(dbzlookup(item(key))), std::optional<int64_t>(goneoff));
}

// A cut inside a page leaves zeros past the new end in the mapping: a key
// whose terminator would fall there must not match them.
TEST_F(BaseTest, ZerosPastACutInsideAPageMatchNothing) {
	writelayout({});
	std::string head = "<keep@b>\t1~-\tk/1\n";
	std::string line = "<cut@b>\t1~-\tc/1\n";
	writefile("", head + line);
	int64_t off = static_cast<int64_t>(head.size());
	std::string key = idkey("<cut@b>");
	int64_t h = hash(key);
	putslot(home(h), tagform(h, static_cast<uint64_t>(off)));
	open();
	EXPECT_EQ(found(dbzlookup(item(key))), std::optional<int64_t>(off));
	// Cut right after the ID: its terminator is gone with the rest.
	ASSERT_EQ(truncate(path().c_str(), off + 7), 0);
	EXPECT_EQ(found(dbzlookup(item(key))), std::nullopt);
}

// A file of our own, mapped and cut back, to fault outside the index's
// guarded copies.
struct faulting {
	std::string path;
	int fd = -1;
	char *addr = nullptr;
	explicit faulting(const std::string &p) : path(p) {
		fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
		EXPECT_GE(fd, 0);
		EXPECT_EQ(ftruncate(fd, 8192), 0);
		void *m = mmap(nullptr, 8192, PROT_READ, MAP_SHARED, fd, 0);
		EXPECT_NE(m, MAP_FAILED);
		addr = static_cast<char *>(m);
		EXPECT_EQ(ftruncate(fd, 0), 0);
	}
	~faulting() {
		munmap(addr, 8192);
		close(fd);
	}
	// Reads a byte past the end of the file: SIGBUS.
	char touch() const { return *static_cast<volatile char *>(addr + 4096); }
};

sigjmp_buf testjump;
volatile sig_atomic_t testcalls = 0;
void testhandler(int, siginfo_t *, void *) {
	testcalls = testcalls + 1;
	siglongjmp(testjump, 1);
}

// A SIGBUS that is no fault of the index's reads goes to the handler that
// was there before, and closing the index puts that handler back.
TEST_F(BaseTest, OtherFaultsGoToThePreviousHandler) {
	struct sigaction mine, saved, now;
	memset(&mine, 0, sizeof mine);
	mine.sa_sigaction = testhandler;
	mine.sa_flags = SA_SIGINFO | SA_NODEFER;
	sigemptyset(&mine.sa_mask);
	ASSERT_EQ(sigaction(SIGBUS, &mine, &saved), 0);

	writelayout({});
	writefile("", "<a@b>\t1~-\n");
	open();
	char buf[16];
	ASSERT_GT(dbzreadline(0, buf, sizeof buf), 0);
	ASSERT_EQ(sigaction(SIGBUS, nullptr, &now), 0);
	EXPECT_NE(now.sa_sigaction, testhandler) << "the index guards its mapping";

	faulting f(path(".other"));
	testcalls = 0;
	if (sigsetjmp(testjump, 1) == 0)
		f.touch();
	EXPECT_EQ(testcalls, 1);
	ASSERT_GT(dbzreadline(0, buf, sizeof buf), 0);  // the guard still works

	ASSERT_EQ(dbzdone(), 0);
	ASSERT_EQ(sigaction(SIGBUS, nullptr, &now), 0);
	EXPECT_EQ(now.sa_sigaction, testhandler);
	sigaction(SIGBUS, &saved, nullptr);
}

// Under the default disposition, a fault outside the index's reads and a
// SIGBUS sent by another process still end the process with SIGBUS.
TEST_F(BaseTest, OtherSigbusEndsTheProcessByDefault) {
	writelayout({});
	writefile("", "<a@b>\t1~-\n");
	for (bool sent : {false, true}) {
		SCOPED_TRACE(sent ? "sent" : "fault");
		pid_t child = fork();
		ASSERT_GE(child, 0);
		if (child == 0) {
			signal(SIGBUS, SIG_DFL);
			dbzsetincore(0);
			char buf[16];
			if (dbzopen(path().c_str()) != 0 || dbzreadline(0, buf, sizeof buf) <= 0)
				_exit(2);
			if (sent) {
				kill(getpid(), SIGBUS);
			} else {
				faulting f(path(".other"));
				f.touch();
			}
			_exit(3);
		}
		int status = waitbounded(child);
		ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
		EXPECT_EQ(WTERMSIG(status), SIGBUS);
	}
}

}  // namespace
}  // namespace dbztest
