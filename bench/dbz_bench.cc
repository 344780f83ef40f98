// dbz_bench.cc: lookups that hit, lookups that miss and lookup-then-store
// pairs on an index of a million message IDs, with the in-core table and
// without it. With --ops it instead runs a fixed number of one kind of
// operation and nothing else, for counting system calls from outside.
//
// The data (a history file of generated message-ID lines and its pristine
// index) is built once under the data directory and reused; every run works
// on a fresh copy of the .dir and .pag.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dbz/internal.h"

#ifndef QUORLIN_BENCH_DATA
#define QUORLIN_BENCH_DATA "bench-data"
#endif

namespace {

namespace fs = std::filesystem;

// Keys in the index, and further IDs that have a history line but no index
// entry: the misses and the keys of the lookup-then-store pairs.
constexpr size_t kIndexed = 1000000;
constexpr size_t kExtra = 200000;
constexpr size_t kLookups = 200000;  // iterations of a hit or miss run
constexpr size_t kStores = 100000;   // iterations of a lookup-then-store run

struct dataset {
	std::string dir;               // data directory
	std::string pristine;          // base name of the index as built
	std::string work;              // base name of the copy runs work on
	std::vector<std::string> ids;  // NUL included; kIndexed then kExtra
	std::vector<int64_t> offsets;  // of each ID's history line
	std::vector<uint32_t> order;   // a shuffled order of the indexed IDs
};

dataset data;

uint64_t splitmix(uint64_t &s) {
	uint64_t z = (s += 0x9E3779B97F4A7C15ull);
	z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
	z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
	return z ^ (z >> 31);
}

[[noreturn]] void die(const std::string &what) {
	fprintf(stderr, "dbz_bench: %s: %s\n", what.c_str(), strerror(errno));
	exit(1);
}

// Message IDs in the shapes news software generates: a time stamp and a
// serial in base 36 or decimal, and a host among a few, some in capitals.
void makeids() {
	static const char *const hosts[] = {
	    "news.example.com", "nntp.Example.NET", "reader.example.org",
	    "feed1.usenet.example.de", "individual.example.net",
	    "news.eternal-september.example", "mx.example.co.uk",
	    "POSTING.EXAMPLE.EDU"};
	static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
	uint64_t seed = 20261210;
	data.ids.reserve(kIndexed + kExtra);
	for (size_t i = 0; i < kIndexed + kExtra; i++) {
		uint64_t r = splitmix(seed);
		std::string id = "<";
		if (r & 1) {
			uint64_t x = 1700000000ull * 1000 + i * 37 + (r >> 40);
			std::string t;
			for (; x; x /= 36)
				t.insert(t.begin(), digits[x % 36]);
			id += t + "$" + std::to_string((r >> 8) & 0xFFFF) + "$";
		} else {
			id += std::to_string(1700000000 + i / 8) + "." +
			      std::to_string((r >> 8) % 99991) + "." +
			      std::to_string(i) + ".";
		}
		id += "fsf@";
		id += hosts[(r >> 24) % (sizeof hosts / sizeof hosts[0])];
		id += ">";
		id.push_back('\0');
		data.ids.push_back(std::move(id));
	}
	data.order.resize(kIndexed);
	for (size_t i = 0; i < kIndexed; i++)
		data.order[i] = static_cast<uint32_t>(i);
	for (size_t i = kIndexed - 1; i > 0; i--)
		std::swap(data.order[i], data.order[splitmix(seed) % (i + 1)]);
}

dbzitem keyof(size_t i) {
	std::string &id = data.ids[i];
	return dbzitem{id.data(), static_cast<int32_t>(id.size())};
}

// Writes the history file (one line per ID, the extra ones too) and records
// each line's offset.
void writehistory(const std::string &path) {
	FILE *f = fopen(path.c_str(), "w");
	if (f == nullptr)
		die(path);
	data.offsets.clear();
	int64_t at = 0;
	for (size_t i = 0; i < data.ids.size(); i++) {
		data.offsets.push_back(at);
		const std::string &id = data.ids[i];
		int n = fprintf(f, "%s\t%" PRIu64 "~-\tnews.software.b/%zu\n",
		                id.c_str(), uint64_t{1700000000} + i, 1000 + i % 50000);
		if (n < 0)
			die(path);
		at += n;
	}
	if (fclose(f) != 0)
		die(path);
}

void readoffsets(const std::string &path) {
	FILE *f = fopen(path.c_str(), "r");
	if (f == nullptr)
		die(path);
	data.offsets.clear();
	int64_t at = 0;
	data.offsets.push_back(at);
	char buf[1 << 16];
	for (size_t got; (got = fread(buf, 1, sizeof buf, f)) > 0;) {
		for (size_t i = 0; i < got; i++)
			if (buf[i] == '\n')
				data.offsets.push_back(at + static_cast<int64_t>(i) + 1);
		at += static_cast<int64_t>(got);
	}
	fclose(f);
	data.offsets.pop_back();
	if (data.offsets.size() != data.ids.size()) {
		errno = 0;
		die(path + " does not hold the generated IDs; remove it");
	}
}

// Builds the history and the pristine index unless a finished build is
// there already.
void prepare() {
	data.dir = getenv("QUORLIN_BENCH_DATA") ? getenv("QUORLIN_BENCH_DATA")
	                                        : QUORLIN_BENCH_DATA;
	fs::create_directories(data.dir);
	data.pristine = data.dir + "/history";
	data.work = data.dir + "/work/history";
	makeids();
	std::string stamp = data.dir + "/built-" + std::to_string(kIndexed);
	if (fs::exists(stamp)) {
		readoffsets(data.pristine);
	} else {
		fprintf(stderr, "dbz_bench: building %zu-key index in %s\n",
		        kIndexed, data.dir.c_str());
		writehistory(data.pristine);
		int64_t largest = data.offsets.back();
		dbzsetincore(1);
		if (dbzcreate(data.pristine.c_str(), dbzpicksize(kIndexed), '\t', 'C',
		              dbzpicktagmask(static_cast<int32_t>(largest))) != 0)
			die("dbzcreate " + data.pristine);
		for (size_t i = 0; i < kIndexed; i++) {
			int64_t v = data.offsets[i];
			if (dbzstore(keyof(i), dbzitem{reinterpret_cast<char *>(&v), 8}) != 0)
				die("dbzstore");
		}
		if (dbzdone() != 0)
			die("dbzdone");
		FILE *s = fopen(stamp.c_str(), "w");
		if (s == nullptr || fclose(s) != 0)
			die(stamp);
	}
	fs::create_directories(data.dir + "/work");
	fs::remove(data.work);
	fs::create_symlink(fs::absolute(data.pristine), data.work);
}

// A fresh copy of the pristine .dir and .pag for the run to change.
void resetwork() {
	for (const char *suffix : {".dir", ".pag"})
		fs::copy_file(data.pristine + suffix, data.work + suffix,
		              fs::copy_options::overwrite_existing);
}

void openwork(bool incore) {
	resetwork();
	dbzsetincore(incore ? 1 : 0);
	if (dbzopen(data.work.c_str()) != 0)
		die("dbzopen " + data.work);
}

void closework() {
	dbzdiscard();
	dbzdone();
}

enum kind { kHit, kMiss, kStore };

// One operation of the kind on key i (for a hit: the i-th of the shuffled
// order). Returns false when the result is not the expected one.
inline bool operation(kind k, size_t i) {
	switch (k) {
	case kHit: {
		size_t id = data.order[i % kIndexed];
		dbzitem r = dbzlookup(keyof(id));
		return r.ptr != nullptr &&
		       memcmp(r.ptr, &data.offsets[id], 8) == 0;
	}
	case kMiss:
		return dbzlookup(keyof(kIndexed + i % kExtra)).ptr == nullptr;
	case kStore: {
		size_t id = kIndexed + i % kExtra;
		if (dbzlookup(keyof(id)).ptr != nullptr)
			return false;
		int64_t v = data.offsets[id];
		return dbzstore(keyof(id), dbzitem{reinterpret_cast<char *>(&v), 8}) == 0;
	}
	}
	return false;
}

void runbench(benchmark::State &st, kind k, bool incore) {
	openwork(incore);
	size_t i = 0, wrong = 0;
	for (auto _ : st)
		if (!operation(k, i++))
			wrong++;
	closework();
	st.SetItemsProcessed(st.iterations());
	if (wrong != 0)
		st.SkipWithError((std::to_string(wrong) + " wrong results").c_str());
}

// Adds db_bench's one line per case (the median of the repetitions, or the
// single run) after the usual table.
class linereporter : public benchmark::ConsoleReporter {
public:
	linereporter()
	    : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

