#include "entry_name.h"

#include <algorithm>
#include <array>

#include "output_file.h"
#include "utf8.h"

namespace kzb {
namespace {

char16_t asciiUpper(char16_t unit) {
  return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - u'a' + u'A') : unit;
}

bool equalsIgnoringAsciiCase(std::u16string_view text, std::u16string_view upper) {
  return std::equal(text.begin(), text.end(), upper.begin(), upper.end(),
                    [](char16_t a, char16_t b) { return asciiUpper(a) == b; });
}

// CON, PRN, AUX, NUL, and COM or LPT followed by a digit or a superscript one, two or three.
bool isReservedDeviceStem(std::u16string_view stem) {
  for (const std::u16string_view device : {u"CON", u"PRN", u"AUX", u"NUL"}) {
    if (equalsIgnoringAsciiCase(stem, device)) {
      return true;
    }
  }
  if (stem.size() != 4) {
    return false;
  }
  const std::u16string_view prefix = stem.substr(0, 3);
  const char16_t last = stem[3];
  const bool numbered =
      (last >= u'0' && last <= u'9') || last == u'\u00b9' || last == u'\u00b2' || last == u'\u00b3';
  return numbered &&
         (equalsIgnoringAsciiCase(prefix, u"COM") || equalsIgnoringAsciiCase(prefix, u"LPT"));
}

// Windows opens the device whatever follows the stem: an extension, or spaces before one.
bool namesReservedDevice(std::u16string_view name) {
  std::u16string_view stem = name.substr(0, name.find(u'.'));
  while (!stem.empty() && stem.back() == u' ') {
    stem.remove_suffix(1);
  }
  return isReservedDeviceStem(stem);
}

bool holdsForbiddenCharacter(std::u16string_view name) {
  return std::any_of(name.begin(), name.end(), [](char16_t unit) {
    return (unit >= 0x01 && unit <= 0x1f) ||
           std::u16string_view(u"<>\"|?*").find(unit) != std::u16string_view::npos;
  });
}

NameProblem windowsNameProblem(std::u16string_view name) {
  if (name.find(u':') != std::u16string_view::npos) {
    return NameProblem::colon;
  }
  if (namesReservedDevice(name)) {
    return NameProblem::reservedDevice;
  }
  if (name.back() == u'.' || name.back() == u' ') {
    return NameProblem::trailingDotOrSpace;
  }
  if (holdsForbiddenCharacter(name)) {
    return NameProblem::forbiddenCharacter;
  }
  return NameProblem::none;
}

}  // namespace

NameProblem nameProblem(std::u16string_view name, bool windowsRules) {
  const std::u16string_view cut = untilFirstZero(name);
  if (cut.empty()) {
    return NameProblem::empty;
  }
  if (cut == u"." || cut == u"..") {
    return NameProblem::dotName;
  }
  if (cut.find_first_of(u"/\\") != std::u16string_view::npos) {
    return NameProblem::separator;
  }
  return windowsRules ? windowsNameProblem(cut) : NameProblem::none;
}

NameProblem entryNameProblem(std::u16string_view name) {
  return nameProblem(name, platformRefusesWindowsNames());
}

std::string_view describe(NameProblem problem) {
  switch (problem) {
    case NameProblem::none:
      return "safe name";
    case NameProblem::empty:
    case NameProblem::dotName:
    case NameProblem::separator:
      return "unsafe name, not extracted (names must not be empty, \".\", \"..\" or hold \"/\" or "
             "\"\\\")";
    case NameProblem::colon:
      return "unsafe name on Windows, not extracted (it holds \":\", a drive or a data stream)";
    case NameProblem::reservedDevice:
      return "unsafe name on Windows, not extracted (it is a reserved device name)";
    case NameProblem::trailingDotOrSpace:
      return "unsafe name on Windows, not extracted (it ends in \".\" or a space)";
    case NameProblem::forbiddenCharacter:
      return "unsafe name on Windows, not extracted (it holds one of < > \" | ? * or a control "
             "character)";
  }
  return "unsafe name";
}

}  // namespace kzb
