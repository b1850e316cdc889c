#include "glob.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <utility>

#include "utf8.h"

namespace kzb::tool {
namespace {

// A byte that does not start valid UTF-8 becomes a value no code point has, so that it is
// matched only by the same byte.
constexpr char32_t kStrayByte = 0x110000;

// The text as code points. The stored names come from toUtf8 and are always valid; a pattern
// comes from the command line and may hold anything.
std::u32string codePoints(std::string_view utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    char32_t c = 0;
    const std::size_t length = decodeUtf8(utf8.substr(i), c);
    const bool valid = length > 0;
    if (valid) {
      out.push_back(c);
      i += length;
    } else {
      out.push_back(kStrayByte + static_cast<unsigned char>(utf8[i]));
      ++i;
    }
  }
  return out;
}

// A bracket expression starting at pattern[open] == '[': whether it takes `c`, and where the
// pattern goes on after its "]". Nothing when no "]" closes it.
std::optional<std::pair<bool, std::size_t>> bracket(const std::u32string& pattern, std::size_t open,
                                                    char32_t c) {
  std::size_t p = open + 1;
  const bool negated = p < pattern.size() && (pattern[p] == U'!' || pattern[p] == U'^');
  if (negated) {
    ++p;
  }
  bool taken = false;
  bool first = true;
  while (p < pattern.size()) {
    if (pattern[p] == U']' && !first) {
      return std::pair{taken != negated, p + 1};
    }
    first = false;
    char32_t low = pattern[p];
    if (low == U'\\' && p + 1 < pattern.size()) {
      low = pattern[++p];
    }
    ++p;
    char32_t high = low;
    if (p + 1 < pattern.size() && pattern[p] == U'-' && pattern[p + 1] != U']') {
      std::size_t end = p + 1;
      if (pattern[end] == U'\\' && end + 1 < pattern.size()) {
        ++end;
      }
      high = pattern[end];
      p = end + 1;
    }
    taken = taken || (low <= c && c <= high);
  }
  return std::nullopt;
}

// Matches the one pattern element at pattern[p] (anything but "*") against `c`: where the
// pattern goes on when it takes `c`, nothing when it does not.
std::optional<std::size_t> step(const std::u32string& pattern, std::size_t p, char32_t c) {
  switch (pattern[p]) {
    case U'?':
      return p + 1;
    case U'[':
      if (const auto set = bracket(pattern, p, c)) {
        return set->first ? std::optional(set->second) : std::nullopt;
      }
      break;  // never closed: an ordinary "["
    case U'\\':
      if (p + 1 < pattern.size()) {
        return pattern[p + 1] == c ? std::optional(p + 2) : std::nullopt;
      }
      break;  // a trailing backslash is itself
    default:
      break;
  }
  return pattern[p] == c ? std::optional(p + 1) : std::nullopt;
}

// The classic matcher that returns to the last "*" on a mismatch and lets it take one more
// character: time linear in the name for each star, no recursion, whatever the pattern.
bool matches(const std::u32string& pattern, const std::u32string& name) {
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t starResume = std::u32string::npos;  // the pattern just after the last "*"
  std::size_t starTook = 0;                       // where the name stood when it was met
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == U'*') {
      starResume = ++p;
      starTook = n;
      continue;
    }
    if (p < pattern.size()) {
      if (const auto next = step(pattern, p, name[n])) {
        p = *next;
        ++n;
        continue;
      }
    }
    if (starResume == std::u32string::npos) {
      return false;
    }
    p = starResume;
    n = ++starTook;
  }
  while (p < pattern.size() && pattern[p] == U'*') {
    ++p;
  }
  return p == pattern.size();
}

bool anyMatches(const std::vector<std::u32string>& patterns, const std::u32string& name) {
  return std::any_of(patterns.begin(), patterns.end(),
                     [&](const std::u32string& pattern) { return matches(pattern, name); });
}

}  // namespace

bool globMatches(std::string_view pattern, std::string_view name) {
  return matches(codePoints(pattern), codePoints(name));
}

NameFilter::NameFilter(const std::vector<std::string>& includes,
                       const std::vector<std::string>& excludes) {
  for (const std::string& pattern : includes) {
    includes_.push_back(codePoints(pattern));
  }
  for (const std::string& pattern : excludes) {
    excludes_.push_back(codePoints(pattern));
  }
}

bool NameFilter::passes(std::u16string_view storedName) const {
  if (takesEverything()) {
    return true;
  }
  const std::u32string name = codePoints(toUtf8(untilFirstZero(storedName)));
  return (includes_.empty() || anyMatches(includes_, name)) && !anyMatches(excludes_, name);
}

}  // namespace kzb::tool
