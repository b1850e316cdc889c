// The ZIP layout this tool writes: every record's signature, fixed size and field offsets, the
// version numbers, flags, methods and extra fields, and the limits past which ZIP64 records
// take over. Every other file learns the ZIP format here.
//
// A ZIP written here is, front to back:
//
//   for each member: local header | name | extra fields | data (stored or raw deflate)
//   central directory: one header per member (name, extra fields, no comment)
//   [ZIP64 end of central directory record | ZIP64 end locator]   only where a value needs it
//   end of central directory record | the ZIP's comment
//
// No data descriptors: each local header's CRC-32 and sizes are written into it once the data
// is known, so a reader that streams the file front to back finds them where it looks.
// All integers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kzb::zip {

// Local file header: starts each member, followed by the name and the extra fields.
namespace local {
inline constexpr std::uint32_t kSignature = 0x04034b50;  // "PK\3\4"
inline constexpr std::size_t kSize = 30;                 // up to the name
inline constexpr std::size_t kVersionNeeded = 4;         // 2
inline constexpr std::size_t kFlags = 6;                 // 2, general purpose bit flag
inline constexpr std::size_t kMethod = 8;                // 2
inline constexpr std::size_t kTime = 10;                 // 2, MS-DOS time
inline constexpr std::size_t kDate = 12;                 // 2, MS-DOS date
inline constexpr std::size_t kCrc32 = 14;                // 4, of the uncompressed bytes
inline constexpr std::size_t kCompressedSize = 18;       // 4, or kMarker32 and ZIP64 extra
inline constexpr std::size_t kUncompressedSize = 22;     // 4, or kMarker32 and ZIP64 extra
inline constexpr std::size_t kNameLength = 26;           // 2
inline constexpr std::size_t kExtraLength = 28;          // 2
}  // namespace local

// Central directory header: one per member, in member order, followed by the name, the extra
// fields and the comment.
namespace central {
inline constexpr std::uint32_t kSignature = 0x02014b50;  // "PK\1\2"
inline constexpr std::size_t kSize = 46;                 // up to the name
inline constexpr std::size_t kVersionMadeBy = 4;         // 2: host system << 8 | version
inline constexpr std::size_t kVersionNeeded = 6;         // 2
inline constexpr std::size_t kFlags = 8;                 // 2
inline constexpr std::size_t kMethod = 10;               // 2
inline constexpr std::size_t kTime = 12;                 // 2
inline constexpr std::size_t kDate = 14;                 // 2
inline constexpr std::size_t kCrc32 = 16;                // 4
inline constexpr std::size_t kCompressedSize = 20;       // 4, or kMarker32
inline constexpr std::size_t kUncompressedSize = 24;     // 4, or kMarker32
inline constexpr std::size_t kNameLength = 28;           // 2
inline constexpr std::size_t kExtraLength = 30;          // 2
inline constexpr std::size_t kCommentLength = 32;        // 2, always 0 here
inline constexpr std::size_t kDiskStart = 34;            // 2, always 0: one disk
inline constexpr std::size_t kInternalAttributes = 36;   // 2, 0: binary data
inline constexpr std::size_t kExternalAttributes = 38;   // 4, Unix mode << 16 for a Unix host
inline constexpr std::size_t kLocalHeaderOffset = 42;    // 4, or kMarker32
}  // namespace central

// ZIP64 end of central directory record: the end record's counts and offsets at 64 bits.
namespace end64 {
inline constexpr std::uint32_t kSignature = 0x06064b50;  // "PK\6\6"
inline constexpr std::size_t kSize = 56;                 // with no extensible data
inline constexpr std::size_t kRecordSize = 4;            // 8: the size of what follows it (44)
inline constexpr std::size_t kVersionMadeBy = 12;        // 2
inline constexpr std::size_t kVersionNeeded = 14;        // 2
inline constexpr std::size_t kDisk = 16;                 // 4, 0
inline constexpr std::size_t kDirectoryDisk = 20;        // 4, 0
inline constexpr std::size_t kEntriesOnDisk = 24;        // 8
inline constexpr std::size_t kEntries = 32;              // 8
inline constexpr std::size_t kDirectorySize = 40;        // 8
inline constexpr std::size_t kDirectoryOffset = 48;      // 8
}  // namespace end64

