/* dbz.h: the public C interface of the dbz index.
 *
 * dbz is a hashed, open-addressing on-disk index from keys to 8-byte
 * values. An index under the base name B lives in three files: B itself
 * (the base file, owned by the application, whose records begin with the
 * keys), B".dir" (three lines of configuration text) and B".pag" (a
 * headerless table of 8-byte slots). The index stores offsets into the base
 * file and confirms every candidate by reading the base file.
 *
 * Conventions of the whole interface:
 *
 *  (1) There is one index per process. Every call works on the one open
 *      index; opening a second one fails. No call is thread-safe or
 *      reentrant (not even from inside the open hook).
 *  (2) Calls that return int return 0 (or a non-negative value) on success
 *      and -1 on failure. Lookups return a dbzitem; "not found" and "failed"
 *      both come back as { NULL, 0 }.
 *  (3) The index sets errno only in three places: dbzopen() sets it to 0
 *      when an index is already open and to EDOM when the .dir is
 *      malformed; dbzreadline() sets it to EINVAL for a negative offset.
 *      Otherwise errno is whatever the failing C library call left, or
 *      unchanged for refusals that are no library failure.
 *  (4) Keys are byte strings; a key that ends in a NUL byte matches a base
 *      file record that continues with NUL or the index's separator after
 *      the key, any other key matches a record that begins with it.
 *      Values are 8 bytes: an int64_t in native byte order.
 *  (5) The value returned by a successful lookup lives in storage owned by
 *      the index; it stays valid until the next lookup. Copy it at once.
 *  (6) The index prints nothing. Nothing is written back when the process
 *      ends: call dbzflush() or dbzdone() to keep stores made in memory.
 *  (7) Not supported: more than one index at a time, concurrent writers,
 *      file locking, keys longer than DBZ_MAXSTOREKEY bytes in a store.
 *  (8) The inspection calls only read: walks keep their state in records of
 *      the caller's, and never disturb the probe a missed lookup leaves for
 *      the next store, nor the value a hit returned.
 */
#ifndef DBZ_DBZ_H_
#define DBZ_DBZ_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(DBZ_COMPILE_LIBRARY)
#define DBZ_EXPORT __attribute__((visibility("default")))
#else
#define DBZ_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A key or a value: an address and a byte count. { NULL, 0 } is "no result". */
typedef struct {
	char *ptr;
	int32_t dsize;
} dbzitem;

/* Key limits: a lookup uses at most the first DBZ_MAXLOOKUPKEY bytes of a
 * key; a store refuses a key longer than DBZ_MAXSTOREKEY bytes. */
#define DBZ_MAXLOOKUPKEY 255
#define DBZ_MAXSTOREKEY 254

/* Number of usage periods kept in the .dir: the current one and ten older. */
#define DBZ_NPERIODS 11
/* Number of entries of a byte-order map: one per byte of a slot. */
#define DBZ_NBYTEORDER 8

/* The configuration of an index, as its .dir records it. */
typedef struct {
	int32_t legacy;                    /* empty .dir beside a non-empty .pag */
	int64_t tablesize;                 /* slots in one table of the .pag */
	int64_t usage[DBZ_NPERIODS];       /* stores per period, [0] current */
	int32_t slotwidth;                 /* bytes per slot; always 8 */
	int32_t byteorder[DBZ_NBYTEORDER]; /* [i]: slot position of the byte of
	                                      significance 7 - i */
	char casemode;                     /* '0' none, '=' all, 'C' from '@' */
	char separator;                    /* byte after a key in a base record */
	int64_t tagflag;                   /* tag-enable bit, before tagpos */
	int64_t tagspan;                   /* tag field mask, before tagpos */
	int32_t tagpos;                    /* shift of tagflag and tagspan */
	int64_t untagged[DBZ_NPERIODS];    /* stores made without a tag */
} dbzparams;

/* Receives every stream the index opens, right after it is opened. */
typedef void (*dbzhook)(FILE *);

/* Opening, flushing and closing. */

/* Opens the index of base file name: name".dir", name".pag" and the base
 * file itself (deferred when it does not exist yet). 0 on success; -1 with
 * errno 0 if an index is open, EDOM if the .dir is malformed, otherwise as
 * the failing open left it. */
