// Which stored names may name a file in the working directory. Names come from the
// container, so each is checked before anything is created for it.
#pragma once

#include <string_view>

namespace kzb {

enum class NameProblem {
  none,
  // Refused everywhere: the name would not stay a single file in the working directory.
  empty,      // nothing before the first zero unit
  dotName,    // "." or ".."
  separator,  // holds "/" or "\"
  // Refused where the platform is Windows, which would read the name as something else.
  colon,               // a drive ("C:x") or an alternate data stream ("a.txt:hidden")
  reservedDevice,      // CON, PRN, AUX, NUL, COM0-9, LPT0-9 (and ¹²³), with any extension
  trailingDotOrSpace,  // Windows strips it and writes another name
  forbiddenCharacter,  // < > " | ? * or U+0001-U+001F
};

// The rules of every platform, then, where `windowsRules`, those of Windows. The name is
// judged up to its first zero unit.
NameProblem nameProblem(std::u16string_view name, bool windowsRules);
// This platform's rules (see platformRefusesWindowsNames).
NameProblem entryNameProblem(std::u16string_view name);
inline bool isSafeEntryName(std::u16string_view name) {
  return entryNameProblem(name) == NameProblem::none;
}
// The reason, in the words of the tool's diagnostic.
std::string_view describe(NameProblem problem);

}  // namespace kzb
