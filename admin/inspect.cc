// inspect.cc: opening an index for inspection, reading its slots and
// placing stored values on their keys' probe sequences.
#include "admin/inspect.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "admin/common.h"
#include "dbz/internal.h"

namespace admin {

namespace {

// Buffer of our own .pag stream: slots are read front to back. The C
// library takes the size only with a buffer given; one index is inspected
// at a time.
constexpr size_t kPagReadBuf = 1 << 20;
char pagreadbuf[kPagReadBuf];
// Every this many slots readslot() asks the file system whether a hole
// follows, so that a sparse .pag costs no reading of its holes.
constexpr int64_t kHoleCheckSlots = 1 << 12;

// Opens name+suffix for reading, or prints why not. A directory opens for
// reading but is no index file.
FILE *openpart(const char *name, const char *suffix) {
	char *path = joinpath(name, suffix);
	if (path == nullptr) {
		syserr("%s%s", name, suffix);
		return nullptr;
	}
	FILE *f = fopen(path, "rb");
	struct stat st;
	if (f != nullptr && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
		fclose(f);
		f = nullptr;
		errno = EISDIR;
	}
	if (f == nullptr)
		syserr("%s", path);
	free(path);
	return f;
}

// Moves ix->next past a hole of the .pag that begins at it, if the file
// system tells of one. The descriptor's offset is put back, so the stream
// stays in step with its file.
void skiphole(inspected *ix) {
	int fd = fileno(ix->pag);
	off_t at = static_cast<off_t>(ix->next) * dbz::kSlotBytes;
	off_t cur = lseek(fd, 0, SEEK_CUR);
	if (cur < 0)
		return;
	off_t data = lseek(fd, at, SEEK_DATA);
	int e = errno;
	lseek(fd, cur, SEEK_SET);
	int64_t to = ix->next;
	if (data >= 0)
		to = data / dbz::kSlotBytes;
	else if (e == ENXIO)
		to = ix->pagslots;  // nothing but a hole up to the end
	if (to > ix->next && fseeko(ix->pag, static_cast<off_t>(to) * dbz::kSlotBytes,
	                            SEEK_SET) == 0)
		ix->next = to;
}

}  // namespace

bool inspectopen(inspected *ix, const char *history, bool incore) {
	memset(ix, 0, sizeof *ix);
	ix->history = history;
	ix->basefd = open(history, O_RDONLY);
	if (ix->basefd < 0) {
		syserr("%s", history);
		return false;
	}
	struct stat st;
	bool statted = fstat(ix->basefd, &st) == 0;
	if (!statted || S_ISDIR(st.st_mode)) {
		if (statted)
			errno = EISDIR;
		syserr("%s", history);
		close(ix->basefd);
		return false;
	}
	ix->basesize = st.st_size;

	// Open the two index files ourselves first, so that a failure names
	// the file; the index opens its own streams after that.
	FILE *dir = openpart(history, ".dir");
	if (dir == nullptr) {
		close(ix->basefd);
		return false;
	}
	fclose(dir);
	ix->pag = openpart(history, ".pag");
	if (ix->pag == nullptr) {
		close(ix->basefd);
		return false;
	}
	setvbuf(ix->pag, pagreadbuf, _IOFBF, sizeof pagreadbuf);
	if (fstat(fileno(ix->pag), &st) != 0) {
		syserr("%s.pag", history);
		inspectclose(ix);
		return false;
	}
	ix->pagslots = st.st_size / dbz::kSlotBytes;

	int old = dbzsetincore(incore ? 1 : 0);
	int opened = dbzopen(history);
	int e = errno;
	dbzsetincore(old);
	if (opened < 0) {
		if (e == EDOM)
			errmsg("%s.dir: malformed index configuration", history);
		else
			syserrnum(e, "%s: cannot open the index", history);
		fclose(ix->pag);
		close(ix->basefd);
		ix->pag = nullptr;
		ix->basefd = -1;
		return false;
	}
	return true;
}

void inspectclose(inspected *ix) {
	if (dbz::state().pagfile != nullptr) {
		// Nothing was stored, but make sure the close writes nothing back.
		dbzdiscard();
		dbzdone();
	}
	if (ix->pag != nullptr)
		fclose(ix->pag);
	if (ix->basefd >= 0)
		close(ix->basefd);
	ix->pag = nullptr;
	ix->basefd = -1;
}

int readslot(inspected *ix, slotvalue *out) {
	const dbz::indexstate &s = dbz::state();
	if (ix->next % kHoleCheckSlots == 0)
		skiphole(ix);
	// Slots written after the open (by a store of another process) are
	// not read: the figures describe the .pag as it was at the open.
	uint64_t w;
	if (ix->next >= ix->pagslots || fread(&w, dbz::kSlotBytes, 1, ix->pag) != 1)
		return -1;
	ix->next++;
	if (!s.sameorder)
		w = dbz::pagtonative(w, s.params.byteorder, s.nativemap);
	if (w == 0)
		return 0;
	uint64_t v = w - 1;
	if ((v & s.tagenable) == 0) {
		out->value = static_cast<int64_t>(v);
		out->tagged = false;
		out->tag = 0;
	} else {
		out->value = static_cast<int64_t>(v & ~s.tagall);
		out->tagged = true;
		out->tag = v & s.tagfield;
	}
	return 1;
}

int64_t idhash(const char *id, size_t len) {
	char key[dbz::kMaxLookupKey + 1];
	size_t n = len + 1 < dbz::kMaxLookupKey ? len + 1 : dbz::kMaxLookupKey;
	size_t copy = n < len ? n : len;
	memcpy(key, id, copy);
	if (copy < n)
		key[copy] = '\0';
	char folded[dbz::kMaxLookupKey + 1];
	const char *k = dbz::foldkey(folded, key, n);
	return dbz::keyhash(k, n);
}

uint64_t hashtag(int64_t h) {
	const dbz::indexstate &s = dbz::state();
	return (static_cast<uint64_t>(h / s.params.tablesize) << s.params.tagpos) &
	       s.tagfield;
}

int64_t probelength(int64_t h, int64_t slot) {
	const dbz::indexstate &s = dbz::state();
	int64_t size = s.params.tablesize;
	if (slot < 0)
		return -1;
	// The probe examines position (home + k) mod size at its step k. The
	// first table gets the first `first` steps, every later table the next
	// kProbeBudget.
	int64_t first = s.params.legacy ? static_cast<int32_t>(size)
	                                : dbz::kProbeBudget;
	if (first < 1)
		first = 1;
	int64_t layer = slot / size;
	int64_t pos = slot % size;
	int64_t lo = 0, hi = first;
	if (layer > 0) {
		lo = first + (layer - 1) * dbz::kProbeBudget;
		hi = lo + dbz::kProbeBudget;
	}
	// Steps from the home slot to pos, without overflow near INT64_MAX.
	int64_t d = pos - h % size;
	if (d < 0)
		d += size;
	int64_t k = d;
	if (k < lo)
		k = d + (lo - d + size - 1) / size * size;
	return k < hi ? k + 1 : -1;
}

int64_t recordid(const inspected *ix, int64_t offset, char *buf, size_t cap) {
	if (offset < 0 || offset >= ix->basesize)
		return -1;
	ssize_t got = pread(ix->basefd, buf, cap, offset);
	if (got <= 0)
		return -1;
	char sep = dbz::state().params.separator;
	for (ssize_t i = 0; i < got; i++)
		if (buf[i] == sep || buf[i] == '\n')
			return i;
	return -1;
}

}  // namespace admin
