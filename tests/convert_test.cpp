// The ZIP writer, the metadata documents and the conversion of a container into a ZIP. Every
// ZIP a test writes is read back by readers the project did not write (Python's zipfile,
// Info-ZIP's unzip, 7-Zip, libarchive's bsdtar) and every document is parsed by xmllint, where
// they are installed; under wine they are not run, and the ZIPs written from fixed inputs are
// compared with the files in tests/data, which the Linux build wrote and those readers accept.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "archive_reader.h"
#include "byte_sink.h"
#include "comic_book_info.h"
#include "comic_info.h"
#include "container_builder.h"
#include "convert.h"
#include "temp_dir.h"
#include "utf8.h"
#include "zip_format.h"
#include "zip_readers.h"
#include "zip_writer.h"

namespace kzb {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::withoutFileChunk;
using testing::StoredFile;

// A fixed instant: 2026-12-08 10:20:31 UTC.
constexpr std::chrono::sys_seconds kTime{std::chrono::seconds{1796725231}};

std::span<const std::byte> asBytes(std::string_view text) {
  return std::as_bytes(std::span(text));
}
std::uint32_t u16At(std::string_view bytes, std::size_t at) {
  return static_cast<unsigned char>(bytes.at(at)) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes.at(at + 1))) << 8;
}
std::uint32_t u32At(std::string_view bytes, std::size_t at) {
  return u16At(bytes, at) | u16At(bytes, at + 2) << 16;
}
std::string signature(std::uint32_t value) {
  return {static_cast<char>(value & 0xff), static_cast<char>(value >> 8 & 0xff),
          static_cast<char>(value >> 16 & 0xff), static_cast<char>(value >> 24)};
}
std::string utf8(std::u16string_view text) {
  return toUtf8(text);
}

// A ZIP in a real file, written through a stream: truncation closes the stream, cuts the
// file and opens it again.
class FileSink final : public ByteSink {
 public:
  explicit FileSink(fs::path path) : path_(std::move(path)) {
    file_.open(path_, std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc);
  }
  std::error_code append(std::span<const std::byte> bytes) override {
    return writeAt(size_, bytes);
  }
  std::error_code overwrite(std::uint64_t offset, std::span<const std::byte> bytes) override {
    return offset + bytes.size() > size_ ? std::make_error_code(std::errc::invalid_argument)
                                         : writeAt(offset, bytes);
  }
  std::error_code truncate(std::uint64_t size) override {
    file_.close();
    std::error_code error;
    fs::resize_file(path_, size, error);
    file_.open(path_, std::ios::binary | std::ios::in | std::ios::out);
    size_ = size;
    return error ? error : file_ ? std::error_code{} : std::make_error_code(std::errc::io_error);
  }
  std::uint64_t size() const override { return size_; }
  void close() { file_.close(); }

 private:
  std::error_code writeAt(std::uint64_t offset, std::span<const std::byte> bytes) {
    file_.seekp(static_cast<std::streamoff>(offset));
    file_.write(reinterpret_cast<const char*>(bytes.data()),
                static_cast<std::streamsize>(bytes.size()));
    if (!file_) {
      return std::make_error_code(std::errc::io_error);
    }
    size_ = std::max<std::uint64_t>(size_, offset + bytes.size());
    return {};
  }

  fs::path path_;
  std::fstream file_;
  std::uint64_t size_ = 0;
};

// A sink on a disk that fills up after `capacity` bytes: an append that does not fit writes
// nothing and fails.
class FullSink final : public ByteSink {
 public:
  explicit FullSink(std::uint64_t capacity) : capacity_(capacity) {}
  std::error_code append(std::span<const std::byte> bytes) override {
    if (bytes.size() > capacity_ - std::min(capacity_, memory_.size())) {
      return std::make_error_code(std::errc::no_space_on_device);
    }
    return memory_.append(bytes);
  }
  std::error_code overwrite(std::uint64_t offset, std::span<const std::byte> bytes) override {
    return memory_.overwrite(offset, bytes);
  }
  std::error_code truncate(std::uint64_t size) override { return memory_.truncate(size); }
  std::uint64_t size() const override { return memory_.size(); }

 private:
  std::uint64_t capacity_;
  MemorySink memory_;
};

// ---------------------------------------------------------------------------------------------
// Readers the project did not write (tests/support/zip_readers.h).

using Member = testing::ZipMember;
using testing::checkWithZipReaders;
using testing::xmllintChildren;

// ---------------------------------------------------------------------------------------------
// The writer.

class ZipWriterTest : public ::testing::Test {
 protected:
  // Writes `members` into a ZIP file and returns its bytes.
  std::string writeZip(const std::string& file, const std::vector<Member>& members,
                       ZipMethod method, ZipLimits limits = {},
                       std::chrono::sys_seconds time = kTime) {
    FileSink sink(dir_ / file);
    ZipWriter zip(sink, time, limits);
    for (const Member& member : members) {
      EXPECT_FALSE(zip.begin(member.name, member.bytes.size(), method));
      // In uneven blocks, as a stream would give them.
      std::string_view rest = member.bytes;
      for (std::size_t block = 1; !rest.empty(); block = block * 3 + 1) {
        const std::string_view part = rest.substr(0, block);
        EXPECT_FALSE(zip.data(asBytes(part)));
        rest.remove_prefix(part.size());
      }
      EXPECT_FALSE(zip.end());
    }
    EXPECT_FALSE(zip.finish());
    sink.close();
    return testing::readFile(dir_ / file);
  }
  fs::path path(const std::string& file) const { return dir_ / file; }

  testing::TempDir dir_;
};

TEST_F(ZipWriterTest, MembersOfEverySizeReadBackStoredAndDeflated) {
  const std::size_t sizes[] = {0, 1, 4096, 4097, 200000};
  for (const ZipMethod method : {ZipMethod::stored, ZipMethod::deflated}) {
    std::vector<Member> members;
    for (const std::size_t size : sizes) {
      members.push_back({"size-" + std::to_string(size) + ".bin",
                         testing::pseudoRandomBytes(size, static_cast<std::uint32_t>(size + 1))});
    }
    members.push_back({"text.txt", std::string(100000, 'a') + "end"});  // compresses well
    const std::string file = method == ZipMethod::stored ? "stored.zip" : "deflated.zip";
    const std::string zip = writeZip(file, members, method);
    const std::uint32_t methodField = method == ZipMethod::stored ? 0 : 8;
    EXPECT_EQ(u16At(zip, zip::local::kMethod), methodField);
    EXPECT_EQ(u16At(zip, zip::local::kFlags), zip::kFlagUtf8);
    checkWithZipReaders(path(file), members, "2026-12-08 10:20:30");
  }
  SKIP_IF_A_READER_IS_MISSING();
}

