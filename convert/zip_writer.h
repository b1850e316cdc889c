// ZipWriter: streams a ZIP into a ByteSink, one member at a time (layout: zip_format.h).
//
// What holds:
//  - Each member is a local header, its name and extra fields, then its data, stored as given
//    or as raw deflate; when the member ends, its CRC-32 and sizes are patched into its local
//    header, so no data descriptors follow the data and a reader that streams the file finds
//    every member complete.
//  - A member that fails part-way is dropped: the sink is cut back to where it began, and the
//    ZIP is as if it had never been begun.
//  - Every name carries the UTF-8 flag. ZIP64 fields appear only where a size, an offset or the
//    count of members reaches ZipLimits (the format's own limits unless a test lowers them).
//  - Every member carries the same time, given once, in UTC: the MS-DOS fields hold it as UTC
//    (not the local time of the machine that writes, so the same input gives the same bytes
//    everywhere), and an extended timestamp holds the instant itself for the readers that
//    take it.
//  - Memory does not grow with the size of the data: only the central directory's fields (a
//    name and a few numbers per member) are kept until finish().
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <vector>

#include "byte_sink.h"

namespace kzb {

// What the writer itself refuses; the sink's own errors come back as the sink gave them.
enum class ZipError {
  nameTooLong = 1,  // the UTF-8 name has more bytes than a header can describe
  sizeMismatch,     // the data does not add up to the size begin() was given
  noMemberOpen,     // data(), end() or drop() without a member begun
  memberOpen,       // begin() or finish() while a member is open
  finished,         // anything after finish()
  deflateFailed,    // zlib could not compress (out of memory)
  commentTooLong,   // the ZIP's comment has more bytes than the end record can describe
};

const std::error_category& zipCategory();
std::error_code make_error_code(ZipError error);

}  // namespace kzb

template <>
struct std::is_error_code_enum<kzb::ZipError> : std::true_type {};

namespace kzb {

struct ZipLimits {
  // A size or an offset at or past this goes into ZIP64 fields.
  std::uint64_t sizeOrOffset = 0xFFFFFFFF;
  // A count of members at or past this goes into the ZIP64 end record.
  std::uint64_t memberCount = 0xFFFF;
};

enum class ZipMethod { stored, deflated };

class ZipWriter {
 public:
  // Writes from the sink's current end on. Every member's time is `modified`.
  ZipWriter(ByteSink& sink, std::chrono::sys_seconds modified, ZipLimits limits = {});
  ~ZipWriter();
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  // The run, in order: begin, data as often as the bytes come, then end (or drop); once every
  // member is written, finish. A sink error is final: that call and every later one return
  // it, and the sink's bytes are no ZIP.
  //
  // Starts a member of `size` uncompressed bytes under `name` (UTF-8, taken as it is).
  // Without `timestamped`, the member carries no extended timestamp, and so no extra field
  // unless ZIP64 needs one: an EPUB's mimetype must have none.
  std::error_code begin(std::string_view name, std::uint64_t size, ZipMethod method,
                        bool timestamped = true);
  // The member's next bytes; more than `size` in all is sizeMismatch, and the member stays
  // open for drop(). With `sourceOffset`, the bytes are the container's from there on, and a
  // stored member's go to the sink as such (ByteSink::appendCopyOf).
  std::error_code data(std::span<const std::byte> bytes,
                       std::optional<std::uint64_t> sourceOffset = std::nullopt);
  // For a stored member, to a sink that keeps places: the member's whole data is the
  // container's from `sourceOffset` on, left unread, and its CRC-32 in both headers is left to
  // the sink (ByteSink::deferCrc32). Given before any data(); then end() follows.
  std::error_code dataInPlace(std::uint64_t sourceOffset);
  bool takesDataInPlace() const;
  // Completes the member: its CRC-32 and sizes go into its local header.
  std::error_code end();
  // Forgets the member: the sink is truncated to where it began.
  std::error_code drop();
  // Writes the central directory, the ZIP64 end records where needed, the end record and the
  // ZIP's comment (at most 65,535 bytes, taken as it is).
  std::error_code finish(std::string_view comment = {});

  // Members ended so far.
  std::size_t members() const { return directory_.size(); }

 private:
  // What the central directory needs of one member: its name is kept in names_, so that a
  // ZIP of many members holds each name once, in blocks that never move as they grow.
  struct Member {
    std::uint64_t offset = 0;  // of its local header
    std::uint64_t size = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t crcSource = 0;  // crcInPlace: where the data is, unread
    std::uint32_t nameBlock = 0;  // where its name is in names_
    std::uint32_t nameAt = 0;
    std::uint32_t crc32 = 0;
    std::uint16_t nameLength = 0;
    std::uint16_t method = 0;
    std::uint16_t versionNeeded = 0;
    bool zip64Sizes = false;   // both sizes in the ZIP64 extra field, in both headers
    bool timestamped = true;   // an extended timestamp in both headers, where the time fits
    bool crcInPlace = false;   // dataInPlace: the CRC-32 is the sink's to work out
  };
  class Deflater;

  std::error_code failWith(std::error_code error);
  std::error_code appendData(std::span<const std::byte> bytes,
                             std::optional<std::uint64_t> sourceOffset);
  std::error_code patchLocalHeader();
  std::error_code deferCrc32(std::uint64_t fieldOffset, const Member& member);
  std::error_code appendCentralDirectory();
  std::error_code appendEndRecords(std::uint64_t directoryOffset, std::uint64_t directorySize,
                                   std::string_view comment);

  ByteSink& sink_;
  ZipLimits limits_;
  std::uint16_t dosTime_ = 0;
  std::uint16_t dosDate_ = 0;
  bool hasTimestamp_ = false;  // the time fits the extended timestamp's 32 bits
  std::int32_t unixTime_ = 0;

  std::string_view nameOf(const Member& member) const;

  std::deque<Member> directory_;  // grows without moving what it holds
  std::vector<std::string> names_;  // the ended members' names, one block after another
  Member open_;  // the member between begin() and end()
  std::string openName_;
  bool memberOpen_ = false;
  std::uint64_t written_ = 0;    // uncompressed bytes of the open member so far
  std::uint64_t dataStart_ = 0;  // sink offset of the open member's data
  std::unique_ptr<Deflater> deflater_;
  bool finished_ = false;
  std::error_code failed_;
};

}  // namespace kzb
