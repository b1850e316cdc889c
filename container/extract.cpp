// Copying one stored file out of the container into the destination directory.
#include "extract.h"

#include <algorithm>
#include <array>
#include <atomic>
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

// The payload bytes that files in flight hold at most: only those under kSystemCopyFrom are
// read ahead, into memory, and these few cover the threads of any machine.
constexpr std::size_t kMostBytesInFlight = std::size_t{4} * 1024 * 1024;

// The fewest files an extractor must be allowed to hold open to write on a pool's threads.
constexpr std::size_t kLeastForThreads = 4;

// How many files an extractor holds open at most, whatever it is allowed.
constexpr std::size_t kMostPending = OutputFile::kMostPending;

// Whether a file failed for want of room, which files written beside it may have taken.
// Compared by value, as above: the process may be out of descriptors too.
bool outOfSpace(const Extraction& written) {
  return (written.status == ExtractStatus::writeFailed ||
          written.status == ExtractStatus::cannotCreate) &&
         &written.error.category() == &std::generic_category() &&
         written.error.value() == static_cast<int>(std::errc::no_space_on_device);
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

// One submitted entry, from its check to its settling. The submitting thread fills in what
// comes before `output`; whoever writes the file (a pool's thread, or the submitting one)
// fills in `output` and `written`, and the submitting thread reads them only once `done`.
struct Extractor::Job {
  std::size_t token = 0;
  std::u16string name;     // up to its first zero unit
  std::uint32_t size = 0;  // of the payload, as the entry gives it
  // The payload: read already into `bytes`, or to be copied from `source` at `offset`.
  std::vector<std::byte> bytes;
  const InputFile* source = nullptr;
  std::uint64_t offset = 0;
  // What was found before any file was made: a failure that makes none (an unsafe name, no
  // stored file at the position), or how reading `bytes` went (extracted, truncated, or
  // readFailed, which makes the file and drops it, as a failed read always has).
  Extraction found;
  bool makesFile = false;
  bool writeback = false;  // start the file's writing to the disk once written (sync)
  FileIdentity container;
  std::size_t bytesHeld = 0;  // bytes.size() when submitted, for the bound on memory
  std::unique_ptr<OutputFile> output;
  Extraction written;
  std::atomic<bool> done{true};
  bool rewrite = false;  // written ahead, then dropped: written again at its turn
};

Extractor::Extractor(const Directory& destination, ExtractOptions options)
    : destination_(destination), options_(options) {
  const std::size_t budget = std::clamp<std::size_t>(options_.mostPending, 1, kMostPending);
  if (budget < kLeastForThreads) {
    options_.pool = nullptr;  // too few files may be open to write several at once
  }
  // Enough files in flight that no thread of the pool waits for work, and half the budget at
  // most, so that a synchronized batch keeps the rest.
  mostInFlight_ = options_.pool == nullptr
                      ? 1
                      : std::clamp<std::size_t>(std::size_t{32} * options_.pool->threads(), 1,
                                                std::max<std::size_t>(1, budget / 2));
  mostBatched_ =
      options_.pool == nullptr ? budget : std::max<std::size_t>(1, budget - mostInFlight_);
}

// Every job still running refers to this extractor and to its container: they end first.
Extractor::~Extractor() {
  for (const std::unique_ptr<Job>& job : inFlight_) {
    if (options_.pool != nullptr) {
      options_.pool->waitUntil(job->done);
    }
  }
}

std::unique_ptr<Extractor::Job> Extractor::prepare(ContainerInput& input, const FileEntry& entry,
                                                   std::size_t token) const {
  auto job = std::make_unique<Job>();
  job->token = token;
  job->size = entry.size;
  job->container = input.identity();
  if (const NameProblem problem = entryNameProblem(entry.name); problem != NameProblem::none) {
    job->found = {ExtractStatus::unsafeName, {}, problem, {}};
    return job;
  }
  if (!seekToFileChunk(input, entry)) {
    const std::error_code error = input.readError();
    job->found =
        error ? failed(ExtractStatus::readFailed, error) : failed(ExtractStatus::notFileChunk);
    return job;
  }
  job->makesFile = true;
  job->name = untilFirstZero(entry.name);
  job->writeback = options_.sync && entry.size >= kWritebackFrom;
  if (entry.size >= kSystemCopyFrom) {
    job->source = &input.file();
    job->offset = input.offset();
    return job;
  }
  job->bytes.resize(entry.size);
  const std::size_t got = input.read(job->bytes);
  job->bytes.resize(got);
  job->bytesHeld = got;
  if (input.readError()) {
    job->found = failed(ExtractStatus::readFailed, input.readError());
  } else if (got < entry.size) {
    job->found = failed(ExtractStatus::truncated);
  }
  return job;
}

// The bytes go to the output unit, which shows them under the name only once they are all
// there; what is buffered is handed to the system here, so that placing is all that is left.
void Extractor::write(Job& job) const {
  OutputFile& output = *job.output;
  if (const std::error_code error = output.create(destination_, job.name)) {
    job.written = failed(ExtractStatus::cannotCreate, error);
    return;
  }
  Extraction written = job.found;
  if (written.status != ExtractStatus::readFailed) {
    if (job.source != nullptr) {
      written = copyFromContainer(job, output);
    } else if (const std::error_code error = output.write(job.bytes)) {
      written = failed(ExtractStatus::writeFailed, error);
    }
  }
  if (written.status == ExtractStatus::extracted || written.status == ExtractStatus::truncated) {
    if (const std::error_code error = output.finishWriting(job.writeback)) {
      written = failed(ExtractStatus::writeFailed, error);
    }
  }
  if (written.status != ExtractStatus::extracted && written.status != ExtractStatus::truncated) {
    output.abandon();
  }
  job.written = written;
}

// The system's copy may stop anywhere without saying why; blocks read by offset carry on from
// there, and meet the end of the data or the error themselves. Bytes past the container's
// size when it was opened count as absent, as for every other read of it.
Extraction Extractor::copyFromContainer(const Job& job, OutputFile& output) {
  const InputFile& source = *job.source;
  std::uint64_t offset = job.offset;
  std::uint64_t remaining = job.size;
  const std::uint64_t copied = output.appendCopy(source, offset, remaining);
  offset += copied;
  remaining -= copied;
  std::vector<std::byte> block(std::min<std::uint64_t>(remaining, kCopyBlockSize));
  while (remaining > 0) {
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, block.size()));
    const auto present = static_cast<std::size_t>(
        offset < source.size() ? std::min<std::uint64_t>(wanted, source.size() - offset) : 0);
    std::error_code error;
    const std::size_t got = source.readAt(offset, std::span(block).first(present), error);
    if (error) {
      return failed(ExtractStatus::readFailed, error);
    }
    if (const std::error_code writeError = output.write(std::span(block).first(got))) {
      return failed(ExtractStatus::writeFailed, writeError);
    }
    offset += got;
    remaining -= got;
    if (got < wanted) {
      return failed(ExtractStatus::truncated);
    }
  }
  return failed(ExtractStatus::extracted);
}

