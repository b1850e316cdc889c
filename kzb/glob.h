// Which entries a command takes: --include and --exclude patterns matched against the whole
// stored name, case-sensitively.
//
// The matcher is the project's own: the C library's fnmatch() is not on Windows, and no
// library packaged for both platforms gives one matcher that behaves the same on each, so a
// pattern would mean different names on the two. These rules are fnmatch's without any flag:
//   *      any run of characters, the empty one included ("/" is a character like any other)
//   ?      exactly one character
//   [...]  one character of the set: single characters and ranges such as a-z; "!" or "^"
//          first negates it; "]" first is a member; a "[" never closed is itself
//   \c     the character c itself, so \* matches a star
// A character is a Unicode code point: "?" matches one Hangul syllable as it matches one
// letter. Names are compared as UTF-8 text, a surrogate without its partner as U+FFFD.
//
// Where fnmatch() in a UTF-8 locale differs, by choice (the fuzzing target skips these):
//  - a trailing "\" is itself here; fnmatch matches nothing with it;
//  - a "[" never closed is itself here, whatever follows, as POSIX has it; glibc's fnmatch
//    matches nothing when the pattern ends inside a range of such a set ("[a-");
//  - "[:alpha:]", "[=a=]" and "[.a.]" inside a set are not classes here, only their
//    characters: classes and collation follow the locale, which a pattern must not;
//  - a byte that is not part of valid UTF-8 is a character of its own here, matched only by
//    itself, where fnmatch falls back to bytes for the whole text;
//  - a range runs over code points, whatever the locale's collation.
//
// Time: the pattern is compiled once into elements; a match never goes back further than the
// last "*", so it costs at most a pass of the pattern per character of the name, never more,
// whatever the pattern ("*a*a*a*...b" against a long name included).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kzb::tool {

// Whether `name` (UTF-8) is matched by `pattern` (UTF-8) as a whole. Bytes that are not part
// of valid UTF-8 are characters of their own, each matched only by itself. `cost`, when
// given, receives the number of pattern elements and set members the match examined: at
// most 2 x (characters of the name + 1) x (characters of the pattern + 1).
bool globMatches(std::string_view pattern, std::string_view name, std::size_t* cost = nullptr);

// A pattern compiled into its elements.
struct GlobElement {
  enum class Kind { literal, any, star, set };
  Kind kind = Kind::literal;
  char32_t character = 0;                             // literal
  bool negated = false;                               // set: "!" or "^" first
  std::vector<std::pair<char32_t, char32_t>> ranges;  // set: inclusive; one character as c-c
};
using GlobPattern = std::vector<GlobElement>;

class NameFilter {
 public:
  NameFilter() = default;
  NameFilter(const std::vector<std::string>& includes, const std::vector<std::string>& excludes);

  // True when no include is given or one matches, and no exclude matches.
  bool passes(std::u16string_view storedName) const;
  bool takesEverything() const { return includes_.empty() && excludes_.empty(); }

 private:
  std::vector<GlobPattern> includes_;
  std::vector<GlobPattern> excludes_;
};

}  // namespace kzb::tool
