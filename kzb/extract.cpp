// kzb extract: every entry the filters take, with kzb-extract's guarantees and results, into
// the working directory, a directory named with -C (made if missing), or with --each one
// folder per container under either.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "archive_reader.h"
#include "command_output.h"
#include "commands.h"
#include "diagnostics.h"
#include "directory.h"
#include "extract.h"
#include "extraction_plan.h"
#include "glob.h"
#include "jobs.h"
#include "output_file.h"
#include "paths.h"
#include "progress.h"
#include "utf8.h"
#include "writer_pool.h"

namespace kzb::tool {
namespace {

namespace fs = std::filesystem;

// An open destination and the extractor that places files into it. The extractor remembers
// the files it placed, so that names the file system takes for one another are told apart
// across the containers that share it.
struct Destination {
  Destination(Directory opened, ExtractOptions options)
      : directory(std::move(opened)), extractor(directory, options) {}
  Directory directory;
  Extractor extractor;
};

// A folder that --each has given to a container of this run, known by what it is: names tell
// nothing where the file system takes two for one folder.
struct ClaimedFolder {
  FileIdentity identity;
  std::string key;  // sharingKey's
  fs::path path;
  std::string container;
};

// What the containers of one run share, whichever job extracts them.
struct SharedDestinations {
  std::mutex mutex;  // held for each use of what follows
  // Without --each: the directory of every container (of each one's folder with --beside), by
  // the path it was opened under; two paths to one directory share its destination.
  std::map<std::string, Destination*> byPath;
  std::vector<std::unique_ptr<Destination>> opened;
  std::vector<ClaimedFolder> claimed;  // with --each
};

// The key of the containers that may share a destination: without --each, all of them; with
// it, those whose folder names are the same with ASCII letters in one case (as file systems
// that fold case take them). Those run one after another in argument order.
std::string folderKey(const std::string& container) {
  std::string name = utf8FromPath(pathFromUtf8(container).filename().stem());
  for (char& c : name) {
    c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  }
  return name;
}

std::string sharingKey(const Options& options, std::size_t index) {
  return options.each ? folderKey(options.containers[index]) : std::string();
}

// One container's extraction, writing into the context of its job.
class ExtractRun {
 public:
  ExtractRun(const Options& options, Context& context, SharedDestinations& shared,
             const NameFilter& filter, Progress& progress, std::size_t mostPending,
             WriterPool* pool)
      : mostPending_(mostPending),
        pool_(pool),
        options_(options),
        context_(context),
        shared_(shared),
        filter_(filter),
        progress_(progress),
        headings_(options.containers.size()) {}

  ContainerDone run(std::size_t index) {
    const bool goesOn = extractContainer(options_.containers[index], index);
    return {status_, !goesOn};
  }

 private:
  // False when the run cannot go on: the one destination of every container failed.
  bool extractContainer(const std::string& container, std::size_t index) {
    if (options_.verbose) {
      headings_.before(context_.out, container, index);
    }
    ArchiveReader reader(container);
    if (!reader.walk().readWhole()) {
      status_ = kExitFailure;
    }
    if (!diagnoseWalkBeforeWriting(context_, container, reader.walk(), "not extracted")) {
      return true;  // nothing to extract, and no folder made for it
    }
    std::unique_ptr<Destination> own;
    Destination* destination = nullptr;
    if (options_.each) {
      own = folderFor(container);
      destination = own.get();
    } else {
      destination = sharedDestination(container);
      if (destination == nullptr && !options_.beside) {
        return false;  // every container needs this one directory
      }
    }
    if (destination == nullptr) {
      status_ = kExitFailure;
      return true;
    }
    extractEntries(reader, destination->extractor);
    return true;
  }