DBZ_EXPORT int dbzopen(const char *name);
DBZ_EXPORT int dbmopen(const char *name);

/* Writes pending changes (in-core table, configuration) back. 0 when
 * nothing was pending or all was written; -1 if no index is open or a
 * write failed (the index stays open). */
DBZ_EXPORT int dbzflush(void);

/* Flushes and closes the index. -1 if no index was open or a write or close
 * failed; the index is closed either way. */
DBZ_EXPORT int dbzdone(void);
DBZ_EXPORT int dbmdone(void);

/* Forgets pending changes: the next flush or close writes nothing unless a
 * later store is made. -1 if no index is open. */
DBZ_EXPORT int dbzdiscard(void);

/* Settings; each returns the previous value and may be called any time. */
DBZ_EXPORT int dbzsetincore(int wantcore);          /* at the next open */
DBZ_EXPORT int dbzsetwritethrough(int writethru);   /* at once */
DBZ_EXPORT int dbzsetdebug(int level);              /* no effect; -1 */
DBZ_EXPORT dbzhook dbzsetopenhook(dbzhook hook);    /* at once */

/* Lookup. */

/* Looks key up as given (already case-folded). A hit returns the address of
 * the found int64_t and 8; a miss or a failure returns { NULL, 0 }. */
DBZ_EXPORT dbzitem dbzfind(dbzitem key);
DBZ_EXPORT dbzitem dbmfind(dbzitem key);

/* As dbzfind(), but folds the key's case first and uses at most its first
 * 255 bytes. */
DBZ_EXPORT dbzitem dbzlookup(dbzitem key);

/* Reads the base file's line at offset (a value a lookup returned) into buf,
 * as fgets(buf, size, ...) would after a seek there: up to and including
 * the first newline, at most size - 1 bytes, then a NUL. Returns the number
 * of bytes before that NUL, 0 at or beyond the end of the file; -1 if no
 * index is open, the offset is negative or size is 0 (errno EINVAL), or the
 * read failed. Lines appended since the index was opened are read too. */
DBZ_EXPORT int64_t dbzreadline(int64_t offset, char *buf, size_t size);

/* Store. */

/* Stores value (8 bytes) under key (already folded, at most 254 bytes) in
 * the first empty slot of the key's probe; an earlier entry of the same key
 * is not replaced. 0 on success, -1 when refused or failed. */
DBZ_EXPORT int dbzput(dbzitem key, dbzitem value);
DBZ_EXPORT int dbmput(dbzitem key, dbzitem value);

/* As dbzput(), but folds the key's case first. */
DBZ_EXPORT int dbzstore(dbzitem key, dbzitem value);

/* Creating and rebuilding. */

/* Creates an empty index for base name and opens it. size 0 keeps the
 * default table size; separator is the base file's field separator;
 * casechar is one of 0 '0' 'B' (no folding), '=' 'b' (fold all), 'C' '?'
 * (fold from the first '@'); tagmask 0 keeps the default tag layout, 1 has
 * no tags, otherwise it is the tag field's bits in place. 0 or -1. */
DBZ_EXPORT int dbzcreate(const char *name, int64_t size, int separator,
                         int casechar, int64_t tagmask);

/* Creates an empty index for name, configured from the statistics of the
 * index of oldname (which may be name itself), and opens it. 0 or -1. */
DBZ_EXPORT int dbzrebuild(const char *name, const char *oldname);

/* Changes *params, an index's configuration, into the one that
 * dbzrebuild() derives from it: a new period of the statistics, the table
 * size and the tag layout. */
DBZ_EXPORT void dbzrebuildconf(dbzparams *params);

/* A table size for the expected number of entries (about 1.5 times it). */
DBZ_EXPORT int64_t dbzpicksize(int64_t expected);

/* A tag mask for dbzcreate() that leaves room for values up to largest. */
DBZ_EXPORT int32_t dbzpicktagmask(int32_t largest);

/* name followed by suffix in storage from malloc(), or NULL. */
DBZ_EXPORT char *joinpath(const char *name, const char *suffix);

