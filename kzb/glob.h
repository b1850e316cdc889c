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
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kzb::tool {

// Whether `name` (UTF-8) is matched by `pattern` (UTF-8) as a whole. Bytes that are not part
// of valid UTF-8 are characters of their own, each matched only by itself.
bool globMatches(std::string_view pattern, std::string_view name);

class NameFilter {
 public:
  NameFilter() = default;
  NameFilter(const std::vector<std::string>& includes, const std::vector<std::string>& excludes);

  // True when no include is given or one matches, and no exclude matches.
  bool passes(std::u16string_view storedName) const;
  bool takesEverything() const { return includes_.empty() && excludes_.empty(); }

 private:
  std::vector<std::u32string> includes_;
  std::vector<std::u32string> excludes_;
};

}  // namespace kzb::tool
