// open.cc: the process-wide index state; opening, flushing, discarding and
// closing an index; the settings.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "dbz/internal.h"

namespace dbz {

namespace {

// The one index this process has open: set up by dbzopen(), torn down by
// dbzdone(); every other entry point checks pagfile first. Zero at process
// start, which is the closed state with every setting off.
indexstate theindex;

// Sizes up to this many slots can be held in memory: tablesize * 8 bytes
// must be representable. Larger ones are not even reserved.
constexpr uint64_t kMaxCoreSlots = uint64_t{1} << 61;

// Closes stream, keeping errno as it was, for cleanup on a failure path.
void closequietly(FILE *stream) {
	int saved = errno;
	if (stream != nullptr)
		fclose(stream);
	errno = saved;
}

// Writes the changed pages of the in-core table (unless write-through
// already wrote them) and the configuration back, when a store has been
// made. The .pag stream is not used, so dbzdone() may call this after
// closing it.
int writeback(indexstate &s) {
	if (!s.dirty)
		return 0;
	int result = 0;
	// With write-through on, the .pag already holds every slot, except
	// those stored while it was off: they are written all the same.
	if (s.coretable != nullptr && (!s.writethru || s.corepending > 0) &&
	    writetable(s) < 0)
		result = -1;
	if (s.params.legacy)
		return result;
	if (writeconf(s.dirfile, &s.params) < 0)
		result = -1;
	return result;
}

}  // namespace

indexstate &state() { return theindex; }

void resetstate() {
	indexstate &s = theindex;
	closebase();
	FILE *streams[] = {s.pagfile, s.dirfile, s.corefile, s.basefile};
	for (FILE *f : streams)
		if (f != nullptr)
			fclose(f);
	releasetable(s);
	free(s.basepath);
	memset(&s, 0, sizeof s);
}

void callhook(FILE *stream) {
	if (theindex.openhook != nullptr)
		theindex.openhook(stream);
}

bool openbase() {
	indexstate &s = theindex;
	if (s.basepath == nullptr)
		return false;
	FILE *base = fopen(s.basepath, "r");
	if (base == nullptr)
		return false;
	free(s.basepath);
	s.basepath = nullptr;
	setvbuf(base, s.basestreambuf, _IOFBF, sizeof s.basestreambuf);
	callhook(base);
	s.basefile = base;
	return true;
}

}  // namespace dbz

using dbz::indexstate;

extern "C" {

int dbzopen(const char *name) {
	indexstate &s = dbz::state();
	if (s.pagfile != nullptr) {
		errno = 0;
		return -1;
	}

	char *dirname = joinpath(name, ".dir");
	if (dirname == nullptr)
		return -1;
	FILE *dir = fopen(dirname, "r+");
	s.dirreadonly = false;
	if (dir == nullptr) {
		dir = fopen(dirname, "r");
		s.dirreadonly = true;
	}
	free(dirname);
	if (dir == nullptr)
		return -1;
	dbz::callhook(dir);

	char *pagname = joinpath(name, ".pag");
	if (pagname == nullptr) {
		dbz::closequietly(dir);
		return -1;
	}
	FILE *pag = fopen(pagname, "r+b");
	if (pag != nullptr) {
		s.pagreadonly = s.dirreadonly;
	} else {
		pag = fopen(pagname, "rb");
		s.pagreadonly = true;
		if (pag == nullptr) {
			dbz::closequietly(dir);
			free(pagname);
			return -1;
		}
	}
	setvbuf(pag, s.pagstreambuf, _IOFBF, sizeof s.pagstreambuf);
	s.pagcursor = -1;
	dbz::callhook(pag);

	FILE *base = fopen(name, "r");
	char *basepath = nullptr;
	if (base != nullptr) {
		setvbuf(base, s.basestreambuf, _IOFBF, sizeof s.basestreambuf);
		dbz::callhook(base);
	} else {
		basepath = joinpath(name, "");
		if (basepath == nullptr) {
			dbz::closequietly(pag);
			dbz::closequietly(dir);
			free(pagname);
			return -1;
		}
	}

	if (dbz::readconf(dir, pag, &s.params) < 0) {
		dbz::closequietly(base);
		dbz::closequietly(pag);
		dbz::closequietly(dir);
		free(pagname);
		free(basepath);
		errno = EDOM;
		return -1;
	}
	s.pagfile = pag;
	s.dirfile = dir;
	s.basefile = base;
	s.basepath = basepath;

	// readconf() accepts tagpos 0..63 only, so these shifts are defined.
	const dbzparams &p = s.params;
	s.tagfield = static_cast<uint64_t>(p.tagspan) << p.tagpos;
	s.tagenable = static_cast<uint64_t>(p.tagflag) << p.tagpos;
	s.tagall = s.tagfield | s.tagenable;

	dbz::nativeorder(s.nativemap);
	s.sameorder = memcmp(s.nativemap, p.byteorder, sizeof s.nativemap) == 0;

	s.corefile = nullptr;
	s.coretable = nullptr;
	if (s.wantcore && static_cast<uint64_t>(p.tablesize) < dbz::kMaxCoreSlots) {
		s.corefile = fopen(pagname, s.pagreadonly ? "rb" : "r+b");
		if (s.corefile != nullptr) {
			// Nothing is read now: pages are read as probes reach them.
			dbz::reservetable(s);
			dbz::callhook(s.corefile);
		}
	}
	free(pagname);
	dbz::hashinit();
	s.dirty = false;
	s.lastprobe = nullptr;
	return 0;
}

int dbmopen(const char *name) { return dbzopen(name); }

int dbzflush(void) {
	indexstate &s = dbz::state();
	if (s.pagfile == nullptr)
		return -1;
	return dbz::writeback(s);
}

int dbzdone(void) {
	indexstate &s = dbz::state();
	if (s.pagfile == nullptr)
		return -1;
	int result = 0;
	if (fclose(s.pagfile) != 0)
		result = -1;
	s.pagfile = nullptr;
	if (dbz::writeback(s) < 0)
		result = -1;
	if (s.corefile != nullptr && fclose(s.corefile) != 0)
		result = -1;
	s.corefile = nullptr;
	dbz::releasetable(s);
	dbz::closebase();
	if (s.basefile != nullptr && fclose(s.basefile) != 0)
		result = -1;
	free(s.basepath);
	s.basefile = nullptr;
	s.basepath = nullptr;
	if (fclose(s.dirfile) != 0)
		result = -1;
	s.dirfile = nullptr;
	return result;
}

int dbmdone(void) { return dbzdone(); }

int dbzdiscard(void) {
	indexstate &s = dbz::state();
	if (s.pagfile == nullptr)
		return -1;
	s.dirty = false;
	return 0;
}

int dbzsetincore(int wantcore) {
	int old = dbz::state().wantcore;
	dbz::state().wantcore = wantcore;
	return old;
}

int dbzsetwritethrough(int writethru) {
	int old = dbz::state().writethru;
	dbz::state().writethru = writethru;
	return old;
}

int dbzsetdebug(int) { return -1; }

dbzhook dbzsetopenhook(dbzhook hook) {
	dbzhook old = dbz::state().openhook;
	dbz::state().openhook = hook;
	return old;
}

}  // extern "C"
