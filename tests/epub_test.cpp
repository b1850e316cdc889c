// kzb convert --to epub: the image header reader, the identifiers and tags it checks, and the
// books it writes, each checked by EPUBCheck (Debian's epubcheck, run with java) where it is
// installed: 0 errors and 0 warnings for every book of the table.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "container_builder.h"
#include "epub.h"
#include "image_info.h"
#include "sample_books.h"
#include "temp_dir.h"
#include "tool.h"
#include "zip_readers.h"

namespace kzb {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::StoredFile;

constexpr std::chrono::sys_seconds kTime{std::chrono::seconds{1796725230}};

using testing::be16;
using testing::gif;
using testing::jpeg;
using testing::png;
using testing::svg;
using testing::webpExtended;
using testing::webpLossless;
using testing::webpLossy;

std::optional<ImageInfo> infoOf(const std::string& bytes) {
  return imageInfo(std::as_bytes(std::span(bytes)));
}

TEST(ImageInfoTest, EachKindIsToldByItsBytesWithItsSize) {
  const struct {
    const char* what;
    std::string bytes;
    std::optional<ImageKind> kind;
    unsigned width;
    unsigned height;
  } cases[] = {
      {"png", png(800, 1200), ImageKind::png, 800, 1200},
      {"jpeg after an APP segment", jpeg(1000, 1500), ImageKind::jpeg, 1000, 1500},
      {"jpeg after 60 KiB of EXIF", jpeg(7, 9, 60000), ImageKind::jpeg, 7, 9},
      {"jpeg whose frame lies past the head",
       jpeg(7, 9, 60000).insert(2, "\xFF\xE1" + be16(10002) + std::string(10000, 'e')),
       std::nullopt, 0, 0},
      {"gif", gif(320, 200), ImageKind::gif, 320, 200},
      {"webp extended", webpExtended(4000, 3000), ImageKind::webp, 4000, 3000},
      {"webp lossy", webpLossy(640, 480), ImageKind::webp, 640, 480},
      {"webp lossless", webpLossless(16383, 2), ImageKind::webp, 16383, 2},
      {"svg in px", svg("width=\"600px\" height='800'"), ImageKind::svg, 600, 800},
      {"svg of fractions", svg("width=\"10.5\" height=\"0.2\""), ImageKind::svg, 11, 1},
      {"svg in em takes its viewBox", svg("width=\"3em\" height=\"4em\" viewBox=\"0 0 30,40\""),
       ImageKind::svg, 30, 40},
      {"svg with no size", svg("id=\"x\""), std::nullopt, 0, 0},
      {"svg past a doctype", "<!DOCTYPE svg [<!ENTITY a \"b\">]><svg width=\"5\" height=\"6\"/>",
       ImageKind::svg, 5, 6},
      {"an element other than svg", "<svgx width=\"5\" height=\"6\"/>", std::nullopt, 0, 0},
      {"png of no width", png(0, 10), std::nullopt, 0, 0},
      {"png past the largest side", png(70000, 10), std::nullopt, 0, 0},
      {"png cut inside IHDR", png(800, 1200).substr(0, 20), std::nullopt, 0, 0},
      {"jpeg cut in its frame header", jpeg(8, 8).substr(0, 28), std::nullopt, 0, 0},
      {"jpeg whose scan comes first", std::string("\xFF\xD8\xFF\xDA\x00\x02", 6), std::nullopt, 0,
       0},
      {"text", "just words", std::nullopt, 0, 0},
      {"nothing", "", std::nullopt, 0, 0},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    const std::optional<ImageInfo> info = infoOf(test.bytes);
    ASSERT_EQ(info.has_value(), test.kind.has_value());
    if (info) {
      EXPECT_EQ(info->kind, *test.kind);
      EXPECT_EQ(info->width, test.width);
      EXPECT_EQ(info->height, test.height);
    }
  }
}

TEST(EpubTest, IsbnsAndLanguageTagsAreChecked) {
  std::string digits;
  EXPECT_TRUE(isValidIsbn("978-0-306-40615-7", digits) && digits == "9780306406157");
  EXPECT_TRUE(isValidIsbn("0 306 40615 2", digits) && digits == "0306406152");
  EXPECT_TRUE(isValidIsbn("0-8044-2957-x", digits) && digits == "080442957X");
  for (const char* bad : {"979-11-0000-000-0", "0306406153", "X306406152", "12345", "", "abc"}) {
    EXPECT_FALSE(isValidIsbn(bad, digits)) << bad;
  }
  for (const char* good : {"ko", "und", "en-US", "zh-Hant-TW", "ko-KR-x-manga1"}) {
    EXPECT_TRUE(isLanguageTag(good)) << good;
  }
  for (const char* bad : {"", "k", "ko-", "-ko", "ko--KR", "toolonglang", "ko_KR", "1a", "ko-한"}) {
    EXPECT_FALSE(isLanguageTag(bad)) << bad;
  }
}

class EpubBookTest : public ::testing::Test {
 protected:
  // kzb convert --to epub of the container, in-process; the book's path, or empty.
  fs::path convert(const std::string& name, const Bytes& container,
                   std::vector<std::string> options = {}) {
    const fs::path path = dir_ / (name + ".kzb");
    testing::writeFile(path, container);
    fs::last_write_time(path, fs::file_time_type::clock::from_sys(kTime));
    std::vector<std::string> args = {"kzb", "convert", "--to", "epub", "-C",
                                     testing::utf8String(dir_.path() / "out")};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(testing::utf8String(path));
    std::ostringstream out;
    std::ostringstream err;
    tool::Context context{out, err};
    status_ = tool::run(args, context);
    err_ = err.str();
    return dir_.path() / "out" / testing::utf8Path(name + ".epub");
  }

