// kzb's command line on arbitrary argument vectors, in-process, with no container touched:
// the input is the arguments after the program's name, each ended by a zero byte. Whatever
// they are, the parser names a command with at least one container, or asks for the help or
// the version, or gives exit status 2 with exactly one line on standard error and nothing on
// standard output. Parsing is pure: the same vector gives the same answer twice.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "commands.h"
#include "fuzz_support.h"
#include "tool.h"

namespace {

using kzb::fuzz::require;
using kzb::tool::Invocation;

std::vector<std::string> argumentsOf(std::string_view input) {
  std::vector<std::string> arguments = {"kzb"};
  while (!input.empty()) {
    const std::size_t end = input.find('\0');
    arguments.emplace_back(input.substr(0, end));
    input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
  }
  return arguments;
}

bool isOneOfTheCommands(const kzb::tool::Command* command) {
  for (const kzb::tool::Command& known : kzb::tool::kCommands) {
    if (&known == command) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  kzb::fuzz::makePathArgumentsAbsolute(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> arguments =
      argumentsOf(std::string_view(reinterpret_cast<const char*>(data), size));
  const Invocation invocation = kzb::tool::parseCommandLine(arguments);
  const Invocation again = kzb::tool::parseCommandLine(arguments);
  require(again.kind == invocation.kind && again.command == invocation.command &&
              again.text == invocation.text,
          "the same arguments parsed two ways");

  switch (invocation.kind) {
    case Invocation::Kind::run: {
      const kzb::tool::Options& options = invocation.options;
      require(isOneOfTheCommands(invocation.command), "a run names no command of the table");
      require(!options.containers.empty(), "a command with no container");
      require(options.jobs <= 4096, "a count of jobs past the limit");
      require(options.output.empty() || options.containers.size() == 1,
              "-o with several containers");
      require((invocation.command->options & kzb::tool::kEntryNameOperands) != 0 ||
                  options.names.empty(),
              "entry names for a command that takes none");
      return 0;  // running it would touch the containers
    }
    case Invocation::Kind::help:
    case Invocation::Kind::version:
    case Invocation::Kind::usageError:
      break;
  }
  // Not a command: the whole run prints what the parser said, and touches nothing.
  std::ostringstream out;
  std::ostringstream err;
  kzb::tool::Context context{out, err};
  const int status = kzb::tool::run(arguments, context);
  if (invocation.kind == Invocation::Kind::usageError) {
    const std::string line = err.str();
    require(status == kzb::tool::kExitUsage, "a usage error whose status is not 2");
    require(out.str().empty(), "a usage error wrote on standard output");
    require(line.starts_with("kzb: ") && line.find('\n') == line.size() - 1,
            "a usage error is not exactly one line on standard error");
  } else {
    require(status == kzb::tool::kExitSuccess && !out.str().empty() && err.str().empty(),
            "help or the version did not go to standard output alone");
  }
  return 0;
}
