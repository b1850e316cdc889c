#include "zip_layout.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>

#include <zlib.h>

namespace kzb {
namespace {

constexpr std::uint64_t kReadAhead = std::uint64_t{4} << 20;
constexpr std::uint64_t kCrcField = 4;

// Tells the layouts' memory apart for the block each thread keeps inflated: a layout takes a
// new one whenever blocks it had deflated change.
std::uint64_t nextPackedId() {
  static std::atomic<std::uint64_t> next{1};
  return next++;
}

// The block a thread inflated last, so that a read of a run of small pieces, or the next
// read on, inflates it once.
struct Inflated {
  std::uint64_t owner = 0;
  std::size_t block = 0;
  std::vector<std::byte> bytes;
};

}  // namespace

ZipLayout::Packed::Packed(std::size_t blockSize)
    : blockSize_(std::max<std::size_t>(blockSize, 1)), id_(nextPackedId()) {}

void ZipLayout::Packed::append(std::span<const std::byte> bytes) {
  // A block at a time, so that a large run of bytes (a book's table of contents) is never
  // held whole beside what it deflates to.
  while (!bytes.empty()) {
    const std::size_t count = std::min(bytes.size(), blockSize_ - tail_.size() % blockSize_);
    tail_.insert(tail_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
    bytes = bytes.subspan(count);
    // A block stays as it is behind the last one: the header the writer patches next is there.
    seal(1);
  }
}

ZipLayout::Packed::Block ZipLayout::Packed::deflated(std::span<const std::byte> raw) {
  const uLong bound = compressBound(static_cast<uLong>(raw.size()));
  const auto room = std::make_unique_for_overwrite<std::byte[]>(bound);
  uLongf length = bound;
  // Nothing can fail here: the output has the bound's room, and the level is a valid one.
  static_cast<void>(compress2(reinterpret_cast<Bytef*>(room.get()), &length,
                              reinterpret_cast<const Bytef*>(raw.data()),
                              static_cast<uLong>(raw.size()), Z_BEST_SPEED));
  Block block{std::make_unique_for_overwrite<std::byte[]>(length), length};
  std::copy_n(room.get(), length, block.bytes.get());
  return block;
}

void ZipLayout::Packed::seal(std::size_t keep) {
  const std::size_t whole = tail_.size() / blockSize_;
  if (whole <= keep) {
    return;
  }
  const std::size_t blocks = whole - keep;
  for (std::size_t b = 0; b < blocks; ++b) {
    blocks_.push_back(deflated(std::span(tail_).subspan(b * blockSize_, blockSize_)));
    deflatedBytes_ += blocks_.back().size;
  }
  tail_.erase(tail_.begin(), tail_.begin() + static_cast<std::ptrdiff_t>(blocks * blockSize_));
  // After a large run of bytes, the room it took is given back.
  if (tail_.capacity() > 4 * blockSize_) {
    tail_.shrink_to_fit();
  }
}

void ZipLayout::Packed::inflate(std::size_t block, std::span<std::byte> out) const {
  auto length = static_cast<uLongf>(out.size());
  // What was deflated here inflates whole into a block's room.
  static_cast<void>(uncompress(reinterpret_cast<Bytef*>(out.data()), &length,
                               reinterpret_cast<const Bytef*>(blocks_[block].bytes.get()),
                               static_cast<uLong>(blocks_[block].size)));
}

void ZipLayout::Packed::replaceBlock(std::size_t block, std::span<const std::byte> raw) {
  deflatedBytes_ -= blocks_[block].size;
  blocks_[block] = deflated(raw);
  deflatedBytes_ += blocks_[block].size;
  id_ = nextPackedId();
}

void ZipLayout::Packed::overwrite(std::uint64_t offset, std::span<const std::byte> bytes) {
  // A patch of a block deflated already (the header of a member whose bytes filled blocks
  // since) is made to that block alone.
  std::vector<std::byte> raw;
  while (!bytes.empty() && offset < sealedBlocks() * blockSize_) {
    const auto block = static_cast<std::size_t>(offset / blockSize_);
    const auto into = static_cast<std::size_t>(offset % blockSize_);
    const std::size_t count = std::min(bytes.size(), blockSize_ - into);
    raw.resize(blockSize_);
    inflate(block, raw);
    std::copy_n(bytes.begin(), count, raw.begin() + static_cast<std::ptrdiff_t>(into));
    replaceBlock(block, raw);
    bytes = bytes.subspan(count);
    offset += count;
  }
  if (bytes.empty()) {
    return;  // the patch ended inside the deflated blocks: the tail is not reached
  }
  std::copy(bytes.begin(), bytes.end(),
            tail_.begin() + static_cast<std::ptrdiff_t>(offset - sealedBlocks() * blockSize_));
}

void ZipLayout::Packed::truncate(std::uint64_t size) {
  if (size < sealedBlocks() * blockSize_) {
    // The blocks past the cut go whole; the one it falls in is what the tail keeps of them.
    const auto block = static_cast<std::size_t>(size / blockSize_);
    std::vector<std::byte> raw(blockSize_);
    inflate(block, raw);
    raw.resize(static_cast<std::size_t>(size % blockSize_));
    tail_ = std::move(raw);
    for (std::size_t b = block; b < blocks_.size(); ++b) {
      deflatedBytes_ -= blocks_[b].size;
    }
    blocks_.resize(block);
    id_ = nextPackedId();
    return;
  }
  tail_.resize(static_cast<std::size_t>(size - sealedBlocks() * blockSize_));
}

void ZipLayout::Packed::compact() {
  seal(0);
  blocks_.shrink_to_fit();
  tail_.shrink_to_fit();
}

void ZipLayout::Packed::read(std::uint64_t offset, std::span<std::byte> out) const {
  thread_local Inflated inflated;
  while (!out.empty()) {
    const std::uint64_t sealed = sealedBlocks() * blockSize_;
    if (offset >= sealed) {
      std::copy_n(tail_.begin() + static_cast<std::ptrdiff_t>(offset - sealed), out.size(),
                  out.begin());
      return;
    }
    const auto block = static_cast<std::size_t>(offset / blockSize_);
    const auto into = static_cast<std::size_t>(offset % blockSize_);
    const std::size_t count = std::min(out.size(), blockSize_ - into);
    if (inflated.owner != id_ || inflated.block != block || inflated.bytes.size() != blockSize_) {
      inflated.bytes.resize(blockSize_);
      inflate(block, inflated.bytes);
      inflated.owner = id_;
      inflated.block = block;
    }
    std::copy_n(inflated.bytes.begin() + static_cast<std::ptrdiff_t>(into), count, out.begin());
    out = out.subspan(count);
    offset += count;
  }
}

std::size_t ZipLayout::Packed::memoryUsed() const {
  // With each block's bookkeeping in the heap, about two words.
  return deflatedBytes_ + blocks_.size() * 2 * sizeof(void*) + blocks_.capacity() * sizeof(Block) +
         tail_.capacity();
}

ZipLayout::ZipLayout(std::size_t blockSize) : memory_(blockSize) {}

std::error_code ZipLayout::append(std::span<const std::byte> bytes) {
  memory_.append(bytes);
  size_ += bytes.size();
  return {};
}

std::error_code ZipLayout::appendCopyOf(std::span<const std::byte> bytes,
                                        std::uint64_t sourceOffset) {
  return appendPlaceOf(bytes.size(), sourceOffset);
}

std::error_code ZipLayout::appendPlaceOf(std::uint64_t length, std::uint64_t sourceOffset) {
  if (length == 0) {
    return {};
  }
  if (places_.empty() || places_.back().start + places_.back().length != size_ ||
      places_.back().from + places_.back().length != sourceOffset) {
    places_.push_back({size_, 0, sourceOffset, memory_.size()});
  }
  places_.back().length += length;
  size_ += length;
  return {};
}

std::error_code ZipLayout::deferCrc32(std::uint64_t fieldOffset, std::uint64_t sourceOffset,
                                      std::uint64_t length) {
  if (!fields_.empty() && fieldOffset <= fields_.back()) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  // The central directory names the members in the order their local headers did, so a
  // field there shares the entry after the one its predecessor shared. Two entries of the
  // same bytes are never wrong, only worked out twice.
  std::size_t crc = crcs_.size();
  if (nextShared_ < crcs_.size() && crcs_[nextShared_].from == sourceOffset &&
      crcs_[nextShared_].length == length) {
    crc = nextShared_++;
  } else {
    crcs_.push_back({sourceOffset, length, 0, false});
  }
  fields_.push_back(fieldOffset);
  fieldCrcs_.push_back(static_cast<std::uint32_t>(crc));
  return {};
}

template <typename Each>
void ZipLayout::forRuns(std::uint64_t offset, std::uint64_t count, Each each) const {
  const std::uint64_t end = offset + count;
  // Places before `next` start at or before `offset`.
  auto next =
      static_cast<std::size_t>(std::upper_bound(places_.begin(), places_.end(), offset,
                                                [](std::uint64_t value, const Place& place) {
                                                  return value < place.start;
                                                }) -
                               places_.begin());
  while (offset < end) {
    const Place* before = next == 0 ? nullptr : &places_[next - 1];
    const std::uint64_t beforeEnd = before == nullptr ? 0 : before->start + before->length;
    if (before != nullptr && offset < beforeEnd) {
      const std::uint64_t run = std::min(end, beforeEnd) - offset;
      if (!each(offset, run, true, before->from + (offset - before->start))) {
        return;
      }
      offset += run;
      continue;
    }
    const std::uint64_t memoryEnd = next < places_.size() ? places_[next].start : size_;
    const std::uint64_t run = std::min(end, memoryEnd) - offset;
    if (run > 0) {
      const std::uint64_t from =
          before == nullptr ? offset : before->memoryAfter + (offset - beforeEnd);
      if (!each(offset, run, false, from)) {
        return;
      }
      offset += run;
    }
    if (offset < end) {
      ++next;
    }
  }
}

std::error_code ZipLayout::overwrite(std::uint64_t offset, std::span<const std::byte> bytes) {
  if (offset > size_ || bytes.size() > size_ - offset) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  bool inContainer = false;
  forRuns(offset, bytes.size(), [&](std::uint64_t, std::uint64_t, bool container, std::uint64_t) {
    inContainer = inContainer || container;
    return !inContainer;
  });
  if (inContainer) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  forRuns(offset, bytes.size(),
          [&](std::uint64_t at, std::uint64_t count, bool, std::uint64_t from) {
            memory_.overwrite(from, bytes.subspan(static_cast<std::size_t>(at - offset),
                                                  static_cast<std::size_t>(count)));
            return true;
          });
  return {};
}

std::error_code ZipLayout::truncate(std::uint64_t size) {
  if (size > size_) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  const std::size_t fields = fields_.size();
  while (!fields_.empty() && fields_.back() + kCrcField > size) {
    fields_.pop_back();
    fieldCrcs_.pop_back();
  }
  if (fields_.size() != fields) {
    const auto used =
        fieldCrcs_.empty()
            ? std::size_t{0}
            : std::size_t{*std::max_element(fieldCrcs_.begin(), fieldCrcs_.end())} + 1;
    crcs_.resize(std::min(crcs_.size(), used));
    nextShared_ = std::min(nextShared_, crcs_.size());
  }
  while (!places_.empty() && places_.back().start >= size) {
    places_.pop_back();
  }
  std::uint64_t memorySize = size;
  if (!places_.empty()) {
    Place& last = places_.back();
    last.length = std::min(last.length, size - last.start);
    memorySize = last.memoryAfter + (size - (last.start + last.length));
  }
  memory_.truncate(memorySize);
  size_ = size;
  return {};
}

void ZipLayout::compact() {
  places_.shrink_to_fit();
  fields_.shrink_to_fit();
  fieldCrcs_.shrink_to_fit();
  crcs_.shrink_to_fit();
  memory_.compact();
}

std::size_t ZipLayout::read(std::uint64_t offset, std::span<std::byte> out,
                            const InputFile& container, std::error_code& error) const {
  if (offset >= size_) {
    return 0;
  }
  out = out.first(static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), size_ - offset)));
  std::size_t done = 0;
  forRuns(offset, out.size(),
          [&](std::uint64_t at, std::uint64_t count, bool inContainer, std::uint64_t from) {
            const std::span<std::byte> part =
                out.subspan(static_cast<std::size_t>(at - offset), static_cast<std::size_t>(count));
            if (!inContainer) {
              memory_.read(from, part);
              done += part.size();
              return true;
            }
            const std::size_t got = container.readAt(from, part, error);
            done += got;
            if (!error && got < part.size()) {
              error = std::make_error_code(std::errc::io_error);
            }
            return !error;
          });
  if (error) {
    return done;
  }
  return fillCrcs(offset, out.first(done), container, error);
}

