// kzb's command line, parsed in this one place (with CLI11) from the table of commands:
//
//   kzb COMMAND [OPTIONS] CONTAINER...      options before or after the containers; "--"
//                                           ends them
//   kzb --help | kzb COMMAND --help | kzb --version
#pragma once

#include <string>
#include <vector>

#include "commands.h"

namespace kzb::tool {

struct Invocation {
  enum class Kind {
    run,         // run `command` with `options`
    help,        // print `text` on standard output
    version,     // print `text` on standard output
    usageError,  // print "kzb: `text`" on standard error
  };
  Kind kind = Kind::usageError;
  const Command* command = nullptr;
  Options options;
  std::string text;
};

// `arguments` as main receives them, the program's name first.
Invocation parseCommandLine(const std::vector<std::string>& arguments);

}  // namespace kzb::tool
