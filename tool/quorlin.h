// quorlin.h: the state that main() sets up for a run and the per-ID
// procedures that read and count it.
#ifndef QUORLIN_TOOL_QUORLIN_H_
#define QUORLIN_TOOL_QUORLIN_H_

#include <cstdint>
#include <cstdio>

namespace quorlin {

// Size of the input line buffer and of the history line buffer. The input
// buffer starts with the seven fixed bytes "<cancel", so one read of
// standard input gets kLineBytes - 7 bytes, its terminating NUL included.
inline constexpr int kLineBytes = 10000;
inline constexpr int kCancelBytes = 7;

// The tool-wide state of one run. main() fills it in before the first ID;
// do_one() and do_new() read the settings and grow the counters. Nothing
// in it is allocated: the log format pieces point into the format text.
struct toolstate {
	bool reportonly;         // -d: print what would be done, change nothing
	bool cancelids;          // -c: also record the derived cancel IDs
	bool norecord;           // -r: never record an unseen ID
	int32_t descriptor;      // -a: hand article paths to this fd; -1 none
	char *logprefix;         // log format up to its first '#'
	char *logmark;           // last '+' of the format, or nullptr
	const char *logsuffix;   // log format after its last '#'
	FILE *histstream;        // our own stream on the history file
	bool histread;           // histstream has read since the last append
	int32_t arts_deleted;    // IDs cancelled
	int32_t files_deleted;   // article locations disposed of
	int32_t arts_added;      // IDs recorded
};

extern toolstate tool;

// Splits format in place into logprefix, logmark and logsuffix.
void splitlogformat(char *format);

// Handles one ID: cancels it when the index knows it (only if cancel is
// non-zero), records it otherwise. Reports failures on standard error.
void do_one(const char *id, int cancel);

// Records an ID that the index does not hold. Called by do_one().
void do_new(const char *id);

}  // namespace quorlin

#endif  // QUORLIN_TOOL_QUORLIN_H_