// Each limit lowered in turn: a size, an offset, the central directory's offset or the count
// of members at the limit goes into ZIP64 fields, one below it stays classic.
TEST_F(ZipWriterTest, Zip64WhereAValueReachesTheLimit) {
  struct Case {
    const char* what;
    ZipLimits limits;
    std::vector<std::size_t> sizes;
    bool zip64FirstSizes;  // the first member's local header has ZIP64 sizes
    bool zip64End;         // ZIP64 end records
  };
  const std::vector<Case> cases = {
      {"classic", {}, {4096, 4097, 0}, false, false},
      {"size one below", {4097, 0xFFFF}, {4096}, false, true},
      {"size at the limit", {4096, 0xFFFF}, {4096, 1}, true, true},
      {"offsets only", {5000, 0xFFFF}, {10, 4000, 4000, 0}, false, true},
      {"count at the limit", {0xFFFFFFFF, 3}, {1, 2, 3}, false, true},
      {"count one below", {0xFFFFFFFF, 4}, {1, 2, 3}, false, false},
      {"everything", {1, 1}, {1, 0, 4097}, true, true},
  };
  for (const ZipMethod method : {ZipMethod::stored, ZipMethod::deflated}) {
    for (const Case& test : cases) {
      SCOPED_TRACE(test.what);
      std::vector<Member> members;
      for (std::size_t i = 0; i < test.sizes.size(); ++i) {
        members.push_back({"member " + std::to_string(i),
                           testing::pseudoRandomBytes(test.sizes[i], static_cast<unsigned>(i))});
      }
      const std::string file = std::string(test.what) + (method == ZipMethod::stored ? ".s" : ".d");
      const std::string zip = writeZip(file + ".zip", members, method, test.limits);
      // Deflate may make incompressible bytes larger, so a deflated member reserves ZIP64 sizes
      // below the limit; stored ones only at it.
      if (method == ZipMethod::stored) {
        EXPECT_EQ(u32At(zip, zip::local::kUncompressedSize) == zip::kMarker32,
                  test.zip64FirstSizes);
      }
      EXPECT_EQ(zip.find(signature(zip::end64::kSignature)) != std::string::npos, test.zip64End);
      EXPECT_EQ(zip.find(signature(zip::locator64::kSignature)) != std::string::npos,
                test.zip64End);
      checkWithZipReaders(path(file + ".zip"), members);
    }
  }
  SKIP_IF_A_READER_IS_MISSING();
}

// The MS-DOS fields hold the time as UTC, with the years they can hold; the extended timestamp
// holds the instant where it fits in 32 signed bits.
TEST_F(ZipWriterTest, EveryMemberCarriesTheGivenTimeInUtc) {
  using std::chrono::seconds;
  struct Case {
    std::int64_t unixTime;
    const char* dos;  // what the MS-DOS fields say
    bool extendedTimestamp;
  };
  const Case cases[] = {
      {1796725231, "2026-12-08 10:20:30", true},  // odd seconds go down to even
      {1796725230, "2026-12-08 10:20:30", true},
      {315532800, "1980-01-01 00:00:00", true},   // the first MS-DOS time
      {0, "1980-01-01 00:00:00", true},           // before it: the first
      {2147483647, "2038-01-19 03:14:06", true},  // the last of the extended timestamp
      {2147483648, "2038-01-19 03:14:08", false},
      {4354819199, "2107-12-31 23:59:58", false},  // the last MS-DOS time
      {4354819200, "2107-12-31 23:59:58", false},  // after it: the last
      {-1, "1980-01-01 00:00:00", false},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.unixTime);
    const std::vector<Member> members = {{"a.txt", "a"}, {"b.txt", ""}};
    const std::string file = "time-" + std::to_string(test.unixTime) + ".zip";
    const std::string zip = writeZip(file, members, ZipMethod::stored, {},
                                     std::chrono::sys_seconds{seconds{test.unixTime}});
    const std::uint32_t date = u16At(zip, zip::local::kDate);
    const std::uint32_t time = u16At(zip, zip::local::kTime);
    char shown[32];
    std::snprintf(shown, sizeof shown, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (date >> 9),
                  date >> 5 & 0xf, date & 0x1f, time >> 11, time >> 5 & 0x3f, (time & 0x1f) * 2);
    EXPECT_EQ(std::string(shown), test.dos);
    const std::string stamp = signature(zip::kExtraTimestamp | zip::kTimestampDataSize << 16);
    const std::size_t at = zip.find(stamp);
    EXPECT_EQ(at != std::string::npos, test.extendedTimestamp);
    if (at != std::string::npos) {
      EXPECT_EQ(static_cast<unsigned char>(zip[at + 4]), zip::kTimestampModified);
      EXPECT_EQ(u32At(zip, at + 5), static_cast<std::uint32_t>(test.unixTime));
    }
    checkWithZipReaders(path(file), members, test.dos);
  }
  SKIP_IF_A_READER_IS_MISSING();
}

