// support.h: what the test files share: scratch directories, running a
// built command with its input and collecting its output, and writing an
// index's .dir text and .pag slots by hand.
#ifndef QUORLIN_TESTS_SUPPORT_H_
#define QUORLIN_TESTS_SUPPORT_H_

#include <sys/resource.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// A scratch directory under $TMPDIR (or /tmp), removed with everything in
// it when the object goes. Its name holds letters and digits only after
// the prefix.
class scratchdir {
public:
	explicit scratchdir(const char *prefix = "quorlin");
	~scratchdir();
	scratchdir(const scratchdir &) = delete;
	scratchdir &operator=(const scratchdir &) = delete;

	const std::string &dir() const { return dir_; }
	std::string path(const std::string &rel) const { return dir_ + "/" + rel; }

	// Writes bytes to the file rel, making its directories, replacing it.
	void write(const std::string &rel, const std::string &bytes) const;
	std::string read(const std::string &rel) const;
	bool exists(const std::string &rel) const;

private:
	std::string dir_;
};

// The bytes of a file, "" when it cannot be read.
std::string readfile(const std::string &path);
// Writes bytes to path, replacing it; throws when that fails.
void writefile(const std::string &path, const std::string &bytes);

struct runopts {
	std::string in;                    // standard input
	// If set, standard input is a pipe that feed writes to while the child
	// runs; it is closed after feed returns.
	std::function<void(int)> feed = {};
	std::string cwd = {};              // the child's working directory
	int fd5 = -1;                      // put on descriptor 5 in the child
	rlim_t fsizelimit = RLIM_INFINITY; // largest file the child may write
	// More set-up in the child before the exec; false makes the child exit
	// with status 126.
	std::function<bool()> inchild = {};
	// The same, once the standard streams are in place (to close one, or
	// to put another file on it).
	std::function<bool()> beforeexec = {};
	// A child still running after this many seconds is killed (SIGKILL),
	// so that a hang fails the test instead of stalling it.
	int timeout = 300;
};

struct runresult {
	std::string out;
	std::string err;
	int status;  // exit status, or 128 + the signal that ended it
};

// Runs the program at bin with args (argv[0] is bin's last part) and
// collects its output through files, so that no pipe can fill up.
runresult run(const std::string &bin, const std::vector<std::string> &args,
              const runopts &opts = {});

// This machine's byte-order map as a .dir writes it: "7 6 5 4 3 2 1 0" on
// a little-endian machine; reversed gives the other-endian map.
std::string orderline(bool reversed = false);

// The fields of a .dir that tests vary; the rest are the defaults.
struct dirfields {
	int64_t tablesize = 16;
	int separator = '\t';
	char casemode = 'C';
	int64_t tagflag = 128, tagspan = 124;
	int32_t tagpos = 24;
	bool reversed = false;  // the other byte order than this machine's
	std::string usage = "0 0 0 0 0 0 0 0 0 0 0\n";
	std::string untagged = "0 0 0 0 0 0 0 0 0 0 0\n";
};

// The three lines of a .dir with those fields, as the index writes them.
std::string dirtext(const dirfields &d = {});

// Writes the stored form (native order; reversed for the other byte order)
// into slot of the .pag at path, extending the file as needed.
void putslot(const std::string &pagpath, int64_t slot, uint64_t form,
             bool reversed = false);

}  // namespace testsupport

#endif  // QUORLIN_TESTS_SUPPORT_H_
