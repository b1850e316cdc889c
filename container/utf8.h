// Stored text to the platform's encoding: the report and the extracted file names both go
// through here, so a name prints exactly as the file it names is called.
#pragma once

#include <string>
#include <string_view>

namespace kzb {

// The text up to (not including) its first zero unit.
std::u16string_view untilFirstZero(std::u16string_view text);

// UTF-16 to UTF-8, whole text (zero units included; cut with untilFirstZero first). A
// surrogate pair becomes one character; a surrogate without its partner becomes U+FFFD, and
// conversion goes on after it.
std::string toUtf8(std::u16string_view text);

}  // namespace kzb
