// Writes KZB containers byte by byte, for tests, the bundled sample and the benchmark.
//
// Chunk builds one chunk and its descendants; every length it writes can be overridden, so
// that a malformed container takes a line or two. buildContainer lays out a whole
// well-formed container from a publication and its files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kzb::testing {

// Raw bytes, held in a string because that is what streams and files take.
using Bytes = std::string;

Bytes le32(std::uint32_t value);
Bytes utf16le(std::u16string_view text);
std::u16string utf16FromUtf8(std::string_view text);
std::uint32_t crc32(std::string_view bytes, std::uint32_t crc = 0);
// The same bytes for the same size and seed on every run: payloads that do not compress.
Bytes pseudoRandomBytes(std::size_t size, std::uint32_t seed = 2463534242u);

// One attribute record: tag, length (the value's size unless `statedLength` is given), value.
Bytes attributeRecord(std::string_view tag, std::string_view value,
                      std::optional<std::int32_t> statedLength = std::nullopt);

class Chunk {
 public:
  explicit Chunk(std::string_view tag);

  // Attribute block.
  Chunk& attribute(std::string_view tag, std::string_view value,
                   std::optional<std::int32_t> statedLength = std::nullopt);
  Chunk& u32(std::string_view tag, std::uint32_t value) { return attribute(tag, le32(value)); }
  Chunk& text(std::string_view tag, std::u16string_view value) {
    return attribute(tag, utf16le(value));
  }
  Chunk& rawAttributes(std::string_view bytes);  // appended to the block as they stand

  // Children and payload.
  Chunk& child(const Chunk& chunk);
  Chunk& rawChildren(std::string_view bytes);
  Chunk& payload(std::string_view bytes);

  // The header states these instead of the real lengths.
  Chunk& statedAttributeLength(std::int32_t length);
  Chunk& statedChildrenLength(std::int32_t length);
  Chunk& statedPayloadLength(std::int32_t length);

  Bytes bytes() const;
  std::size_t size() const { return 16 + attributes_.size() + children_.size() + payload_.size(); }

 private:
  Bytes tag_;
  Bytes attributes_;
  Bytes children_;
  Bytes payload_;
  std::optional<std::int32_t> attributeLength_;
  std::optional<std::int32_t> childrenLength_;
  std::optional<std::int32_t> payloadLength_;
};

// A "FINF" chunk: one row of the file table.
Chunk fileInfo(std::u16string_view name, std::uint32_t position = 0, std::uint32_t size = 0);

// A chunk header alone, with the lengths given.
Bytes chunkHeader(std::string_view tag, std::int32_t attributeLength, std::int32_t childrenLength,
                  std::int32_t payloadLength);

struct StoredFile {
  std::u16string name;
  Bytes data;                    // the file's bytes, unless `source` is set
  std::filesystem::path source;  // a file to stream the bytes from
};

struct Publication {
  std::uint32_t version = 0x0100;
  std::optional<std::uint32_t> bindingDirection;
  std::vector<std::pair<std::string, std::u16string>> texts;  // {"TITL", u"..."}, in order
  std::vector<StoredFile> files;
  bool recordCrc32 = true;  // add "CRC3" to each "FINF"
};

// Root "KZB0" (VERS, FSIZ), then "HEAD", one "FINF" per file, one "FILE" per file, in the
// order given. The positions, sizes and CRC-32 values recorded are the real ones.
void writeContainer(std::ostream& out, const Publication& publication);
Bytes buildContainer(const Publication& publication);

// The container with the tag of its `index`th "FILE" chunk replaced, so that no stored file
// stands at that row's position while the walk still steps over the chunk.
Bytes withoutFileChunk(Bytes container, std::size_t index);

}  // namespace kzb::testing