  // The member's bytes, read back by Python's zipfile.
  std::string member(const fs::path& book, const std::string& name) const {
    const std::string read = "python3 -c \"import sys, zipfile; sys.stdout.buffer.write("
                             "zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))\" '" +
                             testing::utf8String(book) + "' '" + name + "'";
    return runAndRead(read);
  }

  std::string runAndRead(const std::string& command) const {
    const std::string output = testing::utf8String(dir_ / "output");
    static_cast<void>(std::system((command + " >" + output + " 2>&1").c_str()));
    std::ifstream in(output, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fs::remove(output);
    return text;
  }

  testing::TempDir dir_;
  int status_ = 0;
  std::string err_;
};

StoredFile file(std::u16string name, const std::string& bytes) {
  return {std::move(name), Bytes(bytes.begin(), bytes.end()), {}};
}

Bytes container(std::vector<StoredFile> files,
                std::vector<std::pair<std::string, std::u16string>> texts,
                std::optional<std::uint32_t> binding) {
  testing::Publication publication;
  publication.files = std::move(files);
  publication.texts = std::move(texts);
  publication.bindingDirection = binding;
  return testing::buildContainer(publication);
}

const std::vector<std::pair<std::string, std::u16string>> kMetadata = {
    {"TITL", u"달빛 항해 <Moonlight & Voyage>"}, {"ISBN", u"978-0-306-40615-7"},
    {"WRTR", u"김하늘"},                        {"PUBL", u"Paper \"Lantern\" Press"},
    {"DATE", u"2026-12-08"},                    {"GENR", u"소설"},
    {"COPY", u"© 2026"},                        {"COMT", u"A voyage\x01 by night."},
};

TEST_F(EpubBookTest, EveryBookOfTheTablePassesEpubCheck) {
  const std::string big(70000, 'x');
  const struct {
    const char* name;
    std::vector<StoredFile> files;
    std::vector<std::pair<std::string, std::u16string>> texts;
    std::optional<std::uint32_t> binding;
    std::string direction;  // the spine's attribute, or empty for none
  } books[] = {
      {"images of each kind, R to L",
       {file(u"표지.png", png(800, 1200)), file(u"2.jpg", jpeg(800, 1200)),
        file(u"3.gif", gif(800, 1200)), file(u"4.webp", webpExtended(800, 1200)),
        file(u"5.svg", svg("width=\"800\" height=\"1200\""))},
       kMetadata,
       2,
       "rtl"},
      {"text only, L to R",
       {file(u"1장.txt", "첫째 장: a <b> & c\r\nline\x01 two\n"), file(u"notes.md", "# notes\n")},
       kMetadata,
       1,
       "ltr"},
      {"mixed, unknown files, no direction",
       {file(u"cover.jpg", jpeg(600, 900)), file(u"data.bin", "\x01\x02"),
        file(u"chapter.txt", "plain"), file(u"not utf-8.txt", "\xFF\xFE"),
        file(u"page.png", png(600, 900)), file(u"long.txt", big)},
       {{"TITL", u"mixed"}},
       std::nullopt,
       ""},
      {"no metadata at all", {file(u"a.png", png(10, 10))}, {}, std::nullopt, ""},
      {"nothing that is a page", {file(u"x.bin", "zz")}, {}, 2, "rtl"},
  };
  const bool checker = fs::exists("/usr/bin/epubcheck") && std::system("java -version >/dev/null 2>&1") == 0;
  for (const auto& book : books) {
    SCOPED_TRACE(book.name);
    const fs::path epub = convert(book.name, container(book.files, book.texts, book.binding));
    ASSERT_EQ(status_, 0) << err_;
    ASSERT_TRUE(fs::exists(epub));
    const std::string package = member(epub, "EPUB/package.opf");
    EXPECT_EQ(package.find("page-progression-direction") != std::string::npos,
              !book.direction.empty());
    if (!book.direction.empty()) {
      EXPECT_NE(package.find("page-progression-direction=\"" + book.direction + "\""),
                std::string::npos)
          << package;
    }
    if (checker) {
      const std::string report =
          runAndRead("java -jar /usr/bin/epubcheck '" + testing::utf8String(epub) + "'");
      EXPECT_NE(report.find("Messages: 0 fatals / 0 errors / 0 warnings"), std::string::npos)
          << report;
    }
  }
  if (!checker) {
    GTEST_SKIP() << "EPUBCheck did not check the books (needs epubcheck and java)";
  }
}

TEST_F(EpubBookTest, PagesHaveTheirImagesSizeAndSideAndTheMetadataItsPlace) {
  const fs::path epub = convert(
      "moon", container({file(u"표지.png", png(800, 1200)), file(u"data.bin", "z"),
                         file(u"2.jpg", jpeg(1600, 1200))},
                        kMetadata, 2),
      {"--language", "ko"});
  ASSERT_EQ(status_, 0) << err_;
  EXPECT_NE(err_.find("data.bin: note: neither an image nor text"), std::string::npos) << err_;
  const std::string first = member(epub, "EPUB/pages/0001.xhtml");
  EXPECT_NE(first.find("content=\"width=800, height=1200\""), std::string::npos) << first;
  const std::string second = member(epub, "EPUB/pages/0002.xhtml");
  EXPECT_NE(second.find("content=\"width=1600, height=1200\""), std::string::npos) << second;
  const std::string package = member(epub, "EPUB/package.opf");
  for (const char* expected :
       {"<dc:identifier id=\"id\">urn:isbn:9780306406157</dc:identifier>",
        "<dc:title>달빛 항해 &lt;Moonlight &amp; Voyage&gt;</dc:title>",
        "<dc:language>ko</dc:language>", "<dc:creator id=\"creator\">김하늘</dc:creator>",
        "<dc:date>2026-12-08</dc:date>", "<dc:description>A voyage by night.</dc:description>",
        "<meta property=\"dcterms:modified\">2026-12-08T10:20:30Z</meta>",
        "<item id=\"i0001\" href=\"images/0001.png\" media-type=\"image/png\" "
        "properties=\"cover-image\"/>",
        "<itemref idref=\"d0001\" properties=\"page-spread-left\"/>",
        "<itemref idref=\"d0002\" properties=\"page-spread-right\"/>"}) {
    EXPECT_NE(package.find(expected), std::string::npos) << expected << "\n" << package;
  }
  // The same container gives the same bytes.
  std::ifstream in(epub, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  convert("moon", container({file(u"표지.png", png(800, 1200)), file(u"data.bin", "z"),
                             file(u"2.jpg", jpeg(1600, 1200))},
                            kMetadata, 2),
          {"--language", "ko"});
  std::ifstream again(epub, std::ios::binary);
  EXPECT_EQ(bytes, std::string((std::istreambuf_iterator<char>(again)),
                               std::istreambuf_iterator<char>()));
  // The mimetype first, stored, with no extra field: its name ends at byte 38, its text follows.
  EXPECT_EQ(bytes.substr(30, 8), "mimetype");
  EXPECT_EQ(bytes.substr(38, 20), "application/epub+zip");
}

}  // namespace
}  // namespace kzb
