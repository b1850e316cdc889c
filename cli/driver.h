// The whole run of kzb-extract: read the container, print the report, extract every entry.
#pragma once

#include <ostream>

namespace kzb {

// `args` as main receives them. The report goes to `out`, one line per failure to `err`
// ("kzb-extract: <what>: <reason>"), files to the working directory. Returns the exit
// status: 0 when the container was read whole and every entry extracted, 1 otherwise, -1
// (255 to the shell) without a path, in which case nothing is printed or touched. A first
// argument of exactly "--help" or "--version" prints the usage or the version instead, and
// returns 0.
int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace kzb
