#include "zip_writer.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <limits>
#include <string>

#include "zip_format.h"

namespace kzb {
namespace {

// The one place that lays numbers into bytes: little-endian, at the offsets zip_format.h
// names, into a record whose size is fixed at compile time.
template <std::size_t N>
void store(std::array<std::byte, N>& record, std::size_t offset, std::uint64_t value,
           std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) {
    record.at(offset + i) = static_cast<std::byte>((value >> (8 * i)) & 0xff);
  }
}
template <std::size_t N>
void store16(std::array<std::byte, N>& record, std::size_t offset, std::uint16_t value) {
  store(record, offset, value, 2);
}
template <std::size_t N>
void store32(std::array<std::byte, N>& record, std::size_t offset, std::uint32_t value) {
  store(record, offset, value, 4);
}
template <std::size_t N>
void store64(std::array<std::byte, N>& record, std::size_t offset, std::uint64_t value) {
  store(record, offset, value, 8);
}

// Variable parts (names, extra fields) are appended in order.
void append(std::vector<std::byte>& out, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) {
    out.push_back(static_cast<std::byte>((value >> (8 * i)) & 0xff));
  }
}
void append(std::vector<std::byte>& out, std::string_view text) {
  for (const char c : text) {
    out.push_back(static_cast<std::byte>(c));
  }
}
template <std::size_t N>
void append(std::vector<std::byte>& out, const std::array<std::byte, N>& record) {
  out.insert(out.end(), record.begin(), record.end());
}

std::span<const std::byte> asBytes(const std::vector<std::byte>& bytes) {
  return bytes;
}

// The MS-DOS fields of `time` read as UTC: seconds in units of two, years from 1980. A time
// outside the years they can hold takes the nearest one they can.
void dosDateTime(std::chrono::sys_seconds time, std::uint16_t& dosDate, std::uint16_t& dosTime) {
  using namespace std::chrono;
  const sys_days first = year{zip::kDosFirstYear} / January / 1;
  const sys_seconds last =
      sys_days{year{zip::kDosLastYear} / December / 31} + hours{23} + minutes{59} + seconds{58};
  time = std::clamp<sys_seconds>(time, sys_seconds{first}, last);
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss<seconds> clock{time - day};
  const auto years = static_cast<unsigned>(static_cast<int>(date.year()) - zip::kDosFirstYear);
  dosDate = static_cast<std::uint16_t>(years << 9 | static_cast<unsigned>(date.month()) << 5 |
                                       static_cast<unsigned>(date.day()));
  const auto hour = static_cast<unsigned>(clock.hours().count());
  const auto minute = static_cast<unsigned>(clock.minutes().count());
  const auto second = static_cast<unsigned>(clock.seconds().count());
  dosTime = static_cast<std::uint16_t>(hour << 11 | minute << 5 | second / 2);
}

// zlib's bound on deflate's output for any parameters, in 64-bit arithmetic (deflateBound
// takes a 32-bit length on Windows).
std::uint64_t deflateWorstCase(std::uint64_t size) {
  return size + (size + 7) / 8 + (size + 63) / 64 + 5;
}

class ZipErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "zip"; }
  std::string message(int value) const override {
    switch (static_cast<ZipError>(value)) {
      case ZipError::nameTooLong:
        return "name too long for a ZIP header";
      case ZipError::sizeMismatch:
        return "member data does not match its size";
      case ZipError::noMemberOpen:
        return "no member begun";
      case ZipError::memberOpen:
        return "a member is still open";
      case ZipError::finished:
        return "the ZIP is already finished";
      case ZipError::deflateFailed:
        return "compression failed";
      case ZipError::commentTooLong:
        return "comment too long for a ZIP";
    }
    return "unknown ZIP error";
  }
};

}  // namespace

const std::error_category& zipCategory() {
  static const ZipErrorCategory category;
  return category;
}

std::error_code make_error_code(ZipError error) {
  return {static_cast<int>(error), zipCategory()};
}

