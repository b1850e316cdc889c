// The byte layout: chunk headers, attribute records and value encodings.
#include <gtest/gtest.h>

#include <vector>

#include "attributes.h"
#include "container_builder.h"
#include "format.h"

namespace kzb {
namespace {

using testing::attributeRecord;
using testing::Bytes;

std::span<const std::byte> asBytes(std::string_view text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

TEST(Format, ChunkHeaderKeepsSignedLengthsAsStored) {
  const Bytes raw = testing::chunkHeader("FINF", -1, 0x7fffffff, -2147483647 - 1);
  const ChunkHeader header = decodeChunkHeader(std::span<const std::byte, 16>(asBytes(raw)));
  EXPECT_EQ(header.tag, tags::kFileInfo);
  EXPECT_EQ(header.attributeLength, -1);
  EXPECT_EQ(header.childrenLength, 0x7fffffff);
  EXPECT_EQ(header.payloadLength, -2147483647 - 1);
}

struct AttributeCase {
  const char* what;
  Bytes block;
  std::vector<std::pair<Tag, std::size_t>> expected;  // tag and value size of each record
};

TEST(Format, AttributeDecodingKeepsRecordsBeforeOneThatDoesNotFit) {
  const Bytes vers = attributeRecord("VERS", "\x01\x02\x03\x04");
  const std::vector<AttributeCase> cases = {
      {"empty block", "", {}},
      {"two records",
       vers + attributeRecord("FSIZ", ""),
       {{tags::kVersion, 4}, {tags::kFileLength, 0}}},
      {"record header cut short", vers + Bytes("DIRE\x02\0", 6), {{tags::kVersion, 4}}},
      {"fewer than a tag left", vers + "DI", {{tags::kVersion, 4}}},
      {"negative length", vers + attributeRecord("DIRE", "abcd", -4) + vers, {{tags::kVersion, 4}}},
      {"length past the block", vers + attributeRecord("TITL", "ab", 3), {{tags::kVersion, 4}}},
      {"length of 2 GiB - 1", attributeRecord("TITL", "ab", 0x7fffffff), {}},
      {"value ends exactly at the block's end",
       vers + attributeRecord("TITL", "abcdef"),
       {{tags::kVersion, 4}, {tags::kTitle, 6}}},
  };
  for (const AttributeCase& c : cases) {
    SCOPED_TRACE(c.what);
    const AttributeList list = decodeAttributes(asBytes(c.block));
    ASSERT_EQ(list.size(), c.expected.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
      EXPECT_EQ(list[i].tag, c.expected[i].first);
      EXPECT_EQ(list[i].value.size(), c.expected[i].second);
    }
  }
}

TEST(Format, FixedWidthValuesUseTheirFirstBytesAndZeroFillShortOnes) {
  EXPECT_EQ(valueAsU32(asBytes("\x2a")), 0x2au);
  EXPECT_EQ(valueAsU32(asBytes("\x34\x12")), 0x1234u);
  EXPECT_EQ(valueAsU32(asBytes("\x01\x00\x00\x00\xff\xff\xff\xff")), 1u);
  EXPECT_EQ(valueAsU32(asBytes("\xff\xff\xff\xff")), 0xffffffffu);
  EXPECT_EQ(valueAsU32({}), 0u);

  const auto guid = valueAsBytes<10>(asBytes("\x01\x02"));
  EXPECT_EQ(guid[0], std::byte{1});
  EXPECT_EQ(guid[1], std::byte{2});
  for (std::size_t i = 2; i < guid.size(); ++i) {
    EXPECT_EQ(guid[i], std::byte{0}) << i;
  }
  const auto time = valueAsBytes<8>(asBytes("abcdefghij"));
  EXPECT_EQ(static_cast<char>(time[7]), 'h');
}

TEST(Format, TextIsUtf16LittleEndianWithAnOddLastByteDropped) {
  EXPECT_EQ(valueAsWideText(asBytes(Bytes("a\0\x5c\xd5x", 5))), u"a\xd55c");
  EXPECT_EQ(valueAsWideText(asBytes(Bytes("\0\0", 2))), std::u16string(1, u'\0'));
  EXPECT_EQ(valueAsWideText(asBytes("x")), u"");
}

// A store of texts decodes as valueAsWideText does, and every text it gave stays as it was
// whatever is added after it: short ones filling blocks, long ones taking blocks of their own
// between them, empty ones and odd lengths among them.
TEST(Format, StoredTextsStayWhateverComesAfter) {
  const std::size_t sizes[] = {0, 1, 3, 4095, 4096, 4097, 9, 16383, 16384, 16385, 2, 70000};
  std::vector<Bytes> values;
  for (int round = 0; round < 3; ++round) {
    for (const std::size_t size : sizes) {
      Bytes value = testing::pseudoRandomBytes(2 * size + (size % 2),
                                               static_cast<std::uint32_t>(values.size() + 1));
      values.push_back(std::move(value));
    }
  }
  WideTextStore store;
  std::vector<std::u16string_view> seen;
  for (const Bytes& value : values) {
    seen.push_back(store.add(asBytes(value)));
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(std::u16string(seen[i]), valueAsWideText(asBytes(values[i]))) << i;
  }
}

}  // namespace
}  // namespace kzb
