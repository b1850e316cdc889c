#include "format.h"

#include "bytes.h"

namespace kzb {

ChunkHeader decodeChunkHeader(std::span<const std::byte, kChunkHeaderSize> bytes) {
  ByteReader reader(bytes);
  ChunkHeader header;
  // Sixteen bytes always hold the four fields, so none of these takes can be refused.
  reader.takeU32(header.tag);
  reader.takeI32(header.attributeLength);
  reader.takeI32(header.childrenLength);
  reader.takeI32(header.payloadLength);
  return header;
}

}  // namespace kzb
