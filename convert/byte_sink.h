// Where a ZIP goes: a file that grows at its end, with the few other moves the writer needs
// (patching a header it wrote earlier, rolling back a member that failed). The command gives
// it its output file; MemorySink holds it in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <system_error>
#include <vector>

namespace kzb {

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Adds the bytes at the end.
  virtual std::error_code append(std::span<const std::byte> bytes) = 0;
  // Adds the bytes at the end, where they are a copy of the container's from `sourceOffset`
  // on. A sink that can keep the place instead of the bytes does (ZipLayout); any other
  // appends them.
  virtual std::error_code appendCopyOf(std::span<const std::byte> bytes,
                                       std::uint64_t sourceOffset) {
    static_cast<void>(sourceOffset);
    return append(bytes);
  }
  // Whether the sink keeps places in the container rather than bytes, so that a stored
  // member's data may be given as a place alone (appendPlaceOf, deferCrc32).
  virtual bool keepsPlaces() const { return false; }
  // Adds at the end the container's `length` bytes from `sourceOffset` on, unread. Only a
  // sink that keepsPlaces() takes it; any other gives operation_not_supported.
  virtual std::error_code appendPlaceOf(std::uint64_t length, std::uint64_t sourceOffset) {
    static_cast<void>(length);
    static_cast<void>(sourceOffset);
    return std::make_error_code(std::errc::operation_not_supported);
  }
  // The four bytes at `fieldOffset` (appended, or to be appended) stand for the CRC-32 of the
  // container's `length` bytes from `sourceOffset` on, which the sink works out when they are
  // wanted; the bytes appended there are placeholders. Only a sink that keepsPlaces() takes it.
  virtual std::error_code deferCrc32(std::uint64_t fieldOffset, std::uint64_t sourceOffset,
                                     std::uint64_t length) {
    static_cast<void>(fieldOffset);
    static_cast<void>(sourceOffset);
    static_cast<void>(length);
    return std::make_error_code(std::errc::operation_not_supported);
  }
  // Replaces bytes already appended, from `offset` on; never grows the sink (the writer only
  // patches what it wrote, and asks nothing past size()).
  virtual std::error_code overwrite(std::uint64_t offset, std::span<const std::byte> bytes) = 0;
  // Drops everything from `size` on; the next append lands at `size`.
  virtual std::error_code truncate(std::uint64_t size) = 0;
  // How many bytes it holds.
  virtual std::uint64_t size() const = 0;
};

// The bytes in a vector.
class MemorySink final : public ByteSink {
 public:
  std::error_code append(std::span<const std::byte> bytes) override;
  std::error_code overwrite(std::uint64_t offset, std::span<const std::byte> bytes) override;
  std::error_code truncate(std::uint64_t size) override;
  std::uint64_t size() const override { return bytes_.size(); }

  const std::vector<std::byte>& bytes() const { return bytes_; }

 private:
  std::vector<std::byte> bytes_;
};

}  // namespace kzb
