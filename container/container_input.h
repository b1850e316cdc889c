// The reader's one input: the container, read in file order through a fixed buffer, with an
// offset of its own. It moves as a stream over a file would, so the walk reads forward and
// steps over payloads, and extraction jumps to recorded positions, without a system call
// for what the buffer already holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "input_file.h"

namespace kzb {

class ContainerInput {
 public:
  // See InputFile::open. Starts at offset 0.
  std::error_code open(const std::string& path);
  void close();
  bool isOpen() const { return file_.isOpen(); }

  // Reads out.size() bytes from the offset and moves past them. Fewer only when the data
  // ends (atEnd) or the system reports an error (readError); the offset then stays after the
  // bytes that were read.
  std::size_t read(std::span<std::byte> out);
  // Moves `count` bytes forward, or to `offset`, without reading. Moving past the end of the
  // file is not an error: the next read finds the end. Either move clears atEnd and
  // readError, as a seek on a stream clears its end-of-file state.
  void skip(std::uint64_t count);
  void seek(std::uint64_t offset);

  std::uint64_t offset() const { return offset_; }
  bool atEnd() const { return atEnd_; }
  const std::error_code& readError() const { return readError_; }
  std::uint64_t fileSize() const { return file_.size(); }
  const FileIdentity& identity() const { return file_.identity(); }
  std::int64_t modifiedTime() const { return file_.modifiedTime(); }  // see InputFile
  // The file itself, for a copy that the system makes from it (OutputFile::appendCopy); the
  // caller then moves past what was copied.
  const InputFile& file() const { return file_; }

 private:
  bool refill();  // loads the buffer from offset_; false at the end or on an error
  std::size_t readDirect(std::span<std::byte> out);  // from offset_ into `out`, not the buffer

  // A system call per 64 KiB, not per header or per 4 KiB copy block.
  static constexpr std::size_t kBufferSize = std::size_t{64} * 1024;
  static constexpr std::size_t kJumpReadSize = 4096;  // what a refill after a jump reads

  InputFile file_;
  std::vector<std::byte> buffer_;
  std::uint64_t bufferStart_ = 0;  // the file offset of buffer_[0]
  std::size_t bufferLength_ = 0;   // how many bytes of buffer_ hold file data
  std::uint64_t offset_ = 0;
  bool atEnd_ = false;
  std::error_code readError_;
};

}  // namespace kzb
