// stats.cc: dbz stats: an index's configuration, usage counts, table load
// and probe lengths, and whether it wants a rebuild.
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "admin/commands.h"
#include "admin/common.h"
#include "admin/inspect.h"
#include "admin/progress.h"
#include "common/lock.h"
#include "dbz/dbz.h"

namespace {

using admin::inspected;

// A first table fuller than this is reported as full: new IDs then walk
// long probes before they find an empty slot, and soon spill.
constexpr double kFullLoad = 0.9;
// Even a table sized by dbzpicksize spills a few values of its longest
// clusters; a rebuild is advised when more than this share of the values
// lie beyond the first table.
constexpr double kSpillShare = 0.01;
// Probe lengths are counted exactly up to this; longer ones share the last
// bucket (their maximum is still exact).
constexpr int64_t kLengthCap = 1 << 16;
// Values between two looks at the clock for the progress display.
constexpr int64_t kProgressValues = 4096;
// Width of the longest bar of the text histogram.
constexpr int kBarWidth = 40;

struct figures {
	int64_t tables = 1;          // tables the .pag reaches into
	// Slots in use in the first table and in each further table that has
	// any, by table number (0 for the first): the empty tables of a large
	// sparse .pag cost neither memory nor output.
	std::map<int64_t, int64_t> inuse;
	int64_t values = 0;          // slots in use in all tables
	int64_t tagged = 0;
	int64_t unreachable = 0;     // values their key's probe never finds
	std::vector<int64_t> lengths = std::vector<int64_t>(kLengthCap + 1);
	double lengthsum = 0;
	int64_t measured = 0;        // values with a probe length
	int64_t maxlength = 0;
	int64_t p99 = 0;
	double load = 0;
	int64_t newsize = 0;         // what a rebuild picks
	int64_t newspan = 0, newflag = 0;
	int64_t stranded = 0;        // values no key's probe can reach
	std::vector<std::string> reasons;  // why a rebuild is advised
	std::vector<std::string> damage;   // why the index is damaged
};

// Whether each of the last `span` slots that a walk passed was in use,
// kept by slot number modulo span.
class recentslots {
public:
	explicit recentslots(int64_t span)
	    : size_(span), bits_(static_cast<size_t>(span / 64 + 1)) {}

	// Records that slot is in use and every slot since the last one
	// recorded is empty; returns whether slot - span was in use.
	bool record(int64_t slot) {
		if (slot - last_ > size_)
			std::fill(bits_.begin(), bits_.end(), 0);
		else
			for (int64_t s = last_ + 1; s < slot; s++)
				put(s, false);
		bool before = slot >= size_ && get(slot);
		put(slot, true);
		last_ = slot;
		return before;
	}

private:
	bool get(int64_t s) const {
		size_t i = static_cast<size_t>(s % size_);
		return (bits_[i / 64] >> (i % 64) & 1) != 0;
	}
	void put(int64_t s, bool on) {
		size_t i = static_cast<size_t>(s % size_);
		uint64_t bit = uint64_t{1} << (i % 64);
		bits_[i / 64] = on ? bits_[i / 64] | bit : bits_[i / 64] & ~bit;
	}

