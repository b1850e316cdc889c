// kzb info: kzb-extract's report of each container, and nothing extracted; or, with
// --comicinfo or --opf, the one container's metadata as the document readers import.
#include "archive_reader.h"
#include "comic_info.h"
#include "command_output.h"
#include "commands.h"
#include "report.h"

namespace kzb::tool {
namespace {

// The document of a container that was opened, as far as it was read; nothing for one that
// could not be opened. PageCount counts the rows of the file table.
void printDocument(const ArchiveReader& reader, InfoDocument document, std::ostream& out) {
  if (reader.walk().status == WalkStatus::cannotOpen) {
    return;
  }
  const Archive& archive = reader.archive();
  out << (document == InfoDocument::opf ? opfPackage(archive)
                                        : comicInfoXml(archive, archive.entries.size()));
}

}  // namespace

int runInfo(const Options& options, Context& context) {
  int status = kExitSuccess;
  ContainerHeadings headings(options.containers.size());
  for (const std::string& container : options.containers) {
    const ArchiveReader reader(container);
    if (options.document == InfoDocument::report) {
      headings.before(context.out, container);
      printInfo(reader, context.out);
    } else {
      printDocument(reader, options.document, context.out);
    }
    // The output comes before its container's diagnostic, on a terminal and in a shared file.
    context.out.flush();
    if (!diagnoseWalk(context, container, reader.walk())) {
      status = kExitFailure;
    }
  }
  return status;
}

}  // namespace kzb::tool
