// Extraction: copying one stored file out of an open container into a destination
// directory, all or nothing (see output_file.h). It is given the container, an entry and the
// directory; it knows nothing of how the container was walked or of any report.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "archive.h"
#include "container_input.h"
#include "directory.h"
#include "entry_name.h"
#include "output_file.h"
#include "placed_files.h"
#include "writer_pool.h"

namespace kzb {

enum class ExtractStatus {
  extracted,              // the file stands complete under its name
  truncated,              // the container ends inside its bytes: those present stand there
  truncatedKeptExisting,  // the container ends inside its bytes; the file at its name stayed
  skippedExisting,        // something stood at its name, and the run keeps what exists
  unsafeName,             // nameProblem says which rule refused it; nothing was created
  notFileChunk,           // no "FILE" chunk of the entry's size at its position
  readFailed,             // the system could not read the payload (error)
  writeFailed,            // the file could not be written (error)
  cannotCreate,           // the file could not be made or placed (error)
  nameRefused,            // the file system cannot store this name (error)
  sameFileAsEarlier,      // the name stands for a file placed earlier under `earlier`
  isTheContainer,         // the name stands for the container being read
};

struct Extraction {
  ExtractStatus status = ExtractStatus::extracted;
  std::error_code error;                        // the system's reason, where it has one
  NameProblem nameProblem = NameProblem::none;  // unsafeName: which rule
  std::u16string earlier;                       // sameFileAsEarlier: the earlier entry's name

  // Whether the entry counts as done.
  bool succeeded() const {
    return status == ExtractStatus::extracted || status == ExtractStatus::skippedExisting;
  }
};

struct ExtractOptions {
  bool skipExisting = false;  // leave whatever stands at a name as it is
  // Every file placed is on the disk when finish() returns, and no name ever shows a partial
  // file, even across a power loss: files are written as temporaries in batches, each batch
  // flushed to the disk at once, then put in place, then the directory flushed.
  bool sync = false;
  // How many files the extractor may hold open at once: those being written on the pool's
  // threads, and with sync those waiting for their batch; fewer than OutputFile::kMostPending
  // where several extractions share the process's open files.
  std::size_t mostPending = OutputFile::kMostPending;
  // Where files are made and written, side by side, while the submitting thread places them
  // in the order submitted; none: everything happens on the submitting thread. The pool must
  // outlive the extractor.
  WriterPool* pool = nullptr;
};

// What became of one submitted entry; `token` is the caller's, as it was submitted.
struct Completed {
  std::size_t token = 0;
  Extraction extraction;
};

// Extracts entries into one directory. The files placed so far are remembered for the life
// of the extractor, so that one whose name the file system takes for an earlier one's is
// told apart, across containers too.
class Extractor {
 public:
  explicit Extractor(const Directory& destination, ExtractOptions options = {});
  ~Extractor();
  Extractor(const Extractor&) = delete;
  Extractor& operator=(const Extractor&) = delete;

  // Reads `entry`'s stored file from `input` (the input's position is left wherever the last
  // read ended) and places it in the destination under the entry's name.
  Extraction extract(ContainerInput& input, const FileEntry& entry);

  // The same for a run that writes on a pool's threads or batches its files
  // (ExtractOptions): what became of the entry is among what takeCompleted() returns, at once
  // or after later entries, or at the latest what finish() returns; without sync, in the
  // order submitted. The input must stay open, and unchanged, until then. Files take their names
  // in that order too, on this thread, so which of several same-named entries stays, and
  // every check made at placing, are as when each entry is extracted in turn.
  void submit(ContainerInput& input, const FileEntry& entry, std::size_t token);
  std::vector<Completed> takeCompleted();
  // Places whatever is pending (with sync: flushes it to the disk, places it, flushes the
  // directory) and returns what became of it.
  std::vector<Completed> finish();

 private:
  struct Job;
  // A file written in full, waiting for its batch to reach the disk.
  struct Pending {
    std::unique_ptr<OutputFile> output;
    std::size_t token;
    Extraction written;
    FileIdentity container;
  };

  // Checks the entry and reads what the file is to be written from: small payloads now,
  // larger ones are copied from the container by whoever writes the file.
  std::unique_ptr<Job> prepare(ContainerInput& input, const FileEntry& entry,
                               std::size_t token) const;
  // Makes the job's file and writes it, without placing it: on any thread.
  void write(Job& job) const;
  static Extraction copyFromContainer(const Job& job, OutputFile& output);
  // What follows a job's writing, on the submitting thread, in the order submitted.
  void settle(Job& job);
  void settleReady();
  void settleOldest();
  void writeAloneFromNowOn();
  Extraction place(const Extraction& copied, const FileIdentity& container, OutputFile& output);
  std::vector<Completed> placeBatch(std::span<Pending> batch);
  void flushPending();
  std::unique_ptr<OutputFile> spareOutput();

  const Directory& destination_;
  ExtractOptions options_;
  std::size_t mostInFlight_ = 1;  // jobs submitted and not yet settled
  std::size_t mostBatched_ = 1;   // with sync: files in one batch
  PlacedFiles placed_;
  std::deque<std::unique_ptr<Job>> inFlight_;
  std::size_t bytesInFlight_ = 0;  // of the payloads the jobs in flight hold
  std::vector<Completed> completed_;
  std::vector<Pending> pending_;
  std::uint64_t pendingBytes_ = 0;
  std::vector<std::unique_ptr<OutputFile>> spare_;  // files of earlier jobs, for reuse
};

// Leaves `input` at the first payload byte when a "FILE" chunk whose payload has the entry's
// size stands at the entry's position.
bool seekToFileChunk(ContainerInput& input, const FileEntry& entry);

// The integer result that extractEntry returns for an extraction: the one place that maps
// what happened to the tool's result codes.
int resultCode(const Extraction& extraction);

}  // namespace kzb
