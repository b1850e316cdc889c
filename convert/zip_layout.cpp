#include "zip_layout.h"

#include <algorithm>

#include <zlib.h>

namespace kzb {
namespace {

constexpr std::uint64_t kReadAhead = std::uint64_t{4} << 20;

}  // namespace

std::error_code ZipLayout::append(std::span<const std::byte> bytes) {
  if (bytes.empty()) {
    return {};
  }
  // bytes_ ends where the last piece kept in memory ends (truncate keeps it so), so a new
  // run that follows such a piece extends it.
  if (pieces_.empty() || pieces_.back().inContainer) {
    pieces_.push_back({size_, 0, bytes_.size(), false});
  }
  pieces_.back().length += bytes.size();
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
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
  if (pieces_.empty() || !pieces_.back().inContainer ||
      pieces_.back().from + pieces_.back().length != sourceOffset) {
    pieces_.push_back({size_, 0, sourceOffset, true});
  }
  pieces_.back().length += length;
  size_ += length;
  return {};
}

std::error_code ZipLayout::deferCrc32(std::uint64_t fieldOffset, std::uint64_t sourceOffset,
                                      std::uint64_t length) {
  if (!deferred_.empty() && fieldOffset <= deferred_.back().field) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  deferred_.push_back({fieldOffset, sourceOffset, length});
  return {};
}

std::vector<ZipLayout::Piece>::const_iterator ZipLayout::pieceAt(std::uint64_t offset) const {
  const auto after =
      std::upper_bound(pieces_.begin(), pieces_.end(), offset,
                       [](std::uint64_t value, const Piece& piece) { return value < piece.start; });
  return std::prev(after);
}

std::error_code ZipLayout::overwrite(std::uint64_t offset, std::span<const std::byte> bytes) {
  if (offset > size_ || bytes.size() > size_ - offset) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  while (!bytes.empty()) {
    const Piece& piece = *pieceAt(offset);
    if (piece.inContainer) {
      return std::make_error_code(std::errc::invalid_argument);
    }
    const std::uint64_t into = offset - piece.start;
    const auto count =
        static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), piece.length - into));
    std::copy_n(bytes.begin(), count,
                bytes_.begin() + static_cast<std::ptrdiff_t>(piece.from + into));
    bytes = bytes.subspan(count);
    offset += count;
  }
  return {};
}

std::error_code ZipLayout::truncate(std::uint64_t size) {
  if (size > size_) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  while (!deferred_.empty() && deferred_.back().field + 4 > size) {
    deferred_.pop_back();
  }
  while (!pieces_.empty() && pieces_.back().start >= size) {
    pieces_.pop_back();
  }
  if (!pieces_.empty()) {
    pieces_.back().length = std::min(pieces_.back().length, size - pieces_.back().start);
  }
  const auto lastInMemory = std::find_if(pieces_.rbegin(), pieces_.rend(),
                                         [](const Piece& piece) { return !piece.inContainer; });
  bytes_.resize(lastInMemory == pieces_.rend()
                    ? 0
                    : static_cast<std::size_t>(lastInMemory->from + lastInMemory->length));
  size_ = size;
  return {};
}

std::size_t ZipLayout::read(std::uint64_t offset, std::span<std::byte> out,
                            const InputFile& container, std::error_code& error) const {
  std::size_t done = 0;
  if (offset >= size_) {
    return 0;
  }
  out = out.first(static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), size_ - offset)));
  for (auto piece = pieceAt(offset); done < out.size(); ++piece) {
    const std::uint64_t into = offset + done - piece->start;
    const auto count =
        static_cast<std::size_t>(std::min<std::uint64_t>(out.size() - done, piece->length - into));
    const std::span<std::byte> part = out.subspan(done, count);
    if (!piece->inContainer) {
      std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(piece->from + into), count,
                  part.begin());
      done += count;
      continue;
    }
    const std::size_t got = container.readAt(piece->from + into, part, error);
    done += got;
    if (error) {
      return done;
    }
    if (got < count) {
      error = std::make_error_code(std::errc::io_error);
      return done;
    }
  }
  return fillCrcs(offset, out.first(done), container, error);
}

std::size_t ZipLayout::fillCrcs(std::uint64_t offset, std::span<std::byte> out,
                                const InputFile& container, std::error_code& error) const {
  constexpr std::uint64_t kField = 4;
  const std::uint64_t end = offset + out.size();
  // The first field that ends after `offset`.
  auto deferred = std::upper_bound(
      deferred_.begin(), deferred_.end(), offset,
      [](std::uint64_t value, const DeferredCrc& crc) { return value < crc.field + kField; });
  for (; deferred != deferred_.end() && deferred->field < end; ++deferred) {
    const std::uint32_t crc = crcOf(*deferred, container, error);
    if (error) {
      return static_cast<std::size_t>(std::max(deferred->field, offset) - offset);
    }
    for (std::uint64_t i = 0; i < kField; ++i) {
      const std::uint64_t at = deferred->field + i;
      if (at >= offset && at < end) {
        out[static_cast<std::size_t>(at - offset)] = static_cast<std::byte>(crc >> (8 * i));
      }
    }
  }
  return out.size();
}

std::uint32_t ZipLayout::crcOf(const DeferredCrc& deferred, const InputFile& container,
                               std::error_code& error) const {
  const std::lock_guard lock(crcMutex_);
  if (const auto known = crcs_.find(deferred.from); known != crcs_.end()) {
    return known->second;
  }
  // What follows this member is most likely read next (for its CRC-32 and as data): the
  // system reads it from the disk while this one is worked out and served.
  container.willNeed(deferred.from, deferred.length + kReadAhead);
  std::vector<std::byte> block(std::size_t{256} * 1024);
  uLong crc = crc32_z(0, nullptr, 0);
  for (std::uint64_t done = 0; done < deferred.length;) {
    const auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), deferred.length - done));
    const std::size_t got =
        container.readAt(deferred.from + done, std::span(block).first(wanted), error);
    if (!error && got < wanted) {
      error = std::make_error_code(std::errc::io_error);  // the container was cut since
    }
    if (error) {
      return 0;
    }
    crc = crc32_z(crc, reinterpret_cast<const Bytef*>(block.data()), got);
    done += got;
  }
  crcs_.emplace(deferred.from, static_cast<std::uint32_t>(crc));
  return static_cast<std::uint32_t>(crc);
}

std::size_t ZipLayout::memoryUsed() const {
  const std::lock_guard lock(crcMutex_);
  return sizeof(*this) + pieces_.capacity() * sizeof(Piece) + bytes_.capacity() +
         deferred_.capacity() * sizeof(DeferredCrc) +
         crcs_.size() * (sizeof(std::uint64_t) + sizeof(std::uint32_t) + 4 * sizeof(void*));
}

ConvertResult layOutCbz(ContainerInput& input, const Archive& archive, ConvertOptions options,
                        ZipLayout& layout, const MemberReport& report) {
  options.deflate = false;
  return convertToZip(input, archive, layout, options, report);
}

EpubResult layOutEpub(ContainerInput& input, const Archive& archive, EpubOptions options,
                      ZipLayout& layout, const MemberReport& report) {
  options.zip.deflate = false;
  return convertToEpub(input, archive, layout, options, report);
}

}  // namespace kzb
