// scratch.h: the scratch directory a fuzz target keeps its files in.
#ifndef QUORLIN_FUZZ_SCRATCH_H_
#define QUORLIN_FUZZ_SCRATCH_H_

#include <cstdio>
#include <cstdlib>
#include <string>

// Makes a fresh directory named after the target under $TMPDIR (or /tmp)
// and returns its path; a target that cannot have one cannot run.
inline std::string makescratch(const char *target) {
	const char *tmp = getenv("TMPDIR");
	std::string dir = std::string(tmp ? tmp : "/tmp") + "/" + target + ".XXXXXX";
	if (mkdtemp(dir.data()) == nullptr) {
		perror(dir.c_str());
		abort();
	}
	return dir;
}

#endif  // QUORLIN_FUZZ_SCRATCH_H_
