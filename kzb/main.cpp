#include <ostream>
#include <string>
#include <vector>

#include "commands.h"
#include "console.h"
#include "output_file.h"
#include "tool.h"

int main(int argc, char** argv) {
  kzb::console::prepareProcess();
  kzb::OutputFile::removeTemporariesOnTermination();
  const std::vector<std::string> arguments = kzb::console::arguments(argc, argv);
  kzb::console::StandardStream outBuffer(kzb::console::Stream::output);
  kzb::console::StandardStream errBuffer(kzb::console::Stream::error);
  std::ostream out(&outBuffer);
  std::ostream err(&errBuffer);
  kzb::tool::Context context{out, err, kzb::console::isTerminal(kzb::console::Stream::error)};
  return kzb::tool::run(arguments, context);
}
