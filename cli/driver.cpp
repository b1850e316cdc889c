#include "driver.h"

#include <string>

#include "archive_reader.h"
#include "console.h"
#include "report.h"
#include "utf8.h"

namespace kzb {
namespace {

constexpr std::string_view kProgram = "kzb-extract: ";

// The reader's results, in the user's words.
std::string openFailure(const ArchiveReader& reader) {
  switch (reader.openResult()) {
    case ResultNotAvailable:
      return "cannot open: " + reader.lastSystemError().message();
    case ResultReadFailed:
      return "read error: " + reader.lastSystemError().message();
    default:
      return "truncated or malformed container";
  }
}

std::string extractFailure(const ArchiveReader& reader, const FileEntry& entry, int result) {
  switch (result) {
    case ResultNotAvailable:
      if (const NameProblem problem = entryNameProblem(entry.name); problem != NameProblem::none) {
        return std::string(describe(problem));
      }
      return "cannot create: " + reader.lastSystemError().message();
    case ResultNotFileChunk:
      return "no stored file of the recorded size at its position";
    case ResultTruncated:
      return "container ends inside this file's data";
    case ResultTruncatedKeptExisting:
      return "container ends inside this file's data; the existing file was kept";
    case ResultIsTheContainer:
      return "is the container being read, not overwritten";
    case ResultSameFileAsEarlier:
      return "this file system does not tell it from " + printable(toUtf8(reader.earlierName())) +
             ", extracted earlier; not extracted";
    case ResultNameRefused:
      return "this file system cannot store this name (" + reader.lastSystemError().message() + ")";
    case ResultWriteFailed:
      return "write failed: " + reader.lastSystemError().message();
    case ResultPayloadReadFailed:
      return "read error: " + reader.lastSystemError().message();
    default:
      return "failed with result " + std::to_string(result);
  }
}

std::string entryLabel(const FileEntry& entry, std::size_t index) {
  const std::u16string_view name = untilFirstZero(entry.name);
  if (name.empty()) {
    return "entry " + std::to_string(index + 1);
  }
  return printable(toUtf8(name));
}

// Why the report could not be written, if it could not. The standard streams know the
// system's reason; any other stream that failed is said to have met an I/O error.
std::error_code reportFailure(const std::ostream& out) {
  if (const auto* standard = dynamic_cast<const console::StandardStream*>(out.rdbuf())) {
    return standard->failure();
  }
  return out ? std::error_code{} : std::make_error_code(std::errc::io_error);
}

// Whether the container was read whole: opened, walked to its end, and no longer than the
// file that holds it.
bool readWhole(const ArchiveReader& reader) {
  return reader.openResult() == ResultSuccess && !reader.walkedPastEnd();
}

}  // namespace

int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  if (argc < 2) {
    return -1;
  }
  const std::string path = argv[1];
  ArchiveReader reader(path);
  printInfo(reader, out);
  out.flush();  // the report comes before any diagnostic, on a terminal and in a shared file

  bool succeeded = readWhole(reader);
  if (!succeeded) {
    err << kProgram << printable(path) << ": " << openFailure(reader) << '\n';
  }
  // A reader that went away (| head, quitting a pager) wanted no more of the report: that
  // is no failure, and the files are extracted all the same.
  if (const std::error_code failure = reportFailure(out);
      failure && failure != std::errc::broken_pipe) {
    succeeded = false;
    err << kProgram << "standard output: write failed: " << failure.message() << '\n';
  }
  for (std::size_t index = 0; index < reader.entries().size(); ++index) {
    const int result = reader.extractEntry(index);
    if (result != ResultSuccess) {
      succeeded = false;
      const FileEntry& entry = reader.entries()[index];
      err << kProgram << entryLabel(entry, index) << ": " << extractFailure(reader, entry, result)
          << '\n';
      err.flush();  // each line as it happens: a signal may end the run before the next
    }
  }
  err.flush();
  return succeeded ? 0 : 1;
}

}  // namespace kzb
