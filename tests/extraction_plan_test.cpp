// What extraction leaves of a container, as one plan: which rows stand under which names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive_reader.h"
#include "container_builder.h"
#include "extraction_plan.h"
#include "temp_dir.h"

namespace kzb {
namespace {

struct PlanCase {
  std::string what;
  std::vector<testing::StoredFile> files;
  std::size_t cutBytes = 0;  // taken off the container's end
  std::vector<RowFate> fates;
  std::vector<std::pair<std::string, std::string>> standing;  // name, bytes
};

class ExtractionPlanTest : public ::testing::TestWithParam<PlanCase> {};

TEST_P(ExtractionPlanTest, LeavesWhatExtractionLeaves) {
  const PlanCase& plan = GetParam();
  testing::TempDir dir;
  testing::Publication publication;
  publication.files = plan.files;
  testing::Bytes bytes = testing::buildContainer(publication);
  bytes.resize(bytes.size() - plan.cutBytes);
  const auto path = dir.path() / "c.kzb";
  testing::writeFile(path, bytes);
  ArchiveReader reader(path.string());
  const ExtractionPlan made = planExtraction(reader.input(), reader.entries());
  std::vector<RowFate> fates;
  for (const PlannedRow& row : made.rows) {
    fates.push_back(row.fate);
  }
  EXPECT_EQ(fates, plan.fates);
  std::vector<std::pair<std::string, std::string>> standing;
  for (const PlannedFile& file : made.files) {
    standing.emplace_back(made.name(file), bytes.substr(file.offset, file.size));
  }
  EXPECT_EQ(standing, plan.standing);
  // The refusals alone are the same, whatever is read for them.
  const ExtractionPlan refusals =
      planExtraction(reader.input(), reader.entries(), {}, PlanScope::refusalsOnly);
  for (std::size_t i = 0; i < fates.size(); ++i) {
    EXPECT_EQ(isRefusedByPlan(refusals.rows[i].fate), isRefusedByPlan(fates[i])) << i;
  }
}

const std::string kReplacement = "x\xEF\xBF\xBD.t";

INSTANTIATE_TEST_SUITE_P(
    Rows, ExtractionPlanTest,
    ::testing::Values(PlanCase{"two stored names, one file name: the first keeps it",
                               {{u"x\xD800.t", "first", {}}, {u"x\xDC00.t", "second", {}}},
                               0,
                               {RowFate::placed, RowFate::sameFileAsEarlier},
                               {{kReplacement, "first"}}},
                      PlanCase{"one stored name twice: the later replaces",
                               {{u"p", "one", {}}, {u"q", "q", {}}, {u"p", "two", {}}},
                               0,
                               {RowFate::placed, RowFate::placed, RowFate::placed},
                               {{"p", "two"}, {"q", "q"}}},
                      PlanCase{"names refused, too long or unsafe",
                               {{std::u16string(256, u'a'), "long", {}},
                                {std::u16string(255, u'a'), "fits", {}},
                                {u"..", "dots", {}},
                                {u"a/b", "slash", {}}},
                               0,
                               {RowFate::nameTooLong, RowFate::placed, RowFate::unsafeName,
                                RowFate::unsafeName},
                               {{std::string(255, 'a'), "fits"}}},
                      PlanCase{"a later copy cut short keeps the earlier whole one",
                               {{u"p", "whole", {}}, {u"p", "cut short here", {}}},
                               6,
                               {RowFate::placed, RowFate::truncatedKept},
                               {{"p", "whole"}}},
                      PlanCase{"a copy cut short stands alone with what is present",
                               {{u"q", "whole", {}}, {u"p", "cut short here", {}}},
                               6,
                               {RowFate::placed, RowFate::truncatedPlaced},
                               {{"p", "cut shor"}, {"q", "whole"}}}),
    [](const ::testing::TestParamInfo<PlanCase>& param) {
      return "Case" + std::to_string(param.index);
    });

TEST(EachFolderNameTest, IsTheFileNameWithoutItsExtension) {
  EXPECT_EQ(eachFolderName("a.kzb"), "a");
  EXPECT_EQ(eachFolderName("a.b.KZB"), "a.b");
  EXPECT_EQ(eachFolderName("dir/a.kzb"), "a");
  EXPECT_EQ(eachFolderName("..kzb"), std::nullopt);
  EXPECT_EQ(eachFolderName("...kzb"), std::nullopt);
#ifdef _WIN32
  EXPECT_EQ(eachFolderName("back\\slash.kzb"), "slash");  // a separator there
#else
  EXPECT_EQ(eachFolderName("back\\slash.kzb"), "back\\slash");
#endif
}

}  // namespace
}  // namespace kzb
