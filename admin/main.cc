// main.cc: the dbz command: picks the subcommand and hands it the rest of
// the command line.
#include <cstdio>
#include <cstring>

#include "admin/commands.h"

namespace {

struct subcommand {
	const char *name;
	int (*run)(int argc, char **argv);
};

const subcommand kSubcommands[] = {
    {"create", cmd_create}, {"build", cmd_build}, {"rebuild", cmd_rebuild},
    {"stats", cmd_stats},   {"check", cmd_check}, {"lookup", cmd_lookup},
    {"repair", cmd_repair},
};

int usage() {
	fputs("usage: dbz create [-s size | -e expected] [-F separator] [-C casechar] "
	      "[-t tagmask] [-w seconds] base\n"
	      "       dbz build [-e expected] [-q] [-w seconds] history\n"
	      "       dbz rebuild [-q] [-w seconds] history\n"
	      "       dbz stats [-j] history\n"
	      "       dbz check [-w seconds] history\n"
	      "       dbz lookup history id ...\n"
	      "       dbz repair [-a] [-w seconds] history\n",
	      stderr);
	return 2;
}

}  // namespace

int main(int argc, char **argv) {
	if (argc < 2)
		return usage();
	for (const subcommand &c : kSubcommands)
		if (strcmp(argv[1], c.name) == 0)
			return c.run(argc - 1, argv + 1);
	fprintf(stderr, "dbz: unknown command: %s\n", argv[1]);
	return usage();
}
