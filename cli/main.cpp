#include <iostream>

#include "driver.h"

int main(int argc, char** argv) {
  // The report is one buffered byte stream; nothing here mixes C and C++ output.
  std::ios::sync_with_stdio(false);
  return kzb::run(argc, argv, std::cout, std::cerr);
}
