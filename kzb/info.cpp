// kzb info: kzb-extract's report of each container, and nothing extracted; or, with
// --comicinfo, --comicbookinfo or --opf, the one container's metadata as the document
// readers import.
#include <chrono>

#include "archive_reader.h"
#include "comic_book_info.h"
#include "comic_info.h"
#include "command_output.h"
#include "commands.h"
#include "report.h"

namespace kzb::tool {
namespace {

// The document of a container that was opened, as far as it was read; nothing for one that
// could not be opened. PageCount counts the rows of the file table; the ComicBookInfo JSON
// is what convert writes as the ZIP's comment, on a line of its own here.
void printDocument(ArchiveReader& reader, const std::string& container, Context& context,
                   InfoDocument document) {
  if (reader.walk().status == WalkStatus::cannotOpen) {
    return;
  }
  const Archive& archive = reader.archive();
  switch (document) {
    case InfoDocument::comicInfo:
      context.out << comicInfoXml(archive, archive.entries.size());
      break;
    case InfoDocument::comicBookInfo: {
      const std::chrono::sys_seconds modified{std::chrono::seconds{reader.input().modifiedTime()}};
      const ComicBookInfo info = comicBookInfo(archive, applicationId(), modified);
      context.out << info.json << '\n';
      context.out.flush();
      if (info.shortened) {
        noteShortenedComment(context, container);
      }
      break;
    }
    case InfoDocument::opf:
      context.out << opfPackage(archive);
      break;
    case InfoDocument::report:
      break;
  }
}

}  // namespace

int runInfo(const Options& options, Context& context) {
  int status = kExitSuccess;
  ContainerHeadings headings(options.containers.size());
  for (const std::string& container : options.containers) {
    ArchiveReader reader(container);
    if (options.document == InfoDocument::report) {
      headings.before(context.out, container);
      printInfo(reader, context.out);
    } else {
      printDocument(reader, container, context, options.document);
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
