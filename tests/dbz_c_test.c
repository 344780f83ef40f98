/* dbz_c_test.c: the index used from plain C99 through dbz/dbz.h alone:
 * open a fresh index, store, look up, close, reopen and look up again.
 * Built from the source tree by CTest, and against an installed copy by
 * the install test. Exits 0 when every step gave what it should. */
#define _POSIX_C_SOURCE 200809L

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "dbz/dbz.h"

static int failures;
static int hookcalls;

#define CHECK(cond)                                                          \
	do {                                                                 \
		if (!(cond)) {                                               \
			fprintf(stderr, "dbz_c_test: %s:%d: %s\n", __FILE__, \
			        __LINE__, #cond);                            \
			failures++;                                          \
		}                                                            \
	} while (0)

static void counthook(FILE *stream) {
	if (stream != NULL)
		hookcalls++;
}

/* The interface's exact types: any mismatch is a compile error in C99. */
static void signatures(void) {
	int (*open)(const char *) = dbzopen;
	int (*done)(void) = dbzdone;
	int (*setting)(int) = dbzsetincore;
	dbzhook (*sethook)(dbzhook) = dbzsetopenhook;
	dbzitem (*find)(dbzitem) = dbzlookup;
	int (*put)(dbzitem, dbzitem) = dbzstore;
	int (*create)(const char *, int64_t, int, int, int64_t) = dbzcreate;
	int (*rebuild)(const char *, const char *) = dbzrebuild;
	int64_t (*picksize)(int64_t) = dbzpicksize;
	int32_t (*picktagmask)(int32_t) = dbzpicktagmask;
	char *(*join)(const char *, const char *) = joinpath;
	dbzparams p;
	dbzitem item;
	int32_t *i32[] = {&item.dsize, &p.legacy, &p.slotwidth, &p.byteorder[0],
	                  &p.tagpos};
	int64_t *i64[] = {&p.tablesize, &p.usage[0], &p.tagflag, &p.tagspan,
	                  &p.untagged[0]};
	char *chars[] = {&p.casemode, &p.separator};
	char **ptr = &item.ptr;

	open = dbmopen;
	done = dbmdone;
	done = dbzflush;
	done = dbzdiscard;
	setting = dbzsetwritethrough;
	setting = dbzsetdebug;
	find = dbzfind;
	find = dbmfind;
	put = dbzput;
	put = dbmput;
	(void)open, (void)done, (void)setting, (void)sethook, (void)find;
	(void)put, (void)create, (void)rebuild, (void)picksize;
	(void)picktagmask, (void)join, (void)i32, (void)i64, (void)chars;
	(void)ptr;
}

static int writefile(const char *name, const char *text) {
	FILE *f = fopen(name, "w");
	if (f == NULL)
		return -1;
	fputs(text, f);
	return fclose(f);
}

/* The offset a lookup of the message ID finds, or -1 for a miss. */
static int64_t lookup(const char *id, int raw) {
	dbzitem key;
	dbzitem got;
	int64_t value;
	key.ptr = (char *)id;
	key.dsize = (int32_t)strlen(id) + 1;
	got = raw ? dbzfind(key) : dbzlookup(key);
	if (got.ptr == NULL)
		return -1;
	CHECK(got.dsize == (int32_t)sizeof value);
	memcpy(&value, got.ptr, sizeof value);
	return value;
}

static int store(const char *id, int64_t offset) {
	dbzitem key;
	dbzitem value;
	key.ptr = (char *)id;
	key.dsize = (int32_t)strlen(id) + 1;
	value.ptr = (char *)&offset;
	value.dsize = (int32_t)sizeof offset;
	return dbzstore(key, value);
}

/* The inspection interface on the index holding "<C@D.example>" at 16. */
static void inspect(void) {
	static const char id[] = "<C@D.example>";
	dbzitem key = dbzidkey(id, strlen(id));
	dbzinfo info;
	dbzslotwalk slots;
	dbzprobewalk probe;
	dbzslot s, onprobe;
	int inuse = 0;

	CHECK(key.ptr == id && key.dsize == (int32_t)sizeof id);
	CHECK(dbzgetinfo(&info) == 0);
	CHECK(info.params.tablesize == 300007 && info.incore == 0);
	CHECK(dbzwalkstart(&slots) == 0);
	while (dbzwalknext(&slots, &s) == 1)
		inuse++;
	CHECK(inuse == 1);
	CHECK(s.value == 16 && s.tagged == 1 && s.tag == dbzkeytag(key));
	CHECK(dbzprobeplace(key, s.slot) == 1);
	CHECK(dbzprobestart(&probe, key) == 0);
	CHECK(dbzprobenext(&probe, &onprobe) == 1);
	CHECK(onprobe.slot == s.slot && onprobe.candidate == 1);
	CHECK(dbzprobenext(&probe, &onprobe) == 0);
	CHECK(dbzconfirm(key, 16) == 1);
	CHECK(dbzconfirm(key, 0) == 0);
	CHECK(dbzconfirm(key, 1 << 20) == -1);
	CHECK(DBZ_MAXSTOREKEY < DBZ_MAXLOOKUPKEY);
}

int main(void) {
	const char *tmp = getenv("TMPDIR");
	char dir[512], base[600], dirfile[620], pagfile[620];
	dbzparams params;

	snprintf(dir, sizeof dir, "%s/dbz_c_test.XXXXXX",
	         tmp != NULL && *tmp != '\0' ? tmp : "/tmp");
	if (mkdtemp(dir) == NULL) {
		perror("dbz_c_test: mkdtemp");
		return 1;
	}
	snprintf(base, sizeof base, "%s/history", dir);
	snprintf(dirfile, sizeof dirfile, "%s.dir", base);
	snprintf(pagfile, sizeof pagfile, "%s.pag", base);

	/* An empty .dir beside an empty .pag is a fresh index with the
	 * default configuration. */
	CHECK(writefile(base, "<a@b.example>\tx\n<C@D.example>\ty\n") == 0);
	CHECK(writefile(dirfile, "") == 0);
	CHECK(writefile(pagfile, "") == 0);

	CHECK(dbzsetopenhook(counthook) == NULL);
	CHECK(dbzsetincore(1) == 0);
	CHECK(dbzsetdebug(0) == -1);
	CHECK(dbzopen(base) == 0);
	CHECK(hookcalls == 4); /* .dir, .pag, base, in-core table */
	CHECK(dbzopen(base) == -1);
	CHECK(lookup("<C@D.example>", 0) == -1);
	CHECK(store("<C@D.example>", 16) == 0);
	CHECK(lookup("<C@D.example>", 0) == 16);
	CHECK(lookup("<C@d.EXAMPLE>", 0) == 16); /* folded from the at sign */
	CHECK(lookup("<a@b.example>", 0) == -1);
	CHECK(dbzdone() == 0);
	CHECK(dbzdone() == -1);

	CHECK(dbzsetincore(0) == 1);
	CHECK(dbmopen(base) == 0);
	CHECK(lookup("<C@D.example>", 0) == 16);
	CHECK(lookup("<C@d.example>", 1) == 16); /* dbzfind takes it as given */
	inspect();
	CHECK(dbzflush() == 0);
	CHECK(dbzdiscard() == 0);
	CHECK(dbmdone() == 0);

	/* The flush wrote the configuration: one store counted. */
	{
		FILE *f = fopen(dirfile, "r");
		char line[256];
		CHECK(f != NULL);
		if (f != NULL) {
			CHECK(fgets(line, sizeof line, f) != NULL);
			CHECK(strncmp(line, "dbz 3 300007 ", 13) == 0);
			CHECK(fgets(line, sizeof line, f) != NULL);
			CHECK(strncmp(line, "1 0 ", 4) == 0);
			fclose(f);
		}
	}

	/* The record's fields, in their order, with their named sizes. */
	signatures();
	CHECK(offsetof(dbzparams, legacy) < offsetof(dbzparams, tablesize));
	CHECK(offsetof(dbzparams, tablesize) < offsetof(dbzparams, usage));
	CHECK(offsetof(dbzparams, usage) < offsetof(dbzparams, slotwidth));
	CHECK(offsetof(dbzparams, slotwidth) < offsetof(dbzparams, byteorder));
	CHECK(offsetof(dbzparams, byteorder) < offsetof(dbzparams, casemode));
	CHECK(offsetof(dbzparams, casemode) < offsetof(dbzparams, separator));
	CHECK(offsetof(dbzparams, separator) < offsetof(dbzparams, tagflag));
	CHECK(offsetof(dbzparams, tagflag) < offsetof(dbzparams, tagspan));
	CHECK(offsetof(dbzparams, tagspan) < offsetof(dbzparams, tagpos));
	CHECK(offsetof(dbzparams, tagpos) < offsetof(dbzparams, untagged));
	CHECK(sizeof params.usage / sizeof params.usage[0] == 11);
	CHECK(sizeof params.byteorder / sizeof params.byteorder[0] == 8);
	CHECK(offsetof(dbzitem, ptr) < offsetof(dbzitem, dsize));

	remove(base);
	remove(dirfile);
	remove(pagfile);
	rmdir(dir);
	if (failures != 0) {
		fprintf(stderr, "dbz_c_test: %d checks failed\n", failures);
		return 1;
	}
	printf("dbz_c_test: all checks passed\n");
	return 0;
}