// A member dropped at any point leaves the ZIP exactly as if it had never been begun.
TEST_F(ZipWriterTest, ADroppedMemberLeavesNoTrace) {
  const std::string big = testing::pseudoRandomBytes(70000, 7);
  for (const ZipMethod method : {ZipMethod::stored, ZipMethod::deflated}) {
    for (const std::size_t before : {std::size_t{0}, std::size_t{1}, std::size_t{69999}}) {
      SCOPED_TRACE(before);
      FileSink sink(path("dropped.zip"));
      ZipWriter zip(sink, kTime);
      ASSERT_FALSE(zip.begin("kept 1", 3, method));
      ASSERT_FALSE(zip.data(asBytes("abc")));
      ASSERT_FALSE(zip.end());
      ASSERT_FALSE(zip.begin("dropped", big.size(), method));
      ASSERT_FALSE(zip.data(asBytes(std::string_view(big).substr(0, before))));
      ASSERT_FALSE(zip.drop());
      ASSERT_FALSE(zip.begin("kept 2", big.size(), method));
      ASSERT_FALSE(zip.data(asBytes(big)));
      ASSERT_FALSE(zip.end());
      ASSERT_FALSE(zip.finish());
      EXPECT_EQ(zip.members(), 2u);
      sink.close();

      const std::vector<Member> kept = {{"kept 1", "abc"}, {"kept 2", big}};
      EXPECT_EQ(testing::readFile(path("dropped.zip")), writeZip("never.zip", kept, method));
      checkWithZipReaders(path("dropped.zip"), kept);
    }
  }
  SKIP_IF_A_READER_IS_MISSING();
}

// A sink that fails (a full disk) at any byte fails that call, and every later call returns
// the same error: the writer never goes on past a hole.
TEST_F(ZipWriterTest, ASinkFailureIsFinal) {
  const std::vector<Member> members = {{"one", std::string(5000, 'x')}, {"two", "yz"}};
  const std::string whole = writeZip("whole.zip", members, ZipMethod::stored);
  for (std::uint64_t capacity = 0; capacity < whole.size(); capacity += 97) {
    SCOPED_TRACE(capacity);
    FullSink sink(capacity);
    ZipWriter zip(sink, kTime);
    std::error_code first;
    for (const Member& member : members) {
      for (const std::error_code error :
           {zip.begin(member.name, member.bytes.size(), ZipMethod::stored),
            zip.data(asBytes(member.bytes)), zip.end()}) {
        first = first ? first : error;
        if (first) {
          EXPECT_EQ(error, first);
        }
      }
    }
    const std::error_code finished = zip.finish();
    first = first ? first : finished;
    EXPECT_EQ(first, std::errc::no_space_on_device);
    EXPECT_EQ(finished, first);
    EXPECT_EQ(zip.begin("more", 0, ZipMethod::stored), first);
  }
}

TEST_F(ZipWriterTest, CallsOutOfOrderAreRefused) {
  MemorySink sink;
  ZipWriter zip(sink, kTime);
  EXPECT_EQ(zip.data(asBytes("x")), ZipError::noMemberOpen);
  EXPECT_EQ(zip.end(), ZipError::noMemberOpen);
  EXPECT_EQ(zip.drop(), ZipError::noMemberOpen);
  EXPECT_EQ(zip.begin(std::string(zip::kMaxNameLength + 1, 'n'), 0, ZipMethod::stored),
            ZipError::nameTooLong);
  ASSERT_FALSE(zip.begin(std::string(zip::kMaxNameLength, 'n'), 2, ZipMethod::stored));
  EXPECT_EQ(zip.begin("again", 0, ZipMethod::stored), ZipError::memberOpen);
  EXPECT_EQ(zip.finish(), ZipError::memberOpen);
  EXPECT_EQ(zip.data(asBytes("abc")), ZipError::sizeMismatch);  // more than announced
  ASSERT_FALSE(zip.data(asBytes("a")));
  EXPECT_EQ(zip.end(), ZipError::sizeMismatch);  // fewer
  ASSERT_FALSE(zip.data(asBytes("b")));
  ASSERT_FALSE(zip.end());
  ASSERT_FALSE(zip.finish());
  EXPECT_EQ(zip.finish(), ZipError::finished);
  EXPECT_EQ(zip.begin("late", 0, ZipMethod::stored), ZipError::finished);
}

// ---------------------------------------------------------------------------------------------
// The documents.

// The elements of a document in order, with their text unescaped, as a reader of XML that
// knows nothing else of it would list them (one level, no attributes kept).
std::vector<std::pair<std::string, std::string>> elementsOf(const std::string& xml) {
  static const std::regex element(R"(<([A-Za-z:]+)[^>]*>([^<]*)</\1>)");
  std::vector<std::pair<std::string, std::string>> found;
  for (auto it = std::sregex_iterator(xml.begin(), xml.end(), element);
       it != std::sregex_iterator(); ++it) {
    std::string text = (*it)[2];
    for (const auto& [entity, character] :
         {std::pair{"&lt;", "<"}, {"&gt;", ">"}, {"&#13;", "\r"}, {"&amp;", "&"}}) {
      for (std::size_t at = 0; (at = text.find(entity, at)) != std::string::npos; ++at) {
        text.replace(at, std::string_view(entity).size(), character);
      }
    }
    // An element that holds only a line break and indentation is one whose children are all
    // gone (the OPF's metadata without any text): no element of its own.
    if (text.find_first_not_of(" \n") == std::string::npos &&
        text.find('\n') != std::string::npos) {
      continue;
    }
    found.emplace_back((*it)[1], text);
  }
  return found;
}

using Texts = std::vector<std::pair<std::string, std::u16string>>;

Archive archiveWith(const Texts& texts, std::uint32_t binding = 0) {
  Archive archive;
  archive.header.bindingDirection = binding;
  for (const auto& [tag, text] : texts) {
    const MetadataText* row = metadataTextOf(makeTag(tag));
    archive.metadata[static_cast<std::size_t>(row->field)] = text;
  }
  return archive;
}

const Texts kAllTexts = {
    {"TITL", u"달빛 항해 (Moonlight Voyage)"},
    {"ISBN", u"979-11-0000-000-0"},
    {"WRTR", u"김하늘"},
    {"PUBL", u"Paper Lantern Press"},
    {"DATE", u"2026-12-08"},
    {"GENR", u"소설"},
    {"COPY", u"© 2026 김하늘"},
    {"LINK", u"https://example.org/moonlight?a=1&b=2"},
    {"MAKR", u"make-sample"},
    {"COMT", u"A voyage <by night>."},
};

std::vector<std::string> namesOf(const std::vector<std::pair<std::string, std::string>>& elements) {
  std::vector<std::string> names;
  for (const auto& element : elements) {
    names.push_back(element.first);
  }
  return names;
}

