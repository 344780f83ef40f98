// main.cc: the dbz command: picks the subcommand from its table, which
// holds each subcommand's synopsis, and answers --help and --version.
#include <cstdio>
#include <cstring>

#include "admin/commands.h"
#include "version.h"

namespace {

struct subcommand {
	const char *name;
	const char *synopsis;  // the arguments after "dbz name"
	const char *purpose;   // one line for the help text
	int (*run)(int argc, char **argv);
};

// The subcommands. A new one is one entry here and its cmd_ procedure.
const subcommand kSubcommands[] = {
    {"create", "[-s size | -e expected] [-F separator] [-C casechar] "
               "[-t tagmask] [-w seconds] base",
     "make an empty index for base", cmd_create},
    {"build", "[-e expected] [-q] [-w seconds] history",
     "index the history anew, sized for its lines", cmd_build},
    {"rebuild", "[-q] [-w seconds] history",
     "index the history anew, sized from the old index's statistics",
     cmd_rebuild},
    {"stats", "[-j] history",
     "report the index's configuration, load and probe lengths", cmd_stats},
    {"check", "[-j] [-w seconds] history",
     "cross-check the index and the history both ways", cmd_check},
    {"lookup", "history id ... | history -",
     "print the history lines of message IDs (from standard input with -)",
     cmd_lookup},
    {"repair", "[-a] [-w seconds] history",
     "store the lines a crash left unindexed at the history's end", cmd_repair},
};

const subcommand *find(const char *name) {
	for (const subcommand &c : kSubcommands)
		if (strcmp(name, c.name) == 0)
			return &c;
	return nullptr;
}

// The usage lines of every subcommand (or of one), to out.
void usage(FILE *out, const subcommand *only) {
	const char *lead = "usage:";
	for (const subcommand &c : kSubcommands) {
		if (only != nullptr && only != &c)
			continue;
		fprintf(out, "%s dbz %s %s\n", lead, c.name, c.synopsis);
		lead = "      ";
	}
	if (only == nullptr)
		fprintf(out, "%s dbz help [command]\n%s dbz --version\n", lead, lead);
}

// The answer to a request for help: the usage on standard output, and what
// the subcommands do.
int help(const subcommand *only) {
	usage(stdout, only);
	putchar('\n');
	for (const subcommand &c : kSubcommands)
		if (only == nullptr || only == &c)
			printf("  %-8s %s\n", c.name, c.purpose);
	if (fflush(stdout) != 0) {
		perror("dbz: stdout");
		return kExitFail;
	}
	return kExitOK;
}

bool ishelp(const char *arg) {
	return strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0;
}

}  // namespace

int main(int argc, char **argv) {
	if (argc < 2) {
		usage(stderr, nullptr);
		return kExitUsage;
	}
	const char *name = argv[1];
	if (ishelp(name) || strcmp(name, "help") == 0) {
		if (argc > 2 && strcmp(name, "help") == 0) {
			const subcommand *c = find(argv[2]);
			if (c == nullptr) {
				fprintf(stderr, "dbz: unknown command: %s\n", argv[2]);
				usage(stderr, nullptr);
				return kExitUsage;
			}
			return help(c);
		}
		return help(nullptr);
	}
	if (strcmp(name, "--version") == 0) {
		printf("dbz (quorlin) %s\n", QUORLIN_VERSION);
		return fflush(stdout) == 0 ? kExitOK : kExitFail;
	}
	const subcommand *c = find(name);
	if (c == nullptr) {
		fprintf(stderr, "dbz: unknown command: %s\n", name);
		usage(stderr, nullptr);
		return kExitUsage;
	}
	// "--help" anywhere before "--", or "-h" as the only argument, asks
	// for the subcommand's usage; no subcommand has an option -h.
	for (int i = 2; i < argc && strcmp(argv[i], "--") != 0; i++)
		if (strcmp(argv[i], "--help") == 0 || (argc == 3 && ishelp(argv[i])))
			return help(c);
	int status = c->run(argc - 1, argv + 1);
	if (status == kExitUsage)
		usage(stderr, c);
	return status;
}
