// --files-from: containers named in a file or on standard input rather than on the command
// line, so that a list of any length passes no limit on the arguments.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kzb::tool {

// The names in `list`, each ending at `separator` ('\n', or '\0' for --null) or at the end of
// the list. Every other byte is kept as it stands: a CR before the newline stays part of the
// name, and so does a newline between NULs. Empty names are skipped.
std::vector<std::string> namesIn(std::string_view list, char separator);

// Appends the names that `source` holds ("-": standard input) to `containers`, after those
// already there. Returns what went wrong, worded for a usage error, or nothing.
std::string addContainersFrom(const std::string& source, bool null,
                              std::vector<std::string>& containers);

}  // namespace kzb::tool
