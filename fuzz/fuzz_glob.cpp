// kzb's glob matcher against the C library's fnmatch() with no flags as the reference. The
// input is a pattern, a zero byte, then a name. Inputs on which the two differ by design
// (glob.h says which, and why) are skipped; on every other input a different answer is a
// crash.
//
// fnmatch() runs in the "C" locale on a recoding of both texts, not in a UTF-8 locale: glibc
// 2.36's fnmatch in C.UTF-8 lets "??" match one two-byte character (as "?" does), so it cannot
// be the judge there. Each code point of the input above U+007F becomes one byte of its own,
// 0x80 upwards in code point order; matching one character per byte in the "C" locale is then
// the same question, ranges included, since the recoding keeps the order.
//
// Every input is also matched against a long name, to hold the matcher to its cost of at most
// a pass of the pattern per character of the name.
#include <fnmatch.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "glob.h"
#include "utf8.h"
#include "utf8_check.h"

namespace {

using kzb::fuzz::require;

// Where glob.h's rules and fnmatch()'s part by design: a trailing backslash; the classes,
// equivalence classes and collating symbols of a set; and a "[" never closed whose set would
// end in a range cut short by the end of the pattern ("[a-"). The last two are judged
// loosely: any "[:", "[=" or "[." in the pattern skips it, and so does a "[" with a pattern
// that ends in "-".
bool differsByDesign(std::string_view pattern) {
  return (!pattern.empty() && pattern.back() == '\\') ||
         pattern.find("[:") != std::string_view::npos ||
         pattern.find("[=") != std::string_view::npos ||
         pattern.find("[.") != std::string_view::npos ||
         (pattern.ends_with('-') && pattern.find('[') != std::string_view::npos);
}

// Every code point above U+007F in either text, in order, mapped to the bytes from 0x80; or
// nothing when there are more than 128 of them.
std::optional<std::map<char32_t, char>> byteForEachCharacter(std::string_view pattern,
                                                            std::string_view name) {
  std::map<char32_t, char> bytes;
  for (std::string_view text : {pattern, name}) {
    while (!text.empty()) {
      char32_t c = 0;
      text.remove_prefix(kzb::decodeUtf8(text, c));
      if (c > 0x7F) {
        bytes.emplace(c, 0);
      }
    }
  }
  if (bytes.size() > 128) {
    return std::nullopt;
  }
  unsigned next = 0x80;
  for (auto& [character, byte] : bytes) {
    byte = static_cast<char>(next++);
  }
  return bytes;
}

// `text` (valid UTF-8) with one byte per code point.
std::string recoded(std::string_view text, const std::map<char32_t, char>& bytes) {
  std::string out;
  while (!text.empty()) {
    char32_t c = 0;
    text.remove_prefix(kzb::decodeUtf8(text, c));
    out += c > 0x7F ? bytes.at(c) : static_cast<char>(c);
  }
  return out;
}

void checkCost(std::string_view pattern, std::size_t patternLength, std::string_view name,
               std::size_t nameLength) {
  std::size_t cost = 0;
  (void)kzb::tool::globMatches(pattern, name, &cost);
  require(cost <= 2 * (nameLength + 1) * (patternLength + 1),
          "the match cost more than a pass of the pattern per character of the name");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  kzb::fuzz::makePathArgumentsAbsolute(argc, argv);
  return 0;  // the locale stays "C": fnmatch compares single bytes
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t zero = input.find('\0');
  const std::string pattern(input.substr(0, zero));
  const std::string name(zero == std::string_view::npos ? "" : input.substr(zero + 1));

  // Any bytes at all: a stray byte is a character of its own, and the cost stays bounded.
  const auto patternCharacters = kzb::fuzz::utf8Characters(pattern);
  const auto nameCharacters = kzb::fuzz::utf8Characters(name);
  checkCost(pattern, pattern.size(), name, name.size());  // bytes bound code points from above

  if (pattern.size() <= 64 && !name.empty()) {
    std::string longName;
    while (longName.size() < 1024) {
      longName += name;
    }
    checkCost(pattern, pattern.size(), longName, longName.size());
  }

  if (!patternCharacters || !nameCharacters || name.find('\0') != std::string::npos ||
      differsByDesign(pattern)) {
    return 0;
  }
  const auto bytes = byteForEachCharacter(pattern, name);
  if (!bytes) {
    return 0;
  }
  const bool ours = kzb::tool::globMatches(pattern, name);
  const int theirs =
      fnmatch(recoded(pattern, *bytes).c_str(), recoded(name, *bytes).c_str(), 0);
  require(theirs == 0 || theirs == FNM_NOMATCH, "fnmatch failed");
  require(ours == (theirs == 0),
          ours ? "matched where fnmatch does not" : "did not match where fnmatch does");
  return 0;
}
