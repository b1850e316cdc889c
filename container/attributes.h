// Attribute records and the value encodings they carry.
//
// An attribute block is a run of records: tag (4), length (4, signed), then `length` value
// bytes. Decoding stops at the first record that does not fit in the block, keeping the
// records before it; nothing outside the block is ever read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
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

// Texts decoded from values as valueAsWideText decodes them, kept one after another in blocks
// that never move, each seen through a view that stays valid for as long as the store: a
// table's names, of which there may be hundreds of thousands, cost their units and a view,
// not a string each. Moves, never copies.
class WideTextStore {
 public:
  std::u16string_view add(std::span<const std::byte> value);

 private:
  static constexpr std::size_t kFirstBlockUnits = 256;
  static constexpr std::size_t kBlockUnits = std::size_t{16} << 10;
  std::vector<std::unique_ptr<char16_t[]>> blocks_;
  char16_t* room_ = nullptr;  // where the block being filled has room
  std::size_t free_ = 0;      // how many units it has left
};

template <std::size_t N>
std::array<std::byte, N> valueAsBytes(std::span<const std::byte> value) {
  std::array<std::byte, N> field{};
  for (std::size_t i = 0; i < N && i < value.size(); ++i) {
    field[i] = value[i];
  }
  return field;
}

}  // namespace kzb
