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

// The set starting at pattern[open] == '[', and where the pattern goes on after its "]".
// Nothing when no "]" closes it.
std::optional<std::pair<GlobElement, std::size_t>> compileSet(const std::u32string& pattern,
                                                              std::size_t open) {
  GlobElement set;
  set.kind = GlobElement::Kind::set;
  std::size_t p = open + 1;
  set.negated = p < pattern.size() && (pattern[p] == U'!' || pattern[p] == U'^');
  if (set.negated) {
    ++p;
  }
  bool first = true;
  while (p < pattern.size()) {
    if (pattern[p] == U']' && !first) {
      return std::pair{std::move(set), p + 1};
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
    set.ranges.emplace_back(low, high);
  }
  return std::nullopt;
}

GlobPattern compile(const std::u32string& pattern) {
  GlobPattern elements;
  std::size_t p = 0;
  while (p < pattern.size()) {
    GlobElement element;
    switch (pattern[p]) {
      case U'*':
        element.kind = GlobElement::Kind::star;
        ++p;
        break;
      case U'?':
        element.kind = GlobElement::Kind::any;
        ++p;
        break;
      case U'[':
        if (auto set = compileSet(pattern, p)) {
          element = std::move(set->first);
          p = set->second;
        } else {
          element.character = U'[';  // never closed: an ordinary "["
          ++p;
        }
        break;
      case U'\\':
        // A trailing backslash is itself.
        element.character = p + 1 < pattern.size() ? pattern[p + 1] : U'\\';
        p += p + 1 < pattern.size() ? std::size_t{2} : std::size_t{1};
        break;
      default:
        element.character = pattern[p];
        ++p;
        break;
    }
    elements.push_back(std::move(element));
  }
  return elements;
}

// Whether the element (anything but "*") takes `c`; each set member examined adds to `cost`.
bool takes(const GlobElement& element, char32_t c, std::size_t& cost) {
  switch (element.kind) {
    case GlobElement::Kind::literal:
      return element.character == c;
    case GlobElement::Kind::any:
      return true;
    case GlobElement::Kind::set: {
      bool taken = false;
      for (const auto& [low, high] : element.ranges) {
        ++cost;
        if (low <= c && c <= high) {
          taken = true;
          break;
        }
      }
      return taken != element.negated;
    }
    case GlobElement::Kind::star:
      break;
  }
  return false;
}

// The classic matcher that returns to the last "*" on a mismatch and lets it take one more
// character: no recursion, and each return costs at most one pass of the pattern.
bool matches(const GlobPattern& pattern, const std::u32string& name, std::size_t& cost) {
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t starResume = std::u32string::npos;  // the pattern just after the last "*"
  std::size_t starTook = 0;                       // where the name stood when it was met
  while (n < name.size()) {
    ++cost;
    if (p < pattern.size() && pattern[p].kind == GlobElement::Kind::star) {
      starResume = ++p;
      starTook = n;
      continue;
    }
    if (p < pattern.size() && takes(pattern[p], name[n], cost)) {
      ++p;
      ++n;
      continue;
    }
    if (starResume == std::u32string::npos) {
      return false;
    }
    p = starResume;
    n = ++starTook;
  }
  while (p < pattern.size() && pattern[p].kind == GlobElement::Kind::star) {
    ++cost;
    ++p;
  }
  return p == pattern.size();
}

bool anyMatches(const std::vector<GlobPattern>& patterns, const std::u32string& name) {
  std::size_t cost = 0;
  return std::any_of(patterns.begin(), patterns.end(),
                     [&](const GlobPattern& pattern) { return matches(pattern, name, cost); });
}

}  // namespace

bool globMatches(std::string_view pattern, std::string_view name, std::size_t* cost) {
  std::size_t examined = 0;
  const bool matched = matches(compile(codePoints(pattern)), codePoints(name), examined);
  if (cost != nullptr) {
    *cost = examined;
  }
  return matched;
}

NameFilter::NameFilter(const std::vector<std::string>& includes,
                       const std::vector<std::string>& excludes) {
  for (const std::string& pattern : includes) {
    includes_.push_back(compile(codePoints(pattern)));
  }
  for (const std::string& pattern : excludes) {
    excludes_.push_back(compile(codePoints(pattern)));
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
