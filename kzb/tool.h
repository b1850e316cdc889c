// The whole run of kzb: the command line parsed, then the command it names.
#pragma once

#include <string>
#include <vector>

#include "commands.h"

namespace kzb::tool {

// `arguments` as main receives them (UTF-8, the program's name first). Help and the version
// go to context.out; a usage error is one line on context.err. Returns the exit status.
int run(const std::vector<std::string>& arguments, Context& context);

}  // namespace kzb::tool
