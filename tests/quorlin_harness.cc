// quorlin_harness.cc: scratch spools and runs of the built quorlin.
#include "tests/quorlin_harness.h"

#include <cstring>
#include <regex>
#include <stdexcept>

#include "dbz/dbz.h"

namespace qtest {

void spool::history(const std::string &rel, const std::string &text,
                    int64_t tablesize) const {
	write(rel, text);
	std::string base = path(rel);
	if (dbzcreate(base.c_str(), tablesize, '\t', 'C', 0) != 0)
		throw std::runtime_error("dbzcreate failed for " + base);
	size_t at = 0;
	while (at < text.size()) {
		size_t end = text.find('\n', at);
		if (end == std::string::npos)
			end = text.size();
		std::string line = text.substr(at, end - at);
		std::string id = line.substr(0, line.find('\t'));
		int64_t offset = static_cast<int64_t>(at);
		dbzitem key = {id.data(), static_cast<int32_t>(id.size() + 1)};
		dbzitem value = {reinterpret_cast<char *>(&offset), sizeof offset};
		if (!id.empty() && dbzstore(key, value) != 0) {
			dbzdone();
			throw std::runtime_error("dbzstore failed for " + id);
		}
		at = end + 1;
	}
	if (dbzdone() != 0)
		throw std::runtime_error("dbzdone failed for " + base);
}

int64_t spool::lookup(const std::string &rel, const std::string &id) const {
	std::string base = path(rel);
	if (dbzopen(base.c_str()) != 0)
		throw std::runtime_error("dbzopen failed for " + base);
	std::string k = id;
	dbzitem key = {k.data(), static_cast<int32_t>(k.size() + 1)};
	dbzitem found = dbzlookup(key);
	int64_t offset = -1;
	if (found.ptr != nullptr)
		memcpy(&offset, found.ptr, sizeof offset);
	dbzdone();
	return offset;
}

runresult run(const std::vector<std::string> &args, const runopts &opts) {
	return testsupport::run(QUORLIN_BIN_DIR "/quorlin", args, opts);
}

std::string maskedtimes(const std::string &out) {
	static const std::regex time("\t[0-9]+~-\n");
	return std::regex_replace(out, time, "\tT~-\n");
}

}  // namespace qtest
