// kzb convert: each container as one ZIP that readers of comics and e-books open (a CBZ): its
// stored files in table order, then ComicInfo.xml (convert.h says which rows become members).
// The ZIP goes into an output file (output_file.h), which takes its name only once the ZIP is
// complete: a conversion that fails or is interrupted leaves nothing, an existing file of that
// name is replaced only by a whole ZIP, and the container itself is never replaced.
#include <chrono>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "archive_reader.h"
#include "command_output.h"
#include "commands.h"
#include "convert.h"
#include "epub.h"
#include "diagnostics.h"
#include "directory.h"
#include "entry_name.h"
#include "jobs.h"
#include "output_file.h"
#include "output_sink.h"
#include "paths.h"
#include "placed_files.h"
#include "utf8.h"

namespace kzb::tool {
namespace {

namespace fs = std::filesystem;

Extraction asExtraction(ExtractStatus status, std::error_code error = {}) {
  return {status, error, NameProblem::none, {}};
}

// Why a row of the file table is not in the ZIP, in extraction's words where it has them.
std::string describe(const MemberOutcome& done) {
  switch (done.status) {
    case MemberStatus::unsafeName:
      return std::string(kzb::describe(done.nameProblem));
    case MemberStatus::nameTooLong:
      return "name too long for a ZIP, not converted (a header holds 65535 bytes of UTF-8)";
    case MemberStatus::reservedName:
      return "reserved name, not converted (the ZIP's ComicInfo.xml is made from the metadata)";
    case MemberStatus::notFileChunk:
      return kzb::describe(asExtraction(ExtractStatus::notFileChunk));
    case MemberStatus::truncated:
      return kzb::describe(asExtraction(ExtractStatus::truncated));
    case MemberStatus::readFailed:
      return kzb::describe(asExtraction(ExtractStatus::readFailed, done.error));
    case MemberStatus::notAPage:
      return "note: neither an image nor text, so not in the EPUB";
    case MemberStatus::written:
    case MemberStatus::replacedByLater:
      break;
  }
  return "converted";
}

// The last component of a path given as UTF-8, as UTF-16 for the output unit (`suffix`
// added); nothing when it is no name this platform can take for a file (the path ends in a
// separator, it is "." or "..", or it cannot be read as Unicode). The ZIP named after its
// container takes cbzFileNameOf's name, which kzb-mount's CBZ view shows too.
std::optional<std::u16string> fileNameOf(const std::string& path, std::u16string_view suffix) {
  try {
    std::u16string text = pathFromUtf8(path).filename().u16string();
    text += suffix;
    if (entryNameProblem(text) != NameProblem::none) {
      return std::nullopt;
    }
    return text;
  } catch (const std::exception&) {  // not UTF-8: no name to give the file
    return std::nullopt;
  }
}

// What a container's output is called after it: X.kzb gives X.cbz, or X.epub.
std::u16string_view outputSuffix(const Options& options) {
  return options.toEpub ? u".epub" : u".cbz";
}

// `directory` and `name` joined as a line shows them, with the separator every platform takes.
std::string joined(const std::string& directory, const std::string& name) {
  if (directory.empty()) {
    return name;
  }
  const char last = directory.back();
  return directory + (last == '/' || last == '\\' ? "" : "/") + name;
}

// A directory that ZIPs of the run go into, and what they placed there.
struct OutputDirectory {
  Directory directory;
  PlacedFiles placed;
  std::map<std::u16string, std::string> writtenFor;  // each ZIP's name: its container
};

// What the containers of one run share, whichever job converts them.
struct SharedOutput {
  std::mutex mutex;  // held for each use of what follows
  // Each directory by the path it was tried under, opened with the first container that has
  // something to convert into it; two paths to one directory share it. A failure is kept.
  std::map<std::string, std::pair<OutputDirectory*, std::error_code>> byPath;
  std::vector<std::unique_ptr<OutputDirectory>> opened;
};

// The key of the containers whose ZIPs may share a name: the ZIP's name with ASCII letters in
// one case, since file systems that fold case take such names for one file. Those run one
// after another in argument order. A container that gives no name has a key of its own.
std::string sharingKey(const Options& options, std::size_t index) {
  const std::string& container = options.containers[index];
  std::optional<std::u16string> name = options.output.empty()
                                           ? bookFileNameOf(container, outputSuffix(options))
                                           : fileNameOf(options.output, u"");
  if (!name) {
    // Built in place: GCC 12 at -O3 takes "std::string(1, c) + text" for an overlapping copy
    // (-Wrestrict), a false report that would fail a Release build with warnings as errors.
    std::string own(1, '\0');
    own += std::to_string(index);
    return own;
  }
  for (char16_t& unit : *name) {
    unit = unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit + 32) : unit;
  }
  return toUtf8(*name);
}

// One container's conversion, writing into the context of its job.
class ConvertRun {
 public:
  ConvertRun(const Options& options, Context& context, SharedOutput& shared)
      : options_(options), context_(context), shared_(shared) {}

