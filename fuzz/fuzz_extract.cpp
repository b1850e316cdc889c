// The whole run of kzb-extract on arbitrary bytes: the walk, the report, every extraction,
// then the driver on the same file. Besides what the sanitizers catch, each result is checked
// against the input itself, so a wrong answer counts as a crash too.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "archive_reader.h"
#include "driver.h"
#include "format.h"
#include "fuzz_support.h"
#include "report.h"
#include "utf8.h"

namespace {

using kzb::fuzz::require;

std::uint32_t loadU32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

// Read straight from the input, apart from the reader: whether a "FILE" chunk whose payload
// length is the entry's size stands at the entry's position.
bool fileChunkAt(std::span<const std::uint8_t> input, const kzb::FileEntry& entry) {
  const std::uint64_t position = entry.position;
  if (position + kzb::kChunkHeaderSize > input.size()) {
    return false;
  }
  const auto at = static_cast<std::size_t>(position);
  return loadU32(input, at) == kzb::tags::kFile && loadU32(input, at + 12) == entry.size &&
         entry.size <= 0x7fffffffu;
}

// The payload bytes the input really holds for the entry, at most `entry.size` of them.
std::span<const std::uint8_t> payloadPresent(std::span<const std::uint8_t> input,
                                             const kzb::FileEntry& entry) {
  const std::uint64_t start = std::uint64_t{entry.position} + kzb::kChunkHeaderSize;
  const std::uint64_t end = std::min<std::uint64_t>(start + entry.size, input.size());
  return input.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

std::vector<std::uint8_t> readWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool sameBytes(const std::vector<std::uint8_t>& written, std::span<const std::uint8_t> expected) {
  return std::equal(written.begin(), written.end(), expected.begin(), expected.end());
}

void checkExtraction(std::span<const std::uint8_t> input, const kzb::FileEntry& entry, int result) {
  require(result == kzb::ResultSuccess || result == kzb::ResultNotAvailable ||
              result == kzb::ResultNotFileChunk || result == kzb::ResultTruncated ||
              result == kzb::ResultTruncatedKeptExisting || result == kzb::ResultWriteFailed ||
              result == kzb::ResultIsTheContainer,
          "extractEntry returned an undocumented result");
  if (!kzb::isSafeEntryName(entry.name)) {
    require(result == kzb::ResultNotAvailable, "an unsafe name was not refused");
    return;
  }
  const bool matches = fileChunkAt(input, entry);
  if (result == kzb::ResultNotFileChunk) {
    require(!matches, "a stored file at its recorded position was not found");
    return;
  }
  const std::filesystem::path written = kzb::toUtf8(kzb::untilFirstZero(entry.name));
  const bool namesContainer = written == kzb::fuzz::scratch().input.filename();
  require(namesContainer == (result == kzb::ResultIsTheContainer),
          "the container's own name was not told apart from the other names");
  if (namesContainer) {
    return;
  }
  if (result != kzb::ResultSuccess && result != kzb::ResultTruncated) {
    return;  // cannot create or write: the file system's say, not the input's
  }
  require(matches, "extracted from something that is not a FILE chunk of the entry's size");
  const std::span<const std::uint8_t> present = payloadPresent(input, entry);
  require((result == kzb::ResultSuccess) == (present.size() == entry.size),
          "success or truncation disagrees with the bytes present");
  std::error_code error;
  require(std::filesystem::is_regular_file(std::filesystem::symlink_status(written, error)),
          "the extracted file is not a regular file in the working directory");
  require(sameBytes(readWhole(written), present), "the extracted bytes differ from the payload");
}

// Removes everything the run left in the working directory; symbolic links are removed,
// never followed.
void emptyWorkingDirectory() {
  std::error_code error;
  for (const auto& item : std::filesystem::directory_iterator(".", error)) {
    std::filesystem::remove_all(item.path(), error);
    require(!error, "cannot empty the output directory");
  }
  require(!error, "cannot list the output directory");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  kzb::fuzz::makePathArgumentsAbsolute(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Once, at the first input: by then libFuzzer has read the corpus, and a -jobs parent,
  // which runs no input, keeps its logs where it was started.
  static const bool entered = chdir(kzb::fuzz::scratch().output.c_str()) == 0;
  require(entered, "cannot enter the output directory");

  const std::span<const std::uint8_t> input(data, size);
  kzb::fuzz::writeInput(input);
  const std::string path = kzb::fuzz::scratch().input.string();

  bool allExtracted = false;
  {
    kzb::ArchiveReader reader(path);
    require(
        reader.openResult() == kzb::ResultSuccess || reader.openResult() == kzb::ResultParseFailed,
        "an existing regular file did not open");
    kzb::fuzz::DiscardBuffer buffer;
    std::ostream discarded(&buffer);
    kzb::printInfo(reader, discarded);
    allExtracted = reader.openResult() == kzb::ResultSuccess && !reader.walkedPastEnd();
    for (std::size_t index = 0; index < reader.entries().size(); ++index) {
      const int result = reader.extractEntry(index);
      checkExtraction(input, reader.entries()[index], result);
      allExtracted = allExtracted && result == kzb::ResultSuccess;
    }
  }
  require(sameBytes(readWhole(path), input), "extraction changed the container");
  {
    // The driver again on the same file: its messages, and an exit status that must agree.
    kzb::fuzz::DiscardBuffer buffer;
    std::ostream discarded(&buffer);
    const char* const arguments[] = {"kzb-extract", path.c_str()};
    const int status = kzb::run(2, arguments, discarded, discarded);
    require(status == (allExtracted ? 0 : 1), "the driver's exit status disagrees with the run");
  }
  require(sameBytes(readWhole(path), input), "the driver changed the container");
  emptyWorkingDirectory();
  return 0;
}
