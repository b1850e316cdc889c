// The layouts of the CBZ and EPUB views: every range read from one equals the same range of the
// ZIP that convertToZip, or the book that convertToEpub, writes, for containers whole and
// damaged.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <zlib.h>

#include "archive_reader.h"
#include "byte_sink.h"
#include "container_builder.h"
#include "convert.h"
#include "epub.h"
#include "image_info.h"
#include "input_file.h"
#include "sample_books.h"
#include "temp_dir.h"
#include "zip_layout.h"

namespace kzb {
namespace {

using testing::Bytes;
using testing::StoredFile;
using testing::withoutFileChunk;

constexpr std::chrono::sys_seconds kTime{std::chrono::seconds{1796725231}};

Bytes containerOf(std::vector<StoredFile> files) {
  testing::Publication publication;
  publication.files = std::move(files);
  publication.texts = {{"TITL", u"달빛 항해"}, {"WRTR", u"김하늘"}, {"COMT", u"<night>"}};
  return testing::buildContainer(publication);
}

std::string asString(std::span<const std::byte> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

TEST(CbzLayoutTest, EveryRangeReadsAsTheConvertedZip) {
  const StoredFile a{u"001.jpg", testing::pseudoRandomBytes(70000, 1), {}};
  const StoredFile b{u"002 표지.png", testing::pseudoRandomBytes(4097, 2), {}};
  const StoredFile c{u"003.gif", testing::pseudoRandomBytes(3000, 3), {}};
  const StoredFile empty{u"empty", "", {}};
  const Bytes whole = containerOf({a, b, c});
  const Bytes cutLater =
      containerOf({{u"x", "first", {}}, {u"x", testing::pseudoRandomBytes(5000, 4), {}}});
  ZipLimits small;
  small.sizeOrOffset = 4096;
  small.memberCount = 2;
  struct Case {
    const char* what;
    Bytes container;
    ZipLimits limits;
  };
  const std::vector<Case> cases = {
      {"whole", whole, {}},
      {"cut short inside the last file", whole.substr(0, whole.size() - 1000), {}},
      {"a row without its stored file", withoutFileChunk(whole, 1), {}},
      {"rows of one name", containerOf({a, {u"x", "first", {}}, c, {u"x", "second", {}}}), {}},
      {"the later of one name cut short", cutLater.substr(0, cutLater.size() - 10), {}},
      {"no files", containerOf({}), {}},
      {"an empty file and refused names", containerOf({empty, {u"a?.jpg", "?", {}}, c}), {}},
      {"Hangul names", containerOf({{u"한글 1장.jpg", "가", {}}, {u"한글 2장.jpg", "나", {}}}), {}},
      {"ZIP64 limits forced small", whole, small},
      {"not a container", Bytes("not a container at all"), {}},
  };
  testing::TempDir dir;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    testing::writeFile(dir.path() / "c.kzb", test.container);
    ArchiveReader reader((dir.path() / "c.kzb").string());
    ConvertOptions options;
    options.modified = kTime;
    options.limits = test.limits;
    MemorySink written;
    std::vector<MemberStatus> writtenStatuses;
    const ConvertResult converted =
        convertToZip(reader, written, options,
                     [&](const MemberOutcome& done) { writtenStatuses.push_back(done.status); });
    ASSERT_EQ(converted.status, ConvertStatus::complete);
    const std::string zip = asString(written.bytes());

    ZipLayout layout;
    std::vector<MemberStatus> laidOutStatuses;
    const ConvertResult laidOut =
        layOutCbz(reader.input(), reader.archive(), options, layout,
                  [&](const MemberOutcome& done) { laidOutStatuses.push_back(done.status); });
    ASSERT_EQ(laidOut.status, ConvertStatus::complete);
    EXPECT_EQ(laidOut.members, converted.members);
    EXPECT_EQ(laidOutStatuses, writtenStatuses);
    ASSERT_EQ(layout.size(), zip.size());
    // The data is not in memory: only what the writer made is.
    EXPECT_LT(layout.memoryUsed(), zip.size() - std::min(zip.size(), a.data.size() / 2) + 4096);

    const InputFile& file = reader.input().file();
    std::vector<std::byte> buffer(zip.size() + 10);
    std::error_code error;
    ASSERT_EQ(layout.read(0, buffer, file, error), zip.size());
    ASSERT_FALSE(error) << error.message();
    ASSERT_TRUE(asString(std::span(buffer).first(zip.size())) == zip);
    for (std::size_t offset = 0; offset <= zip.size(); ++offset) {
      const std::size_t wanted = 1 + (offset * 7919) % 300;
      const std::size_t expected = std::min(wanted, zip.size() - offset);
      const std::size_t got = layout.read(offset, std::span(buffer).first(wanted), file, error);
      ASSERT_FALSE(error) << offset;
      ASSERT_EQ(got, expected) << offset;
      ASSERT_TRUE(asString(std::span(buffer).first(got)) == zip.substr(offset, got)) << offset;
    }
  }
}

void expectReadsAs(const ZipLayout& layout, const InputFile& file, const std::string& expected);

// The layout as a sink on its own, with blocks small enough that the writer's moves cross
// them: runs of bytes, places in a file, CRC-32 fields (a place's two fields sharing one),
// patches and cuts, in a pseudo-random order, each step checked against the same bytes kept
// plainly.
TEST(ZipLayoutTest, ReadsAsWhatWasWrittenWhateverItsBlocks) {
  testing::TempDir dir;
  const Bytes source = testing::pseudoRandomBytes(50000, 11);
  testing::writeFile(dir.path() / "source", source);
  InputFile file;
  ASSERT_FALSE(file.open((dir.path() / "source").string()));
  const auto crcOf = [&](std::size_t from, std::size_t length) {
    return static_cast<std::uint32_t>(
        crc32_z(0, reinterpret_cast<const Bytef*>(source.data() + from), length));
  };
  for (const std::size_t blockSize : {std::size_t{1}, std::size_t{7}, std::size_t{64},
                                      std::size_t{1000}, ZipLayout::kBlockSize}) {
    SCOPED_TRACE(blockSize);
    ZipLayout layout(blockSize);
    std::string expected;
    std::vector<bool> inMemory;  // of each byte of `expected`
    struct Field {
      std::size_t at, from, length;
    };
    std::vector<Field> fields;
    std::vector<Field> placed;  // places appended, for fields to name again
    std::size_t probe = 0;
    std::mt19937 random(static_cast<std::uint32_t>(blockSize));
    const auto below = [&](std::size_t bound) {
      return bound == 0 ? std::size_t{0} : static_cast<std::size_t>(random() % bound);
    };
    const auto append = [&](const std::string& bytes) {
      ASSERT_FALSE(layout.append(std::as_bytes(std::span(bytes))));
      expected += bytes;
      inMemory.insert(inMemory.end(), bytes.size(), true);
    };
    for (int step = 0; step < 400; ++step) {
      switch (below(6)) {
        case 0:
        case 1:
          append(testing::pseudoRandomBytes(below(300), static_cast<std::uint32_t>(step + 1)));
          break;
        case 2: {
          // Sometimes right after the last place, which then grows.
          const std::size_t from = !placed.empty() && below(3) == 0
                                       ? std::min(source.size() - 1,
                                                  placed.back().from + placed.back().length)
                                       : below(source.size());
          const std::size_t length = 1 + below(std::min<std::size_t>(2000, source.size() - from));
          ASSERT_FALSE(layout.appendPlaceOf(length, from));
          expected += source.substr(from, length);
          inMemory.insert(inMemory.end(), length, false);
          placed.push_back({0, from, length});
          break;
        }
        case 3:
          if (!placed.empty()) {
            const Field named = placed[below(placed.size())];
            const std::size_t at = expected.size();
            append(std::string(4, '\0'));
            ASSERT_FALSE(layout.deferCrc32(at, named.from, named.length));
            fields.push_back({at, named.from, named.length});
          }
          break;
        case 4: {
          // Mostly near the end, as the writer's patches are.
          const std::size_t near = std::min(expected.size(), 2 * blockSize + 300);
          const std::size_t at = below(2) == 0 ? below(expected.size())
                                                : expected.size() - near + below(near);
          const std::size_t length = std::min(expected.size() - at, 1 + below(40));
          const std::string patch = testing::pseudoRandomBytes(length, static_cast<std::uint32_t>(step));
          const bool allInMemory = std::all_of(inMemory.begin() + static_cast<std::ptrdiff_t>(at),
                                               inMemory.begin() + static_cast<std::ptrdiff_t>(at + length),
                                               [](bool each) { return each; });
          const std::error_code error = layout.overwrite(at, std::as_bytes(std::span(patch)));
          ASSERT_EQ(!error, allInMemory) << step;
          if (allInMemory) {
            expected.replace(at, length, patch);
          }
          break;
        }
        case 5:
          if (below(4) == 0) {
            const std::size_t size = expected.size() - below(std::min<std::size_t>(expected.size(), 500) + 1);
            ASSERT_FALSE(layout.truncate(size));
            expected.resize(size);
            inMemory.resize(size);
            std::erase_if(fields, [&](const Field& field) { return field.at + 4 > size; });
          }
          break;
      }
      if (step % 50 == 49) {
        layout.compact();
      }
      // Read midway too, the end at every step (where the writer's changes fall): a block
      // inflated for a read must not outlive a change to it.
      std::string withCrcs = expected;
      for (const Field& field : fields) {
        const std::uint32_t crc = crcOf(field.from, field.length);
        for (std::size_t i = 0; i < 4; ++i) {
          withCrcs[field.at + i] = static_cast<char>(crc >> (8 * i));
        }
      }
      // First a byte read at the step before: its block may have changed since.
      std::array<std::byte, 1> one{};
      std::error_code error;
      for (const bool again : {true, false}) {
        if (!again && !withCrcs.empty()) {
          probe = withCrcs.size() - 1 - below(std::min(withCrcs.size(), 2 * blockSize + 300));
        }
        if (probe < withCrcs.size()) {
          ASSERT_EQ(layout.read(probe, one, file, error), 1u) << step;
          ASSERT_EQ(static_cast<char>(one[0]), withCrcs[probe]) << step << " at " << probe;
        }
        if (again) {
          const std::size_t last = withCrcs.size() - std::min<std::size_t>(withCrcs.size(), 300);
          std::vector<std::byte> end(withCrcs.size() - last);
          ASSERT_EQ(layout.read(last, end, file, error), end.size()) << step;
          ASSERT_TRUE(asString(end) == withCrcs.substr(last)) << step;
        }
      }
      if (step % 100 == 99) {
        expectReadsAs(layout, file, withCrcs);
      }
    }
    EXPECT_EQ(layout.overwrite(expected.size(), std::as_bytes(std::span("x", 1))),
              std::errc::invalid_argument);
  }
}

// What the manual promises of the cache: a CBZ layout of many members holds about 90 bytes a
// member, its name included, where the ZIP's headers and names alone take some 120.
TEST(CbzLayoutTest, AMemberCostsAboutNinetyBytes) {
  constexpr std::size_t kMembers = 20000;
  std::vector<StoredFile> files;
  for (std::size_t i = 0; i < kMembers; ++i) {
    std::string name = std::to_string(100000 + i);
    name = "page-" + name.substr(1) + ".jpg";
    files.push_back({std::u16string(name.begin(), name.end()), "x", {}});
  }
  testing::TempDir dir;
  testing::writeFile(dir.path() / "c.kzb", containerOf(files));
  ArchiveReader reader((dir.path() / "c.kzb").string());
  ZipLayout layout;
  ASSERT_EQ(layOutCbz(reader.input(), reader.archive(), {}, layout).members, kMembers);
  EXPECT_GT(layout.size(), kMembers * 120);
  EXPECT_LT(layout.memoryUsed(), kMembers * 100);
}

// And an EPUB layout, for each page: its place and CRC-32s as a CBZ member's, and its share
// of the deflated headers and page documents.
TEST(EpubLayoutTest, APageCostsAboutAHundredAndFiftyBytes) {
  constexpr std::size_t kPages = 5000;
  std::vector<StoredFile> files;
  const std::string image = testing::png(800, 1200);
  for (std::size_t i = 0; i < kPages; ++i) {
    std::string name = std::to_string(100000 + i);
    name = "page-" + name.substr(1) + ".png";
    files.push_back({std::u16string(name.begin(), name.end()), image, {}});
  }
  testing::TempDir dir;
  testing::writeFile(dir.path() / "c.kzb", containerOf(files));
  ArchiveReader reader((dir.path() / "c.kzb").string());
  ZipLayout layout;
  ASSERT_EQ(layOutEpub(reader.input(), reader.archive(), {}, layout).pages, kPages);
  EXPECT_LT(layout.memoryUsed(), kPages * 175);
}

// A container cut after its layout was made: a read of the missing data fails, rather than
// giving bytes that are not the ZIP's.
TEST(CbzLayoutTest, AContainerCutAfterwardsFailsTheRead) {
  testing::TempDir dir;
  const Bytes container = containerOf({{u"p.jpg", testing::pseudoRandomBytes(9000, 5), {}}});
  testing::writeFile(dir.path() / "c.kzb", container);
  ArchiveReader reader((dir.path() / "c.kzb").string());
  ConvertOptions options;
  ZipLayout layout;
  ASSERT_EQ(layOutCbz(reader.input(), reader.archive(), options, layout).members, 1u);
  std::filesystem::resize_file(dir.path() / "c.kzb", container.size() - 5000);
  std::vector<std::byte> buffer(static_cast<std::size_t>(layout.size()));
  std::error_code error;
  const std::size_t got = layout.read(0, buffer, reader.input().file(), error);
  EXPECT_EQ(error, std::errc::io_error);
  EXPECT_LT(got, buffer.size());
}

// The layout is made without reading the stored files: a stored file rewritten in place after
// it was made (the same size) reads back as the ZIP convert writes of the container as it is
// now, CRC-32s included, since each is worked out when a read first reaches it.
TEST(CbzLayoutTest, CrcsAreWorkedOutWhenReadNotWhenLaidOut) {
  testing::TempDir dir;
  const std::string before = testing::pseudoRandomBytes(9000, 6);
  const std::string after = testing::pseudoRandomBytes(9000, 7);
  const Bytes container = containerOf({{u"p.jpg", before, {}}, {u"q.jpg", "q", {}}});
  const std::filesystem::path path = dir.path() / "c.kzb";
  testing::writeFile(path, container);
  ArchiveReader reader(path.string());
  ConvertOptions options;
  options.modified = kTime;
  ZipLayout layout;
  ASSERT_EQ(layOutCbz(reader.input(), reader.archive(), options, layout).members, 2u);

  Bytes rewritten = container;
  rewritten.replace(rewritten.find(before), after.size(), after);
  testing::writeFile(path, rewritten);
  ArchiveReader now(path.string());
  MemorySink expected;
  ASSERT_EQ(convertToZip(now, expected, options).members, 2u);
  std::vector<std::byte> buffer(static_cast<std::size_t>(layout.size()));
  std::error_code error;
  ASSERT_EQ(layout.read(0, buffer, now.input().file(), error), buffer.size());
  EXPECT_FALSE(error);
  EXPECT_TRUE(buffer == expected.bytes());
}

// Reads the whole layout at once, then in reads of odd sizes from every offset, each compared
// with `expected`.
void expectReadsAs(const ZipLayout& layout, const InputFile& file, const std::string& expected) {
  ASSERT_EQ(layout.size(), expected.size());
  std::vector<std::byte> buffer(expected.size() + 10);
  std::error_code error;
  ASSERT_EQ(layout.read(0, buffer, file, error), expected.size());
  ASSERT_FALSE(error) << error.message();
  ASSERT_TRUE(asString(std::span(buffer).first(expected.size())) == expected);
  for (std::size_t offset = 0; offset <= expected.size(); offset += 1 + offset % 97) {
    const std::size_t wanted = 1 + (offset * 7919) % 300;
    const std::size_t got = layout.read(offset, std::span(buffer).first(wanted), file, error);
    ASSERT_FALSE(error) << offset;
    ASSERT_EQ(got, std::min(wanted, expected.size() - offset)) << offset;
    ASSERT_TRUE(asString(std::span(buffer).first(got)) == expected.substr(offset, got)) << offset;
  }
}

TEST(EpubLayoutTest, EveryRangeReadsAsTheConvertedBook) {
  constexpr std::size_t kPadding = 100000;
  std::vector<testing::SampleBook> books = testing::sampleBooks(kPadding);
  const Bytes first = books[0].container;
  books.push_back({"cut short inside the last file", first.substr(0, first.size() - 1000)});
  books.push_back({"a row without its stored file", withoutFileChunk(first, 1)});
  books.push_back({"not a container", "not a container at all"});
  struct Options {
    bool renumber;
    std::string language;
  };
  testing::TempDir dir;
  for (const testing::SampleBook& book : books) {
    for (const Options& each : {Options{false, "und"}, Options{true, "ko-KR"}}) {
      SCOPED_TRACE(book.name + (each.renumber ? ", renumbered" : ""));
      testing::writeFile(dir.path() / "c.kzb", book.container);
      ArchiveReader reader((dir.path() / "c.kzb").string());
      EpubOptions options;
      options.zip.modified = kTime;
      options.zip.renumber = each.renumber;
      options.language = each.language;
      options.fallbackTitle = "c";
      MemorySink written;
      std::vector<MemberStatus> writtenStatuses;
      const EpubResult converted =
          convertToEpub(reader.input(), reader.archive(), written, options,
                        [&](const MemberOutcome& done) { writtenStatuses.push_back(done.status); });
      ASSERT_EQ(converted.status, ConvertStatus::complete);

      ZipLayout layout;
      std::vector<MemberStatus> laidOutStatuses;
      options.zip.deflate = true;  // the layout stores, whatever it is asked
      const EpubResult laidOut =
          layOutEpub(reader.input(), reader.archive(), options, layout,
                     [&](const MemberOutcome& done) { laidOutStatuses.push_back(done.status); });
      ASSERT_EQ(laidOut.status, ConvertStatus::complete);
      EXPECT_EQ(laidOut.pages, converted.pages);
      EXPECT_EQ(laidOut.texts, converted.texts);
      EXPECT_EQ(laidOutStatuses, writtenStatuses);
      const std::string epub = asString(written.bytes());
      // The pages' data is not in memory: only what the writer made is (in a vector, which
      // may hold up to twice what it was given).
      EXPECT_LT(layout.memoryUsed(), 2 * (epub.size() - converted.pages * kPadding) + 4096);
      expectReadsAs(layout, reader.input().file(), epub);
    }
  }
}

// Laying out a book reads each page's head alone: a page rewritten in place past its head
// after the layout was made (the same size) reads back as the book of the container as it is
// now, CRC-32s included.
TEST(EpubLayoutTest, PagesAreReadForTheirHeadsOnly) {
  testing::TempDir dir;
  const std::string before = testing::pseudoRandomBytes(kImageHeadSize + 5000, 8);
  const std::string after = testing::pseudoRandomBytes(5000, 9);
  const Bytes container =
      containerOf({{u"p.png", testing::png(30, 40) + before, {}}, {u"t.txt", "text", {}}});
  const std::filesystem::path path = dir.path() / "c.kzb";
  testing::writeFile(path, container);
  ArchiveReader reader(path.string());
  EpubOptions options;
  options.zip.modified = kTime;
  ZipLayout layout;
  ASSERT_EQ(layOutEpub(reader.input(), reader.archive(), options, layout).pages, 1u);

  Bytes rewritten = container;
  rewritten.replace(rewritten.find(before) + before.size() - after.size(), after.size(), after);
  testing::writeFile(path, rewritten);
  ArchiveReader now(path.string());
  MemorySink expected;
  ASSERT_EQ(convertToEpub(now.input(), now.archive(), expected, options).pages, 1u);
  expectReadsAs(layout, now.input().file(), asString(expected.bytes()));
}

}  // namespace
}  // namespace kzb
