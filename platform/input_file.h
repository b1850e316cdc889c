// The container as the operating system holds it: opened for reading only, shared with other
// readers and writers, and read by offset. Everything the reader asks of the system for its
// input goes through here (one implementation per platform: input_file_posix.cpp,
// input_file_windows.cpp); the rest of the reader sees offsets, bytes and error codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <system_error>

namespace kzb {

// Which file a name or an open file stands for: device and inode on POSIX, volume serial
// number and file index on Windows. Two names with one identity are one file.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t file = 0;
  bool operator==(const FileIdentity&) const = default;
};

// Why a path that opened is still no container: the walk and the extraction read the same
// bytes more than once, so only something that can be read by offset will do.
enum class InputRefusal {
  pipe = 1,         // a pipe or FIFO
  socket,           // a socket
  characterDevice,  // a terminal or another character device
  otherKind,        // a block device or anything else that is not a regular file
};
const std::error_category& inputRefusalCategory();
std::error_code make_error_code(InputRefusal refusal);

// Whether an open failed because the process may open no more files: a plight of the
// moment, not of the file. Compared by value, without asking the error's category for its
// message: a sanitizer's check of that call needs a descriptor itself.
bool isOutOfDescriptors(const std::error_code& error);

class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens `path` (UTF-8) for reading, allowing other processes to read and write it. Never
  // blocks on what stands there: a FIFO is refused, not waited on. A directory gives
  // std::errc::is_a_directory, anything else that is not a regular file an InputRefusal.
  std::error_code open(const std::string& path);
  bool isOpen() const;
  void close();

  // Reads up to out.size() bytes from `offset`. Fewer only at the end of the file; an I/O
  // error sets `error` and returns what was read before it.
  std::size_t readAt(std::uint64_t offset, std::span<std::byte> out, std::error_code& error) const;

  // A hint that the file will be read from start to end, in order, whatever the offsets of
  // the single reads: the system may read further ahead. Nothing where it takes no hint.
  void expectSequentialReads() const;

  // A hint that `length` bytes from `offset` on will be read soon: the system may start
  // reading them now. Nothing where it takes no hint.
  void willNeed(std::uint64_t offset, std::uint64_t length) const;

  std::uint64_t size() const { return size_; }  // as it was when opened
  const FileIdentity& identity() const { return identity_; }
  // The file's modification time when opened, in seconds since 1970-01-01 UTC.
  std::int64_t modifiedTime() const { return modifiedTime_; }

 private:
  friend class OutputFile;  // its copy inside the system reads through handle_

  std::intptr_t handle_ = -1;  // a file descriptor, or a HANDLE on Windows
  std::uint64_t size_ = 0;
  FileIdentity identity_;
  std::int64_t modifiedTime_ = 0;
};

}  // namespace kzb

template <>
struct std::is_error_code_enum<kzb::InputRefusal> : std::true_type {};