std::size_t ZipLayout::fillCrcs(std::uint64_t offset, std::span<std::byte> out,
                                const InputFile& container, std::error_code& error) const {
  const std::uint64_t end = offset + out.size();
  // The first field that ends after `offset`.
  auto field = static_cast<std::size_t>(std::upper_bound(fields_.begin(), fields_.end(), offset,
                                                         [](std::uint64_t value, std::uint64_t at) {
                                                           return value < at + kCrcField;
                                                         }) -
                                        fields_.begin());
  for (; field < fields_.size() && fields_[field] < end; ++field) {
    const std::uint32_t crc = crcOf(fieldCrcs_[field], container, error);
    if (error) {
      return static_cast<std::size_t>(std::max(fields_[field], offset) - offset);
    }
    for (std::uint64_t i = 0; i < kCrcField; ++i) {
      const std::uint64_t at = fields_[field] + i;
      if (at >= offset && at < end) {
        out[static_cast<std::size_t>(at - offset)] = static_cast<std::byte>(crc >> (8 * i));
      }
    }
  }
  return out.size();
}

std::uint32_t ZipLayout::crcOf(std::uint32_t slot, const InputFile& container,
                               std::error_code& error) const {
  const std::lock_guard lock(crcMutex_);
  Crc& wanted = crcs_[slot];
  if (wanted.known) {
    return wanted.value;
  }
  // What follows this member is most likely read next (for its CRC-32 and as data): the
  // system reads it from the disk while this one is worked out and served. Asked again once
  // less than half of that is left beyond this member, or for a member before the last ask.
  if (wanted.from < willNeedFrom_ ||
      wanted.from + wanted.length + kReadAhead / 2 > willNeedUntil_) {
    container.willNeed(wanted.from, wanted.length + kReadAhead);
    willNeedFrom_ = wanted.from;
    willNeedUntil_ = wanted.from + wanted.length + kReadAhead;
  }
  // No larger than the member, and not zeroed: most members of a book are far smaller than
  // a block, and a table may have hundreds of thousands.
  const auto blockSize =
      static_cast<std::size_t>(std::min<std::uint64_t>(std::uint64_t{256} << 10, wanted.length));
  const auto buffer = std::make_unique_for_overwrite<std::byte[]>(blockSize);
  const std::span block(buffer.get(), blockSize);
  uLong crc = crc32_z(0, nullptr, 0);
  for (std::uint64_t done = 0; done < wanted.length;) {
    const auto size =
        static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), wanted.length - done));
    const std::size_t got = container.readAt(wanted.from + done, block.first(size), error);
    if (!error && got < size) {
      error = std::make_error_code(std::errc::io_error);  // the container was cut since
    }
    if (error) {
      return 0;
    }
    crc = crc32_z(crc, reinterpret_cast<const Bytef*>(block.data()), got);
    done += got;
  }
  wanted.value = static_cast<std::uint32_t>(crc);
  wanted.known = true;
  return wanted.value;
}

std::size_t ZipLayout::memoryUsed() const {
  const std::lock_guard lock(crcMutex_);
  return sizeof(*this) + places_.size() * sizeof(Place) + fields_.size() * sizeof(std::uint64_t) +
         fieldCrcs_.size() * sizeof(std::uint32_t) + crcs_.size() * sizeof(Crc) +
         memory_.memoryUsed();
}

ConvertResult layOutCbz(ContainerInput& input, const Archive& archive, ConvertOptions options,
                        ZipLayout& layout, const MemberReport& report) {
  options.deflate = false;
  ConvertResult result = convertToZip(input, archive, layout, options, report);
  layout.compact();
  return result;
}

EpubResult layOutEpub(ContainerInput& input, const Archive& archive, EpubOptions options,
                      ZipLayout& layout, const MemberReport& report) {
  options.zip.deflate = false;
  EpubResult result = convertToEpub(input, archive, layout, options, report);
  layout.compact();
  return result;
}

}  // namespace kzb
