#include "stored_bytes.h"

#include <algorithm>
#include <vector>

#include "diagnostics.h"
#include "extract.h"

namespace kzb::tool {

StoredBytes readStoredFile(ContainerInput& input, const FileEntry& entry,
                           const std::function<void(std::span<const std::byte>)>& sink) {
  if (!seekToFileChunk(input, entry)) {
    if (input.readError()) {
      return {StoredRead::readFailed, input.readError()};
    }
    return {StoredRead::notFileChunk, {}};
  }
  // The input reads ahead in blocks of its own; this one only bounds what is held at once.
  constexpr std::size_t kBlock = std::size_t{64} * 1024;
  std::vector<std::byte> block(std::min<std::size_t>(kBlock, entry.size));
  std::uint32_t remaining = entry.size;
  while (remaining > 0) {
    const auto wanted = std::min<std::size_t>(remaining, block.size());
    const std::size_t got = input.read(std::span(block).first(wanted));
    if (got > 0) {
      sink(std::span<const std::byte>(block).first(got));
    }
    if (input.readError()) {
      return {StoredRead::readFailed, input.readError()};
    }
    if (got < wanted) {
      return {StoredRead::truncated, {}};
    }
    remaining -= static_cast<std::uint32_t>(got);
  }
  return {StoredRead::complete, {}};
}

std::string describe(const StoredBytes& read) {
  // One place words each fault: the same fault met while extracting.
  ExtractStatus status = ExtractStatus::extracted;
  switch (read.status) {
    case StoredRead::notFileChunk:
      status = ExtractStatus::notFileChunk;
      break;
    case StoredRead::truncated:
      status = ExtractStatus::truncated;
      break;
    case StoredRead::readFailed:
      status = ExtractStatus::readFailed;
      break;
    case StoredRead::complete:
      break;
  }
  return kzb::describe(Extraction{status, read.error, NameProblem::none, {}});
}

}  // namespace kzb::tool