// Each case: the texts, and the ComicBookInfo object that must come of them.
TEST(ComicBookInfoTest, EachTextUnderTheKeyReadersLookFor) {
  const std::string head = R"({"appID":"kzb/9.8.7","lastModified":"2026-12-08 10:20:31",)"
                           R"("ComicBookInfo/1.0":)";
  struct Case {
    const char* what;
    Texts texts;
    std::string info;  // the inner object
  };
  const std::vector<Case> cases = {
      {"every text",
       kAllTexts,
       utf8(u"{\"title\":\"달빛 항해 (Moonlight Voyage)\",\"publisher\":\"Paper Lantern Press\","
            u"\"publicationYear\":2026,\"publicationMonth\":12,\"genre\":\"소설\","
            u"\"tags\":[\"소설\"],\"credits\":[{\"person\":\"김하늘\",\"role\":\"Writer\","
            u"\"primary\":true}],\"comments\":\"A voyage <by night>.\"}")},
      {"nothing", {}, "{}"},
      {"an empty text is no text", {{"TITL", u""}, {"GENR", std::u16string(1, u'\0')}}, "{}"},
      {"year alone", {{"DATE", u"2026"}}, R"({"publicationYear":2026})"},
      {"no such month", {{"DATE", u"2026-13"}}, R"({"publicationYear":2026})"},
      {"year and month of a longer date",
       {{"DATE", u"1999-02-31T00:00"}},
       R"({"publicationYear":1999,"publicationMonth":2})"},
      {"no date", {{"DATE", u"Spring 2026"}}, "{}"},
      {"up to the first zero unit",
       {{"TITL", std::u16string(u"Moon\0hidden", 11)}},
       R"({"title":"Moon"})"},
      {"a lone surrogate", {{"WRTR", u"a\xd800z"}}, utf8(u"{\"credits\":[{\"person\":\"a\ufffdz\","
                                                        u"\"role\":\"Writer\",\"primary\":true}]}")},
      {"controls escaped, C1 and delete too",
       {{"COMT", u"one\ntwo\x1b[31m\x7f\x85\"\\"}},
       R"({"comments":"one\ntwo\u001b[31m\u007f\u0085\"\\"})"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    const ComicBookInfo info = comicBookInfo(archiveWith(test.texts), "kzb/9.8.7", kTime);
    EXPECT_EQ(info.json, head + test.info + "}");
    EXPECT_FALSE(info.shortened);
    EXPECT_TRUE(nlohmann::json::accept(info.json));
  }
}

