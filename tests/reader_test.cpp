// The walk: what a container, well-formed or hostile, leaves in the reader.
#include <gtest/gtest.h>

#include <memory>

#include "archive_reader.h"
#include "container_builder.h"
#include "temp_dir.h"

namespace kzb {
namespace {

using testing::Bytes;
using testing::Chunk;
using testing::fileInfo;

class ReaderTest : public ::testing::Test {
 protected:
  std::unique_ptr<ArchiveReader> walk(const Bytes& container) {
    testing::writeFile(path(), container);
    return std::make_unique<ArchiveReader>(path().string());
  }
  std::filesystem::path path() const { return dir_ / "c.kzb"; }

 private:
  testing::TempDir dir_;
};

// One 3-byte file and a one-word title: the smallest container that uses every region.
Bytes exampleContainer() {
  testing::Publication publication;
  publication.version = 0x2A;
  publication.texts = {{"TITL", u"Hi"}};
  publication.files = {{u"x", "abc", {}}};
  publication.recordCrc32 = false;
  return testing::buildContainer(publication);
}

TEST_F(ReaderTest, ExampleContainerHasTheDocumentedLayoutAndWalksWhole) {
  const Bytes expected = Bytes("KZB0\x18\0\0\0\x61\0\0\0\0\0\0\0", 16) +       // 0: root
                         Bytes("VERS\x04\0\0\0\x2a\0\0\0", 12) +               // 16
                         Bytes("FSIZ\x04\0\0\0\x89\0\0\0", 12) +               // 28: 137
                         Bytes("HEAD\x0c\0\0\0\0\0\0\0\0\0\0\0", 16) +         // 40
                         Bytes("TITL\x04\0\0\0H\0i\0", 12) +                   // 56
                         Bytes("FINF\x22\0\0\0\0\0\0\0\0\0\0\0", 16) +         // 68
                         Bytes("NAME\x02\0\0\0x\0", 10) +                      // 84
                         Bytes("POS4\x04\0\0\0\x76\0\0\0", 12) +               // 94: 118
                         Bytes("SIZE\x04\0\0\0\x03\0\0\0", 12) +               // 106
                         Bytes("FILE\0\0\0\0\0\0\0\0\x03\0\0\0", 16) + "abc";  // 118, 134
  ASSERT_EQ(expected.size(), 137u);
  ASSERT_EQ(exampleContainer(), expected);

  const auto reader = walk(expected);
  EXPECT_EQ(reader->openResult(), ResultSuccess);
  EXPECT_EQ(reader->version(), 0x2Au);
  EXPECT_EQ(reader->fileLength(), 137u);
  EXPECT_EQ(reader->title(), u"Hi");
  ASSERT_EQ(reader->entries().size(), 1u);
  EXPECT_EQ(reader->entries()[0].name, u"x");
  EXPECT_EQ(reader->entries()[0].position, 118u);
  EXPECT_EQ(reader->entries()[0].size, 3u);
}

TEST_F(ReaderTest, EmptyFileAndMissingFile) {
  const auto empty = walk("");
  EXPECT_EQ(empty->openResult(), ResultParseFailed);
  EXPECT_EQ(empty->version(), 0u);
  EXPECT_TRUE(empty->entries().empty());

  const ArchiveReader missing((path().parent_path() / "absent.kzb").string());
  EXPECT_EQ(missing.openResult(), ResultNotAvailable);
  EXPECT_EQ(missing.walk().status, WalkStatus::cannotOpen);
  EXPECT_EQ(missing.walk().error, std::errc::no_such_file_or_directory);
  EXPECT_FALSE(missing.input().isOpen());
}

TEST_F(ReaderTest, HandlersApplyByTagAtAnyDepthAndLaterValuesWin) {
  const Bytes container =
      Chunk("ROOT")  // any tag may be the root
          .child(Chunk("HEAD")
                     .u32("DIRE", 1)
                     .text("TITL", u"first")
                     .text("WRTR", u"writer")
                     .text("NAME", u"not a head attribute"))
          .child(Chunk("HEAD").text("TITL", u"second").u32("DIRE", 7).u32("DIRE", 2))
          .child(
              Chunk("MISC")
                  .child(Chunk("KZB0").u32("VERS", 5).u32("FSIZ", 9))
                  .child(Chunk("FINF").text("NAME", u"deep").text("TITL", u"not a file attribute")))
          .child(Chunk("KZB0").u32("VERS", 6))
          .child(Chunk("FINF"))  // no attributes at all: still a row
          .child(Chunk("XTRA").u32("VERS", 99).text("TITL", u"ignored"))
          .bytes();
  const auto reader = walk(container);
  EXPECT_EQ(reader->openResult(), ResultSuccess);
  EXPECT_EQ(reader->version(), 6u);
  EXPECT_EQ(reader->fileLength(), 9u);  // the second "KZB0" carries no "FSIZ"
  EXPECT_EQ(reader->bindingDirection(), 2u);
  EXPECT_EQ(reader->title(), u"second");
  EXPECT_EQ(reader->writer(), u"writer");  // the second "HEAD" did not carry one
  ASSERT_EQ(reader->entries().size(), 2u);
  EXPECT_EQ(reader->entries()[0].name, u"deep");
  EXPECT_EQ(reader->entries()[1].name, u"");
  EXPECT_EQ(reader->entries()[1].position, 0u);
}

TEST_F(ReaderTest, EveryHeadAndFileInfoAttributeReachesItsField) {
  const Bytes container =
      Chunk("KZB0")
          .child(Chunk("HEAD")
                     .attribute("GUID", "0123456789ab")
                     .attribute("UUID", "uu")
                     .attribute("FTIM", "12345678")
                     .text("ISBN", u"i")
                     .text("PUBL", u"p")
                     .text("DATE", u"d")
                     .text("GENR", u"g")
                     .text("COPY", u"c")
                     .text("LINK", u"l")
                     .text("MAKR", u"m")
                     .text("COMT", u"o"))
          .child(Chunk("FINF").u32("CRC3", 0xdeadbeef).attribute("MTIM", "abcdefgh"))
          .bytes();
  const auto reader = walk(container);
  EXPECT_EQ(static_cast<char>(reader->guid()[9]), '9');
  EXPECT_EQ(static_cast<char>(reader->uuid()[1]), 'u');
  EXPECT_EQ(reader->uuid()[2], std::byte{0});
  EXPECT_EQ(static_cast<char>(reader->fileTime()[7]), '8');
  const std::u16string texts = reader->isbn() + reader->publisher() + reader->createdAt() +
                               reader->genre() + reader->copyright() + reader->webLink() +
                               reader->convertedBy() + reader->comment();
  EXPECT_EQ(texts, u"ipdgclmo");
  ASSERT_EQ(reader->entries().size(), 1u);
  EXPECT_EQ(reader->entries()[0].crc32, 0xdeadbeefu);
  EXPECT_EQ(static_cast<char>(reader->entries()[0].modifiedTime[0]), 'a');
}

TEST_F(ReaderTest, AttributeRecordOverrunningItsBlockKeepsTheRecordsBeforeIt) {
  const Bytes container = Chunk("KZB0")
                              .child(Chunk("HEAD")
                                         .text("TITL", u"kept")
                                         .attribute("WRTR", "ab", 1000)
                                         .text("COMT", u"lost"))
                              .child(fileInfo(u"after"))
                              .bytes();
  const auto reader = walk(container);
  EXPECT_EQ(reader->openResult(), ResultSuccess);
  EXPECT_EQ(reader->title(), u"kept");
  EXPECT_EQ(reader->writer(), u"");
  EXPECT_EQ(reader->comment(), u"");
  ASSERT_EQ(reader->entries().size(), 1u);
}

TEST_F(ReaderTest, BytesAfterTheRootAreNotWalked) {
  const Bytes container = Chunk("KZB0").u32("VERS", 1).bytes() + fileInfo(u"outside").bytes();
  const auto reader = walk(container);
  EXPECT_EQ(reader->openResult(), ResultSuccess);
  EXPECT_TRUE(reader->entries().empty());
}

TEST_F(ReaderTest, ChildrenClaimingMoreThanTheFileHoldsFailButKeepEarlierRows) {
  Chunk root("KZB0");
  root.child(fileInfo(u"a")).child(fileInfo(u"b")).statedChildrenLength(100000);
  const auto reader = walk(root.bytes());
  EXPECT_EQ(reader->openResult(), ResultParseFailed);
  ASSERT_EQ(reader->entries().size(), 2u);
  EXPECT_EQ(reader->entries()[1].name, u"b");
}

struct HostileCase {
  const char* what;
  Chunk chunk;          // the first child of the root
  int result;           // of open
  std::size_t entries;  // rows the walk keeps
};

// Each length field negative, huge or past the end of the file. The first child is a "FINF"
// chunk, so whether it was applied shows in the row count; a well-formed row follows it.
TEST_F(ReaderTest, HostileLengthsStopTheWalkOrCountAsAbsent) {
  const std::vector<HostileCase> cases = {
      {"negative payload", fileInfo(u"a").statedPayloadLength(-1), ResultParseFailed, 0},
      {"most negative payload", fileInfo(u"a").statedPayloadLength(INT32_MIN), ResultParseFailed,
       0},
      {"total of zero", Chunk("FINF").statedAttributeLength(-16), ResultParseFailed, 0},
      {"total negative", Chunk("FINF").statedChildrenLength(INT32_MIN), ResultParseFailed, 0},
      // Applied, with the region counted as absent; but the chunk states 4 bytes fewer than
      // it takes, so the root's children end 4 bytes past the file.
      {"negative attributes, positive total",
       Chunk("FINF").payload(Bytes(20, 'p')).statedAttributeLength(-4), ResultParseFailed, 2},
      {"negative children, positive total",
       Chunk("FINF").text("NAME", u"n").payload(Bytes(20, 'p')).statedChildrenLength(-4),
       ResultParseFailed, 2},
      {"attributes past the end", fileInfo(u"a").statedAttributeLength(1 << 20), ResultParseFailed,
       0},
      {"attributes of 2 GiB - 1", fileInfo(u"a").statedAttributeLength(INT32_MAX),
       ResultParseFailed, 0},
      // Takes the row after it as its own child, then meets the end of the file.
      {"children past the end", Chunk("MISC").child(fileInfo(u"a")).statedChildrenLength(INT32_MAX),
       ResultParseFailed, 2},
      // Seeking past the end is no error, and the root's children are then used up.
      {"payload past the end", fileInfo(u"a").statedPayloadLength(INT32_MAX), ResultSuccess, 1},
      {"all three at 2 GiB - 1",
       Chunk("FINF")
           .statedAttributeLength(INT32_MAX)
           .statedChildrenLength(INT32_MAX)
           .statedPayloadLength(INT32_MAX),
       ResultParseFailed, 0},
  };
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.what);
    // The root's children length is what the two children really take, so the root needs
    // exactly the bytes written, whatever the first child claims.
    const Bytes children = c.chunk.bytes() + fileInfo(u"z").bytes();
    Chunk root("KZB0");
    root.rawChildren(children);
    const auto reader = walk(root.bytes());
    EXPECT_EQ(reader->openResult(), c.result);
    EXPECT_EQ(reader->entries().size(), c.entries);
  }
}

