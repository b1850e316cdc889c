// The report, byte for byte, into a string.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "container_builder.h"
#include "report.h"
#include "temp_dir.h"

namespace kzb {
namespace {

using testing::Chunk;

class ReportTest : public ::testing::Test {
 protected:
  std::string report(const testing::Bytes& container) {
    testing::writeFile(dir_ / "c.kzb", container);
    const ArchiveReader reader((dir_ / "c.kzb").string());
    std::ostringstream out;
    printInfo(reader, out);
    return out.str();
  }

  testing::TempDir dir_;
};

const std::string kNoFiles = "\nFile Information\nFile count : 0\n";

std::string basic(const std::string& version, const std::string& length) {
  return "Basic Information\n\tKZBBuilder Version : " + version +
         "\n\t   KZB File Length : " + length + "bytes\n\n";
}

TEST_F(ReportTest, OneTitleAndOneFile) {
  const auto container = Chunk("KZB0")
                             .u32("VERS", 0x2A)
                             .u32("FSIZ", 900)
                             .child(Chunk("HEAD").u32("DIRE", 2).text("TITL", u"the title"))
                             .child(Chunk("FINF")
                                        .text("NAME", u"a.jpg")
                                        .u32("SIZE", 123)
                                        .u32("POS4", 512)
                                        .u32("CRC3", 0xDEADBEEF))
                             .bytes();
  EXPECT_EQ(report(container),
            "Basic Information\n"
            "\tKZBBuilder Version : 2a\n"
            "\t   KZB File Length : 900bytes\n"
            "\n"
            "Header Information\n"
            "\t   Bounding Dir. : R->L\n"
            "\t           Title : the title\n"
            "\n"
            "File Information\n"
            "File count : 1\n"
            "\tFile no. 1 ---------------\n"
            "\t       File name : a.jpg\n"
            "\t       File size : 123\n"
            "\t        position : 512\n"
            "\t           CRC32 : deadbeef\n");
}

TEST_F(ReportTest, ReaderThatNeverOpenedItsFile) {
  const ArchiveReader reader((dir_ / "absent.kzb").string());
  std::ostringstream out;
  printInfo(reader, out);
  EXPECT_EQ(out.str(),
            basic("0", "0") + "Header Information\n\t   Bounding Dir. : Not Defined\n" + kNoFiles);
}

TEST_F(ReportTest, NumbersAndBindingDirections) {
  const struct {
    std::uint32_t version, length, direction;
    std::string expected;
  } cases[] = {
      {0, 0, 0, basic("0", "0") + "Header Information\n\t   Bounding Dir. : Not Defined\n"},
      {0x0000ABCD, 4294967295u, 1,
       basic("abcd", "4294967295") + "Header Information\n\t   Bounding Dir. : L->R\n"},
      {0xFFFFFFFF, 1, 3,
       basic("ffffffff", "1") + "Header Information\n\t   Bounding Dir. : Not Defined\n"},
  };
  for (const auto& c : cases) {
    const auto container = Chunk("KZB0")
                               .u32("VERS", c.version)
                               .u32("FSIZ", c.length)
                               .child(Chunk("HEAD").u32("DIRE", c.direction))
                               .bytes();
    EXPECT_EQ(report(container), c.expected + kNoFiles);
  }
}

TEST_F(ReportTest, MetadataInItsOrderOnlyWhenPresent) {
  // Stored out of order, with two texts absent; one holds only a zero unit.
  const auto container =
      Chunk("KZB0")
          .child(Chunk("HEAD")
                     .text("COMT", u"comment")
                     .text("MAKR", u"maker")
                     .text("LINK", u"link")
                     .text("COPY", std::u16string(1, u'\0'))
                     .text("DATE", std::u16string(u"date\0after zero", 15))
                     .text("PUBL", u"publisher")
                     .text("WRTR", u"writer")
                     .text("ISBN", u"isbn")
                     .attribute("TITL", std::string("o\0d", 3)))  // 1 unit and a byte
          .bytes();
  const std::string header = report(container).substr(basic("0", "0").size());
  EXPECT_EQ(header,
            "Header Information\n"
            "\t   Bounding Dir. : Not Defined\n"
            "\t           Title : o\n"
            "\t            ISBN : isbn\n"
            "\t          Writer : writer\n"
            "\t       Publisher : publisher\n"
            "\t      Created at : date\n"
            "\t       Copyright : \n"
            "\t        Web Link : link\n"
            "\tKZB Converted by : maker\n"
            "\t         Comment : comment\n" +
                kNoFiles);
}

TEST_F(ReportTest, WideTextIsUtf8AndABrokenCharacterLosesNothingAfterIt) {
  const std::u16string broken = std::u16string(u"before ") + char16_t{0xD800} + u" after";
  const auto container =
      Chunk("KZB0")
          .child(Chunk("HEAD").text("TITL", broken).text("GENR", u"\uc18c\uc124 \U0001F600"))
          .child(Chunk("FINF").text("NAME", u"\ud45c\uc9c0.png"))
          .child(Chunk("FINF").text("NAME", broken))
          .child(Chunk("FINF"))
          .bytes();
  const std::string text = report(container);
  EXPECT_NE(text.find("\t           Title : before \xef\xbf\xbd after\n"
                      "\t           Genre : \xec\x86\x8c\xec\x84\xa4 \xf0\x9f\x98\x80\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("File count : 3\n"
                      "\tFile no. 1 ---------------\n"
                      "\t       File name : \xed\x91\x9c\xec\xa7\x80.png\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\t       File name : before \xef\xbf\xbd after\n"), std::string::npos);
  const std::string lastRow =
      "\tFile no. 3 ---------------\n"
      "\t       File name : \n"
      "\t       File size : 0\n"
      "\t        position : 0\n"
      "\t           CRC32 : 0\n";
  ASSERT_GE(text.size(), lastRow.size());
  EXPECT_EQ(text.substr(text.size() - lastRow.size()), lastRow);
}

TEST_F(ReportTest, ControlCharactersCannotForgeLinesOrDriveTheTerminal) {
  const auto container = Chunk("KZB0")
                             .child(Chunk("HEAD")
                                        .text("TITL", u"T\u001b[31m\u0007\nFile count : 99")
                                        .text("WRTR", u"w\u009bx\tand\\x41"))
                             .child(Chunk("FINF").text("NAME", u"a\u001bb\u007f"))
                             .bytes();
  const std::string text = report(container);
  EXPECT_NE(text.find("\t           Title : T\\x1b[31m\\x07\\x0aFile count : 99\n"
                      "\t          Writer : w\\x9bx\tand\\x41\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\t       File name : a\\x1bb\\x7f\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("\nFile count : 99\n"), std::string::npos);  // no line of its own
}

}  // namespace
}  // namespace kzb