// Whatever the texts, the object fits the limit; only texts longer than every kept one are
// cut, at a character boundary, and no longer than they must be.
TEST(ComicBookInfoTest, TheLongestTextsAreShortenedToFitAZipComment) {
  const std::u16string hangul(30000, u'달');  // 90,000 bytes of UTF-8
  struct Case {
    const char* what;
    Texts texts;
    std::size_t limit;
    std::vector<const char*> whole;  // keys whose text stays whole
  };
  const std::vector<Case> cases = {
      {"one long comment", {{"TITL", u"Moon"}, {"COMT", hangul}}, kZipCommentLimit, {"title"}},
      {"two long texts, one short",
       {{"TITL", std::u16string(40000, u'a')}, {"COMT", hangul}, {"PUBL", u"Paper"}},
       kZipCommentLimit,
       {"publisher"}},
      {"the genre, which stands twice",
       {{"GENR", hangul}, {"WRTR", u"김하늘"}},
       kZipCommentLimit,
       {}},
      {"controls that escape to six bytes",
       {{"COMT", std::u16string(20000, u'\x01')}},
       kZipCommentLimit,
       {}},
      {"a small limit", {{"TITL", u"Moon over the sea"}, {"PUBL", u"P"}}, 115, {"publisher"}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    const Archive archive = archiveWith(test.texts);
    const ComicBookInfo info = comicBookInfo(archive, "kzb/9.8.7", kTime, test.limit);
    EXPECT_TRUE(info.shortened);
    EXPECT_LE(info.json.size(), test.limit);
    const nlohmann::json parsed = nlohmann::json::parse(info.json);  // valid UTF-8 too
    const nlohmann::json& fields = parsed["ComicBookInfo/1.0"];
    std::size_t longestKept = 0;
    for (const auto& [key, value] : fields.items()) {
      if (value.is_string()) {
        longestKept = std::max(longestKept, value.get<std::string>().size());
      }
    }
    for (const auto& [tag, text] : test.texts) {
      const MetadataText* row = metadataTextOf(makeTag(tag));
      const char* key = row->field == Metadata::writer ? nullptr
                        : row->field == Metadata::comment ? "comments"
                                                          : row->jsonKey.data();
      if (key == nullptr) {
        continue;
      }
      const std::string full = utf8(text);
      const std::string kept = fields[key].get<std::string>();
      EXPECT_EQ(full.substr(0, kept.size()), kept) << key << " is a prefix of its text";
      const bool whole = std::find_if(test.whole.begin(), test.whole.end(), [&](const char* k) {
                           return std::string_view(k) == key;
                         }) != test.whole.end();
      EXPECT_EQ(kept == full, whole) << key;
      if (!whole) {
        EXPECT_GE(kept.size() + 3, longestKept) << key << " is cut to the common length";
      }
    }
    // One character more of every cut text would not have fitted.
    EXPECT_GT(info.json.size() + 2 * 6, test.limit);
  }
}

const fs::path kComicInfoSchema = fs::path(KZB_CONVERT_TEST_DATA) / "comicinfo-2.1-written.xsd";

TEST(ComicInfoTest, AllTheMetadataInTheSchemaOrder) {
  const std::string xml = comicInfoXml(archiveWith(kAllTexts, 2), 5);
  EXPECT_EQ(xml,
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
            "<ComicInfo xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
            "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">\n"
            "  <Title>달빛 항해 (Moonlight Voyage)</Title>\n"
            "  <Summary>A voyage &lt;by night&gt;.</Summary>\n"
            "  <Notes>© 2026 김하늘</Notes>\n"
            "  <Year>2026</Year>\n"
            "  <Month>12</Month>\n"
            "  <Day>8</Day>\n"
            "  <Writer>김하늘</Writer>\n"
            "  <Publisher>Paper Lantern Press</Publisher>\n"
            "  <Genre>소설</Genre>\n"
            "  <Web>https://example.org/moonlight?a=1&amp;b=2</Web>\n"
            "  <PageCount>5</PageCount>\n"
            "  <Manga>YesAndRightToLeft</Manga>\n"
            "  <ScanInformation>make-sample</ScanInformation>\n"
            "  <GTIN>979-11-0000-000-0</GTIN>\n"
            "</ComicInfo>\n");
  testing::TempDir dir;
  const auto listed = xmllintChildren(dir.path(), xml, "/ComicInfo/*", kComicInfoSchema);
  if (listed) {
    EXPECT_EQ(*listed, namesOf(elementsOf(xml)));
  }
  SKIP_IF_A_READER_IS_MISSING();
}

// Each case: the texts and binding, and the elements with their parsed text.
TEST(ComicInfoTest, EachTextWhereTheSchemaWantsIt) {
  using Elements = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    const char* what;
    Texts texts;
    std::uint32_t binding;
    Elements elements;
  };
  const std::vector<Case> cases = {
      {"nothing", {}, 0, {{"PageCount", "3"}}},
      {"left to right", {{"TITL", u"T"}}, 1, {{"Title", "T"}, {"PageCount", "3"}}},
      {"undefined binding", {}, 7, {{"PageCount", "3"}}},
      {"year", {{"DATE", u"2026"}}, 0, {{"Year", "2026"}, {"PageCount", "3"}}},
      {"year and month",
       {{"DATE", u"2026-03"}},
       0,
       {{"Year", "2026"}, {"Month", "3"}, {"PageCount", "3"}}},
      {"date and time",
       {{"DATE", u"2026-03-09T10:00:00"}},
       0,
       {{"Year", "2026"}, {"Month", "3"}, {"Day", "9"}, {"PageCount", "3"}}},
      {"no such day",
       {{"DATE", u"2025-02-29"}},
       0,
       {{"Year", "2025"}, {"Month", "2"}, {"PageCount", "3"}}},
      {"leap day",
       {{"DATE", u"2024-02-29"}},
       0,
       {{"Year", "2024"}, {"Month", "2"}, {"Day", "29"}, {"PageCount", "3"}}},
      {"no such month", {{"DATE", u"2026-13-01"}}, 0, {{"Year", "2026"}, {"PageCount", "3"}}},
      {"digits run on",
       {{"DATE", u"20261208"}},
       0,
       {{"Notes", "Created at: 20261208"}, {"PageCount", "3"}}},
      {"words",
       {{"COPY", u"(c) Someone"}, {"DATE", u"봄, 2026"}},
       0,
       {{"Notes", "(c) Someone\nCreated at: 봄, 2026"}, {"PageCount", "3"}}},
      {"control characters and markup",
       {{"TITL", u"a\u0001b\u001b<&>\tc\r\nd\u0085e\u007f\uffff"}},
       0,
       {{"Title", "ab<&>\tc\r\nde"}, {"PageCount", "3"}}},
      {"cut at the first zero unit",
       {{"TITL", std::u16string(u"kept\0gone", 9)}},
       0,
       {{"Title", "kept"}, {"PageCount", "3"}}},
      {"nothing left",
       {{"TITL", u"\u0001\u0002"}, {"WRTR", std::u16string(u"\0x", 2)}},
       0,
       {{"PageCount", "3"}}},
      {"lone surrogates",
       {{"WRTR",
         u"a\xd800"
         u"b\xdc00"},
        {"GENR", u"\xd83d\xde00"}},
       0,
       {{"Writer",
         "a\xef\xbf\xbd"
         "b\xef\xbf\xbd"},
        {"Genre", "\xf0\x9f\x98\x80"},
        {"PageCount", "3"}}},
  };
  testing::TempDir dir;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    const std::string xml = comicInfoXml(archiveWith(test.texts, test.binding), 3);
    EXPECT_EQ(elementsOf(xml), test.elements);
    const auto listed = xmllintChildren(dir.path(), xml, "/ComicInfo/*", kComicInfoSchema);
    if (listed) {
      EXPECT_EQ(*listed, namesOf(test.elements));
    }
  }
  SKIP_IF_A_READER_IS_MISSING();
}

TEST(OpfTest, TheMetadataAlone) {
  const std::string opf = opfPackage(archiveWith(kAllTexts, 2));
  EXPECT_EQ(opf,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<package xmlns=\"http://www.idpf.org/2007/opf\" version=\"2.0\" "
            "unique-identifier=\"isbn\">\n"
            "  <metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
            "xmlns:opf=\"http://www.idpf.org/2007/opf\">\n"
            "    <dc:title>달빛 항해 (Moonlight Voyage)</dc:title>\n"
            "    <dc:creator opf:role=\"aut\">김하늘</dc:creator>\n"
            "    <dc:publisher>Paper Lantern Press</dc:publisher>\n"
            "    <dc:date>2026-12-08</dc:date>\n"
            "    <dc:identifier id=\"isbn\" opf:scheme=\"ISBN\">979-11-0000-000-0</dc:identifier>\n"
            "    <dc:subject>소설</dc:subject>\n"
            "    <dc:rights>© 2026 김하늘</dc:rights>\n"
            "    <dc:description>A voyage &lt;by night&gt;.</dc:description>\n"
            "    <dc:source>https://example.org/moonlight?a=1&amp;b=2</dc:source>\n"
            "    <dc:contributor opf:role=\"bkp\">make-sample</dc:contributor>\n"
            "  </metadata>\n"
            "</package>\n");
  const std::string metadata = "/*[local-name()='package']/*[local-name()='metadata']/*";
  testing::TempDir dir;
  const auto listed = xmllintChildren(dir.path(), opf, metadata);
  if (listed) {
    EXPECT_EQ(*listed, namesOf(elementsOf(opf)));
  }

  // Without an ISBN the package names no identifier; a created-at that is no date stays as
  // it is; time after a date is left out.
  struct Case {
    Texts texts;
    std::vector<std::pair<std::string, std::string>> elements;
  };
  const std::vector<Case> cases = {
      {{}, {}},
      {{{"DATE", u"2026-12-08 10:00"}}, {{"dc:date", "2026-12-08"}}},
      {{{"DATE", u"봄 & 여름"}, {"MAKR", u"x"}},
       {{"dc:date", "봄 & 여름"}, {"dc:contributor", "x"}}},
  };
  for (const Case& test : cases) {
    const std::string document = opfPackage(archiveWith(test.texts));
    EXPECT_EQ(document.find("unique-identifier"), std::string::npos);
    EXPECT_EQ(document.find("dc:language"), std::string::npos);
    EXPECT_EQ(elementsOf(document), test.elements);
    const auto names = xmllintChildren(dir.path(), document, metadata);
    if (names) {
      EXPECT_EQ(*names, namesOf(test.elements));
    }
  }
  SKIP_IF_A_READER_IS_MISSING();
}

