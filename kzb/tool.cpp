#include "tool.h"

#include "command_line.h"
#include "command_output.h"
#include "utf8.h"

namespace kzb::tool {

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
  int status = invocation.command->run(invocation.options, context);
  if (diagnoseOutputFailure(context)) {
    status = kExitFailure;
  }
  context.err.flush();
  return status;
}

}  // namespace kzb::tool