	void ReportRuns(const std::vector<Run> &runs) override {
		ConsoleReporter::ReportRuns(runs);
		for (const Run &r : runs) {
			bool take = r.run_type == Run::RT_Aggregate
			                ? r.aggregate_name == "median"
			                : r.repetitions <= 1;
			if (!take || r.error_occurred)
				continue;
			double micros = r.GetAdjustedRealTime() *
			                1e6 / benchmark::GetTimeUnitMultiplier(r.time_unit);
			char line[128];
			snprintf(line, sizeof line, "%-12s : %11.3f micros/op",
			         r.run_name.function_name.c_str(), micros);
			lines_.push_back(line);
		}
	}
	void Finalize() override {
		ConsoleReporter::Finalize();
		for (const std::string &l : lines_)
			printf("%s\n", l.c_str());
		fflush(stdout);
	}

private:
	std::vector<std::string> lines_;
};

// The probe of key i as a lookup walks it, read through the probe itself:
// the number of candidates whose record a lookup reads (up to the key's own
// value for a key in the index), and whether the probe went past the first
// table.
struct probecount {
	int64_t candidates;
	bool spilled;
};

probecount countprobe(size_t i) {
	dbzitem key = keyof(i);
	char folded[dbz::kMaxLookupKey + 1];
	size_t n = static_cast<size_t>(key.dsize);
	const char *k = dbz::foldkey(folded, key.ptr, n);
	dbz::startprobe(dbz::keyhash(k, n));
	probecount c{0, false};
	int64_t own = i < kIndexed ? data.offsets[i] : -1;
	for (int64_t v; (v = dbz::nextslot()) != -1;) {
		c.candidates++;
		if (v == own)
			break;
	}
	c.spilled = dbz::state().probe.slot >= dbz::state().params.tablesize;
	return c;
}

// --ops=KIND --count=N [--file] [--dry]: opens the work index and runs N
// operations of KIND (hit, miss, emptymiss, store), then closes it. --dry
// does everything but the operations, so that the difference of two traced
// runs is the operations' own. emptymiss takes only misses whose probe meets
// no candidate and ends in the first table.
int opsmode(const std::string &ops, size_t count, bool incore, bool dry) {
	kind k = ops == "hit" ? kHit : ops == "store" ? kStore : kMiss;
	bool emptyonly = ops == "emptymiss";
	if (k == kStore && count > kExtra) {
		fprintf(stderr, "dbz_bench: at most %zu stores\n", kExtra);
		return 2;
	}

	// Count the candidates of the chosen keys on the pristine index, then
	// start over so that the counting leaves nothing behind.
	openwork(incore);
	std::vector<size_t> keys;
	int64_t candidates = 0, spilled = 0;
	for (size_t i = 0; keys.size() < count && i < kIndexed + kExtra; i++) {
		size_t id = k == kHit ? data.order[i % kIndexed] : kIndexed + i % kExtra;
		probecount c = countprobe(id);
		if (emptyonly && (c.candidates != 0 || c.spilled))
			continue;
		keys.push_back(k == kHit ? i : id - kIndexed);
		candidates += c.candidates;
		spilled += c.spilled;
	}
	closework();
	if (keys.size() < count) {
		fprintf(stderr, "dbz_bench: only %zu keys qualify\n", keys.size());
		return 2;
	}

	openwork(incore);
	size_t wrong = 0;
	if (!dry)
		for (size_t i : keys)
			if (!operation(k, i))
				wrong++;
	closework();
	printf("ops %s count %zu incore %d candidates %" PRId64 " spilled %" PRId64
	       " wrong %zu\n",
	       ops.c_str(), count, incore ? 1 : 0, candidates, spilled, wrong);
	return wrong == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
	std::string ops;
	size_t count = 0;
	bool incore = true, dry = false;
	std::vector<char *> rest{argv[0]};
	for (int i = 1; i < argc; i++) {
		std::string a = argv[i];
		if (a.rfind("--ops=", 0) == 0)
			ops = a.substr(6);
		else if (a.rfind("--count=", 0) == 0)
			count = strtoul(a.c_str() + 8, nullptr, 10);
		else if (a == "--file")
			incore = false;
		else if (a == "--dry")
			dry = true;
		else
			rest.push_back(argv[i]);
	}
	prepare();
	if (!ops.empty())
		return opsmode(ops, count, incore, dry);

	struct {
		const char *name;
		kind k;
		bool incore;
		size_t iterations;
	} cases[] = {
	    {"hit/core", kHit, true, kLookups},
	    {"miss/core", kMiss, true, kLookups},
	    {"store/core", kStore, true, kStores},
	    {"hit/file", kHit, false, kLookups},
	    {"miss/file", kMiss, false, kLookups},
	    {"store/file", kStore, false, kStores},
	};
	for (const auto &c : cases)
		benchmark::RegisterBenchmark(c.name, runbench, c.k, c.incore)
		    ->Iterations(static_cast<benchmark::IterationCount>(c.iterations))
		    ->Repetitions(5)
		    ->ReportAggregatesOnly(true)
		    ->Unit(benchmark::kMicrosecond);

	int n = static_cast<int>(rest.size());
	benchmark::Initialize(&n, rest.data());
	if (benchmark::ReportUnrecognizedArguments(n, rest.data()))
		return 2;
	linereporter reporter;
	benchmark::RunSpecifiedBenchmarks(&reporter);
	benchmark::Shutdown();
	return 0;
}