// ---------------------------------------------------------------------------------------------
// The conversion.

TEST(NaturalOrderTest, DigitsCompareAsNumbers) {
  const std::vector<std::pair<std::string, std::string>> ascending = {
      {"2", "10"},
      {"page2.jpg", "page10.jpg"},
      {"a", "b"},
      {"a1b2", "a1b10"},
      {"001", "2"},
      {"01", "1"},
      {"x", "x1"},
      {"1", "a"},
      {"Z", "a"},
      {"9.jpg", "09a.jpg"},
      {"\xea\xb0\x80", "\xea\xb0\x81"},  // 가, 각
  };
  for (const auto& [low, high] : ascending) {
    EXPECT_TRUE(naturalLess(low, high)) << low << " < " << high;
    EXPECT_FALSE(naturalLess(high, low)) << high << " < " << low;
  }
  EXPECT_FALSE(naturalLess("same", "same"));
}

class ConvertTest : public ::testing::Test {
 protected:
  // Converts the container's bytes; the ZIP goes to a file, whose bytes are returned.
  std::string convert(const Bytes& container, const ConvertOptions& options = withTime(),
                      const std::string& file = "out.zip") {
    reader_.reset();  // closed before its container is written again
    testing::writeFile(dir_ / "c.kzb", container);
    reader_ = std::make_unique<ArchiveReader>((dir_ / "c.kzb").string());
    ArchiveReader& reader = *reader_;
    outcomes_.clear();
    FileSink sink(dir_ / file);
    result_ = convertToZip(reader, sink, options,
                           [&](const MemberOutcome& done) { outcomes_.push_back(done); });
    sink.close();
    return testing::readFile(dir_ / file);
  }
  static ConvertOptions withTime() {
    ConvertOptions options;
    options.modified = kTime;
    return options;
  }
  fs::path path(const std::string& file) const { return dir_ / file; }
  std::vector<MemberStatus> statuses() const {
    std::vector<MemberStatus> all;
    for (const MemberOutcome& done : outcomes_) {
      all.push_back(done.status);
    }
    return all;
  }
  // What the ZIP must hold: `members`, then ComicInfo.xml counting them.
  std::vector<Member> withComicInfo(std::vector<Member> members) const {
    const std::size_t pages = members.size();
    members.push_back({"ComicInfo.xml", comicInfoXml(reader_->archive(), pages)});
    return members;
  }

  testing::TempDir dir_;
  std::unique_ptr<ArchiveReader> reader_;  // of the container converted last
  ConvertResult result_;
  std::vector<MemberOutcome> outcomes_;
};

Bytes containerOf(std::vector<StoredFile> files, Texts texts = {},
                  std::optional<std::uint32_t> binding = std::nullopt) {
  testing::Publication publication;
  publication.files = std::move(files);
  publication.texts = std::move(texts);
  publication.bindingDirection = binding;
  return testing::buildContainer(publication);
}

TEST_F(ConvertTest, EveryStoredFileInTableOrderThenComicInfo) {
  const std::vector<StoredFile> files = {
      {u"001 cover.jpg", testing::pseudoRandomBytes(4097, 1), {}},
      {u"002 표지.png", testing::pseudoRandomBytes(4096, 2), {}},
      {u"003 \U0001F600.gif", "x", {}},
      {u"004 lone\xd800.bin", "", {}},
      {u"005 end.txt", std::string(70000, 'e'), {}},
  };
  for (const bool deflate : {false, true}) {
    SCOPED_TRACE(deflate);
    ConvertOptions options = withTime();
    options.deflate = deflate;
    convert(containerOf(files, kAllTexts, 2), options);
    ASSERT_EQ(result_.status, ConvertStatus::complete) << result_.error.message();
    EXPECT_EQ(result_.members, 5u);
    EXPECT_EQ(result_.failures, 0u);
    EXPECT_FALSE(result_.namesOutOfOrder);
    std::vector<Member> members;
    for (const StoredFile& file : files) {
      members.push_back({utf8(file.name), file.data});
    }
    EXPECT_EQ(members[3].name, "004 lone\xef\xbf\xbd.bin");
    ASSERT_EQ(outcomes_.size(), files.size());
    for (std::size_t i = 0; i < outcomes_.size(); ++i) {
      EXPECT_EQ(outcomes_[i].index, i);
      EXPECT_EQ(outcomes_[i].status, MemberStatus::written);
      EXPECT_EQ(outcomes_[i].zipName, members[i].name);
    }
    checkWithZipReaders(path("out.zip"), withComicInfo(members), "2026-12-08 10:20:30");
  }
  SKIP_IF_A_READER_IS_MISSING();
}

// Swaps the rows `a` and `b` of the file table (of equal sizes), so that the table lists the
// files in another order than the container stores them.
Bytes withRowsSwapped(Bytes container, std::size_t a, std::size_t b) {
  std::vector<std::size_t> rows;
  for (std::size_t at = container.find("FINF"); at != std::string::npos;
       at = container.find("FINF", at + 1)) {
    rows.push_back(at);
  }
  const std::size_t size = 16 + u32At(container, rows[a] + 4);
  EXPECT_EQ(size, 16 + u32At(container, rows[b] + 4));
  const std::string first = container.substr(rows[a], size);
  container.replace(rows[a], size, container.substr(rows[b], size));
  container.replace(rows[b], size, first);
  return container;
}