  ContainerDone run(const std::string& container) {
    const bool goesOn = convertContainer(container);
    return {status_, !goesOn};
  }

 private:
  // Where one container's ZIP goes: its name in the destination, and the path lines show.
  struct Target {
    std::u16string name;
    std::string shown;
  };

  // False when the run cannot go on: the directory that every ZIP goes into cannot be opened.
  bool convertContainer(const std::string& container) {
    ArchiveReader reader(container);
    if (!reader.walk().readWhole()) {
      status_ = kExitFailure;
    }
    if (!diagnoseWalkBeforeWriting(context_, container, reader.walk(), "not converted")) {
      return true;  // nothing to convert, and no directory made for it
    }
    const std::optional<Target> target = targetFor(container);
    if (!target) {
      status_ = kExitFailure;
      return true;
    }
    OutputDirectory* destination = openDestination(container);
    if (destination == nullptr) {
      return options_.beside;  // without --beside, every ZIP goes into this one directory
    }
    if (const std::optional<std::string> earlier = writtenFor(*destination, target->name)) {
      diagnoseSharedOutput(container, target->shown, *earlier);
      return true;
    }
    convertInto(reader, container, *target, *destination);
    return true;
  }

  std::optional<Target> targetFor(const std::string& container) {
    if (!options_.output.empty()) {
      if (std::optional<std::u16string> name = fileNameOf(options_.output, u"")) {
        return Target{std::move(*name), options_.output};
      }
      diagnose(context_, options_.output, "names no file to write; not converted");
      return std::nullopt;
    }
    if (std::optional<std::u16string> name = bookFileNameOf(container, outputSuffix(options_))) {
      const std::string shown = joined(destinationPath(container), toUtf8(*name));
      return Target{std::move(*name), shown};
    }
    diagnose(context_, container, "its file name gives no name for the ZIP; not converted");
    return std::nullopt;
  }

  std::optional<std::string> writtenFor(const OutputDirectory& destination,
                                        const std::u16string& name) {
    const std::lock_guard<std::mutex> lock(shared_.mutex);
    if (const auto earlier = destination.writtenFor.find(name);
        earlier != destination.writtenFor.end()) {
      return earlier->second;
    }
    return std::nullopt;
  }

  // -o: the directory OUT names its file in, which must exist; otherwise -C DIR (with
  // --beside, taken from the container's folder), made with its parents if missing, or the
  // working directory. Each is tried once a run; each container that needs it after it failed
  // says so (without --beside, the first of them in argument order ends the run).
  OutputDirectory* openDestination(const std::string& container) {
    const std::string path = destinationPath(container);
    std::unique_lock<std::mutex> lock(shared_.mutex);
    auto known = shared_.byPath.find(path);
    if (known == shared_.byPath.end()) {
      known = shared_.byPath.emplace(path, openDirectory(path)).first;
    }
    const auto [destination, error] = known->second;
    lock.unlock();
    if (error) {
      diagnose(context_, path.empty() ? "." : path,
               std::string(options_.output.empty() ? "cannot make or open" : "cannot open") +
                   " this directory: " + error.message());
      status_ = kExitFailure;
    }
    return destination;
  }

  std::string destinationPath(const std::string& container) const {
    return options_.output.empty() ? destinationFor(container, options_.directory, options_.beside)
                                   : utf8FromPath(pathFromUtf8(options_.output).parent_path());
  }

  // Called with the mutex held: the directory at `path`, or the one already open that it
  // leads to.
  std::pair<OutputDirectory*, std::error_code> openDirectory(const std::string& path) {
    Directory directory;
    const std::error_code error =
        path.empty() ? directory.openWorking() : directory.open(path, options_.output.empty());
    if (error) {
      return {nullptr, error};
    }
    const FileIdentity identity = directory.identity();
    for (const std::unique_ptr<OutputDirectory>& opened : shared_.opened) {
      if (identity != FileIdentity{} && opened->directory.identity() == identity) {
        return {opened.get(), {}};
      }
    }
    shared_.opened.push_back(std::make_unique<OutputDirectory>());
    shared_.opened.back()->directory = std::move(directory);
    return {shared_.opened.back().get(), {}};
  }