TEST_F(ReaderTest, SteppingOverPayloadsPastTheEndIsASeekButMarksTheWalk) {
  // The last row's payload runs past the end of the file, then so does its parent's: both
  // steps move as seeks do, and nothing after them is read.
  const Bytes container =
      Chunk("KZB0")
          .child(fileInfo(u"a"))
          .child(Chunk("MISC").child(fileInfo(u"b").statedPayloadLength(1000)).payload("xyz"))
          .bytes();
  const auto reader = walk(container);
  EXPECT_EQ(reader->openResult(), ResultSuccess);
  EXPECT_EQ(reader->entries().size(), 2u);
  EXPECT_TRUE(reader->walkedPastEnd());

  EXPECT_FALSE(walk(exampleContainer())->walkedPastEnd());
  const Bytes claimsMore = Chunk("KZB0").child(fileInfo(u"a")).statedPayloadLength(1 << 30).bytes();
  EXPECT_TRUE(walk(claimsMore)->walkedPastEnd());
}

TEST_F(ReaderTest, ChunkTotalIsWhatItsHeaderStatesNotWhatWasRead) {
  // The first root is complete, so after the walk the stream stands at the second chunk.
  const Bytes container =
      Chunk("KZB0").bytes() + Chunk("FINF").payload("1234").statedAttributeLength(-4).bytes();
  const auto reader = walk(container);
  ASSERT_EQ(reader->openResult(), ResultSuccess);
  EXPECT_EQ(reader->parseChunk(), 16 - 4 + 0 + 4);
  EXPECT_EQ(reader->entries().size(), 1u);
}

