// placeholder.cc: subcommands not written yet. Delete each entry as its own
// file lands.
#include <cstdio>

#include "admin/commands.h"

namespace {
int notyet(const char *name) {
	fprintf(stderr, "dbz: %s: not available in this build\n", name);
	return 1;
}
}  // namespace

int cmd_create(int, char **) { return notyet("create"); }
int cmd_build(int, char **) { return notyet("build"); }
int cmd_rebuild(int, char **) { return notyet("rebuild"); }
int cmd_stats(int, char **) { return notyet("stats"); }
int cmd_check(int, char **) { return notyet("check"); }
int cmd_lookup(int, char **) { return notyet("lookup"); }
