// Stored text to the platform's encoding: the report and the extracted file names both go
// through here, so a name prints exactly as the file it names is called.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kzb {

// The text up to (not including) its first zero unit.
std::u16string_view untilFirstZero(std::u16string_view text);

// UTF-16 to UTF-8, whole text (zero units included; cut with untilFirstZero first). A
// surrogate pair becomes one character; a surrogate without its partner becomes U+FFFD, and
// conversion goes on after it.
std::string toUtf8(std::u16string_view text);

// The text with each surrogate that lacks its partner turned into U+FFFD, as toUtf8 turns
// it: where names are used as UTF-16, one stored name is then the same file name as on a
// platform that uses them as UTF-8.
std::u16string wellFormed(std::u16string_view text);

// The length of the valid UTF-8 sequence at the start of `text` and the character it holds,
// or 0 when the first byte does not start one (overlong forms and surrogates included).
std::size_t decodeUtf8(std::string_view text, char32_t& c);

// UTF-8 text as it may go to a terminal or into a line of the report: every control
// character (U+0001-U+001F but the tab, U+007F, U+0080-U+009F) and every byte that is not
// part of valid UTF-8 becomes "\x" and two lowercase hexadecimal digits, so that no stored
// text can start a new line or drive the terminal. Everything else stays as it is.
std::string printable(std::string_view utf8);

}  // namespace kzb
