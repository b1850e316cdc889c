#include "driver.h"

#include <string>

#include "archive_reader.h"
#include "console.h"
#include "diagnostics.h"
#include "report.h"
#include "utf8.h"

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
  for (std::size_t index = 0; index < reader.entries().size(); ++index) {
    const Extraction extraction = reader.extract(index);
    if (!extraction.succeeded()) {
      succeeded = false;
      err << kProgram << entryLabel(reader.entries()[index], index) << ": " << describe(extraction)
          << '\n';
      err.flush();  // each line as it happens: a signal may end the run before the next
    }
  }
  err.flush();
  return succeeded ? 0 : 1;
}

}  // namespace kzb
