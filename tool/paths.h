// paths.h: where quorlin looks when the command line does not say.
#ifndef QUORLIN_TOOL_PATHS_H_
#define QUORLIN_TOOL_PATHS_H_

// The history file, which is also the base name of its dbz index (-h).
#define QUORLIN_PATH_HISTORY "/var/lib/news/history"
// The news spool, the working directory of a run (-s).
#define QUORLIN_PATH_SPOOL "/var/news"

#endif  // QUORLIN_TOOL_PATHS_H_
