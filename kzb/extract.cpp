// kzb extract: every entry the filters take, with kzb-extract's guarantees and results, into
// the working directory, a directory named with -C (made if missing), or with --each one
// folder per container under either.
#include <filesystem>
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
#include "paths.h"
#include "progress.h"
#include "utf8.h"

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

// A folder that --each has given to a container of this run.
struct ClaimedFolder {
  std::string name;
  fs::path path;
  std::string container;
};

// What the containers of one run share, whichever job extracts them.
struct SharedDestinations {
  std::mutex mutex;                     // held for each use of what follows
  std::unique_ptr<Destination> shared;  // without --each: one for every container
  bool sharedTried = false;
  std::vector<ClaimedFolder> claimed;  // with --each
};

// The key of the containers that may share a destination: without --each, all of them; with
// it, those whose folder names are the same with ASCII letters in one case (as file systems
// that fold case take them). Those run one after another in argument order.
std::string sharingKey(const Options& options, std::size_t index) {
  if (!options.each) {
    return {};
  }
  std::string name = utf8FromPath(pathFromUtf8(options.containers[index]).filename().stem());
  for (char& c : name) {
    c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  }
  return name;
}

// One container's extraction, writing into the context of its job.
class ExtractRun {
 public:
  ExtractRun(const Options& options, Context& context, SharedDestinations& shared,
             const NameFilter& filter, Progress& progress)
      : options_(options),
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
    if (!diagnoseWalk(context_, container, reader.walk())) {
      status_ = kExitFailure;
    }
    if (reader.walk().status == WalkStatus::cannotOpen) {
      return true;  // nothing to extract, and no folder made for it
    }
    std::unique_ptr<Destination> own;
    Destination* destination = nullptr;
    if (options_.each) {
      own = folderFor(container);
      destination = own.get();
    } else {
      // Tried once a run: every container needs it, so its failure ends the run.
      const std::lock_guard<std::mutex> lock(shared_.mutex);
      if (!shared_.sharedTried) {
        shared_.sharedTried = true;
        shared_.shared = open(options_.directory);
      }
      if (!shared_.shared) {
        status_ = kExitFailure;
        return false;
      }
      destination = shared_.shared.get();
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
  // `path` is empty. Nothing, and a diagnostic, when it cannot be opened.
  std::unique_ptr<Destination> open(const std::string& path) {
    Directory directory;
    const std::error_code error =
        path.empty() ? directory.openWorking() : directory.open(path, true);
    if (error) {
      diagnose(context_, path.empty() ? "." : path,
               "cannot make or open this directory: " + error.message());
      status_ = kExitFailure;
      return nullptr;
    }
    return std::make_unique<Destination>(std::move(directory),
                                         ExtractOptions{options_.skipExisting, options_.sync});
  }

  // --each: the folder named after the container's file name without its extension, unless
  // an earlier container of this run has it (the same name, or one the file system takes for
  // it).
  std::unique_ptr<Destination> folderFor(const std::string& container) {
    const std::string name = utf8FromPath(pathFromUtf8(container).filename().stem());
    if (name.empty() || name == "." || name == "..") {
      diagnose(context_, container, "its file name gives no folder name; not extracted");
      return nullptr;
    }
    const fs::path base =
        options_.directory.empty() ? fs::path(".") : pathFromUtf8(options_.directory);
    const fs::path folder =
        options_.directory.empty() ? pathFromUtf8(name) : base / pathFromUtf8(name);
    const std::string shown = utf8FromPath(folder);
    const std::lock_guard<std::mutex> lock(shared_.mutex);
    for (const ClaimedFolder& claimed : shared_.claimed) {
      std::error_code ignored;
      if (claimed.name == name || fs::equivalent(claimed.path, folder, ignored)) {
        diagnose(context_, container,
                 "would share the folder " + printable(shown) + " with " +
                     printable(claimed.container) + "; not extracted");
        return nullptr;
      }
    }
    std::unique_ptr<Destination> destination = open(shown);
    if (destination) {
      shared_.claimed.push_back({name, folder, container});
    }
    return destination;
  }

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
  SharedDestinations shared;
  const NameFilter filter(options.includes, options.excludes);
  std::vector<std::string> keys;
  for (std::size_t index = 0; index < options.containers.size(); ++index) {
    keys.push_back(sharingKey(options, index));
  }
  // One progress line for a run on this thread. Jobs on other threads draw none: their
  // standard error is replayed later, and a line that redraws itself cannot be.
  Progress progress(context, options.progress);
  const int status = runContainers(options, context, keys, [&](std::size_t index, Context& job) {
    if (&job == &context) {
      return ExtractRun(options, job, shared, filter, progress).run(index);
    }
    Progress none(job, ProgressMode::never);
    return ExtractRun(options, job, shared, filter, none).run(index);
  });
  progress.hide();
  return status;
}

}  // namespace kzb::tool
