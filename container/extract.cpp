// Copying one stored file out of the container into the destination directory.
#include "extract.h"

#include <algorithm>
#include <array>
#include <utility>

#include "format.h"
#include "utf8.h"

namespace kzb {
namespace {

// The copy moves one block of this size at a time, so a payload of any size costs the same
// memory: this block and the two fixed buffers of the input and the output.
constexpr std::size_t kCopyBlockSize = 4096;

Extraction failed(ExtractStatus status, std::error_code error = {}) {
  return {status, error, NameProblem::none, {}};
}

}  // namespace

// Each extraction starts afresh from the entry's position: an earlier entry cut short, or a
// walk that met the end of a truncated container, costs nothing to the entries that are
// intact.
bool seekToFileChunk(ContainerInput& input, const FileEntry& entry) {
  input.seek(entry.position);
  std::array<std::byte, kChunkHeaderSize> raw{};
  if (input.read(raw) != raw.size()) {
    return false;
  }
  const ChunkHeader header = decodeChunkHeader(raw);
  // A negative payload length cannot describe a stored file, whatever the entry's size.
  return header.tag == tags::kFile && header.payloadLength >= 0 &&
         static_cast<std::uint32_t>(header.payloadLength) == entry.size;
}

Extractor::Extractor(const Directory& destination, ExtractOptions options)
    : destination_(destination), options_(options) {}

// Checks the name and the stored file's header before anything is created; then the bytes go
// to the output unit, which shows them under the name only once they are all there.
Extraction Extractor::extract(ContainerInput& input, const FileEntry& entry) {
  if (const NameProblem problem = entryNameProblem(entry.name); problem != NameProblem::none) {
    return {ExtractStatus::unsafeName, {}, problem, {}};
  }
  if (!seekToFileChunk(input, entry)) {
    const std::error_code error = input.readError();
    return error ? failed(ExtractStatus::readFailed, error) : failed(ExtractStatus::notFileChunk);
  }
  if (const std::error_code error = output_.create(destination_, untilFirstZero(entry.name))) {
    return failed(ExtractStatus::cannotCreate, error);
  }
  return place(copyPayload(input, entry.size), input.identity());
}

void Extractor::submit(ContainerInput& input, const FileEntry& entry, std::size_t token) {
  completed_.push_back({token, extract(input, entry)});
}

std::vector<Completed> Extractor::takeCompleted() {
  return std::exchange(completed_, {});
}

std::vector<Completed> Extractor::finish() {
  return takeCompleted();
}

Extraction Extractor::copyPayload(ContainerInput& input, std::uint32_t size) {
  std::array<std::byte, kCopyBlockSize> block{};
  std::uint32_t remaining = size;
  while (remaining > 0) {
    const auto wanted = std::min<std::size_t>(remaining, block.size());
    const std::size_t got = input.read(std::span(block).first(wanted));
    if (input.readError()) {
      return failed(ExtractStatus::readFailed, input.readError());
    }
    if (const std::error_code error = output_.write(std::span(block).first(got))) {
      return failed(ExtractStatus::writeFailed, error);
    }
    remaining -= static_cast<std::uint32_t>(got);
    if (got < wanted) {
      return failed(ExtractStatus::truncated);
    }
  }
  return failed(ExtractStatus::extracted);
}

// A complete file replaces whatever stands at its name, unless the run keeps what exists;
// one cut short by the end of the container takes the name only where it is free; any other
// failure places nothing.
Extraction Extractor::place(const Extraction& copied, const FileIdentity& container) {
  if (copied.status != ExtractStatus::extracted && copied.status != ExtractStatus::truncated) {
    output_.abandon();
    return copied;
  }
  const bool complete = copied.status == ExtractStatus::extracted;
  const auto placement = complete && !options_.skipExisting ? OutputFile::Placement::replaceExisting
                                                            : OutputFile::Placement::keepExisting;
  OutputFile::Committed committed = output_.commit(placement, container, placed_);
  using Outcome = OutputFile::Outcome;
  switch (committed.outcome) {
    case Outcome::placed:
      return copied;
    case Outcome::keptExisting:
      return failed(complete ? ExtractStatus::skippedExisting
                             : ExtractStatus::truncatedKeptExisting);
    case Outcome::isProtected:
      return failed(ExtractStatus::isTheContainer);
    case Outcome::writeFailed:
      return failed(ExtractStatus::writeFailed, committed.error);
    case Outcome::nameRefused:
      return failed(ExtractStatus::nameRefused, committed.error);
    case Outcome::sameFileAsEarlier:
      return {
          ExtractStatus::sameFileAsEarlier, {}, NameProblem::none, std::move(committed.earlier)};
    case Outcome::cannotPlace:
      break;
  }
  return failed(ExtractStatus::cannotCreate, committed.error);
}

int resultCode(const Extraction& extraction) {
  switch (extraction.status) {
    case ExtractStatus::extracted:
    case ExtractStatus::skippedExisting:
      return ResultSuccess;
    case ExtractStatus::truncated:
      return ResultTruncated;
    case ExtractStatus::truncatedKeptExisting:
      return ResultTruncatedKeptExisting;
    case ExtractStatus::notFileChunk:
      return ResultNotFileChunk;
    case ExtractStatus::readFailed:
      return ResultPayloadReadFailed;
    case ExtractStatus::writeFailed:
      return ResultWriteFailed;
    case ExtractStatus::isTheContainer:
      return ResultIsTheContainer;
    case ExtractStatus::sameFileAsEarlier:
      return ResultSameFileAsEarlier;
    case ExtractStatus::nameRefused:
      return ResultNameRefused;
    case ExtractStatus::unsafeName:
    case ExtractStatus::cannotCreate:
      break;
  }
  return ResultNotAvailable;
}

}  // namespace kzb
