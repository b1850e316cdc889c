// The one place that turns stored bytes into numbers. Every decode of a buffer goes
// through ByteReader, which refuses to read past the end of the bytes it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kzb {

// Little-endian, built from shifted bytes: independent of the machine's byte order.
// Bytes missing from a short value count as zero, so a 2-byte value gives its two bytes as
// the low-order bytes of the word.
inline std::uint32_t loadLittleEndian32(std::span<const std::byte> bytes) {
  std::uint32_t value = 0;
  const std::size_t count = bytes.size() < 4 ? bytes.size() : 4;
  for (std::size_t i = 0; i < count; ++i) {
    value |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
  }
  return value;
}

// A cursor over a block of bytes. Each take succeeds only when the whole request fits in
// what is left; a refused take leaves the cursor where it was.
class ByteReader {
 public:
  explicit ByteReader(std::span<const std::byte> bytes) : bytes_(bytes) {}

  std::size_t remaining() const { return bytes_.size() - offset_; }

  bool takeU32(std::uint32_t& value) {
    std::span<const std::byte> field;
    if (!take(4, field)) {
      return false;
    }
    value = loadLittleEndian32(field);
    return true;
  }

  bool takeI32(std::int32_t& value) {
    std::uint32_t raw = 0;
    if (!takeU32(raw)) {
      return false;
    }
    value = static_cast<std::int32_t>(raw);  // two's complement, as stored
    return true;
  }

  bool take(std::size_t count, std::span<const std::byte>& out) {
    if (count > remaining()) {
      return false;
    }
    out = bytes_.subspan(offset_, count);
    offset_ += count;
    return true;
  }

 private:
  std::span<const std::byte> bytes_;
  std::size_t offset_ = 0;
};

}  // namespace kzb