  void convertInto(ArchiveReader& reader, const std::string& container, const Target& target,
                   OutputDirectory& destination) {
    OutputFile file;
    if (const std::error_code error = file.create(destination.directory, target.name)) {
      fail(target.shown, asExtraction(ExtractStatus::cannotCreate, error));
      return;
    }
    OutputFileSink sink(file);
    ConvertOptions conversion;
    conversion.deflate = options_.deflate;
    conversion.renumber = options_.renumber;
    conversion.application = applicationId();
    conversion.modified =
        std::chrono::sys_seconds{std::chrono::seconds{reader.input().modifiedTime()}};
    const FileTable& entries = reader.entries();
    const MemberReport report = [&](const MemberOutcome& done) {
      if (isFailure(done.status)) {
        diagnose(context_, entryLabel(entries[done.index], done.index), describe(done));
        status_ = kExitFailure;
      } else if (done.status == MemberStatus::notAPage) {
        diagnose(context_, entryLabel(entries[done.index], done.index), describe(done));
      }
    };
    ConvertResult result;
    if (options_.toEpub) {
      EpubOptions book;
      book.zip = conversion;
      book.language = options_.language;
      book.fallbackTitle = toUtf8(bookFileNameOf(container, u"").value_or(u""));
      const EpubResult made = convertToEpub(reader.input(), reader.archive(), sink, book, report);
      result.status = made.status;
      result.error = made.error;
    } else {
      result = convertToZip(reader, sink, conversion, report);
    }
    if (result.status == ConvertStatus::writeFailed) {
      file.abandon();
      fail(target.shown, asExtraction(ExtractStatus::writeFailed, result.error));
      return;
    }
    // One ZIP takes its name at a time: the names placed so far tell which others the file
    // system takes it for.
    std::unique_lock<std::mutex> lock(shared_.mutex);
    OutputFile::Committed committed = file.commit(OutputFile::Placement::replaceExisting,
                                                  reader.input().identity(), destination.placed);
    if (!placed(committed, container, target, destination)) {
      return;
    }
    destination.writtenFor[target.name] = container;
    lock.unlock();
    if (result.commentShortened) {
      noteShortenedComment(context_, container);
    }
    if (result.namesOutOfOrder) {
      diagnose(context_, container,
               "note: readers sort pages by name, and these names sort out of the container's "
               "order; --renumber keeps it");
    }
  }

  // Whether the ZIP now stands under its name; a diagnostic when not.
  bool placed(OutputFile::Committed& committed, const std::string& container, const Target& target,
              const OutputDirectory& destination) {
    using Outcome = OutputFile::Outcome;
    switch (committed.outcome) {
      case Outcome::placed:
        return true;
      case Outcome::isProtected:
        fail(target.shown, asExtraction(ExtractStatus::isTheContainer));
        return false;
      case Outcome::writeFailed:
        fail(target.shown, asExtraction(ExtractStatus::writeFailed, committed.error));
        return false;
      case Outcome::nameRefused:
        fail(target.shown, asExtraction(ExtractStatus::nameRefused, committed.error));
        return false;
      case Outcome::sameFileAsEarlier:
        if (const auto earlier = destination.writtenFor.find(committed.earlier);
            earlier != destination.writtenFor.end()) {
          diagnoseSharedOutput(container, target.shown, earlier->second);
        } else {
          fail(target.shown, {ExtractStatus::sameFileAsEarlier,
                              {},
                              NameProblem::none,
                              std::move(committed.earlier)});
        }
        return false;
      case Outcome::keptExisting:  // only where asked to keep what exists, which convert never is
      case Outcome::cannotPlace:
        break;
    }
    fail(target.shown, asExtraction(ExtractStatus::cannotCreate, committed.error));
    return false;
  }

  // Two containers of the run whose ZIPs would have the same name (the same file name without
  // the extension, or names the file system takes for one): the later one is not converted.
  void diagnoseSharedOutput(const std::string& container, const std::string& shown,
                            const std::string& earlier) {
    diagnose(context_, container,
             "would share the output " + printable(shown) + " with " + printable(earlier) +
                 "; not converted");
    status_ = kExitFailure;
  }

  void fail(const std::string& subject, const Extraction& what) {
    diagnose(context_, subject, kzb::describe(what));
    status_ = kExitFailure;
  }

  const Options& options_;
  Context& context_;
  SharedOutput& shared_;
  int status_ = kExitSuccess;
};

}  // namespace

int runConvert(const Options& options, Context& context) {
  SharedOutput shared;
  std::vector<std::string> keys;
  for (std::size_t index = 0; index < options.containers.size(); ++index) {
    keys.push_back(sharingKey(options, index));
  }
  return runContainers(options, context, keys, [&](std::size_t index, Context& job) {
    return ConvertRun(options, job, shared).run(options.containers[index]);
  });
}

}  // namespace kzb::tool
