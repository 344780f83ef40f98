// quorlin_harness.h: running the built quorlin command on a scratch spool
// for the command's tests.
#ifndef QUORLIN_TESTS_QUORLIN_HARNESS_H_
#define QUORLIN_TESTS_QUORLIN_HARNESS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support.h"

namespace qtest {

// A scratch spool directory under /tmp, removed with everything in it when
// the object goes. Its path holds no '.', so that it can be written as an
// article location.
class spool : public testsupport::scratchdir {
public:
	spool() : scratchdir("quorlin") {}

	// Writes the history file rel with text and creates its dbz index, in
	// which every line of text is stored under its ID (the text up to the
	// first tab or newline). A small table keeps the index files small.
	void history(const std::string &rel, const std::string &text,
	             int64_t tablesize = 1009) const;

	// The history offset the index of rel holds for id, or -1.
	int64_t lookup(const std::string &rel, const std::string &id) const;
};

using testsupport::runopts;
using testsupport::runresult;

// Runs the built quorlin as "quorlin args..." and collects its output.
runresult run(const std::vector<std::string> &args, const runopts &opts = {});

// out with the time in every history line ("<id>\t1234~-") replaced by T.
std::string maskedtimes(const std::string &out);

}  // namespace qtest

#endif  // QUORLIN_TESTS_QUORLIN_HARNESS_H_
