// quorlin_harness.h: running the built quorlin command on a scratch spool
// for the command's tests.
#ifndef QUORLIN_TESTS_QUORLIN_HARNESS_H_
#define QUORLIN_TESTS_QUORLIN_HARNESS_H_

#include <sys/resource.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qtest {

// A scratch spool directory under /tmp, removed with everything in it when
// the object goes. Its path holds no '.', so that it can be written as an
// article location.
class spool {
public:
	spool();
	~spool();
	spool(const spool &) = delete;
	spool &operator=(const spool &) = delete;

	const std::string &dir() const { return dir_; }
	std::string path(const std::string &rel) const { return dir_ + "/" + rel; }

	// Writes text to the file rel, making its directories.
	void write(const std::string &rel, const std::string &text) const;
	std::string read(const std::string &rel) const;
	bool exists(const std::string &rel) const;

	// Writes the history file rel with text and creates its dbz index, in
	// which every line of text is stored under its ID (the text up to the
	// first tab or newline). A small table keeps the index files small.
	void history(const std::string &rel, const std::string &text,
	             int64_t tablesize = 1009) const;

	// The history offset the index of rel holds for id, or -1.
	int64_t lookup(const std::string &rel, const std::string &id) const;

private:
	std::string dir_;
};

struct runopts {
	std::string in;                    // standard input
	// If set, standard input is a pipe that feed writes to while the child
	// runs; it is closed after feed returns.
	std::function<void(int)> feed = {};
	int fd5 = -1;                      // put on descriptor 5 in the child
	rlim_t fsizelimit = RLIM_INFINITY; // largest file the child may write
	// More set-up in the child before the exec; false makes the child exit
	// with status 126.
	std::function<bool()> inchild = {};
	// The same, once the standard streams are in place (to close one, or
	// to put another file on it).
	std::function<bool()> beforeexec = {};
};

struct runresult {
	std::string out;
	std::string err;
	int status;  // exit status, or 128 + the signal that ended it
};

// Runs the built quorlin as "quorlin args..." and collects its output.
runresult run(const std::vector<std::string> &args, const runopts &opts = {});

// out with the time in every history line ("<id>\t1234~-") replaced by T.
std::string maskedtimes(const std::string &out);

}  // namespace qtest

#endif  // QUORLIN_TESTS_QUORLIN_HARNESS_H_
