#include "driver.h"

#include <optional>
#include <string>
#include <vector>

#include "archive_reader.h"
#include "console.h"
#include "diagnostics.h"
#include "directory.h"
#include "extract.h"
#include "report.h"
#include "utf8.h"
#include "writer_pool.h"

namespace kzb {
namespace {

constexpr std::string_view kProgram = "kzb-extract: ";

constexpr std::string_view kUsage =
    "Usage: kzb-extract CONTAINER\n"
    "Prints the report of the KZB container CONTAINER on standard output, then writes every\n"
    "file it stores into the working directory. Only the first argument counts; a container\n"
    "named --help or --version is reached as ./--help.\n"
    "To list, test, print or extract into another directory or selectively: kzb --help.\n";

// Why the report could not be written, if it could not. The standard streams know the
// system's reason; any other stream that failed is said to have met an I/O error.
std::error_code reportFailure(const std::ostream& out) {
  if (const auto* standard = dynamic_cast<const console::StandardStream*>(out.rdbuf())) {
    return standard->failure();
  }
  return out ? std::error_code{} : std::make_error_code(std::errc::io_error);
}

// What the process holds open besides the files it writes: the standard streams, the
// container, the working directory and what the runtime opens.
constexpr std::uint64_t kReservedDescriptors = 16;

// The threads that write files besides this one, which places them and writes too whenever
// it would wait: one for each other core the process may run on, each with the two ends of
// its pipe for the system's copy, and files enough to keep it busy under the limit on open
// files. One core, or a limit too low for more, writes on this thread alone.
unsigned writerThreads() {
  const std::uint64_t limit = console::openFileLimit();
  unsigned threads = console::usableProcessors() - 1;
  while (threads > 0 && limit != 0 && limit < kReservedDescriptors + std::uint64_t{6} * threads) {
    --threads;
  }
  return threads;
}

std::size_t filesOpenAtOnce() {
  const std::uint64_t limit = console::openFileLimit();
  if (limit == 0) {
    return OutputFile::kMostPending;
  }
  return static_cast<std::size_t>(limit > kReservedDescriptors ? limit - kReservedDescriptors : 1);
}

// Every entry, in table order, each line said as its file is settled.
bool extractAll(ArchiveReader& reader, std::ostream& err) {
  const FileTable& entries = reader.entries();
  if (entries.empty()) {
    return true;
  }
  Directory working;
  if (const std::error_code error = working.openWorking()) {
    const Extraction failure{ExtractStatus::cannotCreate, error, NameProblem::none, {}};
    for (std::size_t index = 0; index < entries.size(); ++index) {
      err << kProgram << entryLabel(entries[index], index) << ": " << describe(failure) << '\n';
    }
    return false;
  }
  const unsigned threads = writerThreads();
  std::optional<WriterPool> pool;
  if (threads > 0) {
    pool.emplace(threads);
  }
  ExtractOptions options;
  options.mostPending = filesOpenAtOnce();
  options.pool = pool ? &*pool : nullptr;
  bool succeeded = true;
  const auto tell = [&](const std::vector<Completed>& completed) {
    for (const Completed& done : completed) {
      if (!done.extraction.succeeded()) {
        succeeded = false;
        err << kProgram << entryLabel(entries[done.token], done.token) << ": "
            << describe(done.extraction) << '\n';
        err.flush();  // each line as it happens: a signal may end the run before the next
      }
    }
  };
  Extractor extractor(working, options);
  for (std::size_t index = 0; index < entries.size(); ++index) {
    extractor.submit(reader.input(), entries[index], index);
    tell(extractor.takeCompleted());
  }
  tell(extractor.finish());
  return succeeded;
}

}  // namespace

int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  if (argc < 2) {
    return -1;
  }
  const std::string path = argv[1];
  // The one exception to "only the first argument counts, and it names the container".
  if (path == "--help" || path == "--version") {
    out << (path == "--help" ? kUsage : "kzb-extract " KZB_VERSION "\n");
    out.flush();
    const std::error_code failure = reportFailure(out);
    return failure && failure != std::errc::broken_pipe ? 1 : 0;
  }
  ArchiveReader reader(path);
  printInfo(reader, out);
  out.flush();  // the report comes before any diagnostic, on a terminal and in a shared file

  bool succeeded = reader.walk().readWhole();
  if (!succeeded) {
    err << kProgram << printable(path) << ": " << describe(reader.walk()) << '\n';
  }
  // A reader that went away (| head, quitting a pager) wanted no more of the report: that
  // is no failure, and the files are extracted all the same.
  if (const std::error_code failure = reportFailure(out);
      failure && failure != std::errc::broken_pipe) {
    succeeded = false;
    err << kProgram << "standard output: write failed: " << failure.message() << '\n';
  }
  if (!extractAll(reader, err)) {
    succeeded = false;
  }
  err.flush();
  return succeeded ? 0 : 1;
}

}  // namespace kzb
