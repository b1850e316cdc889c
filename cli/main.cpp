#include <ostream>
#include <string>
#include <vector>

#include "console.h"
#include "driver.h"
#include "output_file.h"

int main(int argc, char** argv) {
  kzb::console::prepareProcess();
  kzb::OutputFile::removeTemporariesOnTermination();
  const std::vector<std::string> arguments = kzb::console::arguments(argc, argv);
  std::vector<const char*> pointers;
  pointers.reserve(arguments.size());
  for (const std::string& argument : arguments) {
    pointers.push_back(argument.c_str());
  }
  kzb::console::StandardStream outBuffer(kzb::console::Stream::output);
  kzb::console::StandardStream errBuffer(kzb::console::Stream::error);
  std::ostream out(&outBuffer);
  std::ostream err(&errBuffer);
  return kzb::run(static_cast<int>(pointers.size()), pointers.data(), out, err);
}
