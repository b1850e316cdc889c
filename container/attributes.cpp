#include "attributes.h"

#include <algorithm>

#include "bytes.h"

namespace kzb {

AttributeList decodeAttributes(std::span<const std::byte> block) {
  AttributeList list;
  ByteReader reader(block);
  while (reader.remaining() > 0) {
    Attribute attribute;
    std::int32_t length = 0;
    std::span<const std::byte> value;
    if (!reader.takeU32(attribute.tag) || !reader.takeI32(length) || length < 0 ||
        !reader.take(static_cast<std::size_t>(length), value)) {
      break;  // a record that does not fit ends the block; what came before stands
    }
    attribute.value.assign(value.begin(), value.end());
    list.push_back(std::move(attribute));
  }
  return list;
}

std::uint32_t valueAsU32(std::span<const std::byte> value) {
  return loadLittleEndian32(value);
}

WideText valueAsWideText(std::span<const std::byte> value) {
  WideText text(value.size() / 2, u'\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(static_cast<unsigned>(value[2 * i]) |
                                    static_cast<unsigned>(value[2 * i + 1]) << 8);
  }
  return text;
}

std::u16string_view WideTextStore::add(std::span<const std::byte> value) {
  const std::size_t units = value.size() / 2;
  if (units == 0) {
    return {};
  }
  char16_t* text = nullptr;
  if (units > kBlockUnits / 4) {
    // A long text takes a block of its own; the room left in the current block stays for
    // the texts that follow.
    blocks_.push_back(std::make_unique_for_overwrite<char16_t[]>(units));
    text = blocks_.back().get();
  } else {
    if (units > free_) {
      // Blocks grow from small: most tables are a few rows, and a mount parses thousands.
      const std::size_t size =
          std::max(units, std::min(kBlockUnits, kFirstBlockUnits << std::min<std::size_t>(
                                                                       blocks_.size(), 16)));
      blocks_.push_back(std::make_unique_for_overwrite<char16_t[]>(size));
      room_ = blocks_.back().get();
      free_ = size;
    }
    text = room_;
    room_ += units;
    free_ -= units;
  }
  for (std::size_t i = 0; i < units; ++i) {
    text[i] = static_cast<char16_t>(static_cast<unsigned>(value[2 * i]) |
                                    static_cast<unsigned>(value[2 * i + 1]) << 8);
  }
  return {text, units};
}

}  // namespace kzb
