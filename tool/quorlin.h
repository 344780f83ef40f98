// quorlin.h: the state that main() sets up for a run and the per-ID
// procedures that read and count it.
#ifndef QUORLIN_TOOL_QUORLIN_H_
#define QUORLIN_TOOL_QUORLIN_H_

#include <cstdint>
#include <cstdio>
#include <ctime>

namespace quorlin {

// Size of the input line buffer and of the history line buffer. The input
// buffer starts with the seven fixed bytes "<cancel", so one read of
// standard input gets kLineBytes - 7 bytes, its terminating NUL included.
inline constexpr int kLineBytes = 10000;
inline constexpr int kCancelBytes = 7;

// While stores are pending, the index is written back at least this often
// (a checkpoint), so that a crash loses at most the IDs of the last
// interval. dbz repair counts on it when it decides how far back to look.
inline constexpr int kCheckpointSeconds = 5;

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
	bool histclosed;         // the history is known to end with a newline
	bool descwarned;         // a failed write to the descriptor is reported
	int32_t arts_deleted;    // IDs cancelled
	int32_t files_deleted;   // article locations disposed of
	int32_t arts_added;      // IDs recorded
};

extern toolstate tool;

// The whole command: options, start-up, the input loop and the summary.
// Returns the exit status (usage errors exit at once).
int run(int argc, char **argv);

// Splits format in place into logprefix, logmark and logsuffix.
void splitlogformat(char *format);

// Handles one ID: cancels it when the index knows it (only if cancel is
// non-zero), records it otherwise. Reports failures on standard error.
void do_one(const char *id, int cancel);

// Records an ID that the index does not hold. Called by do_one().
void do_new(const char *id);

// Starts reading standard input afresh: nothing buffered, no checkpoint
// due. run() calls it before its input loop.
void startinput();

// Reads one line of standard input into buf, at most limit - 1 bytes and
// up to a newline, and NUL-terminates it. Returns the number of bytes read
// (a NUL byte inside the line counts too); 0 at end of input, on a read
// error and when a stop signal came, also when part of a line came before.
// While it waits for input, it makes the checkpoints that come due.
size_t readinput(char *buf, size_t limit);

// Writes the index back with op (dbzflush or dbmdone). On failure prints
// an error print with prefix and returns false.
bool writeback(int (*op)(), const char *prefix);

// Called after every line handled: starts the checkpoint clock when the
// line stored something, and makes a checkpoint that has come due.
void afterid();

// Stop signals (stop.cc). catchstops() makes SIGINT, SIGTERM and SIGHUP
// ask the run to stop, and has SIGXFSZ ignored; stopsignal() returns the
// first signal that asked, or 0. waitinput() waits until fd is readable
// (1), timeout passes (0; nullptr waits without limit) or a stop signal
// comes (-1). diefrom() ends the process by the signal's default action.
void catchstops();
int stopsignal();
int waitinput(int fd, const struct timespec *timeout);
[[noreturn]] void diefrom(int sig);

// Looks the history's last lines up in the index (tail.cc) and warns when
// the index lacks any: a run that crashed left them unindexed.
void checktail(const char *histfile);

}  // namespace quorlin

#endif  // QUORLIN_TOOL_QUORLIN_H_