// Raw deflate (no zlib header or trailer, as ZIP wants) through one zlib stream, reset for
// each member; its output goes to the sink a buffer at a time.
class ZipWriter::Deflater {
 public:
  Deflater() = default;
  ~Deflater() {
    if (ready_) {
      deflateEnd(&stream_);
    }
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  std::error_code start() {
    const int status = ready_ ? deflateReset(&stream_)
                              : deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED,
                                             -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    ready_ = ready_ || status == Z_OK;
    return status == Z_OK ? std::error_code{} : make_error_code(ZipError::deflateFailed);
  }

  // Compresses `bytes` (all of them), or with `finish` ends the stream; appends what zlib
  // gives to `sink`.
  std::error_code run(std::span<const std::byte> bytes, bool finish, ByteSink& sink) {
    // zlib counts in 32 bits: a larger block goes in slices.
    constexpr std::size_t kSlice = std::size_t{1} << 30;
    do {
      const std::size_t slice = std::min(bytes.size(), kSlice);
      const bool last = slice == bytes.size();
      // zlib's API takes a non-const pointer and never writes through it.
      stream_.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(bytes.data()));
      stream_.avail_in = static_cast<uInt>(slice);
      const int flush = finish && last ? Z_FINISH : Z_NO_FLUSH;
      int status = Z_OK;
      do {
        stream_.next_out = reinterpret_cast<Bytef*>(buffer_.data());
        stream_.avail_out = static_cast<uInt>(buffer_.size());
        status = deflate(&stream_, flush);
        if (status == Z_STREAM_ERROR) {
          return make_error_code(ZipError::deflateFailed);
        }
        const std::size_t produced = buffer_.size() - stream_.avail_out;
        if (produced > 0) {
          if (const std::error_code error = sink.append(std::span(buffer_).first(produced))) {
            return error;
          }
        }
      } while (stream_.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
      bytes = bytes.subspan(slice);
    } while (!bytes.empty());
    return {};
  }

 private:
  z_stream stream_{};
  bool ready_ = false;
  std::array<std::byte, std::size_t{64} * 1024> buffer_{};
};

ZipWriter::ZipWriter(ByteSink& sink, std::chrono::sys_seconds modified, ZipLimits limits)
    : sink_(sink), limits_(limits) {
  dosDateTime(modified, dosDate_, dosTime_);
  const auto seconds = modified.time_since_epoch().count();
  hasTimestamp_ = seconds >= 0 && seconds <= std::numeric_limits<std::int32_t>::max();
  unixTime_ = hasTimestamp_ ? static_cast<std::int32_t>(seconds) : 0;
}

ZipWriter::~ZipWriter() = default;

std::error_code ZipWriter::failWith(std::error_code error) {
  if (error && !failed_) {
    failed_ = error;
  }
  return error;
}

std::error_code ZipWriter::begin(std::string_view name, std::uint64_t size, ZipMethod method,
                                 bool timestamped) {
  if (failed_) {
    return failed_;
  }
  if (finished_) {
    return ZipError::finished;
  }
  if (memberOpen_) {
    return ZipError::memberOpen;
  }
  if (name.size() > zip::kMaxNameLength) {
    return ZipError::nameTooLong;
  }
  open_ = Member{};
  openName_ = name;
  open_.nameLength = static_cast<std::uint16_t>(name.size());
  open_.offset = sink_.size();
  open_.size = size;
  open_.timestamped = timestamped;
  open_.method = method == ZipMethod::deflated ? zip::kMethodDeflated : zip::kMethodStored;
  // The local header is written before the data, so whether its sizes need ZIP64 fields is
  // decided from the most the data can come to.
  const std::uint64_t mostStored = method == ZipMethod::deflated ? deflateWorstCase(size) : size;
  open_.zip64Sizes = std::max(size, mostStored) >= limits_.sizeOrOffset;
  const bool zip64 = open_.zip64Sizes || open_.offset >= limits_.sizeOrOffset;
  open_.versionNeeded = zip64                                  ? zip::kVersionZip64
                        : open_.method == zip::kMethodDeflated ? zip::kVersionDeflate
                                                               : zip::kVersionStored;
  if (method == ZipMethod::deflated) {
    if (!deflater_) {
      deflater_ = std::make_unique<Deflater>();
    }
    if (const std::error_code error = deflater_->start()) {
      return error;
    }
  }

  std::vector<std::byte> extra;
  if (open_.zip64Sizes) {
    append(extra, zip::kExtraZip64, 2);
    append(extra, 16, 2);
    append(extra, 0, 8);  // uncompressed size, patched by end()
    append(extra, 0, 8);  // compressed size, patched by end()
  }
  if (hasTimestamp_ && open_.timestamped) {
    append(extra, zip::kExtraTimestamp, 2);
    append(extra, zip::kTimestampDataSize, 2);
    append(extra, zip::kTimestampModified, 1);
    append(extra, static_cast<std::uint32_t>(unixTime_), 4);
  }
  std::array<std::byte, zip::local::kSize> header{};
  store32(header, 0, zip::local::kSignature);
  store16(header, zip::local::kVersionNeeded, open_.versionNeeded);
  store16(header, zip::local::kFlags, zip::kFlagUtf8);
  store16(header, zip::local::kMethod, open_.method);
  store16(header, zip::local::kTime, dosTime_);
  store16(header, zip::local::kDate, dosDate_);
  // CRC-32 and sizes are patched by end(); the markers say the sizes are in the extra field.
  if (open_.zip64Sizes) {
    store32(header, zip::local::kCompressedSize, zip::kMarker32);
    store32(header, zip::local::kUncompressedSize, zip::kMarker32);
  }
  store16(header, zip::local::kNameLength, static_cast<std::uint16_t>(name.size()));
  store16(header, zip::local::kExtraLength, static_cast<std::uint16_t>(extra.size()));
  std::vector<std::byte> record;
  record.reserve(header.size() + name.size() + extra.size());
  append(record, header);
  append(record, name);
  record.insert(record.end(), extra.begin(), extra.end());
  if (const std::error_code error = sink_.append(asBytes(record))) {
    return failWith(error);
  }
  memberOpen_ = true;
  written_ = 0;
  dataStart_ = sink_.size();
  return {};
}

std::error_code ZipWriter::data(std::span<const std::byte> bytes,
                                std::optional<std::uint64_t> sourceOffset) {
  if (failed_) {
    return failed_;
  }
  if (!memberOpen_) {
    return ZipError::noMemberOpen;
  }
  if (bytes.size() > open_.size - written_) {
    return ZipError::sizeMismatch;
  }
  written_ += bytes.size();
  open_.crc32 = static_cast<std::uint32_t>(
      crc32_z(open_.crc32, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
  return appendData(bytes, sourceOffset);
}

bool ZipWriter::takesDataInPlace() const {
  return memberOpen_ && open_.method == zip::kMethodStored && sink_.keepsPlaces();
}

std::error_code ZipWriter::dataInPlace(std::uint64_t sourceOffset) {
  if (failed_) {
    return failed_;
  }
  if (!memberOpen_) {
    return ZipError::noMemberOpen;
  }
  if (!takesDataInPlace() || written_ != 0) {
    return std::make_error_code(std::errc::operation_not_supported);
  }
  written_ = open_.size;
  open_.crcSource = sourceOffset;
  open_.crcInPlace = true;
  return failWith(sink_.appendPlaceOf(open_.size, sourceOffset));
}

std::error_code ZipWriter::deferCrc32(std::uint64_t fieldOffset, const Member& member) {
  return member.crcInPlace ? sink_.deferCrc32(fieldOffset, member.crcSource, member.size)
                           : std::error_code{};
}

std::error_code ZipWriter::appendData(std::span<const std::byte> bytes,
                                      std::optional<std::uint64_t> sourceOffset) {
  if (open_.method == zip::kMethodDeflated) {
    const std::error_code error = deflater_->run(bytes, false, sink_);
    return error == ZipError::deflateFailed ? error : failWith(error);
  }
  if (bytes.empty()) {
    return {};
  }
  return failWith(sourceOffset ? sink_.appendCopyOf(bytes, *sourceOffset) : sink_.append(bytes));
}

std::error_code ZipWriter::end() {
  if (failed_) {
    return failed_;
  }
  if (!memberOpen_) {
    return ZipError::noMemberOpen;
  }
  if (written_ != open_.size) {
    return ZipError::sizeMismatch;
  }
  if (open_.method == zip::kMethodDeflated) {
    if (const std::error_code error = deflater_->run({}, true, sink_)) {
      return error == ZipError::deflateFailed ? error : failWith(error);
    }
  }
  open_.compressedSize = sink_.size() - dataStart_;
  if (const std::error_code error = patchLocalHeader()) {
    return failWith(error);
  }
  if (const std::error_code error = deferCrc32(open_.offset + zip::local::kCrc32, open_)) {
    return failWith(error);
  }
  // A block holds names up to kNamesBlock bytes, and a name longer than that a block alone.
  constexpr std::size_t kNamesBlock = std::size_t{64} * 1024;
  if (names_.empty() || names_.back().size() + openName_.size() > names_.back().capacity()) {
    names_.emplace_back().reserve(std::max(kNamesBlock, openName_.size()));
  }
  open_.nameBlock = static_cast<std::uint32_t>(names_.size() - 1);
  open_.nameAt = static_cast<std::uint32_t>(names_.back().size());
  names_.back() += openName_;
  directory_.push_back(open_);
  memberOpen_ = false;
  return {};
}

// The fields begin() left for later: the CRC-32, and the sizes in the header or, where it
// holds markers, in the ZIP64 extra field right after the name.
std::error_code ZipWriter::patchLocalHeader() {
  std::array<std::byte, 16> fields{};
  store32(fields, 0, open_.crc32);
  if (!open_.zip64Sizes) {
    store32(fields, 4, static_cast<std::uint32_t>(open_.compressedSize));
    store32(fields, 8, static_cast<std::uint32_t>(open_.size));
    return sink_.overwrite(open_.offset + zip::local::kCrc32, std::span(fields).first(12));
  }
  if (const std::error_code error =
          sink_.overwrite(open_.offset + zip::local::kCrc32, std::span(fields).first(4))) {
    return error;
  }
  store64(fields, 0, open_.size);
  store64(fields, 8, open_.compressedSize);
  const std::uint64_t zip64Values =
      open_.offset + zip::local::kSize + open_.nameLength + zip::kExtraHeaderSize;
  return sink_.overwrite(zip64Values, fields);
}

std::string_view ZipWriter::nameOf(const Member& member) const {
  return std::string_view(names_[member.nameBlock]).substr(member.nameAt, member.nameLength);
}

std::error_code ZipWriter::drop() {
  if (failed_) {
    return failed_;
  }
  if (!memberOpen_) {
    return ZipError::noMemberOpen;
  }
  memberOpen_ = false;
  return failWith(sink_.truncate(open_.offset));
}

std::error_code ZipWriter::finish(std::string_view comment) {
  if (failed_) {
    return failed_;
  }
  if (finished_) {
    return ZipError::finished;
  }
  if (memberOpen_) {
    return ZipError::memberOpen;
  }
  if (comment.size() > zip::end::kMaxCommentLength) {
    return ZipError::commentTooLong;
  }
  const std::uint64_t directoryOffset = sink_.size();
  if (const std::error_code error = appendCentralDirectory()) {
    return failWith(error);
  }
  if (const std::error_code error =
          appendEndRecords(directoryOffset, sink_.size() - directoryOffset, comment)) {
    return failWith(error);
  }
  finished_ = true;
  return {};
}

// One header per member, in the order they were written; the headers go to the sink a
// buffer at a time.
std::error_code ZipWriter::appendCentralDirectory() {
  constexpr std::size_t kFlushAt = std::size_t{64} * 1024;
  std::vector<std::byte> buffer;
  for (const Member& member : directory_) {
    const bool zip64Offset = member.offset >= limits_.sizeOrOffset;
    std::vector<std::byte> extra;
    if (member.zip64Sizes || zip64Offset) {
      append(extra, zip::kExtraZip64, 2);
      append(extra, (member.zip64Sizes ? 16u : 0u) + (zip64Offset ? 8u : 0u), 2);
      if (member.zip64Sizes) {
        append(extra, member.size, 8);
        append(extra, member.compressedSize, 8);
      }
      if (zip64Offset) {
        append(extra, member.offset, 8);
      }
    }
    if (hasTimestamp_ && member.timestamped) {
      append(extra, zip::kExtraTimestamp, 2);
      append(extra, zip::kTimestampDataSize, 2);
      append(extra, zip::kTimestampModified, 1);
      append(extra, static_cast<std::uint32_t>(unixTime_), 4);
    }
    std::array<std::byte, zip::central::kSize> header{};
    store32(header, 0, zip::central::kSignature);
    store16(header, zip::central::kVersionMadeBy, zip::kVersionMadeBy);
    store16(header, zip::central::kVersionNeeded, member.versionNeeded);
    store16(header, zip::central::kFlags, zip::kFlagUtf8);
    store16(header, zip::central::kMethod, member.method);
    store16(header, zip::central::kTime, dosTime_);
    store16(header, zip::central::kDate, dosDate_);
    store32(header, zip::central::kCrc32, member.crc32);
    store32(header, zip::central::kCompressedSize,
            member.zip64Sizes ? zip::kMarker32 : static_cast<std::uint32_t>(member.compressedSize));
    store32(header, zip::central::kUncompressedSize,
            member.zip64Sizes ? zip::kMarker32 : static_cast<std::uint32_t>(member.size));
    store16(header, zip::central::kNameLength, member.nameLength);
    store16(header, zip::central::kExtraLength, static_cast<std::uint16_t>(extra.size()));
    store32(header, zip::central::kExternalAttributes, zip::kExternalAttributesFile);
    store32(header, zip::central::kLocalHeaderOffset,
            zip64Offset ? zip::kMarker32 : static_cast<std::uint32_t>(member.offset));
    if (const std::error_code error =
            deferCrc32(sink_.size() + buffer.size() + zip::central::kCrc32, member)) {
      return error;
    }
    append(buffer, header);
    append(buffer, nameOf(member));
    buffer.insert(buffer.end(), extra.begin(), extra.end());
    if (buffer.size() >= kFlushAt) {
      if (const std::error_code error = sink_.append(asBytes(buffer))) {
        return error;
      }
      buffer.clear();
    }
  }
  return buffer.empty() ? std::error_code{} : sink_.append(asBytes(buffer));
}

// The end record, preceded by the ZIP64 end record and its locator when the count, the
// directory's size or its offset reaches the limits.
std::error_code ZipWriter::appendEndRecords(std::uint64_t directoryOffset,
                                            std::uint64_t directorySize,
                                            std::string_view comment) {
  const std::uint64_t count = directory_.size();
  const bool countTooLarge = count >= limits_.memberCount;
  const bool sizeTooLarge = directorySize >= limits_.sizeOrOffset;
  const bool offsetTooLarge = directoryOffset >= limits_.sizeOrOffset;
  std::vector<std::byte> records;
  if (countTooLarge || sizeTooLarge || offsetTooLarge) {
    const std::uint64_t end64Offset = sink_.size();
    std::array<std::byte, zip::end64::kSize> end64{};
    store32(end64, 0, zip::end64::kSignature);
    store64(end64, zip::end64::kRecordSize, zip::end64::kSize - 12);
    store16(end64, zip::end64::kVersionMadeBy, zip::kVersionMadeBy);
    store16(end64, zip::end64::kVersionNeeded, zip::kVersionZip64);
    store64(end64, zip::end64::kEntriesOnDisk, count);
    store64(end64, zip::end64::kEntries, count);
    store64(end64, zip::end64::kDirectorySize, directorySize);
    store64(end64, zip::end64::kDirectoryOffset, directoryOffset);
    append(records, end64);
    std::array<std::byte, zip::locator64::kSize> locator{};
    store32(locator, 0, zip::locator64::kSignature);
    store64(locator, zip::locator64::kEnd64Offset, end64Offset);
    store32(locator, zip::locator64::kDisks, 1);
    append(records, locator);
  }
  const auto count16 = countTooLarge ? zip::kMarker16 : static_cast<std::uint16_t>(count);
  std::array<std::byte, zip::end::kSize> end{};
  store32(end, 0, zip::end::kSignature);
  store16(end, zip::end::kEntriesOnDisk, count16);
  store16(end, zip::end::kEntries, count16);
  store32(end, zip::end::kDirectorySize,
          sizeTooLarge ? zip::kMarker32 : static_cast<std::uint32_t>(directorySize));
  store32(end, zip::end::kDirectoryOffset,
          offsetTooLarge ? zip::kMarker32 : static_cast<std::uint32_t>(directoryOffset));
  store16(end, zip::end::kCommentLength, static_cast<std::uint16_t>(comment.size()));
  append(records, end);
  append(records, comment);
  return sink_.append(asBytes(records));
}

}  // namespace kzb