// ZIP64 end of central directory locator: right before the end record, where the record
// above stands.
namespace locator64 {
inline constexpr std::uint32_t kSignature = 0x07064b50;  // "PK\6\7"
inline constexpr std::size_t kSize = 20;
inline constexpr std::size_t kEnd64Disk = 4;    // 4, 0
inline constexpr std::size_t kEnd64Offset = 8;  // 8
inline constexpr std::size_t kDisks = 16;       // 4, 1
}  // namespace locator64

// End of central directory record: the last bytes of the file.
namespace end {
inline constexpr std::uint32_t kSignature = 0x06054b50;  // "PK\5\6"
inline constexpr std::size_t kSize = 22;                 // the comment follows
inline constexpr std::size_t kDisk = 4;                  // 2, 0
inline constexpr std::size_t kDirectoryDisk = 6;         // 2, 0
inline constexpr std::size_t kEntriesOnDisk = 8;         // 2, or kMarker16
inline constexpr std::size_t kEntries = 10;              // 2, or kMarker16
inline constexpr std::size_t kDirectorySize = 12;        // 4, or kMarker32
inline constexpr std::size_t kDirectoryOffset = 16;      // 4, or kMarker32
inline constexpr std::size_t kCommentLength = 20;        // 2
inline constexpr std::size_t kMaxCommentLength = 0xFFFF;
}  // namespace end

// A field that holds its marker says "see the ZIP64 field instead".
inline constexpr std::uint32_t kMarker32 = 0xFFFFFFFF;
inline constexpr std::uint16_t kMarker16 = 0xFFFF;

// The largest name and extra-field block a header can describe (16-bit lengths).
inline constexpr std::size_t kMaxNameLength = 0xFFFF;

// Version needed to extract, as 10 * major + minor, the least for what a member uses.
inline constexpr std::uint16_t kVersionStored = 10;   // 1.0
inline constexpr std::uint16_t kVersionDeflate = 20;  // 2.0
inline constexpr std::uint16_t kVersionZip64 = 45;    // 4.5
// Version made by: the host system in the high byte and the version of the format this
// writer follows (6.3, which defined the UTF-8 flag) in the low byte. A Unix host, so that
// external attributes carry a Unix mode that extracting tools apply.
inline constexpr std::uint16_t kHostUnix = 3;
inline constexpr std::uint16_t kVersionMadeBy = kHostUnix << 8 | 63;
// External attributes: a regular file, rw-r--r--, in the high 16 bits.
inline constexpr std::uint32_t kExternalAttributesFile = 0100644u << 16;

// General purpose bit flag.
inline constexpr std::uint16_t kFlagUtf8 = 1u << 11;  // name (and comment) are UTF-8

// Compression methods.
inline constexpr std::uint16_t kMethodStored = 0;
inline constexpr std::uint16_t kMethodDeflated = 8;  // raw deflate, no zlib header

// Extra fields: id (2), data size (2), data.
inline constexpr std::size_t kExtraHeaderSize = 4;
// ZIP64 extended information: 8-byte values, only those whose header field holds kMarker32,
// in this order: uncompressed size, compressed size, local header offset. In a local header
// both sizes are present whenever the field is.
inline constexpr std::uint16_t kExtraZip64 = 0x0001;
// Extended timestamp ("UT"): flags (1; bit 0: modification time present), then the
// modification time as signed 32-bit seconds since 1970 UTC. Local and central alike here.
inline constexpr std::uint16_t kExtraTimestamp = 0x5455;
inline constexpr std::uint8_t kTimestampModified = 1;
inline constexpr std::size_t kTimestampDataSize = 5;

// MS-DOS date and time: the years they can hold.
inline constexpr int kDosFirstYear = 1980;
inline constexpr int kDosLastYear = 2107;

}  // namespace kzb::zip