	int64_t size_;
	int64_t last_ = -1;
	std::vector<uint64_t> bits_;
};

// The table size and tag layout that a rebuild derives from p.
void rebuildpick(const dbzparams &p, figures *f) {
	dbzparams next = p;
	dbzrebuildconf(&next);
	f->newsize = next.tablesize;
	f->newspan = next.tagspan;
	f->newflag = next.tagflag;
}

// Reads every slot, and the key of every stored value from the history, to
// count the slots in use and the probe lengths.
bool measure(const inspected &ix, figures *f) {
	int64_t size = ix.info.params.tablesize;
	dbzslotwalk walk;
	if (dbzwalkstart(&walk) != 0) {
		admin::syserr("%s.pag", ix.history);
		return false;
	}
	int64_t tables = walk.end / size + (walk.end % size != 0);
	f->tables = tables > 0 ? tables : 1;
	f->inuse[0] = 0;
	// A value in a later table is reached only by a probe that found the
	// slot before it in use: the one at the position before in the same
	// table, or at the first step of the table, the one at that position
	// in the table before.
	std::unique_ptr<recentslots> recent;
	if (walk.end > size)
		recent = std::make_unique<recentslots>(size + 1);
	int64_t previous = -1;  // the last slot in use
	char id[DBZ_MAXLOOKUPKEY + 1];
	dbzslot v;
	int r;
	admin::progress pg;
	std::string pag = std::string(ix.history) + ".pag";
	admin::progressstart(&pg, false, pag.c_str(), walk.end, "slots");
	while ((r = dbzwalknext(&walk, &v)) > 0) {
		if (f->values % kProgressValues == 0)
			admin::progressshow(&pg, v.slot, -1, false);
		bool oneback = recent != nullptr && recent->record(v.slot);
		if (v.slot >= size && v.slot % size != 0 && previous != v.slot - 1 &&
		    !oneback)
			f->stranded++;
		previous = v.slot;
		f->inuse[v.slot / size]++;
		f->values++;
		if (v.tagged)
			f->tagged++;
		int64_t len = admin::recordid(&ix, v.value, id, sizeof id - 1);
		int64_t n = 0;
		if (len >= 0) {
			id[len] = '\0';
			dbzitem key = dbzidkey(id, static_cast<size_t>(len));
			n = dbzprobeplace(key, v.slot);
			if (n > 0 && v.tagged && v.tag != dbzkeytag(key))
				n = 0;
		}
		if (n <= 0) {
			f->unreachable++;
			continue;
		}
		f->lengths[static_cast<size_t>(n < kLengthCap ? n : kLengthCap)]++;
		f->lengthsum += static_cast<double>(n);
		f->measured++;
		if (n > f->maxlength)
			f->maxlength = n;
	}
	if (r < 0) {
		admin::syserr("%s.pag", ix.history);
		return false;
	}
	admin::progressshow(&pg, walk.end, -1, true);
	// The 99th percentile: the smallest length that at least 99% of the
	// measured values do not exceed.
	int64_t need = (f->measured * 99 + 99) / 100, seen = 0;
	for (int64_t n = 1; n <= kLengthCap && f->measured > 0; n++) {
		seen += f->lengths[static_cast<size_t>(n)];
		if (seen >= need) {
			f->p99 = n;
			break;
		}
	}
	f->load = static_cast<double>(f->inuse.at(0)) / static_cast<double>(size);
	return true;
}

void judge(const inspected &ix, figures *f) {
	const dbzparams &p = ix.info.params;
	char why[256];
	int64_t spilled = f->values - f->inuse.at(0);
	if (static_cast<double>(spilled) > kSpillShare * static_cast<double>(f->values)) {
		snprintf(why, sizeof why,
		         "the first table spills: %" PRId64 " values in further tables",
		         spilled);
		f->reasons.push_back(why);
	}
	if (f->load > kFullLoad) {
		snprintf(why, sizeof why, "the first table is %.1f%% full",
		         100 * f->load);
		f->reasons.push_back(why);
	}
	if (p.untagged[0] > 0) {
		snprintf(why, sizeof why,
		         "%" PRId64 " stores of this period reached into the tag field",
		         p.untagged[0]);
		f->reasons.push_back(why);
	}
	if (f->unreachable > 0) {
		snprintf(why, sizeof why,
		         "%" PRId64 " values lie off their key's probe (see dbz check)",
		         f->unreachable);
		f->reasons.push_back(why);
	}
	// Damage: what the .pag holds cannot be what the stores put there.
	if (!p.legacy && f->values < p.usage[0]) {
		snprintf(why, sizeof why,
		         "the .pag holds %" PRId64 " values, fewer than the %" PRId64
		         " stores recorded since the index was made (failed stores "
		         "count there too)",
		         f->values, p.usage[0]);
		f->damage.push_back(why);
	}
	if (f->stranded > 0) {
		snprintf(why, sizeof why,
		         "%" PRId64 " values stand where no key's probe reaches them "
		         "(a table size that does not belong to this .pag?)",
		         f->stranded);
		f->damage.push_back(why);
	}
	rebuildpick(p, f);
}

const char *verdict(const figures &f) {
	if (!f.damage.empty())
		return "damaged";
	return f.reasons.empty() ? "healthy" : "rebuild advised";
}

const char *casemodetext(char mode) {
	switch (mode) {
	case '=':
		return "fold whole keys";
	case 'C':
		return "fold from the first '@', whole postmaster keys";
	default:
		return "no folding";
	}
}

// "bits 26-30" for a mask of consecutive bits; any other mask in hex.
std::string bits(uint64_t mask) {
	if (mask == 0)
		return "none";
	int lo = __builtin_ctzll(mask), hi = 63 - __builtin_clzll(mask);
	char buf[64];
	uint64_t run = (hi == 63 ? ~uint64_t{0} : (uint64_t{1} << (hi + 1))) -
	               (uint64_t{1} << lo);
	if (run == mask && lo == hi)
		snprintf(buf, sizeof buf, "bit %d", lo);
	else if (run == mask)
		snprintf(buf, sizeof buf, "bits %d-%d", lo, hi);
	else
		snprintf(buf, sizeof buf, "mask 0x%" PRIx64, mask);
	return buf;
}

// Histogram buckets: 1, 2, 3-4, 5-8, ... up to the longest probe.
struct bucket {
	int64_t lo, hi, count;
};

std::vector<bucket> buckets(const figures &f) {
	std::vector<bucket> out;
	for (int64_t lo = 1, hi = 1; lo <= f.maxlength && lo <= kLengthCap;
	     lo = hi + 1, hi = 2 * hi) {
		bucket b{lo, hi < kLengthCap ? hi : kLengthCap, 0};
		for (int64_t n = b.lo; n <= b.hi; n++)
			b.count += f.lengths[static_cast<size_t>(n)];
		out.push_back(b);
	}
	return out;
}

void printtext(const inspected &ix, const figures &f) {
	const dbzinfo &s = ix.info;
	const dbzparams &p = s.params;
	printf("index         %s\n", ix.history);
	printf("table size    %" PRId64 " slots; the .pag holds %" PRId64
	       " table%s\n",
	       p.tablesize, f.tables, f.tables == 1 ? "" : "s");
	printf("separator     %d\n", static_cast<unsigned char>(p.separator));
	printf("case mode     %c (%s)\n", p.casemode, casemodetext(p.casemode));
	printf("tag layout    flag %" PRId64 ", span %" PRId64 ", position %d: "
	       "tag field %s, enable %s\n",
	       p.tagflag, p.tagspan, p.tagpos, bits(s.tagfield).c_str(),
	       bits(s.tagenable).c_str());
	printf("byte order   ");
	for (int b : p.byteorder)
		printf(" %d", b);
	printf(" (%s)\n", s.sameorder ? "this machine's" : "not this machine's");
	printf("legacy        %s\n", p.legacy ? "yes (empty .dir)" : "no");
	printf("period        stores    untagged\n");
	for (int i = 0; i < DBZ_NPERIODS; i++)
		printf("%6d  %12" PRId64 "  %10" PRId64 "\n", i, p.usage[i],
		       p.untagged[i]);
	printf("in use        %" PRId64 " of %" PRId64 " slots in table 1, "
	       "load factor %.4f\n",
	       f.inuse.at(0), p.tablesize, f.load);
	for (const auto &[t, n] : f.inuse)
		if (t > 0)
			printf("              %" PRId64 " in table %" PRId64 "\n", n, t + 1);
	printf("values        %" PRId64 " (%" PRId64 " tagged, %" PRId64
	       " untagged, %" PRId64 " off their probe)\n",
	       f.values, f.tagged, f.values - f.tagged, f.unreachable);
	if (f.measured > 0) {
		printf("probe length  mean %.3f, 99th percentile %s%" PRId64
		       ", maximum %" PRId64 "\n",
		       f.lengthsum / static_cast<double>(f.measured),
		       f.p99 >= kLengthCap ? ">=" : "", f.p99, f.maxlength);
		std::vector<bucket> bs = buckets(f);
		int64_t top = 0;
		for (const bucket &b : bs)
			if (b.count > top)
				top = b.count;
		for (const bucket &b : bs) {
			char range[48];
			if (b.lo == b.hi)
				snprintf(range, sizeof range, "%" PRId64, b.lo);
			else
				snprintf(range, sizeof range, "%" PRId64 "-%" PRId64, b.lo,
				         b.hi);
			int width = static_cast<int>(
			    (b.count * kBarWidth + top - 1) / (top > 0 ? top : 1));
			printf("%13s  %-*.*s %" PRId64 "\n", range, kBarWidth, width,
			       "########################################", b.count);
		}
	}
	printf("verdict       %s\n", verdict(f));
	for (const std::string &r : f.damage)
		printf("              %s\n", r.c_str());
	if (!f.damage.empty())
		printf("              make a new index with dbz build\n");
	for (const std::string &r : f.reasons)
		printf("              %s\n", r.c_str());
	printf("rebuild       dbz rebuild would pick size %" PRId64, f.newsize);
	if (f.newspan != p.tagspan)
		printf(", tag span %" PRId64 " (flag %" PRId64 ")", f.newspan,
		       f.newflag);
	printf("\n");
}

void jsonstring(const char *text) { admin::jsonstring(text, strlen(text)); }

void jsonarray(const int64_t *v, size_t n) {
	putchar('[');
	for (size_t i = 0; i < n; i++)
		printf("%s%" PRId64, i ? "," : "", v[i]);
	putchar(']');
}

void printjson(const inspected &ix, const figures &f) {
	const dbzinfo &s = ix.info;
	const dbzparams &p = s.params;
	char mode[2] = {p.casemode, '\0'};
	printf("{\"index\":");
	jsonstring(ix.history);
	printf(",\"tablesize\":%" PRId64 ",\"tables\":%" PRId64 ",\"separator\":%d,"
	       "\"casemode\":",
	       p.tablesize, f.tables,
	       static_cast<unsigned char>(p.separator));
	jsonstring(mode);
	printf(",\"tagflag\":%" PRId64 ",\"tagspan\":%" PRId64 ",\"tagpos\":%d,"
	       "\"tagfield\":%" PRIu64 ",\"tagenable\":%" PRIu64 ",\"byteorder\":[",
	       p.tagflag, p.tagspan, p.tagpos, s.tagfield, s.tagenable);
	for (int i = 0; i < DBZ_NBYTEORDER; i++)
		printf("%s%d", i ? "," : "", p.byteorder[i]);
	printf("],\"nativeorder\":%s,\"legacy\":%s,\"usage\":",
	       s.sameorder ? "true" : "false", p.legacy ? "true" : "false");
	jsonarray(p.usage, DBZ_NPERIODS);
	printf(",\"untagged\":");
	jsonarray(p.untagged, DBZ_NPERIODS);
	// "inuse" counts the slots of the first table and of each further
	// table that has any; "inusetables" numbers those tables from 1.
	std::vector<int64_t> counts, numbers;
	for (const auto &[t, n] : f.inuse) {
		counts.push_back(n);
		numbers.push_back(t + 1);
	}
	printf(",\"inuse\":");
	jsonarray(counts.data(), counts.size());
	printf(",\"inusetables\":");
	jsonarray(numbers.data(), numbers.size());
	printf(",\"loadfactor\":%.6f,\"values\":%" PRId64 ",\"tagged\":%" PRId64
	       ",\"unreachable\":%" PRId64 ",\"probe\":{\"mean\":%.6f,"
	       "\"p99\":%" PRId64 ",\"max\":%" PRId64 ",\"histogram\":[",
	       f.load, f.values, f.tagged, f.unreachable,
	       f.measured > 0 ? f.lengthsum / static_cast<double>(f.measured) : 0.0,
	       f.p99, f.maxlength);
	const char *sep = "";
	for (const bucket &b : buckets(f)) {
		printf("%s{\"from\":%" PRId64 ",\"to\":%" PRId64 ",\"count\":%" PRId64
		       "}",
		       sep, b.lo, b.hi, b.count);
		sep = ",";
	}
	printf("]},\"verdict\":\"%s\",\"damage\":[", verdict(f));
	sep = "";
	for (const std::string &r : f.damage) {
		printf("%s", sep);
		jsonstring(r.c_str());
		sep = ",";
	}
	printf("],\"reasons\":[");
	sep = "";
	for (const std::string &r : f.reasons) {
		printf("%s", sep);
		jsonstring(r.c_str());
		sep = ",";
	}
	printf("],\"rebuild\":{\"tablesize\":%" PRId64 ",\"tagspan\":%" PRId64
	       ",\"tagflag\":%" PRId64 "}}\n",
	       f.newsize, f.newspan, f.newflag);
}

}  // namespace

int cmd_stats(int argc, char **argv) {
	bool json = false;
	int c;
	opterr = 0;
	optind = 1;
	while ((c = getopt(argc, argv, "j")) != -1) {
		switch (c) {
		case 'j':
			json = true;
			break;
		default:
			admin::errmsg("stats: unknown option -%c", optopt);
			return kExitUsage;
		}
	}
	argc -= optind;
	argv += optind;
	if (argc != 1)
		return kExitUsage;

	// Read without the lock; only a build's commit that a crash left
	// unfinished is completed first.
	if (common::settlecommit(argv[0], "dbz") != 0)
		return kExitFail;
	inspected ix;
	if (int status = admin::inspectopen(&ix, argv[0], false))
		return status;
	figures f;
	bool ok = measure(ix, &f);
	if (ok) {
		judge(ix, &f);
		if (json)
			printjson(ix, f);
		else
			printtext(ix, f);
	}
	admin::inspectclose(&ix);
	if (fflush(stdout) != 0 || ferror(stdout)) {
		admin::syserr("stdout");
		return kExitFail;
	}
	if (!ok)
		return kExitFail;
	return f.damage.empty() ? kExitOK : kExitNo;
}
