// core.cc: the in-core first table. Its memory is reserved at open and
// filled a page at a time, when a probe first reaches the page; the flush
// writes back only the pages changed since their last write-back. A run
// thus costs what it touches, however large the table.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "dbz/internal.h"

namespace dbz {

namespace {

constexpr int64_t kBitsPerWord = 64;
// One bit of the summary covers a word of the change map: 4096 pages.
constexpr int64_t kSummaryPages = kBitsPerWord * kBitsPerWord;
// Pages written back with one write call at most (256 MiB).
constexpr int64_t kMaxRunPages = 65536;

bool testbit(const uint64_t *map, int64_t bit) {
	return (map[bit / kBitsPerWord] >> (bit % kBitsPerWord)) & 1;
}

void setbit(uint64_t *map, int64_t bit) {
	map[bit / kBitsPerWord] |= uint64_t{1} << (bit % kBitsPerWord);
}

// Rounds n up to a multiple of align (a power of two), or 0 on overflow.
size_t roundup(size_t n, size_t align) {
	size_t r;
	if (__builtin_add_overflow(n, align - 1, &r))
		return 0;
	return r & ~(align - 1);
}

// Writes len bytes at offset off, through short writes and interruptions.
bool pwriteall(int fd, const char *buf, size_t len, off_t off) {
	while (len > 0) {
		ssize_t w = pwrite(fd, buf, len, off);
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			return false;
		buf += w;
		len -= static_cast<size_t>(w);
		off += w;
	}
	return true;
}

// The first page at or after from that is marked changed, or -1. The
// summary skips 4096 unmarked pages a bit, so a flush of a few changes in
// a huge table reads little of the map.
int64_t nextchanged(const indexstate &s, int64_t from) {
	int64_t pages = s.corepages;
	while (from < pages) {
		int64_t word = from / kBitsPerWord;
		uint64_t sum = s.coresummary[word / kBitsPerWord] >> (word % kBitsPerWord);
		if (sum == 0) {
			from = (word / kBitsPerWord + 1) * kSummaryPages;
			continue;
		}
		int64_t marked = word + __builtin_ctzll(sum);
		if (marked > word)
			from = marked * kBitsPerWord;
		uint64_t bits = s.corechanged[marked] >> (from % kBitsPerWord);
		if (bits != 0)
			return from + __builtin_ctzll(bits);
		from = (marked + 1) * kBitsPerWord;
	}
	return -1;
}

void clearchanged(indexstate &s, int64_t page) {
	int64_t word = page / kBitsPerWord;
	s.corechanged[word] &= ~(uint64_t{1} << (page % kBitsPerWord));
	if (s.corechanged[word] == 0)
		s.coresummary[word / kBitsPerWord] &=
		    ~(uint64_t{1} << (word % kBitsPerWord));
	s.corepending--;
}

// Gives the memory of every page back, clean ones only being held: they
// are read again when a probe next reaches them. Linux fills discarded
// private anonymous memory with zeros, which also clears the load map.
void releasepages(indexstate &s) {
#if defined(__linux__) && defined(MADV_DONTNEED)
	if (madvise(s.coretable, s.coretablebytes, MADV_DONTNEED) == 0 &&
	    madvise(s.coreloaded, s.coremapbytes - s.coretablebytes,
	            MADV_DONTNEED) == 0)
		s.coreresident = 0;
#else
	(void)s;
#endif
}

}  // namespace

bool reservetable(indexstate &s) {
	// The table's byte count must be a file offset.
	int64_t size = s.params.tablesize;
	if (size > INT64_MAX / kSlotBytes)
		return false;
	int64_t pages = (size + kCorePageSlots - 1) / kCorePageSlots;
	int64_t words = (pages + kBitsPerWord - 1) / kBitsPerWord;
	int64_t sumwords = (words + kBitsPerWord - 1) / kBitsPerWord;
	long sys = sysconf(_SC_PAGESIZE);
	size_t align = sys > kCorePageBytes ? static_cast<size_t>(sys)
	                                    : static_cast<size_t>(kCorePageBytes);
	size_t table = roundup(static_cast<size_t>(pages) * kCorePageBytes, align);
	size_t loaded = roundup(static_cast<size_t>(words) * 8, align);
	size_t changed = roundup(static_cast<size_t>(words) * 8, align);
	size_t summary = roundup(static_cast<size_t>(sumwords) * 8, align);
	size_t total;
	if (table == 0 || loaded == 0 || summary == 0 ||
	    __builtin_add_overflow(table, loaded, &total) ||
	    __builtin_add_overflow(total, changed, &total) ||
	    __builtin_add_overflow(total, summary, &total))
		return false;
	// Address space only: no swap is reserved, and pages take memory when
	// first written, so an untouched table costs nothing.
	void *m = mmap(nullptr, total, PROT_READ | PROT_WRITE,
	               MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
	if (m == MAP_FAILED)
		return false;
	char *base = static_cast<char *>(m);
	s.coretable = reinterpret_cast<uint64_t *>(base);
	s.coreloaded = reinterpret_cast<uint64_t *>(base + table);
	s.corechanged = reinterpret_cast<uint64_t *>(base + table + loaded);
	s.coresummary =
	    reinterpret_cast<uint64_t *>(base + table + loaded + changed);
	s.corepages = pages;
	s.coreresident = 0;
	s.corepending = 0;
	s.coretablebytes = table;
	s.coremapbytes = total;
	return true;
}

void releasetable(indexstate &s) {
	if (s.coretable != nullptr)
		munmap(s.coretable, s.coremapbytes);
	s.coretable = nullptr;
	s.coreloaded = s.corechanged = s.coresummary = nullptr;
	s.corepages = s.coreresident = s.corepending = 0;
	s.coretablebytes = s.coremapbytes = 0;
}

bool loadpage(indexstate &s, int64_t page) {
	int64_t first = page * kCorePageSlots;
	int64_t slots = s.params.tablesize - first;
	if (slots > kCorePageSlots)
		slots = kCorePageSlots;
	size_t want = static_cast<size_t>(slots) * kSlotBytes;
	char *dst = reinterpret_cast<char *>(s.coretable + first);
	int64_t r = preadat(fileno(s.corefile), first * kSlotBytes, dst, want, false);
	if (r < 0)
		return false;  // not marked: the next probe reads it again
	size_t got = static_cast<size_t>(r);
	// Slots past the end of the .pag, a partial one among them, are empty.
	size_t whole = got / kSlotBytes * kSlotBytes;
	memset(dst + whole, 0, want - whole);
	setbit(s.coreloaded, page);
	s.coreresident++;
	return true;
}

void markpage(indexstate &s, int64_t page) {
	if (testbit(s.corechanged, page))
		return;
	setbit(s.corechanged, page);
	setbit(s.coresummary, page / kBitsPerWord);
	s.corepending++;
}

int writetable(indexstate &s) {
	int fd = fileno(s.corefile);
	int64_t tablebytes = s.params.tablesize * kSlotBytes;
	struct stat st;
	if (fstat(fd, &st) != 0)
		return -1;
	int result = 0;
	bool extend = st.st_size < tablebytes;
	// The page that holds the end of a short .pag is written whole, so
	// that a partial slot there becomes the slot the table holds.
	if (extend && st.st_size % kCorePageBytes != 0) {
		int64_t page = st.st_size / kCorePageBytes;
		if (testbit(s.coreloaded, page) || loadpage(s, page))
			markpage(s, page);
		else
			result = -1;
	}

	// Changed pages, consecutive ones with one write.
	for (int64_t page = nextchanged(s, 0); page >= 0;) {
		int64_t end = page + 1;
		while (end < s.corepages && end - page < kMaxRunPages &&
		       testbit(s.corechanged, end))
			end++;
		int64_t from = page * kCorePageBytes;
		int64_t to = end * kCorePageBytes;
		if (to > tablebytes)
			to = tablebytes;
		if (pwriteall(fd, reinterpret_cast<const char *>(s.coretable) + from,
		              static_cast<size_t>(to - from), static_cast<off_t>(from))) {
			for (int64_t p = page; p < end; p++)
				clearchanged(s, p);
		} else {
			result = -1;  // still marked: the next flush writes them
		}
		page = nextchanged(s, end);
	}

	// A .pag shorter than the table is made one table long by writing its
	// last slot; the file system may leave the rest a hole of zeros. A
	// write never cuts the file back, whatever another process wrote there.
	if (extend) {
		int64_t last = s.params.tablesize - 1;
		uint64_t w = testbit(s.coreloaded, last / kCorePageSlots)
		                 ? s.coretable[last]
		                 : 0;
		if (!pwriteall(fd, reinterpret_cast<const char *>(&w), sizeof w,
		               static_cast<off_t>(last * kSlotBytes)))
			result = -1;
	}

	if (result == 0 && s.coreresident > kCoreKeepPages)
		releasepages(s);
	return result;
}

}  // namespace dbz
