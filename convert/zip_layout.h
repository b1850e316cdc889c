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
// second time from the page cache. Memory follows the file table, never the data: per member
// of a CBZ, about 80 bytes of places and CRC-32s and its share of the writer's bytes, which
// are kept deflated in blocks (headers and documents made by one program repeat themselves,
// so they shrink several times over) and inflated a block at a time when read. What the
// converter itself reads to decide a row is read, as it would be for any sink: for the EPUB,
// each stored file's first bytes (at most kImageHeadSize, for an image's kind and size) and
// each text item whole (it is escaped into a document, so its size is not known without it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
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
  // The writer's bytes are deflated `blockSize` bytes at a time (tests make it small).
  static constexpr std::size_t kBlockSize = std::size_t{64} * 1024;
  explicit ZipLayout(std::size_t blockSize = kBlockSize);

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

  // Gives back what the making held spare; the layout reads the same after it, and may still
  // be written to.
  void compact();

  // Reads up to out.size() bytes of the ZIP from `offset`, the data from `container` (the
  // file the layout was made from, which must not have changed since). Fewer only at the end
  // of the ZIP; a container that cannot be read, or ends before a member's data does, sets
  // `error` (io_error for the latter) and returns what was read before it.
  std::size_t read(std::uint64_t offset, std::span<std::byte> out, const InputFile& container,
                   std::error_code& error) const;

  // Bytes of memory the layout holds, for the cache that keeps layouts.
  std::size_t memoryUsed() const;

 private:
  // The bytes the writer made, in order: whole blocks deflated, the rest as they are, so
  // that the patches the writer makes (always to its latest member) seldom reach a
  // deflated block; one that does is deflated again, alone. Each deflated block is an
  // allocation of its own, so the store never moves, nor holds room to spare, as it grows: a
  // book of many members makes several MiB of it.
  class Packed {
   public:
    explicit Packed(std::size_t blockSize);
    std::uint64_t size() const { return sealedBlocks() * blockSize_ + tail_.size(); }
    void append(std::span<const std::byte> bytes);
    void overwrite(std::uint64_t offset, std::span<const std::byte> bytes);
    void truncate(std::uint64_t size);
    void compact();
    void read(std::uint64_t offset, std::span<std::byte> out) const;
    std::size_t memoryUsed() const;

   private:
    std::uint64_t sealedBlocks() const { return blocks_.size(); }
    // Deflates the tail's whole blocks but the last `keep`.
    void seal(std::size_t keep);
    // Deflates `raw` in place of block `block`.
    void replaceBlock(std::size_t block, std::span<const std::byte> raw);
    void inflate(std::size_t block, std::span<std::byte> out) const;

    std::size_t blockSize_;
    std::uint64_t id_;  // tells a thread's inflated block whose it is
    struct Block {
      std::unique_ptr<std::byte[]> bytes;
      std::size_t size = 0;
    };
    // Deflates `raw` into a block of its own size.
    static Block deflated(std::span<const std::byte> raw);

    std::vector<Block> blocks_;      // the sealed blocks, each deflated
    std::size_t deflatedBytes_ = 0;  // their sizes, summed
    std::vector<std::byte> tail_;    // what follows them
  };
  // A run of the ZIP that is the container's: `length` bytes from `from` on. The ZIP's
  // bytes between two runs are in memory, those after this one from `memoryAfter` on.
  struct Place {
    std::uint64_t start = 0;  // its offset in the ZIP
    std::uint64_t length = 0;
    std::uint64_t from = 0;
    std::uint64_t memoryAfter = 0;
  };
  // The CRC-32 of the container's `length` bytes from `from` on, once worked out.
  struct Crc {
    std::uint64_t from = 0;
    std::uint64_t length = 0;
    std::uint32_t value = 0;
    bool known = false;
  };
  // Calls `each(zipOffset, count, inContainer, from)` for the runs that make up `count` bytes
  // of the ZIP from `offset` on, `from` being the run's offset in the container or in memory,
  // until `each` returns false.
  template <typename Each>
  void forRuns(std::uint64_t offset, std::uint64_t count, Each each) const;
  // Writes into `out` (the ZIP's bytes from `offset` on) the deferred CRC-32s it overlaps;
  // returns how many of its bytes are right (fewer where a CRC-32 could not be worked out,
  // with `error` set).
  std::size_t fillCrcs(std::uint64_t offset, std::span<std::byte> out, const InputFile& container,
                       std::error_code& error) const;
  std::uint32_t crcOf(std::uint32_t slot, const InputFile& container, std::error_code& error) const;

  // Deques: they grow without moving what they hold, so a layout being made never holds its
  // members twice.
  std::deque<Place> places_;  // in ZIP order
  Packed memory_;
  std::uint64_t size_ = 0;
  // The CRC-32 fields left for later, by offset in the ZIP, ascending (the writer goes
  // forward), each with its entry of crcs_: a member's two fields share one.
  std::deque<std::uint64_t> fields_;
  std::deque<std::uint32_t> fieldCrcs_;
  std::size_t nextShared_ = 0;  // the entry of crcs_ the next field most likely shares

  mutable std::mutex crcMutex_;   // reads come from several threads
  mutable std::deque<Crc> crcs_;  // values guarded by crcMutex_
  // The range of the container last asked for ahead (guarded by crcMutex_), so that a book of
  // many small members does not ask for each.
  mutable std::uint64_t willNeedFrom_ = 0;
  mutable std::uint64_t willNeedUntil_ = 0;
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
