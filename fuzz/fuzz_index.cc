// fuzz_index.cc: fuzz target for lookups and stores over hostile index
// files. The input is split into a .dir, a .pag, a base file and a list of
// operations run against them in a scratch directory:
//
//   byte 0        settings: bit 0 in-core table, bit 1 write-through,
//                 bit 2 the base file exists at open (else it is deferred)
//   bytes 1-6     lengths of the .dir, .pag and base file (16 bits each,
//                 little-endian, cut to what the input holds)
//   then          the .dir, .pag and base bytes, then the operations
//
// Each operation is one byte (its low four bits choose it) and, for most,
// a key: one length byte and that many bytes (a length above 250 makes a
// longer key, up to 300 bytes, padded with 'x'). Stores append the key's
// record to the base file first, as quorlin appends a history line.
//
// Checked, with no model of where things land: every call returns; no read
// or write leaves its buffer (the sanitizers); a key stored with success is
// found by its lookup until the files are changed behind the index, also
// after a flush and a reopen; a hit points at a record inside the base
// file; a closed index answers every call with its failure.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dbz/internal.h"
#include "fuzz/scratch.h"

namespace {

// Bounds the .pag a hostile table size can make stores write to.
constexpr rlim_t kFileLimit = 64 << 20;

std::string dirpath, pagpath, basepath;
// FUZZ_TRACE set in the environment: every operation is described on
// standard error, to follow a reproducer.
bool tracing;

void trace(const char *what, const std::string &key = "", long result = 0) {
	if (!tracing)
		return;
	fprintf(stderr, "op %s", what);
	for (unsigned char c : key)
		fprintf(stderr, " %02x", c);
	fprintf(stderr, " -> %ld\n", result);
}

[[noreturn]] void fail(const char *what, const std::string &key = "") {
	fprintf(stderr, "fuzz_index: %s", what);
	if (!key.empty()) {
		fputs(" (key", stderr);
		for (unsigned char c : key)
			fprintf(stderr, " %02x", c);
		fputc(')', stderr);
	}
	fputc('\n', stderr);
	abort();
}

void writefile(const std::string &path, const uint8_t *p, size_t n) {
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
	if (fd < 0 || (n > 0 && write(fd, p, n) != static_cast<ssize_t>(n)))
		fail("cannot write a scratch file");
	close(fd);
}

int64_t filesize(const std::string &path) {
	struct stat st;
	return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Reads the input from front to back; past its end every read gives 0.
struct reader {
	const uint8_t *p;
	size_t n;
	bool empty() const { return n == 0; }
	uint8_t byte() {
		if (n == 0)
			return 0;
		n--;
		return *p++;
	}
	uint16_t u16() {
		uint16_t lo = byte();
		return static_cast<uint16_t>(lo | byte() << 8);
	}
	const uint8_t *take(size_t *len) {
		if (*len > n)
			*len = n;
		const uint8_t *at = p;
		p += *len;
		n -= *len;
		return at;
	}
	std::string key() {
		size_t len = byte();
		size_t want = len > 250 ? 250 + (len - 250) * 10 : len;
		size_t got = want;
		const uint8_t *at = take(&got);
		std::string k(reinterpret_cast<const char *>(at), got);
		k.resize(want, 'x');
		return k;
	}
};

// The run's view of what the index must hold. Keys move from unflushed to
// durable when a flush or a close succeeds; a discard leaves the keys
// stored since the last flush findable only until the close.
struct expectations {
	std::vector<std::string> durable, unflushed, limbo;
	void forget() {
		durable.clear();
		unflushed.clear();
		limbo.clear();
	}
	bool holds(const std::string &k) const {
		for (const auto *v : {&durable, &unflushed, &limbo})
			for (const auto &s : *v)
				if (s == k)
					return true;
		return false;
	}
	void flushed() {
		durable.insert(durable.end(), unflushed.begin(), unflushed.end());
		unflushed.clear();
	}
};

struct run {
	bool open = false;
	// The files were changed behind the open index: its stream buffers may
	// hold what the files no longer do, so nothing is expected of it until
	// it is opened again.
	bool tainted = false;
	int basefd = -1;
	expectations want;
};

dbzitem item(const std::string &k) {
	return dbzitem{const_cast<char *>(k.data()), static_cast<int32_t>(k.size())};
}

// The key quorlin would pass for an ID: its bytes and a NUL.
std::string withnul(const std::string &body) { return body + '\0'; }

// Appends body and a terminator to the base file; returns the record's
// offset, or -1 when the append failed (the file limit).
int64_t appendrecord(run &r, const std::string &body, char terminator) {
	int64_t at = filesize(basepath);
	if (at < 0)
		at = 0;
	std::string rec = body + terminator + "\n";
	if (write(r.basefd, rec.data(), rec.size()) != static_cast<ssize_t>(rec.size()))
		return -1;
	return at;
}

void lookup(run &r, const std::string &key) {
	dbzitem got = dbzlookup(item(key));
	trace("lookup", key, got.ptr ? *reinterpret_cast<int64_t *>(got.ptr) : -1);
	if (!r.open) {
		if (got.ptr != nullptr)
			fail("a closed index answered a lookup");
		return;
	}
	if (got.ptr == nullptr) {
		if (r.want.holds(key))
			fail("a stored key was not found", key);
		return;
	}
	if (got.dsize != 8)
		fail("a hit whose value is not 8 bytes");
	int64_t v;
	memcpy(&v, got.ptr, sizeof v);
	size_t n = key.size() < dbz::kMaxLookupKey ? key.size() : dbz::kMaxLookupKey;
	if (v < 0 || v > filesize(basepath) - static_cast<int64_t>(n))
		fail("a hit outside the base file", key);
}

void store(run &r, const std::string &body, bool bysep) {
	std::string key = withnul(body);
	char sep = r.open ? dbz::state().params.separator : '\t';
	int64_t off = appendrecord(r, body, bysep ? sep : '\0');
	if (off < 0)
		return;
	dbzitem value = {reinterpret_cast<char *>(&off), sizeof off};
	int result = dbzstore(item(key), value);
	trace(bysep ? "store (separator)" : "store", key, off);
	trace("  result", "", result);
	trace("  slot", "", static_cast<long>(dbz::state().probe.slot));
	if (!r.open) {
		if (result != -1)
			fail("a closed index took a store");
		return;
	}
	if (result != 0 && result != -1)
		fail("dbzstore returned neither 0 nor -1");
	if (result == 0 && !r.tainted)
		r.want.unflushed.push_back(key);
}

// Stores a value of the input's choice, which the tagging rule may refuse.
void storevalue(run &r, const std::string &key, int64_t v, bool shortvalue) {
	dbzitem value = {reinterpret_cast<char *>(&v), shortvalue ? 4 : 8};
	int result = dbzstore(item(key), value);
	if (result != 0 && result != -1)
		fail("dbzstore returned neither 0 nor -1");
	if (result == 0 && (!r.open || shortvalue))
		fail("a store that must be refused succeeded");
	if (result == 0 && (static_cast<uint64_t>(v) & dbz::state().tagenable))
		fail("a value with the tag-enable bit was stored");
}

void openindex(run &r, bool incore, bool writethru) {
	if (r.open) {
		errno = 1;
		if (dbzopen(basepath.c_str()) != -1 || errno != 0)
			fail("a second open did not fail with errno 0");
		return;
	}
	dbzsetincore(incore);
	dbzsetwritethrough(writethru);
	r.open = dbzopen(basepath.c_str()) == 0;
	r.tainted = false;
	trace(r.open ? "open" : "open failed", "", dbz::state().params.tablesize);
}

void closeindex(run &r) {
	int result = dbzdone();
	if (!r.open) {
		if (result != -1)
			fail("closing a closed index succeeded");
		return;
	}
	r.open = false;
	r.want.limbo.clear();
	if (result == 0)
		r.want.flushed();
	else
		r.want.forget();
}

// Changes a file behind the open index's back.
void damage(run &r, reader &in) {
	uint8_t how = in.byte();
	uint16_t at = in.u16();
	switch (how % 3) {
	case 0:
		if (truncate(pagpath.c_str(), at) != 0)
			return;
		trace("cut .pag", "", at);
		break;
	case 1: {
		int fd = open(pagpath.c_str(), O_WRONLY);
		size_t n = 8;
		const uint8_t *bytes = in.take(&n);
		if (fd < 0)
			return;
		if (pwrite(fd, bytes, n, static_cast<off_t>(at) * 8) < 0) {
			close(fd);
			return;
		}
		close(fd);
		break;
	}
	default:
		if (truncate(basepath.c_str(), at) != 0)
			return;
		trace("cut base", "", at);
	}
	r.want.forget();
	r.tainted = r.open;
}

void checkall(run &r) {
	std::vector<std::string> keys = r.want.durable;
	keys.insert(keys.end(), r.want.unflushed.begin(), r.want.unflushed.end());
	keys.insert(keys.end(), r.want.limbo.begin(), r.want.limbo.end());
	for (const auto &k : keys)
		lookup(r, k);
}

void operate(run &r, reader &in) {
	uint8_t op = in.byte();
	if (tracing)
		fprintf(stderr, "op %02x\n", op);
	switch (op & 0x0F) {
	case 0:
		lookup(r, withnul(in.key()));
		break;
	case 1:
		store(r, in.key(), op & 0x10);
		break;
	case 2: {
		// The raw lookup, with the key as given: no NUL, no folding.
		dbzitem got = dbzfind(item(in.key()));
		if (!r.open && got.ptr != nullptr)
			fail("a closed index answered a raw lookup");
		break;
	}
	case 3: {
		// The raw store, unfolded, of a record appended as given.
		std::string body = in.key();
		int64_t off = appendrecord(r, body, '\0');
		dbzitem value = {reinterpret_cast<char *>(&off), sizeof off};
		std::string key = withnul(body);
		int result = dbzput(item(key), value);
		if (result != 0 && result != -1)
			fail("dbzput returned neither 0 nor -1");
		if (!r.open && result != -1)
			fail("a closed index took a raw store");
		break;
	}
	case 4: {
		int result = dbzflush();
		if (!r.open ? result != -1 : result != 0 && result != -1)
			fail("dbzflush returned an impossible result");
		if (r.open && result == 0)
			r.want.flushed();
		break;
	}
	case 5: {
		int result = dbzdiscard();
		if (result != (r.open ? 0 : -1))
			fail("dbzdiscard returned an impossible result");
		r.want.limbo.insert(r.want.limbo.end(), r.want.unflushed.begin(),
		                    r.want.unflushed.end());
		r.want.unflushed.clear();
		break;
	}
	case 6:
		closeindex(r);
		break;
	case 7: {
		uint8_t how = in.byte();
		if (r.open)
			closeindex(r);
		openindex(r, how & 1, how & 2);
		checkall(r);
		break;
	}
	case 8:
		dbzsetwritethrough(in.byte() & 1);
		break;
	case 9: {
		std::string key = withnul(in.key());
		int64_t v = 0;
		for (int i = 0; i < 8; i++)
			v = static_cast<int64_t>(static_cast<uint64_t>(v) << 8 | in.byte());
		storevalue(r, key, v, op & 0x10);
		break;
	}
	case 10:
		damage(r, in);
		break;
	case 11:
		openindex(r, op & 0x10, op & 0x20);
		break;
	default:
		checkall(r);
	}
}

std::string scratchdir;

void removescratch() {
	dbz::resetstate();
	for (const auto *p : {&dirpath, &pagpath, &basepath})
		unlink(p->c_str());
	rmdir(scratchdir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
	scratchdir = makescratch("fuzz_index");
	atexit(removescratch);
	tracing = getenv("FUZZ_TRACE") != nullptr;
	basepath = scratchdir + "/history";
	dirpath = basepath + ".dir";
	pagpath = basepath + ".pag";
	struct rlimit lim = {kFileLimit, kFileLimit};
	setrlimit(RLIMIT_FSIZE, &lim);
	signal(SIGXFSZ, SIG_IGN);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	dbz::resetstate();
	reader in = {data, size};
	uint8_t settings = in.byte();
	size_t dirlen = in.u16(), paglen = in.u16(), baselen = in.u16();
	const uint8_t *dir = in.take(&dirlen);
	const uint8_t *pag = in.take(&paglen);
	const uint8_t *base = in.take(&baselen);

	writefile(dirpath, dir, dirlen);
	writefile(pagpath, pag, paglen);
	unlink(basepath.c_str());
	if (settings & 4)
		writefile(basepath, base, baselen);

	run r;
	openindex(r, settings & 1, settings & 2);
	r.basefd = open(basepath.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
	if (r.basefd < 0)
		fail("cannot open the base file for appending");
	for (int ops = 0; ops < 64 && !in.empty(); ops++)
		operate(r, in);
	if (r.open) {
		checkall(r);
		closeindex(r);
	}
	close(r.basefd);
	return 0;
}
