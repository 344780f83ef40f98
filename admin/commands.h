// commands.h: the subcommands of the dbz administration command. Each takes
// the arguments after the subcommand's name (argv[0] is that name) and
// returns the exit status: 0 success, 1 failure or disagreement, 2 misuse.
#ifndef DBZ_ADMIN_COMMANDS_H_
#define DBZ_ADMIN_COMMANDS_H_

int cmd_create(int argc, char **argv);
int cmd_build(int argc, char **argv);
int cmd_rebuild(int argc, char **argv);
int cmd_stats(int argc, char **argv);
int cmd_check(int argc, char **argv);
int cmd_lookup(int argc, char **argv);
int cmd_repair(int argc, char **argv);

#endif  // DBZ_ADMIN_COMMANDS_H_
