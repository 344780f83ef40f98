// commands.h: the subcommands of the dbz administration command and its
// exit statuses. Each subcommand takes the arguments after the dbz
// command's own (argv[0] is the subcommand's name) and returns one of the
// statuses below; on kExitUsage the dispatcher prints the subcommand's
// usage, so a subcommand prints only what was wrong.
#ifndef DBZ_ADMIN_COMMANDS_H_
#define DBZ_ADMIN_COMMANDS_H_

// Exit statuses, documented in dbz(1).
inline constexpr int kExitOK = 0;     // success
inline constexpr int kExitNo = 1;     // a negative answer: not found,
                                      // disagreement, damage
inline constexpr int kExitUsage = 2;  // a usage error
inline constexpr int kExitFail = 3;   // an operational failure: a file that
                                      // cannot be read or written

int cmd_create(int argc, char **argv);
int cmd_build(int argc, char **argv);
int cmd_rebuild(int argc, char **argv);
int cmd_stats(int argc, char **argv);
int cmd_check(int argc, char **argv);
int cmd_lookup(int argc, char **argv);
int cmd_repair(int argc, char **argv);

#endif  // DBZ_ADMIN_COMMANDS_H_
