// ZipLayout: a ZIP that the converters write for a container (members stored) without its
// copy of the stored files: the CBZ of convertToZip, or the EPUB of convertToEpub. It is made by
// the converter itself, through this sink, so the two cannot differ: the bytes the writer makes
// (headers, names, the central directory, the end records, the documents made from the
// metadata and the comment) are kept in memory, and each stored member's data is kept as the
// range of the container it stands in. A read of any range of the ZIP is then served from those
// pieces, the data straight from the container.
//
// Making a layout reads no stored file that stands whole: its CRC-32, which both its headers
// carry, is worked out from the container the first time a read reaches one of those fields,
// and kept. So the size is known at once, whatever the container's; a reader that takes the
// ZIP from its start reads each member's data twice (for the CRC-32, then as data), the
// second time from the page cache. Memory follows the file table (a name and a few numbers
// per member), never the data. What the converter itself reads to decide a row is read, as it
// would be for any sink: for the EPUB, each stored file's first bytes (at most kImageHeadSize,
// for an image's kind and size) and each text item whole (it is escaped into a document, so
// its size is not known without it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <system_error>
#include <vector>

#include "archive.h"
#include "byte_sink.h"
#include "container_input.h"
#include "convert.h"
#include "epub.h"
#include "input_file.h"

namespace kzb {

class ZipLayout final : public ByteSink {
 public:
  // What the writer asks of a sink. Data appended through appendCopyOf is kept as its place
  // in the container; overwrite() may patch only bytes kept in memory (the writer patches
  // only its headers) and gives invalid_argument for any other.
  std::error_code append(std::span<const std::byte> bytes) override;
  std::error_code appendCopyOf(std::span<const std::byte> bytes,
                               std::uint64_t sourceOffset) override;
  bool keepsPlaces() const override { return true; }
  std::error_code appendPlaceOf(std::uint64_t length, std::uint64_t sourceOffset) override;
  std::error_code deferCrc32(std::uint64_t fieldOffset, std::uint64_t sourceOffset,
                             std::uint64_t length) override;
  std::error_code overwrite(std::uint64_t offset, std::span<const std::byte> bytes) override;
  std::error_code truncate(std::uint64_t size) override;
  std::uint64_t size() const override { return size_; }

  // Reads up to out.size() bytes of the ZIP from `offset`, the data from `container` (the
  // file the layout was made from, which must not have changed since). Fewer only at the end
  // of the ZIP; a container that cannot be read, or ends before a member's data does, sets
  // `error` (io_error for the latter) and returns what was read before it.
  std::size_t read(std::uint64_t offset, std::span<std::byte> out, const InputFile& container,
                   std::error_code& error) const;

  // Bytes of memory the layout holds, for the cache that keeps layouts.
  std::size_t memoryUsed() const;

 private:
  // A run of the ZIP's bytes: either in bytes_ or in the container, from `from` on.
  struct Piece {
    std::uint64_t start = 0;  // its offset in the ZIP
    std::uint64_t length = 0;
    std::uint64_t from = 0;  // its offset in bytes_, or in the container
    bool inContainer = false;
  };
  // A CRC-32 field left for later: the container's `length` bytes from `from` on.
  struct DeferredCrc {
    std::uint64_t field = 0;  // its offset in the ZIP
    std::uint64_t from = 0;
    std::uint64_t length = 0;
  };
  // The piece that holds ZIP offset `offset` (< size_).
  std::vector<Piece>::const_iterator pieceAt(std::uint64_t offset) const;
  // Writes into `out` (the ZIP's bytes from `offset` on) the deferred CRC-32s it overlaps;
  // returns how many of its bytes are right (fewer where a CRC-32 could not be worked out,
  // with `error` set).
  std::size_t fillCrcs(std::uint64_t offset, std::span<std::byte> out, const InputFile& container,
                       std::error_code& error) const;
  std::uint32_t crcOf(const DeferredCrc& deferred, const InputFile& container,
                      std::error_code& error) const;

  std::vector<Piece> pieces_;     // in ZIP order, without gaps
  std::vector<std::byte> bytes_;  // the pieces kept in memory, in order
  std::uint64_t size_ = 0;
  std::vector<DeferredCrc> deferred_;  // by field, ascending (the writer goes forward)

  mutable std::mutex crcMutex_;                          // reads come from several threads
  mutable std::map<std::uint64_t, std::uint32_t> crcs_;  // worked out so far, by `from`
};

// Lays out the ZIP that convertToZip(input, archive, ..., options) writes with members stored
// (options.deflate is ignored), renumbered where options.renumber says so. The result, and the
// report of each row, are convertToZip's.
ConvertResult layOutCbz(ContainerInput& input, const Archive& archive, ConvertOptions options,
                        ZipLayout& layout, const MemberReport& report = {});
// Lays out the EPUB that convertToEpub(input, archive, ..., options) writes with members stored
// (options.zip.deflate is ignored). The result, and the report of each row, are convertToEpub's.
EpubResult layOutEpub(ContainerInput& input, const Archive& archive, EpubOptions options,
                      ZipLayout& layout, const MemberReport& report = {});

}  // namespace kzb
