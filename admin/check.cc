// check.cc: dbz check: cross-checks an index and its history both ways and
// reports every place where they disagree.
//
// One pass over the history, front to back: every line's ID must be found
// by a lookup at that line (or at an earlier line with the same ID), and
// every slot on the ID's probe that holds the line's offset is marked in a
// bitmap of the .pag's slots. The lookup is made as the index makes it,
// within the same walk of the probe, reading only candidates other than
// the line itself. Afterwards every slot in use that no line marked is
// reported. Memory: the in-core first table, one bit per slot and the
// history reader's buffers; nothing grows with the number of lines.
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "admin/commands.h"
#include "admin/common.h"
#include "admin/inspect.h"
#include "admin/lock.h"
#include "admin/progress.h"
#include "dbz/dbz.h"

namespace {

using admin::inspected;

// The JSON report lists this many disagreements, the first ones found.
constexpr size_t kJsonFirst = 100;
// Items between two looks at the clock for the progress display.
constexpr int64_t kProgressItems = 4096;

// A place where index and history disagree.
struct disagreement {
	bool isline;          // a line of the history, else a slot
	int64_t where;        // the line's number or the slot's
	int64_t offset;       // the line's offset or the slot's value
	std::string id;       // the message ID concerned, when known
	std::string problem;  // what is wrong there
};

struct tally {
	int64_t lines = 0;
	int64_t skipped = 0;     // lines whose ID the tools would not index
	int64_t duplicates = 0;  // lines found at an earlier line of their ID
	int64_t values = 0;      // slots in use
	int64_t badlines = 0;
	int64_t badslots = 0;
	bool json = false;
	std::vector<disagreement> first;  // for the JSON report