// Headers only: level i holds level i + 1 as its one child, the deepest holds a "FINF".
Bytes nested(int levels) {
  Bytes out;
  const Bytes leaf = fileInfo(u"leaf").bytes();
  for (int level = 1; level < levels; ++level) {
    const auto below =
        static_cast<std::int32_t>(16 * static_cast<std::size_t>(levels - 1 - level) + leaf.size());
    out += testing::chunkHeader("NEST", 0, below, 0);
  }
  return out + leaf;
}

TEST_F(ReaderTest, NestingUpToTheLimitWalksAndBeyondItFails) {
  const auto atLimit = walk(nested(kMaxNestingDepth));
  EXPECT_EQ(atLimit->openResult(), ResultSuccess);
  EXPECT_EQ(atLimit->entries().size(), 1u);

  const auto beyond = walk(nested(kMaxNestingDepth + 1));
  EXPECT_EQ(beyond->openResult(), ResultParseFailed);
  EXPECT_TRUE(beyond->entries().empty());

  const auto hostile = walk(nested(100000));
  EXPECT_EQ(hostile->openResult(), ResultParseFailed);
}

TEST_F(ReaderTest, EveryTruncationFailsCleanlyAndKeepsWhatCameBeforeTheCut) {
  testing::Publication publication;
  publication.texts = {{"TITL", u"Title"}, {"WRTR", u"Writer"}};
  publication.files = {{u"one", "1", {}}, {u"two", "22", {}}, {u"three", "333", {}}};
  const Bytes whole = testing::buildContainer(publication);
  const auto full = walk(whole);
  ASSERT_EQ(full->openResult(), ResultSuccess);

  // The walk skips payloads without reading them, so a cut inside the last one goes unseen
  // until that file is extracted.
  const std::size_t lastPayload = whole.size() - 3;
  for (std::size_t cut = 0; cut < whole.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    const auto reader = walk(whole.substr(0, cut));
    EXPECT_EQ(reader->openResult(), cut < lastPayload ? ResultParseFailed : ResultSuccess);
    EXPECT_EQ(reader->walkedPastEnd(), cut >= lastPayload);  // no cut walks as a whole file
    EXPECT_TRUE(reader->title().empty() || reader->title() == full->title());
    EXPECT_TRUE(reader->writer().empty() || reader->writer() == full->writer());
    ASSERT_LE(reader->entries().size(), full->entries().size());
    for (std::size_t i = 0; i < reader->entries().size(); ++i) {
      EXPECT_EQ(reader->entries()[i].name, full->entries()[i].name);
      EXPECT_EQ(reader->entries()[i].position, full->entries()[i].position);
    }
  }
}

TEST_F(ReaderTest, ReopeningResetsEverything) {
  auto reader = walk(exampleContainer());
  ASSERT_EQ(reader->entries().size(), 1u);
  testing::writeFile(path(), Chunk("KZB0").bytes());
  EXPECT_EQ(reader->open(path().string()), ResultSuccess);
  EXPECT_EQ(reader->version(), 0u);
  EXPECT_EQ(reader->title(), u"");
  EXPECT_TRUE(reader->entries().empty());
}

}  // namespace
}  // namespace kzb
