// JSON as kzb writes it: one line of UTF-8, keys in the order they were set.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace kzb {

using Json = nlohmann::ordered_json;

// `value` on one line. Text that is not UTF-8 (a path given on a POSIX command line may be any
// bytes) shows as U+FFFD. JSON requires escapes only below U+0020; the delete character and
// the C1 controls, which the report escapes too, are escaped here as well, so that no text
// drives a terminal that shows the line.
std::string jsonLine(const Json& value);

}  // namespace kzb