	// Prints d at once, or keeps it for the JSON report.
	void report(const disagreement &d) {
		if (json) {
			if (first.size() < kJsonFirst)
				first.push_back(d);
			return;
		}
		if (d.isline)
			printf("line %" PRId64 ": %s: %s\n", d.where, d.id.c_str(),
			       d.problem.c_str());
		else if (d.id.empty())
			printf("slot %" PRId64 ": offset %" PRId64 ": %s\n", d.where,
			       d.offset, d.problem.c_str());
		else
			printf("slot %" PRId64 ": offset %" PRId64 ": %s %s\n", d.where,
			       d.offset, d.id.c_str(), d.problem.c_str());
	}
};

// One bit per slot of the .pag, in pages of 4 KiB that are allocated when
// a bit in them is first set: the holes of a large sparse .pag cost
// nothing, and a damaged slot far out costs one page.
struct bitmap {
	static constexpr int64_t kPageBits = int64_t{1} << 15;
	std::unordered_map<int64_t, std::unique_ptr<uint64_t[]>> pages;
	void set(int64_t i) {
		std::unique_ptr<uint64_t[]> &page = pages[i / kPageBits];
		if (page == nullptr)
			page = std::make_unique<uint64_t[]>(kPageBits / 64);
		auto bit = static_cast<size_t>(i % kPageBits);
		page[bit / 64] |= uint64_t{1} << (bit % 64);
	}
	bool test(int64_t i) const {
		auto at = pages.find(i / kPageBits);
		auto bit = static_cast<size_t>(i % kPageBits);
		return at != pages.end() && (at->second[bit / 64] >> (bit % 64) & 1);
	}
};

// True when offset is the first byte of a line of the history.
bool linestart(const inspected &ix, int64_t offset) {
	if (offset == 0)
		return true;
	if (offset < 0 || offset >= ix.basesize)
		return false;
	char c;
	return pread(ix.basefd, &c, 1, offset - 1) == 1 && c == '\n';
}

// What a lookup of a line's ID, as quorlin makes it, finds.
struct lookup {
	bool found;
	int64_t offset;  // where, when found
};

// Walks the probe of the line's ID to its end, marking every slot that
// holds the line's offset, and finds what a lookup of the ID finds: the
// first candidate that the base file confirms. The line itself needs no
// reading: it begins with the ID and its separator. Returns false on a
// .pag read error.
bool walk(const inspected &ix, const admin::histline &line, size_t idlen,
          bitmap *marks, lookup *found) {
	char id[DBZ_MAXSTOREKEY + 1];
	memcpy(id, line.text, idlen);
	id[idlen] = '\0';
	dbzitem key = dbzidkey(id, idlen);
	// A separator that folding can change, or that moves the fold point,
	// might fail the confirmation even at the line itself.
	char sep = ix.info.params.separator;
	bool selfmatch = sep != '@' && !(sep >= 'A' && sep <= 'Z') &&
	                 !(sep >= 'a' && sep <= 'z');

	dbzprobewalk probe;
	dbzprobestart(&probe, key);
	*found = lookup{false, -1};
	bool decided = false;
	dbzslot v;
	int r;
	while ((r = dbzprobenext(&probe, &v)) > 0) {
		if (!v.candidate)
			continue;
		if (v.value == line.offset)
			marks->set(v.slot);
		if (decided)
			continue;
		int hit = v.value == line.offset && selfmatch ? 1
		                                             : dbzconfirm(key, v.value);
		// An unreadable candidate is passed over, as the lookup does.
		if (hit > 0) {
			decided = true;
			*found = lookup{true, v.value};
		}
	}
	return r == 0;
}

// Reports the line unless the lookup found it or an earlier line with the
// same ID.
void findline(const inspected &ix, const admin::histline &line, size_t idlen,
              const lookup &found, tally *t) {
	disagreement d{true, line.number, line.offset,
	               std::string(line.text, idlen), ""};
	if (!found.found) {
		d.problem = "not found in the index";
	} else if (found.offset == line.offset) {
		return;
	} else if (found.offset < line.offset && linestart(ix, found.offset)) {
		t->duplicates++;
		return;
	} else {
		d.problem = "the index finds offset " + std::to_string(found.offset) +
		            " instead of " + std::to_string(line.offset);
	}
	t->badlines++;
	t->report(d);
}

// Says why a slot in use that no line marked is wrong.
void reportslot(const inspected &ix, const dbzslot &v, tally *t) {
	t->badslots++;
	disagreement d{false, v.slot, v.value, "", ""};
	int64_t off = v.value;
	char id[DBZ_MAXLOOKUPKEY + 1];
	int64_t len;
	if (off < 0 || off >= ix.basesize) {
		d.problem = "beyond the end of the history";
	} else if (!linestart(ix, off)) {
		d.problem = "not the start of a line";
	} else if ((len = admin::recordid(&ix, off, id, sizeof id - 1)) < 0 ||
	           !admin::isid(id, static_cast<size_t>(len)) ||
	           static_cast<size_t>(len) >= DBZ_MAXSTOREKEY) {
		d.problem = "the line there has no message ID that could be indexed";
	} else {
		id[len] = '\0';
		d.id.assign(id, static_cast<size_t>(len));
		dbzitem key = dbzidkey(id, static_cast<size_t>(len));
		if (dbzprobeplace(key, v.slot) <= 0)
			d.problem = "does not hash to this slot's probe";
		else if (v.tagged && v.tag != dbzkeytag(key))
			d.problem = "carries another key's tag here";
		else
			d.problem = "lies beyond the end of its key's probe";
	}
	t->report(d);
}

// The pass over the history. Returns false on a read error.
bool checklines(const inspected &ix, bitmap *marks, tally *t) {
	admin::histreader r;
	if (!admin::histopen(&r, ix.history)) {
		admin::syserr("%s", ix.history);
		return false;
	}
	char sep = ix.info.params.separator;
	admin::progress pg;
	admin::progressstart(&pg, false, ix.history, r.size, "bytes");
	admin::histline line;
	int got;
	while ((got = admin::histnext(&r, &line)) == 1) {
		if (line.number % kProgressItems == 0)
			admin::progressshow(&pg, line.offset, line.number, false);
		t->lines++;
		size_t idlen;
		bool hassep = admin::lineid(line.text, line.len, sep, &idlen);
		// The tools index only well-formed IDs that fit a key.
		if (!hassep || !admin::isid(line.text, idlen) ||
		    idlen >= DBZ_MAXSTOREKEY) {
			t->skipped++;
			continue;
		}
		lookup found;
		if (!walk(ix, line, idlen, marks, &found)) {
			errno = EIO;
			admin::syserr("%s.pag", ix.history);
			admin::histclose(&r);
			return false;
		}
		findline(ix, line, idlen, found, t);
	}
	if (got < 0) {
		admin::syserr("%s", ix.history);
		admin::histclose(&r);
		return false;
	}
	admin::progressshow(&pg, r.pos, r.lines, true);
	admin::histclose(&r);
	return true;
}

// The pass over the slots.
bool checkslots(const inspected &ix, const bitmap &marks, tally *t) {
	dbzslotwalk slots;
	dbzslot v;
	admin::progress pg;
	int r = dbzwalkstart(&slots);
	if (r == 0) {
		std::string pag = std::string(ix.history) + ".pag";
		admin::progressstart(&pg, false, pag.c_str(), slots.end, "slots");
		while ((r = dbzwalknext(&slots, &v)) > 0) {
			if (t->values % kProgressItems == 0)
				admin::progressshow(&pg, v.slot, -1, false);
			t->values++;
			if (!marks.test(v.slot))
				reportslot(ix, v, t);
		}
		if (r == 0)
			admin::progressshow(&pg, slots.end, -1, true);
	}
	if (r < 0) {
		admin::syserr("%s.pag", ix.history);
		return false;
	}
	return true;
}

}  // namespace