  void extractEntries(ArchiveReader& reader, Extractor& extractor) {
    const FileTable& entries = reader.entries();
    std::size_t files = 0;
    std::uint64_t bytes = 0;
    for (const FileEntry& entry : entries) {
      if (filter_.passes(entry.name)) {
        ++files;
        bytes += entry.size;
      }
    }
    progress_.begin(files, bytes);
    // The rows the plan leaves out are told as the extractor would tell them, and never
    // reach it: what extraction leaves is the plan's, which kzb-mount shows too.
    const ExtractionPlan plan = planExtraction(
        reader.input(), entries,
        [&](std::size_t index) { return filter_.passes(entries[index].name); },
        PlanScope::refusalsOnly);
    for (std::size_t index = 0; index < entries.size(); ++index) {
      if (!filter_.passes(entries[index].name)) {
        continue;
      }
      if (const PlannedRow& row = plan.rows[index]; isRefusedByPlan(row.fate)) {
        progress_.advance(entries[index]);
        tell(entries, {{index, refusal(row, entries)}});
        continue;
      }
      extractor.submit(reader.input(), entries[index], index);
      progress_.advance(entries[index]);
      tell(entries, extractor.takeCompleted());
    }
    tell(entries, extractor.finish());
  }

  // A row the plan leaves out, as the extraction that met it would have ended.
  static Extraction refusal(const PlannedRow& row, const FileTable& entries) {
    switch (row.fate) {
      case RowFate::unsafeName:
        return {ExtractStatus::unsafeName, {}, row.nameProblem, {}};
      case RowFate::sameFileAsEarlier:
        return {ExtractStatus::sameFileAsEarlier,
                {},
                NameProblem::none,
                std::u16string(untilFirstZero(entries[row.earlier].name))};
      default:
        return {ExtractStatus::nameRefused,
                std::make_error_code(std::errc::filename_too_long),
                NameProblem::none,
                {}};
    }
  }

  // -v's line for each entry done, a diagnostic for each that failed.
  void tell(const FileTable& entries, const std::vector<Completed>& completed) {
    if (completed.empty()) {
      return;
    }
    for (const Completed& done : completed) {
      const FileEntry& entry = entries[done.token];
      if (done.extraction.succeeded()) {
        if (options_.verbose) {
          progress_.hide();
          const bool skipped = done.extraction.status == ExtractStatus::skippedExisting;
          context_.out << (skipped ? "skipped: " : "extracted: ") << shownName(entry) << '\n';
        }
      } else {
        progress_.hide();
        diagnose(context_, entryLabel(entry, done.token), describe(done.extraction));
        status_ = kExitFailure;
      }
    }
    if (options_.verbose) {
      context_.out.flush();  // each name as its file is placed
    }
  }

  // The directory `path` names, made with its parents if missing; the working directory when
  // `path` is empty. A diagnostic when it cannot be opened.
  std::optional<Directory> open(const std::string& path) {
    Directory directory;
    const std::error_code error =
        path.empty() ? directory.openWorking() : directory.open(path, true);
    if (error) {
      cannotOpen(path.empty() ? "." : path, error);
      return std::nullopt;
    }
    return directory;
  }

  void cannotOpen(const std::string& shown, const std::error_code& error) {
    diagnose(context_, shown, "cannot make or open this directory: " + error.message());
    status_ = kExitFailure;
  }

  std::unique_ptr<Destination> destinationIn(Directory directory) const {
    return std::make_unique<Destination>(
        std::move(directory),
        ExtractOptions{options_.skipExisting, options_.sync, mostPending_, pool_});
  }

  // Without --each: the directory the container goes into, shared with every container of the
  // run that goes into the same one, whatever path leads there.
  Destination* sharedDestination(const std::string& container) {
    const std::string path = destinationFor(container, options_.directory, options_.beside);
    const std::lock_guard<std::mutex> lock(shared_.mutex);
    if (const auto known = shared_.byPath.find(path); known != shared_.byPath.end()) {
      return known->second;
    }
    std::optional<Directory> directory = open(path);
    if (!directory) {
      return nullptr;
    }
    const FileIdentity identity = directory->identity();
    Destination* destination = nullptr;
    for (const std::unique_ptr<Destination>& opened : shared_.opened) {
      if (identity != FileIdentity{} && opened->directory.identity() == identity) {
        destination = opened.get();
      }
    }
    if (destination == nullptr) {
      shared_.opened.push_back(destinationIn(std::move(*directory)));
      destination = shared_.opened.back().get();
    }
    shared_.byPath.emplace(path, destination);
    return destination;
  }