// A row in the middle whose stored file cannot be read whole is left out, and the ZIP is
// byte for byte the one of the container without that row.
TEST_F(ConvertTest, AFailingEntryInTheMiddleIsLeftOut) {
  const StoredFile a{u"a.jpg", testing::pseudoRandomBytes(5000, 1), {}};
  const StoredFile b{u"b.jpg", testing::pseudoRandomBytes(9000, 2), {}};
  const StoredFile c{u"c.jpg", testing::pseudoRandomBytes(3000, 3), {}};
  // b's stored file stands last in the container, though its row is the second, and the
  // container ends inside it.
  const Bytes reordered = withRowsSwapped(containerOf({a, c, b}), 1, 2);
  struct Case {
    const char* what;
    Bytes container;
    MemberStatus status;
  };
  const std::vector<Case> cases = {
      {"no stored file there", withoutFileChunk(containerOf({a, b, c}), 1),
       MemberStatus::notFileChunk},
      {"cut short", reordered.substr(0, reordered.size() - 4000), MemberStatus::truncated},
      {"cut inside its chunk header", reordered.substr(0, reordered.size() - 9000 - 8),
       MemberStatus::notFileChunk},
  };
  for (const bool deflate : {false, true}) {
    ConvertOptions options = withTime();
    options.deflate = deflate;
    const std::string without = convert(containerOf({a, c}), options, "without.zip");
    for (const Case& test : cases) {
      SCOPED_TRACE(test.what);
      const std::string zip = convert(test.container, options);
      ASSERT_EQ(result_.status, ConvertStatus::complete);
      EXPECT_EQ(statuses(),
                (std::vector{MemberStatus::written, test.status, MemberStatus::written}));
      EXPECT_EQ(result_.members, 2u);
      EXPECT_EQ(result_.failures, 1u);
      EXPECT_EQ(zip, without);
      checkWithZipReaders(path("out.zip"), withComicInfo({{"a.jpg", a.data}, {"c.jpg", c.data}}));
    }
  }
  SKIP_IF_A_READER_IS_MISSING();
}

TEST_F(ConvertTest, NamesRefusedByTheRulesOfEveryPlatformAndOfWindows) {
  struct Case {
    std::u16string name;
    MemberStatus status;
    NameProblem problem;
  };
  const std::vector<Case> cases = {
      {u"", MemberStatus::unsafeName, NameProblem::empty},
      {std::u16string(u"\0a", 2), MemberStatus::unsafeName, NameProblem::empty},
      {u"..", MemberStatus::unsafeName, NameProblem::dotName},
      {u"dir/page.jpg", MemberStatus::unsafeName, NameProblem::separator},
      {u"dir\\page.jpg", MemberStatus::unsafeName, NameProblem::separator},
      {u"a:b.jpg", MemberStatus::unsafeName, NameProblem::colon},
      {u"con.jpg", MemberStatus::unsafeName, NameProblem::reservedDevice},
      {u"page.", MemberStatus::unsafeName, NameProblem::trailingDotOrSpace},
      {u"page?.jpg", MemberStatus::unsafeName, NameProblem::forbiddenCharacter},
      {u"comicinfo.XML", MemberStatus::reservedName, NameProblem::none},
      {u"ComicInfo.xml", MemberStatus::reservedName, NameProblem::none},
      {std::u16string(zip::kMaxNameLength / 3 + 1, u'\uD55C'), MemberStatus::nameTooLong,
       NameProblem::none},  // 한 × 21846: 65538 bytes of UTF-8
  };
  std::vector<StoredFile> files = {{u"first.jpg", "1", {}}};
  for (const Case& test : cases) {
    files.push_back({test.name, "refused", {}});
  }
  files.push_back({u"last.jpg", "2", {}});
  convert(containerOf(files));
  ASSERT_EQ(result_.status, ConvertStatus::complete);
  ASSERT_EQ(outcomes_.size(), files.size());
  EXPECT_EQ(outcomes_.front().status, MemberStatus::written);
  EXPECT_EQ(outcomes_.back().status, MemberStatus::written);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(outcomes_[i + 1].status, cases[i].status);
    EXPECT_EQ(outcomes_[i + 1].nameProblem, cases[i].problem);
  }
  EXPECT_EQ(result_.failures, cases.size());
  checkWithZipReaders(path("out.zip"), withComicInfo({{"first.jpg", "1"}, {"last.jpg", "2"}}));
  SKIP_IF_A_READER_IS_MISSING();
}

// Of the rows of one name, the member is the last whose stored file stands whole, in its own
// place in the table.
TEST_F(ConvertTest, TheLaterRowOfANameIsTheMember) {
  const StoredFile first{u"p.jpg", "first", {}};
  const StoredFile other{u"q.jpg", "other", {}};
  const StoredFile second{u"p.jpg", "second", {}};
  convert(containerOf({first, other, second}));
  EXPECT_EQ(statuses(), (std::vector{MemberStatus::replacedByLater, MemberStatus::written,
                                     MemberStatus::written}));
  EXPECT_EQ(result_.failures, 0u);
  checkWithZipReaders(path("out.zip"), withComicInfo({{"q.jpg", "other"}, {"p.jpg", "second"}}));

  // The later copy is cut short: the earlier one stays.
  const StoredFile whole{u"p.jpg", testing::pseudoRandomBytes(3000, 1), {}};
  const StoredFile cut{u"p.jpg", testing::pseudoRandomBytes(3000, 2), {}};
  const Bytes container = containerOf({whole, cut});
  convert(container.substr(0, container.size() - 10));
  EXPECT_EQ(statuses(), (std::vector{MemberStatus::written, MemberStatus::truncated}));
  EXPECT_EQ(result_.failures, 1u);
  checkWithZipReaders(path("out.zip"), withComicInfo({{"p.jpg", whole.data}}));

  // Two lone surrogates give one ZIP name.
  convert(containerOf({{u"x\xd800", "a", {}}, {u"x\xdc00", "b", {}}}));
  EXPECT_EQ(statuses(), (std::vector{MemberStatus::replacedByLater, MemberStatus::written}));
  checkWithZipReaders(path("out.zip"), withComicInfo({{"x\xef\xbf\xbd", "b"}}));
  SKIP_IF_A_READER_IS_MISSING();
}

