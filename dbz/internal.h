// internal.h: what the concern files of the dbz index share: the on-disk
// constants, the one process-wide index state, the probe state and the
// internal procedures. Not installed; tests include it to look inside.
#ifndef DBZ_INTERNAL_H_
#define DBZ_INTERNAL_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "dbz/dbz.h"

namespace dbz {

// On-disk format. DO NOT CHANGE THESE VALUES: existing .dir and .pag files
// are written with them.
inline constexpr int kFormatVersion = 3;        // the number after "dbz"
inline constexpr int kSlotBytes = 8;            // bytes per .pag slot
inline constexpr int64_t kDefaultTableSize = 300007;
inline constexpr char kDefaultSeparator = '\t';
inline constexpr char kDefaultCaseMode = 'C';
inline constexpr int64_t kDefaultTagFlag = 0x80;
inline constexpr int64_t kDefaultTagSpan = 0x7C;
inline constexpr int32_t kDefaultTagPos = 24;
// Slots examined in every table after the first (and in the first one of a
// non-legacy index) before a probe spills into the next table.
inline constexpr int32_t kProbeBudget = 100;

// Key limits: a lookup uses at most kMaxLookupKey bytes of a key, a store
// accepts at most kMaxStoreKey.
inline constexpr size_t kMaxLookupKey = DBZ_MAXLOOKUPKEY;
inline constexpr size_t kMaxStoreKey = DBZ_MAXSTOREKEY;

// The in-core table is read and written back in pages of this many slots
// (4 KiB); a page is read from the .pag when a probe first reaches it.
inline constexpr int64_t kCorePageSlots = 512;
inline constexpr int64_t kCorePageBytes = kCorePageSlots * kSlotBytes;
// A flush that leaves more pages than this in memory (64 MiB) and nothing
// to write gives them back; they are read again when next reached.
inline constexpr int64_t kCoreKeepPages = 16384;

// Stream buffers that live in the index state.
inline constexpr size_t kPagBufBytes = 128;
inline constexpr size_t kBaseBufBytes = 64;

// The state of one probe sequence; one of them, shared by lookups and
// stores, so that a store can resume the probe of the lookup that missed.
struct probestate {
	int64_t slot;     // absolute slot: layer * tablesize + position
	int32_t layer;    // table the probe is in; 0 is the first
	int32_t budget;   // slots still to examine in this table
	int64_t keysum;   // the key's hash, 0 .. 2^31 - 1
	int64_t keytag;   // the key's tag, shifted into the tag field
	int32_t visited;  // 0: examine slot without advancing first
	int32_t failed;   // a .pag I/O error ended this probe
};

// The one index this process has open. It is open exactly while pagfile is
// set; every entry point checks that first. Only the procedures of the
// index change it.
struct indexstate {
	FILE *pagfile;               // .pag stream for slot reads and writes
	FILE *dirfile;               // .dir stream, rewritten by the flush
	bool dirreadonly;            // .dir opened for reading only
	dbzhook openhook;            // setting: sees every stream opened
	bool pagreadonly;            // stores are refused
	char pagstreambuf[kPagBufBytes];
	int64_t pagcursor;           // where pagfile stands, or -1: seek first
	FILE *basefile;              // base stream, or none while deferred
	char *basepath;              // base name while the open is deferred
	char basestreambuf[kBaseBufBytes];
	dbzparams params;            // configuration as read from the .dir
	uint64_t tagfield;           // tagspan << tagpos
	uint64_t tagenable;          // tagflag << tagpos
	uint64_t tagall;             // tagfield | tagenable
	int32_t nativemap[DBZ_NBYTEORDER];
	bool sameorder;              // .pag byte order is this machine's
	int32_t wantcore;            // setting: load the first table at open
	FILE *corefile;              // second .pag stream for the in-core table
	uint64_t *coretable;         // first table, in the file's byte order;
	                             // only pages marked in coreloaded are valid
	bool dirty;                  // a store since open or dbzdiscard()
	probestate *lastprobe;       // probe left by a lookup that missed
	int32_t writethru;           // setting: in-core stores also hit .pag
	int64_t foundvalue;          // what a hit returns the address of
	probestate probe;
	int64_t polytable[128];      // hash table, filled at every open
	bool foldready;              // foldtable built
	char foldtable[384];         // case folding, index = signed char + 128
	// The in-core table's pages, in one reservation with the table: bit p
	// of coreloaded is set once page p has been read from the .pag, bit p
	// of corechanged while page p holds stores not yet written back, and
	// bit w of coresummary while word w of corechanged is not zero.
	uint64_t *coreloaded;
	uint64_t *corechanged;
	uint64_t *coresummary;
	int64_t corepages;           // pages of the first table
	int64_t coreresident;        // pages read since open or last release
	int64_t corepending;         // pages marked in corechanged
	size_t coretablebytes;       // table part of the reservation
	size_t coremapbytes;         // the whole reservation
};

indexstate &state();
// Tests only: closes whatever is open without writing anything back and
// returns the state, settings included, to what it is at process start.
void resetstate();

// config.cc: the .dir text, byte order and slot words.
int readconf(FILE *dir, FILE *pag, dbzparams *params);
int writeconf(FILE *dir, const dbzparams *params);
int64_t readnum(FILE *in, int *error);
void nativeorder(int32_t map[DBZ_NBYTEORDER]);
uint64_t pagtonative(uint64_t stored, const int32_t *filemap,
                     const int32_t *nativemap);
uint64_t nativetopag(uint64_t stored, const int32_t *nativemap,
                     const int32_t *filemap);

// hash.cc: hashing and case folding.
void hashinit();
int64_t keyhash(const char *key, size_t len);
// Offset where the case-insensitive part of key begins, or -1 for none.
ptrdiff_t foldpoint(const char *key, size_t len);
// Returns dst holding the folded key, or src when nothing is folded.
const char *foldkey(char *dst, const char *src, size_t len);

// open.cc: opening and the deferred base file.
bool openbase();
// Calls the open hook, if one is set, with a stream just opened.
void callhook(FILE *stream);

// core.cc: the in-core table's pages.
// Reserves memory for the first table and its page maps; nothing is read.
// False when the reservation cannot be had: the index then works from the
// .pag.
bool reservetable(indexstate &s);
void releasetable(indexstate &s);
// Reads page of the first table from the .pag through corefile; false on a
// read error, leaving the page to be read again.
bool loadpage(indexstate &s, int64_t page);
// Marks page as holding stores that the next write-back must write.
void markpage(indexstate &s, int64_t page);
// Writes the changed pages back and makes a short .pag one table long.
// -1 when anything failed; what failed stays marked for the next flush.
int writetable(indexstate &s);

// Makes sure the in-core table holds the page of slot (< tablesize).
inline bool pageready(indexstate &s, int64_t slot) {
	int64_t page = slot / kCorePageSlots;
	return ((s.coreloaded[page / 64] >> (page % 64)) & 1) || loadpage(s, page);
}

// base.cc: reads of the base file, which must be open.
// Reads the n bytes at offset off: true when the file holds all of them.
bool readbase(int64_t off, char *buf, size_t n);
// Reads the line at off into buf of size bytes, as fgets() would after a
// seek there: up to and including the first newline, at most size - 1
// bytes, then a NUL. The bytes read before the NUL, 0 at the end of the
// file, -1 on a read error or a negative offset.
int64_t readbaseline(int64_t off, char *buf, size_t size);
// Positioned reads of up to n bytes at off from fd into buf: all n of them,
// or with line set up to and including the first newline. Returns the bytes
// read, fewer at the end of the file, or -1 on a read error.
int64_t preadat(int fd, int64_t off, char *buf, size_t n, bool line);
// Forgets the base file's mapping; at close.
void closebase();

// build.cc: the configuration a rebuild derives from an old one.
void rebuildconf(dbzparams *params);

// probe.cc: the probe sequence.
// Sets probe p up for a key with hash; startprobe() does it for the probe
// that lookups and stores share.
void initprobe(probestate &p, int64_t hash);
void startprobe(int64_t hash);
// One step of probe p: examines its next slot. Returns 1 with the slot's
// stored form minus one (tag bits included) in *raw, 0 at an empty slot,
// -1 on a .pag I/O error (p.failed set).
int probestep(probestate &p, uint64_t *raw);
// The value that a slot's raw content gives a key with keytag, or -1 when
// it carries another key's tag.
int64_t candidate(uint64_t raw, int64_t keytag);
// The shared probe's next candidate value, or -1 at its end.
int64_t nextslot();
// Reads slot's stored form, in native order, from the in-core table or the
// .pag. False on an I/O error.
bool fetchslot(indexstate &s, int64_t slot, uint64_t *word);
// Confirms candidate v for the folded key of n bytes against the base file:
// 1 a match, 0 none, -1 when the record cannot be read in full. The base
// file must be open.
int confirm(int64_t v, const char *key, size_t n);
// Byte offset of slot in the .pag, or -1 when it is not representable.
int64_t slotoffset(int64_t slot);

}  // namespace dbz

#endif  // DBZ_INTERNAL_H_
