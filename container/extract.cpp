// Copying one stored file out of the container into the working directory.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "archive_reader.h"
#include "utf8.h"

namespace kzb {
namespace {

namespace fs = std::filesystem;

// The copy moves one block of this size at a time, so a payload of any size costs the same
// memory: this block and the two fixed stream buffers.
constexpr std::size_t kCopyBlockSize = 4096;

struct FileCloser {
  // Only reached on paths that already failed; closeOutput checks the close that matters.
  void operator()(std::FILE* file) const { static_cast<void>(std::fclose(file)); }
};
using OutputFile = std::unique_ptr<std::FILE, FileCloser>;

// Whether `name`, as `status` found it (not a link of that name), is the file at `other`.
bool isSameFile(const std::string& name, fs::file_status status, const fs::path& other) {
  if (!fs::exists(status) || fs::is_symlink(status)) {
    return false;
  }
  std::error_code error;
  return fs::equivalent(name, other, error) && !error;
}

// Opens `name` for writing, truncating a regular file of that name. A symbolic link of that
// name is removed first and never written through, so output cannot leave the directory.
OutputFile createOutput(const std::string& name, fs::file_status status,
                        std::vector<char>& buffer) {
  if (fs::is_symlink(status)) {
    std::error_code ignored;
    fs::remove(name, ignored);
  }
  errno = 0;
  OutputFile file(std::fopen(name.c_str(), "wb"));
  if (file) {
    // Without it the file keeps the library's own, smaller buffer: slower, still correct.
    static_cast<void>(std::setvbuf(file.get(), buffer.data(), _IOFBF, buffer.size()));
  }
  return file;
}

// Closes `file`, reporting whether everything written reached the file.
bool closeOutput(OutputFile file) {
  errno = 0;
  return std::fclose(file.release()) == 0;
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
  // One look at the name serves both checks below: with many small files, system calls count.
  std::error_code ignored;
  const fs::file_status status = fs::symlink_status(name, ignored);
  if (isSameFile(name, status, path_)) {
    return ResultIsTheContainer;  // truncating it would destroy what is being read
  }
  outputBuffer_.resize(kStreamBufferSize);
  OutputFile output = createOutput(name, status, outputBuffer_);
  if (!output) {
    systemError_ = currentSystemError();
    return ResultNotAvailable;
  }
  const int result = copyPayload(entry.size, output.get());
  const bool closed = closeOutput(std::move(output));
  if (!closed && (result == ResultSuccess || result == ResultTruncated)) {
    systemError_ = currentSystemError();
    return ResultWriteFailed;
  }
  if (result == ResultSuccess) {
    streamAt_ = std::int64_t{entry.position} + std::int64_t{kChunkHeaderSize} + entry.size;
  }
  return result;
}

// Leaves the stream at the first payload byte when a "FILE" chunk whose payload has the
// entry's size stands at the entry's position.
bool ArchiveReader::seekToFileChunk(const FileEntry& entry) {
  // Files stored one after another need no seek, which would drop the stream's buffer.
  const bool alreadyThere = input_.good() && streamAt_ == std::int64_t{entry.position};
  streamAt_ = -1;
  if (!alreadyThere) {
    // Each extraction starts afresh: an earlier entry cut short, or a walk that met the end
    // of a truncated container, must not cost the entries that are intact.
    input_.clear();
    input_.seekg(static_cast<std::streamoff>(entry.position), std::ios::beg);  // unsigned
  }
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

// Copies `size` bytes from the stream to `output`; a short read ends with what was there.
int ArchiveReader::copyPayload(std::uint32_t size, std::FILE* output) {
  std::array<char, kCopyBlockSize> block{};
  std::uint32_t remaining = size;
  while (remaining > 0) {
    const auto wanted = std::min<std::size_t>(remaining, block.size());
    input_.read(block.data(), static_cast<std::streamsize>(wanted));
    const auto got = static_cast<std::size_t>(input_.gcount());
    errno = 0;
    if (std::fwrite(block.data(), 1, got, output) != got) {
      systemError_ = currentSystemError();
      return ResultWriteFailed;
    }
    remaining -= static_cast<std::uint32_t>(got);
    if (got < wanted) {
      return ResultTruncated;
    }
  }
  return ResultSuccess;
}

}  // namespace kzb