TEST_F(ConvertTest, NamesOutOfNaturalOrderAreNoted) {
  struct Case {
    std::vector<std::u16string> names;
    bool outOfOrder;
  };
  const std::vector<Case> cases = {
      {{u"1.jpg", u"2.jpg", u"10.jpg"}, false},
      {{u"1.jpg", u"10.jpg", u"2.jpg"}, true},
      {{u"b.jpg", u"a.jpg"}, true},
      {{u"page 9.png", u"page 10.png", u"page 11.png"}, false},
      // Only the names that become members count.
      {{u"1.jpg", u"con.jpg", u"2.jpg"}, false},
      {{u"2.jpg", u"1.jpg", u"2.jpg"}, false},
  };
  for (const Case& test : cases) {
    std::vector<StoredFile> files;
    for (const std::u16string& name : test.names) {
      files.push_back({name, "x", {}});
    }
    convert(containerOf(files));
    EXPECT_EQ(result_.namesOutOfOrder, test.outOfOrder) << utf8(test.names[1]);
    ConvertOptions renumber = withTime();
    renumber.renumber = true;
    convert(containerOf(files), renumber);
    EXPECT_FALSE(result_.namesOutOfOrder);
  }
}

TEST_F(ConvertTest, RenumberingPrefixesEachMembersPosition) {
  std::vector<StoredFile> files;
  std::vector<Member> expected;
  for (int i = 0; i < 11; ++i) {
    const std::string name = "page " + std::to_string(11 - i) + ".jpg";
    files.push_back({testing::utf16FromUtf8(name), "bytes of " + name, {}});
  }
  files.insert(files.begin() + 3, {u"refused?.jpg", "x", {}});
  Bytes container = withoutFileChunk(containerOf(files), 6);  // and one without its bytes
  for (std::size_t i = 0, position = 0; i < files.size(); ++i) {
    if (i == 3 || i == 6) {
      continue;
    }
    char prefix[8];
    std::snprintf(prefix, sizeof prefix, "%02zu ", ++position);
    expected.push_back({prefix + utf8(files[i].name), files[i].data});
  }
  ConvertOptions options = withTime();
  options.renumber = true;
  convert(container, options);
  ASSERT_EQ(result_.status, ConvertStatus::complete);
  EXPECT_EQ(result_.members, 10u);
  EXPECT_EQ(expected.front().name, "01 page 11.jpg");
  EXPECT_EQ(expected.back().name, "10 page 1.jpg");
  checkWithZipReaders(path("out.zip"), withComicInfo(expected));

  // Width: the digits of the count of members.
  std::vector<StoredFile> many;
  for (int i = 0; i < 100; ++i) {
    many.push_back({u"p.jpg" + std::u16string(static_cast<std::size_t>(i), u'+'), "", {}});
  }
  convert(containerOf(many), options);
  EXPECT_EQ(outcomes_.front().zipName, "001 p.jpg");
  EXPECT_EQ(outcomes_.back().zipName, "100 p.jpg" + std::string(99, '+'));
  SKIP_IF_A_READER_IS_MISSING();
}

// A full disk stops the conversion with the sink's error, wherever it happens.
TEST_F(ConvertTest, AWriteFailureStopsTheConversion) {
  const Bytes container =
      containerOf({{u"a", std::string(3000, 'a'), {}}, {u"b", std::string(3000, 'b'), {}}});
  testing::writeFile(path("c.kzb"), container);
  ArchiveReader reader(path("c.kzb").string());
  MemorySink whole;
  ASSERT_EQ(convertToZip(reader, whole, withTime()).status, ConvertStatus::complete);
  for (std::uint64_t capacity = 0; capacity < whole.size(); capacity += 101) {
    FullSink sink(capacity);
    const ConvertResult result = convertToZip(reader, sink, withTime());
    EXPECT_EQ(result.status, ConvertStatus::writeFailed) << capacity;
    EXPECT_EQ(result.error, std::errc::no_space_on_device) << capacity;
  }
}

// ---------------------------------------------------------------------------------------------
// The same bytes on every platform: ZIPs from fixed inputs, compared with files the Linux
// build wrote once (KZB_WRITE_GOLDEN=1 writes them again) and that the readers above accept.

const fs::path kGoldenDir = fs::path(KZB_CONVERT_TEST_DATA);

TEST_F(ConvertTest, FixedInputsGiveTheRecordedBytes) {
  const std::vector<StoredFile> files = {
      {u"cover.jpg", testing::pseudoRandomBytes(5000, 11), {}},
      {u"1장.txt", std::string(300, 'k') + "한글", {}},
      {u"\U0001F600.png", "!", {}},
      {u"lone\xdc00.bin", testing::pseudoRandomBytes(4097, 12), {}},
      {u"empty", "", {}},
  };
  const Bytes container = containerOf(files, kAllTexts, 2);
  std::vector<Member> members;
  for (const StoredFile& file : files) {
    members.push_back({utf8(file.name), file.data});
  }
  struct Case {
    const char* golden;
    bool deflate;
    bool renumber;
    ZipLimits limits;
  };
  const Case cases[] = {
      {"converted-stored.zip", false, false, {}},
      {"converted-deflated-renumbered-zip64.zip", true, true, {4096, 3}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.golden);
    ConvertOptions options = withTime();
    options.deflate = test.deflate;
    options.renumber = test.renumber;
    options.limits = test.limits;
    const std::string zip = convert(container, options, test.golden);
    if (std::getenv("KZB_WRITE_GOLDEN")) {
      testing::writeFile(kGoldenDir / test.golden, zip);
    }
    const std::string golden = testing::readFile(kGoldenDir / test.golden);
    const auto [differs, _] = std::mismatch(zip.begin(), zip.end(), golden.begin(), golden.end());
    EXPECT_TRUE(zip == golden) << "written " << zip.size() << " bytes, recorded " << golden.size()
                               << ", first difference at " << (differs - zip.begin());
    std::vector<Member> expected = members;
    for (std::size_t i = 0; test.renumber && i < expected.size(); ++i) {
      expected[i].name = std::to_string(i + 1) + " " + expected[i].name;
    }
    checkWithZipReaders(path(test.golden), withComicInfo(expected));
  }
  SKIP_IF_A_READER_IS_MISSING();
}

#ifdef _WIN32
TEST(ZipReadersTest, RunOnLinux) {
  GTEST_SKIP() << "Python's zipfile, unzip, 7z, bsdtar and xmllint check the ZIPs and documents "
                  "on Linux; here the ZIPs are compared with the files that they accepted";
}
#endif

}  // namespace
}  // namespace kzb