/* Keys of message IDs. */

/* The key of the message ID at id, len bytes that a NUL follows (id[len]
 * must be 0): the ID and its NUL, cut to DBZ_MAXLOOKUPKEY bytes. The key
 * refers to id itself. A key of more than DBZ_MAXSTOREKEY bytes (an ID of
 * DBZ_MAXSTOREKEY bytes or more) can be looked up but not stored. */
DBZ_EXPORT dbzitem dbzidkey(const char *id, size_t len);

/* Inspection: read-only views of the open index, for tools that report on
 * or verify it. */

/* What describes the open index. */
typedef struct {
	dbzparams params;    /* its configuration, with the counts so far */
	uint64_t tagfield;   /* the tag field's bits in place */
	uint64_t tagenable;  /* the tag-enable bit in place */
	int32_t sameorder;   /* the .pag is in this machine's byte order */
	int32_t incore;      /* the first table is held in memory */
	int32_t readonly;    /* stores are refused */
} dbzinfo;

/* Copies the description of the open index to *info. 0, or -1 if no index
 * is open. */
DBZ_EXPORT int dbzgetinfo(dbzinfo *info);

/* A slot in use, as the walks below return it. */
typedef struct {
	int64_t slot;        /* absolute: table number * tablesize + position */
	int64_t value;       /* the value, as a lookup would return it */
	uint64_t tag;        /* the tag field's bits in place; 0 when untagged */
	int32_t tagged;      /* stored with a tag */
	int32_t candidate;   /* probe walks: the lookup of the walk's key would
	                        confirm this value against the base file */
} dbzslot;

/* A walk over all slots of the open index, front to back. The members are
 * the walk's own; only end is meant to be read. */
#define DBZ_WALKSLOTS 4096
typedef struct {
	int64_t end;         /* one past the last slot the walk reads */
	int64_t next;        /* the slot to read next */
	int64_t from, to;    /* slots [from, to) are in buf */
	uint64_t buf[DBZ_WALKSLOTS];
} dbzslotwalk;

/* Starts a walk over the slots that the .pag holds now (and the whole first
 * table when it is held in memory). 0, or -1 if no index is open or the
 * .pag's size cannot be learnt. */
DBZ_EXPORT int dbzwalkstart(dbzslotwalk *walk);

/* Reads the next slot in use into *slot: 1 for a slot, 0 at the end of the
 * walk, -1 on a read error (errno set). Empty slots, holes of a sparse .pag
 * among them, are passed over. */
DBZ_EXPORT int dbzwalknext(dbzslotwalk *walk, dbzslot *slot);

/* A walk along the probe of one key. Opaque. */
typedef struct {
	int64_t opaque[8];
} dbzprobewalk;

/* Starts the walk along the probe that dbzlookup(key) makes. 0, or -1 if no
 * index is open or the key is empty. */
DBZ_EXPORT int dbzprobestart(dbzprobewalk *walk, dbzitem key);

/* Reads the next slot of the probe into *slot, whether or not it is a
 * candidate for the key: 1 for a slot in use, 0 when the probe has ended at
 * an empty slot, -1 on a read error of the .pag. */
DBZ_EXPORT int dbzprobenext(dbzprobewalk *walk, dbzslot *slot);

/* Confirms the candidate value for key (as dbzlookup() takes it) the way a
 * lookup does: 1 when the base file record at value matches the key, 0
 * when it does not, -1 when it cannot be read in full (an offset outside
 * the file, a read error) or no index is open. */
DBZ_EXPORT int dbzconfirm(dbzitem key, int64_t value);

/* Where slot lies on the probe of key (as dbzlookup() takes it): the number
 * of slots that probe examines up to and including slot, or 0 when it never
 * examines it. -1 if no index is open or the key is empty. */
DBZ_EXPORT int64_t dbzprobeplace(dbzitem key, int64_t slot);

/* The tag that key (as dbzlookup() takes it) carries in the open index, in
 * place: a tagged value is a candidate for key when its tag equals this. */
DBZ_EXPORT uint64_t dbzkeytag(dbzitem key);

#ifdef __cplusplus
}
#endif

#endif /* DBZ_DBZ_H_ */
