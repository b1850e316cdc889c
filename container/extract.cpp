// Copying one stored file out of the container into the working directory.
#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>

#include "archive_reader.h"
#include "utf8.h"

namespace kzb {
namespace {

// The copy streams through one block of this size: never more of a payload in memory.
constexpr std::size_t kCopyBlockSize = 4096;

std::error_code currentSystemError() {
  return {errno != 0 ? errno : EIO, std::generic_category()};
}

// Whether `name` itself, not a link of that name, is the file at `other`.
bool isSameFile(const std::string& name, const std::filesystem::path& other) {
  std::error_code error;
  const auto status = std::filesystem::symlink_status(name, error);
  if (error || !std::filesystem::exists(status) || std::filesystem::is_symlink(status)) {
    return false;
  }
  return std::filesystem::equivalent(name, other, error) && !error;
}

// Opens `name` for writing, truncating a regular file of that name. A symbolic link of that
// name is removed first and never written through, so output cannot leave the directory.
std::ofstream createOutput(const std::string& name) {
  std::error_code ignored;
  if (std::filesystem::is_symlink(std::filesystem::symlink_status(name, ignored))) {
    std::filesystem::remove(name, ignored);
  }
  errno = 0;
  return std::ofstream(name, std::ios::out | std::ios::binary | std::ios::trunc);
}

}  // namespace

bool isSafeEntryName(std::u16string_view name) {
  const std::u16string_view cut = untilFirstZero(name);
  return !cut.empty() && cut != u"." && cut != u".." &&
         cut.find_first_of(u"/\\") == std::u16string_view::npos;
}

int ArchiveReader::extractEntry(std::size_t index) {
  systemError_.clear();
  if (index >= entries_.size()) {
    return ResultNotAvailable;
  }
  const FileEntry& entry = entries_[index];
  if (!isSafeEntryName(entry.name)) {
    return ResultNotAvailable;
  }
  if (!seekToFileChunk(entry)) {
    return ResultNotFileChunk;
  }
  const std::string name = toUtf8(untilFirstZero(entry.name));
  if (isSameFile(name, path_)) {
    return ResultIsTheContainer;  // truncating it would destroy what is being read
  }
  std::ofstream output = createOutput(name);
  if (!output.is_open()) {
    systemError_ = currentSystemError();
    return ResultNotAvailable;
  }
  return copyPayload(entry.size, output);
}

// Leaves the stream at the first payload byte when a "FILE" chunk whose payload has the
// entry's size stands at the entry's position.
bool ArchiveReader::seekToFileChunk(const FileEntry& entry) {
  // Each extraction starts afresh: an earlier entry cut short, or a walk that met the end of
  // a truncated container, must not cost the entries that are intact.
  input_.clear();
  input_.seekg(static_cast<std::streamoff>(entry.position), std::ios::beg);  // unsigned offset
  std::array<std::byte, kChunkHeaderSize> raw{};
  input_.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
  if (input_.gcount() != static_cast<std::streamsize>(raw.size())) {
    return false;
  }
  const ChunkHeader header = decodeChunkHeader(raw);
  // A negative payload length cannot describe a stored file, whatever the entry's size.
  return header.tag == tags::kFile && header.payloadLength >= 0 &&
         static_cast<std::uint32_t>(header.payloadLength) == entry.size;
}

int ArchiveReader::copyPayload(std::uint32_t size, std::ofstream& output) {
  std::array<char, kCopyBlockSize> block{};
  std::uint32_t remaining = size;
  while (remaining > 0) {
    const auto wanted =
        static_cast<std::streamsize>(std::min<std::uint32_t>(remaining, block.size()));
    input_.read(block.data(), wanted);
    const std::streamsize got = input_.gcount();
    errno = 0;
    if (got > 0 && !output.write(block.data(), got)) {
      systemError_ = currentSystemError();
      return ResultWriteFailed;
    }
    remaining -= static_cast<std::uint32_t>(got);
    if (got < wanted) {
      errno = 0;
      output.close();  // keep the bytes that were there
      if (output.fail()) {
        systemError_ = currentSystemError();
        return ResultWriteFailed;
      }
      return ResultTruncated;
    }
  }
  errno = 0;
  output.close();
  if (output.fail()) {
    systemError_ = currentSystemError();
    return ResultWriteFailed;
  }
  return ResultSuccess;
}

}  // namespace kzb
