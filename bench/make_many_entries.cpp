// Writes a container of many small entries with the project's own container builder, for
// timing what grows with the file table alone (kzb list --json, kzb test):
//
//   make-many-entries FILE COUNT
//
// Entry i is named "page-<i, seven digits>.txt" and holds its own name followed by a newline,
// so every entry differs and each CRC-32 is a real one. The same COUNT gives the same bytes.
#include <charconv>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

#include "container_builder.h"

namespace {

bool parseCount(std::string_view text, std::uint64_t& value) {
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc{} && result.ptr == text.data() + text.size();
}

std::string entryName(std::uint64_t index) {
  std::string name = "page-0000000.txt";
  for (std::size_t at = 11; at > 4 && index > 0; --at, index /= 10) {
    name[at] = static_cast<char>('0' + index % 10);
  }
  return name;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t count = 0;
  // An entry takes about 125 bytes of container, and the builder holds the file table in
  // memory: four million entries make 500 MB, far within the format's 2 GiB lengths.
  if (argc != 3 || !parseCount(argv[2], count) || count > 4000000) {
    std::cerr << "usage: make-many-entries FILE COUNT (COUNT at most 4000000)\n";
    return 2;
  }
  kzb::testing::Publication publication;
  publication.texts = {{"TITL", u"many entries"}};
  publication.files.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::string name = entryName(i);
    publication.files.push_back({kzb::testing::utf16FromUtf8(name), name + "\n", {}});
  }
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  kzb::testing::writeContainer(out, publication);
  out.close();
  if (!out) {
    std::cerr << "make-many-entries: cannot write " << argv[1] << '\n';
    return 1;
  }
  return 0;
}
