#include "tool.h"

#include <algorithm>
#include <filesystem>

#include "command_line.h"
#include "command_output.h"
#include "paths.h"
#include "utf8.h"

namespace kzb::tool {
namespace {

// --beside: each container is a run of its own, whose directory is -C's (or the working
// directory) taken from the container's own folder; an absolute DIR stays as it is. The
// worst status of the runs is the run's.
int runBeside(const Command& command, const Options& options, Context& context) {
  int status = kExitSuccess;
  for (const std::string& container : options.containers) {
    Options own = options;
    own.containers = {container};
    const std::filesystem::path folder = pathFromUtf8(container).parent_path();
    if (!folder.empty()) {
      own.directory = utf8FromPath(
          options.directory.empty() ? folder : folder / pathFromUtf8(options.directory));
    }
    status = std::max(status, command.run(own, context));
  }
  return status;
}

}  // namespace

int run(const std::vector<std::string>& arguments, Context& context) {
  const Invocation invocation = parseCommandLine(arguments);
  switch (invocation.kind) {
    case Invocation::Kind::help:
    case Invocation::Kind::version:
      context.out << invocation.text;
      return diagnoseOutputFailure(context) ? kExitFailure : kExitSuccess;
    case Invocation::Kind::usageError:
      context.err << "kzb: " << printable(invocation.text) << '\n';
      context.err.flush();
      return kExitUsage;
    case Invocation::Kind::run:
      break;
  }
  int status = invocation.options.beside
                   ? runBeside(*invocation.command, invocation.options, context)
                   : invocation.command->run(invocation.options, context);
  if (diagnoseOutputFailure(context)) {
    status = kExitFailure;
  }
  context.err.flush();
  return status;
}

}  // namespace kzb::tool
