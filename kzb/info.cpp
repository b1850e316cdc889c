// kzb info: kzb-extract's report of each container, and nothing extracted.
#include "archive_reader.h"
#include "command_output.h"
#include "commands.h"
#include "report.h"

namespace kzb::tool {

int runInfo(const Options& options, Context& context) {
  int status = kExitSuccess;
  ContainerHeadings headings(options.containers.size());
  for (const std::string& container : options.containers) {
    const ArchiveReader reader(container);
    headings.before(context.out, container);
    printInfo(reader, context.out);
    // The report comes before its container's diagnostic, on a terminal and in a shared file.
    context.out.flush();
    if (!diagnoseWalk(context, container, reader.walk())) {
      status = kExitFailure;
    }
  }
  return status;
}

}  // namespace kzb::tool