  // --each: the folder named after the container's file name without its extension, unless
  // an earlier container of this run has it: the same folder, under whatever name the file
  // system takes for its own. Nothing that stands at the name is followed.
  std::unique_ptr<Destination> folderFor(const std::string& container) {
    const std::string name = utf8FromPath(pathFromUtf8(container).filename().stem());
    if (name.empty() || name == "." || name == "..") {
      diagnose(context_, container, "its file name gives no folder name; not extracted");
      return nullptr;
    }
    const std::string directory = destinationFor(container, options_.directory, options_.beside);
    const fs::path folder =
        directory.empty() ? pathFromUtf8(name) : pathFromUtf8(directory) / pathFromUtf8(name);
    // As convert shows its ZIP: joined with the separator every platform takes.
    const bool separated =
        directory.empty() || directory.back() == '/' || directory.back() == '\\';
    const std::string shown = directory + (separated ? "" : "/") + name;
    std::optional<Directory> base = open(directory);
    if (!base) {
      return nullptr;
    }
    Directory opened;
    if (const std::error_code error = opened.openChild(*base, name)) {
      if (error == std::errc::too_many_symbolic_link_levels) {
        diagnose(context_, container, printable(shown) + " is a link, not followed; not extracted");
        status_ = kExitFailure;
      } else {
        cannotOpen(shown, error);
      }
      return nullptr;
    }
    base.reset();
    const FileIdentity identity = opened.identity();
    const std::string key = folderKey(container);
    const std::lock_guard<std::mutex> lock(shared_.mutex);
    for (const ClaimedFolder& claimed : shared_.claimed) {
      if (claimed.identity == identity ||
          (!opened.identitiesAreTrusted() && claimed.key == key &&
           claimed.identity.device == identity.device &&
           OutputFile::showsTheSameDirectory(opened, claimed.path))) {
        diagnose(context_, container,
                 "would share the folder " + printable(shown) + " with " +
                     printable(claimed.container) + "; not extracted");
        return nullptr;
      }
    }
    shared_.claimed.push_back({identity, key, folder, container});
    return destinationIn(std::move(opened));
  }

  std::size_t mostPending_;  // files each extractor may hold open
  WriterPool* pool_;         // where files are written; none: on the job's own thread
  const Options& options_;
  Context& context_;
  SharedDestinations& shared_;
  const NameFilter& filter_;
  Progress& progress_;
  ContainerHeadings headings_;
  int status_ = kExitSuccess;
};

}  // namespace

int runExtract(const Options& options, Context& context) {
  const NameFilter filter(options.includes, options.excludes);
  std::vector<std::string> keys;
  for (std::size_t index = 0; index < options.containers.size(); ++index) {
    keys.push_back(sharingKey(options, index));
  }
  // One progress line for a run on this thread. Jobs on other threads draw none: their
  // standard error is replayed later, and a line that redraws itself cannot be.
  Progress progress(context, options.progress);
  // A synchronized batch holds its files open: each job takes its share of the open files the
  // process may have, and at least kLeastBatch of them for its batch.
  constexpr unsigned kLeastBatch = 16;
  const unsigned descriptors = kJobDescriptors + (options.sync ? kLeastBatch : 0);
  const std::uint64_t share = descriptorsPerJob(jobCount(options, descriptors));
  const auto mostPending = static_cast<std::size_t>(
      share > kJobDescriptors
          ? std::min<std::uint64_t>(share - kJobDescriptors, OutputFile::kMostPending)
          : 1);
  // Files are written on as many threads as containers may run at once (-j, or the cores),
  // counting the thread of each container, which writes whenever it would wait to place;
  // shared by every container: those run one after another as much as side by side.
  const unsigned writers = jobCount(options, descriptors);
  std::optional<WriterPool> pool;
  if (writers > 1) {
    pool.emplace(writers - 1);
  }
  WriterPool* const writing = pool ? &*pool : nullptr;
  SharedDestinations shared;  // after the pool: its extractors end before the pool does
  const auto work = [&](std::size_t index, Context& job) {
    if (&job == &context) {
      return ExtractRun(options, job, shared, filter, progress, mostPending, writing).run(index);
    }
    Progress none(job, ProgressMode::never);
    return ExtractRun(options, job, shared, filter, none, mostPending, writing).run(index);
  };
  const int status = runContainers(options, context, keys, work, descriptors);
  progress.hide();
  return status;
}

}  // namespace kzb::tool
