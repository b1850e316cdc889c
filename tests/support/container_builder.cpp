#include "container_builder.h"

#include <array>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kzb::testing {
namespace {

constexpr std::size_t kStreamBlock = 1 << 20;

Bytes tagBytes(std::string_view tag) {
  if (tag.size() != 4) {
    throw std::invalid_argument("a tag is four bytes");
  }
  return Bytes(tag);
}

std::int32_t length32(std::size_t size) {
  if (size > 0x7fffffffu) {
    throw std::length_error("region too large for a 32-bit length");
  }
  return static_cast<std::int32_t>(size);
}

std::uint64_t storedSize(const StoredFile& file) {
  return file.source.empty() ? file.data.size() : std::filesystem::file_size(file.source);
}

// Calls `sink` with the file's bytes, a block at a time.
template <typename Sink>
void forEachBlock(const StoredFile& file, Sink sink) {
  if (file.source.empty()) {
    sink(std::string_view(file.data));
    return;
  }
  std::ifstream in(file.source, std::ios::binary);
  std::string block(kStreamBlock, '\0');
  while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
    sink(std::string_view(block.data(), static_cast<std::size_t>(in.gcount())));
  }
}

}  // namespace

Bytes le32(std::uint32_t value) {
  Bytes out(4, '\0');
  for (std::size_t i = 0; i < 4; ++i) {
    out[i] = static_cast<char>((value >> (8 * i)) & 0xff);
  }
  return out;
}

Bytes utf16le(std::u16string_view text) {
  Bytes out;
  for (const char16_t unit : text) {
    out += static_cast<char>(unit & 0xff);
    out += static_cast<char>(unit >> 8);
  }
  return out;
}

std::u16string utf16FromUtf8(std::string_view text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    char32_t c = extra == 0 ? lead : lead & (0x3Fu >> extra);
    for (std::size_t k = 1; k <= extra && i + k < text.size(); ++k) {
      c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    i += 1 + extra;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::uint32_t crc32(std::string_view bytes, std::uint32_t crc) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) {
        c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      }
      t[n] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (const char ch : bytes) {
    crc = table[(crc ^ static_cast<unsigned char>(ch)) & 0xff] ^ (crc >> 8);
  }
  return ~crc;
}

Bytes pseudoRandomBytes(std::size_t size, std::uint32_t seed) {
  Bytes bytes(size, '\0');
  std::uint32_t state = seed != 0 ? seed : 1;  // xorshift32 never leaves zero
  for (char& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<char>(state & 0xff);
  }
  return bytes;
}

Bytes attributeRecord(std::string_view tag, std::string_view value,
                      std::optional<std::int32_t> statedLength) {
  return tagBytes(tag) +
         le32(static_cast<std::uint32_t>(statedLength.value_or(length32(value.size())))) +
         Bytes(value);
}

Bytes chunkHeader(std::string_view tag, std::int32_t attributeLength, std::int32_t childrenLength,
                  std::int32_t payloadLength) {
  return tagBytes(tag) + le32(static_cast<std::uint32_t>(attributeLength)) +
         le32(static_cast<std::uint32_t>(childrenLength)) +
         le32(static_cast<std::uint32_t>(payloadLength));
}

Chunk::Chunk(std::string_view tag) : tag_(tagBytes(tag)) {}

Chunk& Chunk::attribute(std::string_view tag, std::string_view value,
                        std::optional<std::int32_t> statedLength) {
  attributes_ += attributeRecord(tag, value, statedLength);
  return *this;
}

Chunk& Chunk::rawAttributes(std::string_view bytes) {
  attributes_ += bytes;
  return *this;
}

Chunk& Chunk::child(const Chunk& chunk) {
  children_ += chunk.bytes();
  return *this;
}

Chunk& Chunk::rawChildren(std::string_view bytes) {
  children_ += bytes;
  return *this;
}

Chunk& Chunk::payload(std::string_view bytes) {
  payload_ += bytes;
  return *this;
}

Chunk& Chunk::statedAttributeLength(std::int32_t length) {
  attributeLength_ = length;
  return *this;
}

Chunk& Chunk::statedChildrenLength(std::int32_t length) {
  childrenLength_ = length;
  return *this;
}

Chunk& Chunk::statedPayloadLength(std::int32_t length) {
  payloadLength_ = length;
  return *this;
}

Bytes Chunk::bytes() const {
  return chunkHeader(tag_, attributeLength_.value_or(length32(attributes_.size())),
                     childrenLength_.value_or(length32(children_.size())),
                     payloadLength_.value_or(length32(payload_.size()))) +
         attributes_ + children_ + payload_;
}

Chunk fileInfo(std::u16string_view name, std::uint32_t position, std::uint32_t size) {
  return Chunk("FINF").text("NAME", name).u32("POS4", position).u32("SIZE", size);
}

void writeContainer(std::ostream& out, const Publication& publication) {
  Chunk head("HEAD");
  if (publication.bindingDirection) {
    head.u32("DIRE", *publication.bindingDirection);
  }
  for (const auto& [tag, text] : publication.texts) {
    head.text(tag, text);
  }

  std::vector<std::uint32_t> crcs;
  for (const StoredFile& file : publication.files) {
    std::uint32_t crc = 0;
    forEachBlock(file, [&](std::string_view block) { crc = crc32(block, crc); });
    crcs.push_back(crc);
  }
  auto fileInfo = [&](std::size_t index, std::uint64_t position) {
    const StoredFile& file = publication.files[index];
    Chunk chunk("FINF");
    chunk.text("NAME", file.name)
        .u32("POS4", static_cast<std::uint32_t>(position))
        .u32("SIZE", static_cast<std::uint32_t>(storedSize(file)));
    if (publication.recordCrc32) {
      chunk.u32("CRC3", crcs[index]);
    }
    return chunk;
  };

  // A "FINF" chunk's size does not depend on the values it records, so a pass with zeros
  // tells where the first "FILE" chunk will stand.
  const std::size_t rootAttributes = 2 * (8 + 4);
  std::uint64_t position = 16 + rootAttributes + head.size();
  for (std::size_t i = 0; i < publication.files.size(); ++i) {
    position += fileInfo(i, 0).size();
  }
  Bytes infos;
  std::uint64_t filesLength = 0;
  for (std::size_t i = 0; i < publication.files.size(); ++i) {
    infos += fileInfo(i, position + filesLength).bytes();
    filesLength += 16 + storedSize(publication.files[i]);
  }

  const std::uint64_t children = head.size() + infos.size() + filesLength;
  const std::uint64_t total = 16 + rootAttributes + children;
  out << chunkHeader("KZB0", static_cast<std::int32_t>(rootAttributes), length32(children), 0)
      << attributeRecord("VERS", le32(publication.version))
      << attributeRecord("FSIZ", le32(static_cast<std::uint32_t>(total))) << head.bytes() << infos;
  for (const StoredFile& file : publication.files) {
    out << chunkHeader("FILE", 0, 0, length32(storedSize(file)));
    forEachBlock(file, [&](std::string_view block) {
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    });
  }
}

Bytes buildContainer(const Publication& publication) {
  std::ostringstream out;
  writeContainer(out, publication);
  return std::move(out).str();
}

Bytes withoutFileChunk(Bytes container, std::size_t index) {
  std::size_t at = container.find("FILE");
  for (std::size_t seen = 0; seen < index; ++seen) {
    at = container.find("FILE", at + 1);
  }
  container.replace(at, 4, "DATA");
  return container;
}

}  // namespace kzb::testing