// The report as one JSON object: the counts and the first disagreements.
void printjson(const char *history, const tally &t) {
	printf("{\"history\":");
	admin::jsonstring(history, strlen(history));
	printf(",\"lines\":%" PRId64 ",\"notindexable\":%" PRId64
	       ",\"repeated\":%" PRId64 ",\"slots\":%" PRId64
	       ",\"disagreements\":%" PRId64 ",\"badlines\":%" PRId64
	       ",\"badslots\":%" PRId64 ",\"agree\":%s,\"first\":[",
	       t.lines, t.skipped, t.duplicates, t.values,
	       t.badlines + t.badslots, t.badlines, t.badslots,
	       t.badlines + t.badslots == 0 ? "true" : "false");
	const char *sep = "";
	for (const disagreement &d : t.first) {
		printf("%s{\"%s\":%" PRId64 ",\"offset\":%" PRId64 ",\"id\":", sep,
		       d.isline ? "line" : "slot", d.where, d.offset);
		if (d.id.empty())
			printf("null");
		else
			admin::jsonstring(d.id.data(), d.id.size());
		printf(",\"problem\":");
		admin::jsonstring(d.problem.data(), d.problem.size());
		putchar('}');
		sep = ",";
	}
	printf("]}\n");
}

int cmd_check(int argc, char **argv) {
	tally t;
	int wait = -1;
	int c;
	opterr = 0;
	optind = 1;
	while ((c = getopt(argc, argv, "jw:")) != -1) {
		switch (c) {
		case 'j':
			t.json = true;
			break;
		case 'w':
			if (!admin::parsewait(optarg, &wait))
				return kExitUsage;
			break;
		default:
			admin::badoption("check", "w");
			return kExitUsage;
		}
	}
	argc -= optind;
	argv += optind;
	if (argc != 1)
		return kExitUsage;

	// Shared: other checks may run alongside, writers wait, so that the
	// verdict is about a quiet index.
	common::histlock lock;
	if (int status = admin::takelock(&lock, argv[0], common::lockmode::shared, wait))
		return status;
	inspected ix;
	if (int status = admin::inspectopen(&ix, argv[0], true))
		return status;
	bitmap marks;
	bool ok = checklines(ix, &marks, &t) && checkslots(ix, marks, &t);
	admin::inspectclose(&ix);
	if (ok && t.json) {
		printjson(argv[0], t);
	} else if (ok) {
		int64_t bad = t.badlines + t.badslots;
		printf("%s: %" PRId64 " lines (%" PRId64 " not indexable, %" PRId64
		       " repeated IDs), %" PRId64 " slots in use: ",
		       argv[0], t.lines, t.skipped, t.duplicates, t.values);
		if (bad == 0)
			printf("index and history agree\n");
		else
			printf("%" PRId64 " disagreements (%" PRId64 " lines, %" PRId64
			       " slots)\n",
			       bad, t.badlines, t.badslots);
	}
	if (fflush(stdout) != 0 || ferror(stdout)) {
		admin::syserr("stdout");
		return kExitFail;
	}
	if (!ok)
		return kExitFail;
	return t.badlines + t.badslots == 0 ? kExitOK : kExitNo;
}
