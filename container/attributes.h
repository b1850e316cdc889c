// Attribute records and the value encodings they carry.
//
// An attribute block is a run of records: tag (4), length (4, signed), then `length` value
// bytes. Decoding stops at the first record that does not fit in the block, keeping the
// records before it; nothing outside the block is ever read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "format.h"

namespace kzb {

struct Attribute {
  Tag tag = 0;
  std::vector<std::byte> value;  // exactly the record's length in bytes
};

using AttributeList = std::vector<Attribute>;

AttributeList decodeAttributes(std::span<const std::byte> block);

// UTF-16 code units exactly as stored, zero units included. Whoever prints the text or uses
// it as a file name stops at the first zero unit (see untilFirstZero).
using WideText = std::u16string;

// Value encodings. A value longer than its field uses its first bytes; a shorter one is
// zero-filled above the bytes it has.
std::uint32_t valueAsU32(std::span<const std::byte> value);
WideText valueAsWideText(std::span<const std::byte> value);  // length / 2 units, LE

template <std::size_t N>
std::array<std::byte, N> valueAsBytes(std::span<const std::byte> value) {
  std::array<std::byte, N> field{};
  for (std::size_t i = 0; i < N && i < value.size(); ++i) {
    field[i] = value[i];
  }
  return field;
}

}  // namespace kzb