Extraction Extractor::extract(ContainerInput& input, const FileEntry& entry) {
  submit(input, entry, 0);
  std::vector<Completed> done = finish();
  return done.empty() ? failed(ExtractStatus::cannotCreate) : std::move(done.back().extraction);
}

void Extractor::submit(ContainerInput& input, const FileEntry& entry, std::size_t token) {
  std::unique_ptr<Job> job = prepare(input, entry, token);
  // Bounded by count (each file in flight holds a descriptor) and by the payload bytes held.
  while (!inFlight_.empty() && (inFlight_.size() >= mostInFlight_ ||
                                bytesInFlight_ + job->bytesHeld > kMostBytesInFlight)) {
    settleOldest();
  }
  Job& submitted = *job;
  inFlight_.push_back(std::move(job));
  bytesInFlight_ += submitted.bytesHeld;
  if (submitted.makesFile) {
    submitted.output = spareOutput();
    if (options_.pool != nullptr) {
      options_.pool->run([this, &submitted] { write(submitted); }, submitted.done);
    } else {
      write(submitted);
    }
  }
  settleReady();
}

void Extractor::settleReady() {
  while (!inFlight_.empty() && inFlight_.front()->done.load()) {
    settleOldest();
  }
}

void Extractor::settleOldest() {
  std::unique_ptr<Job> job = std::move(inFlight_.front());
  inFlight_.pop_front();
  if (options_.pool != nullptr) {
    options_.pool->waitUntil(job->done);
  }
  bytesInFlight_ -= job->bytesHeld;
  settle(*job);
  if (job->output) {
    spare_.push_back(std::move(job->output));
  }
}

std::unique_ptr<OutputFile> Extractor::spareOutput() {
  if (spare_.empty()) {
    return std::make_unique<OutputFile>();
  }
  std::unique_ptr<OutputFile> output = std::move(spare_.back());
  spare_.pop_back();
  return output;
}

// On a disk that fills, files written side by side take room from one another, and one that
// would fit when written after the files before it, as one thread writes them, could fail.
// From the first file short of room on, every file is written alone, in its turn: those
// written ahead are dropped and written again when their turn comes.
void Extractor::writeAloneFromNowOn() {
  for (const std::unique_ptr<Job>& ahead : inFlight_) {
    options_.pool->waitUntil(ahead->done);
    if (ahead->makesFile) {
      ahead->output->abandon();
      ahead->rewrite = true;
    }
  }
  options_.pool = nullptr;
}

// A job settles in the order submitted: placed at once, or (sync) put in the batch.
void Extractor::settle(Job& job) {
  if (!job.makesFile) {
    completed_.push_back({job.token, job.found});
    return;
  }
  if (job.rewrite) {
    write(job);
  } else if (options_.pool != nullptr && outOfSpace(job.written)) {
    writeAloneFromNowOn();
    write(job);  // with the room that the files written beside it took given back
  }
  if (job.written.status == ExtractStatus::cannotCreate && isOutOfDescriptors(job.written.error) &&
      !pending_.empty()) {
    flushPending();  // each file waiting holds a descriptor: the batch ends here
    write(job);
  }
  if (!options_.sync || job.written.status != ExtractStatus::extracted) {
    // Failed or cut short: nothing of it waits for the disk. A cut-short file is placed at
    // once, as it would be without sync, since only the bytes present can be kept.
    completed_.push_back({job.token, place(job.written, job.container, *job.output)});
    return;
  }
  pending_.push_back({std::move(job.output), job.token, job.written, job.container});
  pendingBytes_ += job.size;
  if (pending_.size() >= mostBatched_ || pendingBytes_ >= kBatchBytes) {
    flushPending();
  }
}

std::vector<Completed> Extractor::takeCompleted() {
  return std::exchange(completed_, {});
}

std::vector<Completed> Extractor::finish() {
  while (!inFlight_.empty()) {
    settleOldest();
  }
  flushPending();
  for (const std::unique_ptr<OutputFile>& spare : spare_) {
    spare->releasePlaced();
  }
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
    waiting.output->releasePlaced();  // a batch's files would hold as many descriptors
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
