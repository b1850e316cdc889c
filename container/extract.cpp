// Copying one stored file out of the container into the working directory.
#include <algorithm>
#include <array>

#include "archive_reader.h"
#include "utf8.h"

namespace kzb {
namespace {

// The copy moves one block of this size at a time, so a payload of any size costs the same
// memory: this block and the two fixed buffers of the input and the output. As large as
// those buffers, a block of a large payload goes from the system into it and back without
// passing through them.
constexpr std::size_t kCopyBlockSize = std::size_t{64} * 1024;

// From this size on, a payload is first offered to the system's own copy from the container
// to the output file, which spares it two trips through this process. A smaller one is most
// likely in the input's buffer already, beside its neighbours, and costs one write as it is.
constexpr std::uint32_t kSystemCopyFrom = 64 * 1024;

}  // namespace

// Checks the name and the stored file's header before anything is created; then the bytes go
// to the output unit, which shows them under the name only once they are all there.
int ArchiveReader::extractEntry(std::size_t index) {
  systemError_.clear();
  if (index >= entries_.size()) {
    return ResultNotAvailable;
  }
  const FileEntry& entry = entries_[index];
  if (!isSafeEntryName(entry.name)) {
    return ResultNotAvailable;
  }
  if (!seekToFileChunk(entry)) {
    systemError_ = input_.readError();
    return systemError_ ? ResultPayloadReadFailed : ResultNotFileChunk;
  }
  systemError_ = output_.create(untilFirstZero(entry.name));
  if (systemError_) {
    return ResultNotAvailable;
  }
  return placeOutput(copyPayload(entry.size));
}

// Leaves the input at the first payload byte when a "FILE" chunk whose payload has the
// entry's size stands at the entry's position. Each extraction starts afresh from there: an
// earlier entry cut short, or a walk that met the end of a truncated container, costs
// nothing to the entries that are intact.
bool ArchiveReader::seekToFileChunk(const FileEntry& entry) {
  input_.seek(entry.position);
  std::array<std::byte, kChunkHeaderSize> raw{};
  if (!readExactly(raw)) {
    return false;
  }
  const ChunkHeader header = decodeChunkHeader(raw);
  // A negative payload length cannot describe a stored file, whatever the entry's size.
  return header.tag == tags::kFile && header.payloadLength >= 0 &&
         static_cast<std::uint32_t>(header.payloadLength) == entry.size;
}

// Copies `size` bytes from the input to the output file. Returns ResultSuccess, or how the
// copy stopped: ResultTruncated (the data ended), ResultPayloadReadFailed, ResultWriteFailed.
// The system's copy may stop anywhere without saying why; the blocks carry on from there, and
// their reads and writes meet the end of the data or the error themselves.
int ArchiveReader::copyPayload(std::uint32_t size) {
  std::uint32_t remaining = size;
  if (size >= kSystemCopyFrom) {
    const std::uint64_t copied = output_.appendCopy(input_.file(), input_.offset(), remaining);
    input_.skip(copied);
    remaining -= static_cast<std::uint32_t>(copied);
  }
  copyBlock_.resize(kCopyBlockSize);
  const std::span<std::byte> block(copyBlock_);
  while (remaining > 0) {
    const auto wanted = std::min<std::size_t>(remaining, block.size());
    const std::size_t got = input_.read(block.first(wanted));
    if (input_.readError()) {
      systemError_ = input_.readError();
      return ResultPayloadReadFailed;
    }
    if (const std::error_code error = output_.write(block.first(got))) {
      systemError_ = error;
      return ResultWriteFailed;
    }
    remaining -= static_cast<std::uint32_t>(got);
    if (got < wanted) {
      return ResultTruncated;
    }
  }
  return ResultSuccess;
}

// A complete file replaces whatever stands at its name; one cut short by the end of the
// container takes the name only where it is free; any other failure places nothing.
int ArchiveReader::placeOutput(int copied) {
  if (copied != ResultSuccess && copied != ResultTruncated) {
    output_.abandon();
    return copied;
  }
  const auto placement = copied == ResultSuccess ? OutputFile::Placement::replaceExisting
                                                 : OutputFile::Placement::keepExisting;
  const OutputFile::Committed committed = output_.commit(placement, input_.identity());
  systemError_ = committed.error;
  switch (committed.outcome) {
    case OutputFile::Outcome::placed:
      return copied;
    case OutputFile::Outcome::keptExisting:
      return ResultTruncatedKeptExisting;
    case OutputFile::Outcome::isProtected:
      return ResultIsTheContainer;
    case OutputFile::Outcome::writeFailed:
      return ResultWriteFailed;
    case OutputFile::Outcome::cannotPlace:
      break;
  }
  return ResultNotAvailable;  // reported as "cannot create", with the system's reason
}

}  // namespace kzb
