// The KZB container's byte layout: chunk and attribute tags, the chunk header, the
// result codes of the reader and the extractor. Every other file learns the format here.
//
// A container is one chunk (the root) at offset 0. A chunk is four regions, back to back:
//
//   header (16) | attribute block | children (whole chunks) | payload
//
// All integers are little-endian; the three lengths are signed 32-bit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kzb {

// A tag is four ASCII bytes in file order, compared as one little-endian 32-bit word.
using Tag = std::uint32_t;

constexpr Tag makeTag(std::string_view text) {
  return static_cast<Tag>(static_cast<unsigned char>(text[0])) |
         static_cast<Tag>(static_cast<unsigned char>(text[1])) << 8 |
         static_cast<Tag>(static_cast<unsigned char>(text[2])) << 16 |
         static_cast<Tag>(static_cast<unsigned char>(text[3])) << 24;
}

namespace tags {
// Chunks.
inline constexpr Tag kRoot = makeTag("KZB0");      // the container's root; carries VERS, FSIZ
inline constexpr Tag kHead = makeTag("HEAD");      // publication metadata
inline constexpr Tag kFileInfo = makeTag("FINF");  // one row of the file table
inline constexpr Tag kFile = makeTag("FILE");      // one stored file: header, then its bytes

// Attributes of "KZB0".
inline constexpr Tag kVersion = makeTag("VERS");     // 4, version of the tool that built it
inline constexpr Tag kFileLength = makeTag("FSIZ");  // 4, the container's length as recorded

// Attributes of "HEAD".
inline constexpr Tag kGuid = makeTag("GUID");              // 10 opaque bytes
inline constexpr Tag kUuid = makeTag("UUID");              // 10 opaque bytes
inline constexpr Tag kFileTime = makeTag("FTIM");          // 8 opaque bytes
inline constexpr Tag kBindingDirection = makeTag("DIRE");  // 4: 1 = L->R, 2 = R->L
inline constexpr Tag kTitle = makeTag("TITL");             // UTF-16LE text
inline constexpr Tag kIsbn = makeTag("ISBN");              // UTF-16LE text
inline constexpr Tag kWriter = makeTag("WRTR");            // UTF-16LE text
inline constexpr Tag kPublisher = makeTag("PUBL");         // UTF-16LE text
inline constexpr Tag kCreatedAt = makeTag("DATE");         // UTF-16LE text
inline constexpr Tag kGenre = makeTag("GENR");             // UTF-16LE text
inline constexpr Tag kCopyright = makeTag("COPY");         // UTF-16LE text
inline constexpr Tag kWebLink = makeTag("LINK");           // UTF-16LE text
inline constexpr Tag kConvertedBy = makeTag("MAKR");       // UTF-16LE text
inline constexpr Tag kComment = makeTag("COMT");           // UTF-16LE text

// Attributes of "FINF".
inline constexpr Tag kName = makeTag("NAME");          // UTF-16LE text, the stored file's name
inline constexpr Tag kPosition = makeTag("POS4");      // 4, absolute offset of its "FILE" chunk
inline constexpr Tag kSize = makeTag("SIZE");          // 4, equals that chunk's payloadLength
inline constexpr Tag kCrc32 = makeTag("CRC3");         // 4, recorded, never checked
inline constexpr Tag kModifiedTime = makeTag("MTIM");  // 8 opaque bytes
}  // namespace tags

inline constexpr std::size_t kChunkHeaderSize = 16;
inline constexpr std::size_t kAttributeHeaderSize = 8;  // tag, then the value's length

struct ChunkHeader {
  Tag tag = 0;
  std::int32_t attributeLength = 0;  // a non-positive length means the block is absent
  std::int32_t childrenLength = 0;   // the sum of the children's total lengths
  std::int32_t payloadLength = 0;
};

// Decodes the 16 bytes of a chunk header as stored.
ChunkHeader decodeChunkHeader(std::span<const std::byte, kChunkHeaderSize> bytes);

// How deep chunks may nest (the root is level 1). Real containers use three levels; the
// limit exists so that a file cannot make the walk exhaust the stack.
inline constexpr int kMaxNestingDepth = 256;

// Results of ArchiveReader::open and ArchiveReader::extractEntry.
inline constexpr int ResultSuccess = 0;
inline constexpr int ResultNotAvailable = -1;      // no such row, cannot open/create, unsafe name
inline constexpr int ResultParseFailed = 1001;     // the walk stopped early: truncated or malformed
inline constexpr int ResultReadFailed = 1002;      // the system could not read the container
inline constexpr int ResultNotFileChunk = 2001;    // no "FILE" chunk of the entry's size there
inline constexpr int ResultTruncated = 2002;       // the container ends inside the payload
inline constexpr int ResultWriteFailed = 2003;     // the output file could not be written
inline constexpr int ResultIsTheContainer = 2004;  // the entry's name is the container being read
inline constexpr int ResultPayloadReadFailed = 2005;  // the system could not read the payload
// The container ends inside the payload, and since a file of that name already stood in
// the working directory, it was kept and the cut copy dropped.
inline constexpr int ResultTruncatedKeptExisting = 2006;
// The file system takes the entry's name for that of a file extracted earlier in the run
// (case folding, say); the earlier file was kept and this entry not extracted.
inline constexpr int ResultSameFileAsEarlier = 2007;
// The file system cannot store the entry's name (a FUSE exFAT driver and ':', say).
inline constexpr int ResultNameRefused = 2008;

}  // namespace kzb
