// Copying one stored file out of the container into the destination directory.
#include "extract.h"

#include <algorithm>
#include <array>
#include <memory>
#include <utility>

#include "format.h"
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

// A synchronized run flushes its files to the disk once this many bytes wait, or once
// OutputFile::kMostPending files do: few flushes, and a bounded loss of work to a signal.
constexpr std::uint64_t kBatchBytes = std::uint64_t{1024} * 1024 * 1024;

// A file of this size or more is handed to the disk as soon as it is complete, so that the
// batch's flush finds it written; smaller ones are left to go together with the flush, as
// starting each on its own costs more than it saves.
constexpr std::uint32_t kWritebackFrom = 64 * 1024;

// Whether the process may open no more files. Compared by value, without asking the error's
// category: a sanitizer's check of that call needs a descriptor itself.
bool outOfDescriptors(const std::error_code& error) {
  return &error.category() == &std::generic_category() &&
         (error.value() == static_cast<int>(std::errc::too_many_files_open) ||
          error.value() == static_cast<int>(std::errc::too_many_files_open_in_system));
}

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
    : destination_(destination), options_(options), output_(std::make_unique<OutputFile>()) {}

Extractor::~Extractor() = default;

// Checks the name and the stored file's header before anything is created; then the bytes go
// to the output unit, which shows them under the name only once they are all there.
Extraction Extractor::write(ContainerInput& input, const FileEntry& entry, OutputFile& output) {
  if (const NameProblem problem = entryNameProblem(entry.name); problem != NameProblem::none) {
    return {ExtractStatus::unsafeName, {}, problem, {}};
  }
  if (!seekToFileChunk(input, entry)) {
    const std::error_code error = input.readError();
    return error ? failed(ExtractStatus::readFailed, error) : failed(ExtractStatus::notFileChunk);
  }
  if (const std::error_code error = output.create(destination_, untilFirstZero(entry.name))) {
    return failed(ExtractStatus::cannotCreate, error);
  }
  return copyPayload(input, entry.size, output);
}

Extraction Extractor::extract(ContainerInput& input, const FileEntry& entry) {
  const Extraction written = write(input, entry, *output_);
  if (!options_.sync || written.status != ExtractStatus::extracted) {
    return place(written, input.identity(), *output_);
  }
  if (const std::error_code error = output_->finishWriting()) {
    output_->abandon();
    return failed(ExtractStatus::writeFailed, error);
  }
  Pending one{std::move(output_), 0, written, input.identity()};
  std::vector<Completed> done = placeBatch(std::span(&one, 1));
  output_ = std::move(one.output);
  return std::move(done.front().extraction);
}

void Extractor::submit(ContainerInput& input, const FileEntry& entry, std::size_t token) {
  if (!options_.sync) {
    completed_.push_back({token, extract(input, entry)});
    return;
  }
  if (spare_.empty()) {
    spare_.push_back(std::make_unique<OutputFile>());
  }
  std::unique_ptr<OutputFile> output = std::move(spare_.back());
  spare_.pop_back();
  Extraction written = write(input, entry, *output);
  if (written.status == ExtractStatus::cannotCreate && !pending_.empty() &&
      outOfDescriptors(written.error)) {
    flushPending();  // each file waiting holds a descriptor: the batch ends here
    written = write(input, entry, *output);
  }
  const std::error_code finished = written.status == ExtractStatus::extracted
                                       ? output->finishWriting(entry.size >= kWritebackFrom)
                                       : std::error_code{};
  if (written.status != ExtractStatus::extracted || finished) {
    // Failed or cut short: nothing of it waits for the disk. A cut-short file is placed at
    // once, as it would be without sync, since only the bytes present can be kept.
    completed_.push_back(
        {token, finished ? (output->abandon(), failed(ExtractStatus::writeFailed, finished))
                         : place(written, input.identity(), *output)});
    spare_.push_back(std::move(output));
    return;
  }
  pending_.push_back({std::move(output), token, written, input.identity()});
  pendingBytes_ += entry.size;
  if (pending_.size() >=
          std::clamp<std::size_t>(options_.mostPending, 1, OutputFile::kMostPending) ||
      pendingBytes_ >= kBatchBytes) {
    flushPending();
  }
}

std::vector<Completed> Extractor::takeCompleted() {
  return std::exchange(completed_, {});
}

std::vector<Completed> Extractor::finish() {
  flushPending();
  return takeCompleted();
}

void Extractor::flushPending() {
  if (pending_.empty()) {
    return;
  }
  for (Completed& done : placeBatch(pending_)) {
    completed_.push_back(std::move(done));
  }
  for (Pending& waiting : pending_) {
    spare_.push_back(std::move(waiting.output));
  }
  pending_.clear();
  pendingBytes_ = 0;
}

// A batch reaches the disk with as few flushes as the platform allows, then each file takes
// its name, in the order submitted, then the directory that now names them is flushed.
std::vector<Completed> Extractor::placeBatch(std::span<Pending> batch) {
  std::vector<OutputFile*> files;
  for (const Pending& waiting : batch) {
    files.push_back(waiting.output.get());
  }
  const std::error_code flushed = OutputFile::flushToDisk(files);
  std::vector<Completed> done;
  for (Pending& waiting : batch) {
    if (flushed) {
      waiting.output->abandon();
      done.push_back({waiting.token, failed(ExtractStatus::writeFailed, flushed)});
    } else {
      done.push_back({waiting.token, place(waiting.written, waiting.container, *waiting.output)});
    }
  }
  if (const std::error_code error = destination_.flushToDisk()) {
    // The files stand under their names, but the names may not survive a power loss.
    for (Completed& each : done) {
      if (each.extraction.succeeded()) {
        each.extraction = failed(ExtractStatus::writeFailed, error);
      }
    }
  }
  return done;
}

// The system's copy may stop anywhere without saying why; the blocks carry on from there, and
// their reads and writes meet the end of the data or the error themselves.
Extraction Extractor::copyPayload(ContainerInput& input, std::uint32_t size, OutputFile& output) {
  std::uint32_t remaining = size;
  if (size >= kSystemCopyFrom) {
    const std::uint64_t copied = output.appendCopy(input.file(), input.offset(), remaining);
    input.skip(copied);
    remaining -= static_cast<std::uint32_t>(copied);
  }
  copyBlock_.resize(kCopyBlockSize);
  const std::span<std::byte> block(copyBlock_);
  while (remaining > 0) {
    const auto wanted = std::min<std::size_t>(remaining, block.size());
    const std::size_t got = input.read(block.first(wanted));
    if (input.readError()) {
      return failed(ExtractStatus::readFailed, input.readError());
    }
    if (const std::error_code error = output.write(block.first(got))) {
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
Extraction Extractor::place(const Extraction& copied, const FileIdentity& container,
                            OutputFile& output) {
  if (copied.status != ExtractStatus::extracted && copied.status != ExtractStatus::truncated) {
    output.abandon();
    return copied;
  }
  const bool complete = copied.status == ExtractStatus::extracted;
  const auto placement = complete && !options_.skipExisting ? OutputFile::Placement::replaceExisting
                                                            : OutputFile::Placement::keepExisting;
  OutputFile::Committed committed = output.commit(placement, container, placed_);
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
