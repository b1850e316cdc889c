// Writes one benchmark workload with the project's own container builder: COUNT plain files
// of SIZE pseudo-random bytes each in DIR/files, then DIR/C.kzb holding exactly those files,
// in the same order as DIR/names lists them (one name a line, for `tar -T`). With `pages`,
// each file is a page for an EPUB instead: a PNG's header (1200 x 1800), which is all a
// reader of its size looks at, then the pseudo-random bytes, under a name ending in .png.
//
//   make-workload DIR COUNT SIZE [pages]
//
// The bytes are pseudo-random so that no layer below (file system, page cache) can shrink
// them, and deterministic so that two runs of the benchmark write the same workload. The
// container is streamed from the plain files, so this program holds no payload in memory.
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "container_builder.h"
#include "sample_books.h"

namespace {

constexpr std::size_t kWriteBlock = 1 << 20;

bool parseCount(std::string_view text, std::uint64_t& value) {
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc{} && result.ptr == text.data() + text.size();
}

// xorshift64*: fast enough that writing a gibibyte is bound by the disk, not by this.
class Bytes {
 public:
  explicit Bytes(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  void fill(std::string& block) {
    for (std::size_t i = 0; i < block.size(); i += 8) {
      state_ ^= state_ >> 12;
      state_ ^= state_ << 25;
      state_ ^= state_ >> 27;
      std::uint64_t word = state_ * 0x2545F4914F6CDD1Dull;
      for (std::size_t k = 0; k < 8 && i + k < block.size(); ++k) {
        block[i + k] = static_cast<char>(word & 0xff);
        word >>= 8;
      }
    }
  }

 private:
  std::uint64_t state_;
};

bool writeFile(const std::filesystem::path& path, std::uint64_t size, std::uint64_t seed,
               const std::string& header) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  Bytes bytes(seed);
  std::string block(kWriteBlock, '\0');
  const std::size_t headerBytes = header.size() < size ? header.size() : size;
  out.write(header.data(), static_cast<std::streamsize>(headerBytes));
  for (std::uint64_t left = size - headerBytes; left > 0 && out;) {
    const std::size_t step = left < block.size() ? static_cast<std::size_t>(left) : block.size();
    block.resize(step);
    bytes.fill(block);
    out.write(block.data(), static_cast<std::streamsize>(step));
    left -= step;
  }
  out.close();
  return static_cast<bool>(out);
}

// Fixed width, so that the names sort the same way everywhere; six digits are enough here.
std::string fileName(std::uint64_t index, std::string_view extension) {
  std::string name = "f000000" + std::string(extension);
  for (std::size_t at = 6; at > 0 && index > 0; --at, index /= 10) {
    name[at] = static_cast<char>('0' + index % 10);
  }
  return name;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t count = 0;
  std::uint64_t size = 0;
  const bool pages = argc == 5 && std::string_view(argv[4]) == "pages";
  if ((argc != 4 && !pages) || !parseCount(argv[2], count) || !parseCount(argv[3], size)) {
    std::cerr << "usage: make-workload DIR COUNT SIZE [pages]\n";
    return 2;
  }
  const std::string header = pages ? kzb::testing::png(1200, 1800) : std::string();
  if (count > 1000000) {
    std::cerr << "make-workload: at most 1000000 files\n";
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  const std::filesystem::path files = dir / "files";
  std::filesystem::create_directories(files);

  kzb::testing::Publication publication;
  publication.texts = {{"TITL", u"kzb-extract benchmark workload"}};
  publication.files.reserve(static_cast<std::size_t>(count));
  std::ofstream names(dir / "names", std::ios::trunc);
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::string name = fileName(i, pages ? ".png" : ".bin");
    if (!writeFile(files / name, size, i, header)) {
      std::cerr << "make-workload: cannot write " << (files / name).string() << '\n';
      return 1;
    }
    names << name << '\n';
    publication.files.push_back({kzb::testing::utf16FromUtf8(name), {}, files / name});
  }
  names.close();

  std::ofstream container(dir / "C.kzb", std::ios::binary | std::ios::trunc);
  kzb::testing::writeContainer(container, publication);
  container.close();
  if (!names || !container) {
    std::cerr << "make-workload: cannot write in " << dir.string() << '\n';
    return 1;
  }
  return 0;
}
