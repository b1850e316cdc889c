// Which stored names may name a file: the rules of every platform, and those of Windows,
// which are judged here on any platform.
#include <gtest/gtest.h>

#include "entry_name.h"

namespace kzb {
namespace {

TEST(EntryName, WindowsRulesRefuseWhatWindowsWouldReadAsAnotherNameOrADevice) {
  const struct {
    std::u16string name;
    NameProblem onWindows;
  } cases[] = {
      {u"C:x", NameProblem::colon},
      {u"a.txt:hidden", NameProblem::colon},
      {u"nul.txt", NameProblem::reservedDevice},
      {u"Com1", NameProblem::reservedDevice},
      {u"CON .txt", NameProblem::reservedDevice},
      {u"lpt9", NameProblem::reservedDevice},
      {u"COM0.tar.gz", NameProblem::reservedDevice},
      {u"LPT\u00b9.png", NameProblem::reservedDevice},
      {u"com\u00b3", NameProblem::reservedDevice},
      {u"aux", NameProblem::reservedDevice},
      {u"prn.", NameProblem::reservedDevice},
      {u"name.", NameProblem::trailingDotOrSpace},
      {u"name ", NameProblem::trailingDotOrSpace},
      {u"a<b", NameProblem::forbiddenCharacter},
      {u"what?", NameProblem::forbiddenCharacter},
      {u"star*", NameProblem::forbiddenCharacter},
      {u"pipe|", NameProblem::forbiddenCharacter},
      {u"quote\"", NameProblem::forbiddenCharacter},
      {u"tab\there", NameProblem::forbiddenCharacter},
      {u"esc\u001b", NameProblem::forbiddenCharacter},
      // Allowed on Windows too.
      {u"console.txt", NameProblem::none},
      {u"COM10", NameProblem::none},
      {u"LPT\u00b4", NameProblem::none},
      {u"nullish", NameProblem::none},
      {u".hidden", NameProblem::none},
      {u"1\uc7a5.txt", NameProblem::none},
      {u"del\u007f", NameProblem::none},
      {std::u16string(u"ok\0:tail", 8), NameProblem::none},  // judged up to the zero unit
  };
  for (const auto& c : cases) {
    EXPECT_EQ(nameProblem(c.name, true), c.onWindows) << testing::PrintToString(c.name);
    EXPECT_EQ(nameProblem(c.name, false), NameProblem::none) << testing::PrintToString(c.name);
  }
}

TEST(EntryName, EveryPlatformRefusesNamesThatLeaveTheDirectory) {
  const struct {
    std::u16string name;
    NameProblem problem;
  } cases[] = {
      {u"", NameProblem::empty},        {std::u16string(u"\0x", 2), NameProblem::empty},
      {u".", NameProblem::dotName},     {u"..", NameProblem::dotName},
      {u"a/b", NameProblem::separator}, {u"..\\up", NameProblem::separator},
  };
  for (const auto& c : cases) {
    for (const bool windowsRules : {false, true}) {
      EXPECT_EQ(nameProblem(c.name, windowsRules), c.problem) << testing::PrintToString(c.name);
    }
    EXPECT_FALSE(isSafeEntryName(c.name));
  }
}

}  // namespace
}  // namespace kzb
