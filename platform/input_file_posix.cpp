// The container on POSIX: one descriptor, read with pread, so the reader keeps its own offset
// and the descriptor's never matters.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "input_file.h"

namespace kzb {
namespace {

std::error_code lastError() {
  return {errno != 0 ? errno : EIO, std::generic_category()};
}

// What the walk and the extraction need: bytes that can be read again at any offset.
std::error_code refusalFor(mode_t mode) {
  if (S_ISREG(mode)) {
    return {};
  }
  if (S_ISDIR(mode)) {
    return std::make_error_code(std::errc::is_a_directory);
  }
  if (S_ISFIFO(mode)) {
    return InputRefusal::pipe;
  }
  if (S_ISSOCK(mode)) {
    return InputRefusal::socket;
  }
  if (S_ISCHR(mode)) {
    return InputRefusal::characterDevice;
  }
  return InputRefusal::otherKind;
}

}  // namespace

InputFile::~InputFile() {
  close();
}

std::error_code InputFile::open(const std::string& path) {
  close();
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below anyway, and a
  // regular file reads the same with or without it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    return lastError();
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    const std::error_code error = lastError();
    static_cast<void>(::close(fd));
    return error;
  }
  if (const std::error_code refusal = refusalFor(status.st_mode)) {
    static_cast<void>(::close(fd));
    return refusal;
  }
  handle_ = fd;
  size_ = static_cast<std::uint64_t>(status.st_size);
  modifiedTime_ = static_cast<std::int64_t>(status.st_mtime);
  identity_ = {static_cast<std::uint64_t>(status.st_dev),
               static_cast<std::uint64_t>(status.st_ino)};
  return {};
}

bool InputFile::isOpen() const {
  return handle_ != -1;
}

void InputFile::close() {
  if (handle_ != -1) {
    static_cast<void>(::close(static_cast<int>(handle_)));  // read-only: nothing is lost
    handle_ = -1;
  }
  size_ = 0;
  identity_ = {};
  modifiedTime_ = 0;
}

void InputFile::expectSequentialReads() const {
  if (handle_ >= 0) {
    static_cast<void>(posix_fadvise(static_cast<int>(handle_), 0, 0, POSIX_FADV_SEQUENTIAL));
  }
}

void InputFile::willNeed(std::uint64_t offset, std::uint64_t length) const {
  if (handle_ >= 0) {
    static_cast<void>(posix_fadvise(static_cast<int>(handle_), static_cast<off_t>(offset),
                                    static_cast<off_t>(length), POSIX_FADV_WILLNEED));
  }
}

std::size_t InputFile::readAt(std::uint64_t offset, std::span<std::byte> out,
                              std::error_code& error) const {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = ::pread(static_cast<int>(handle_), out.data() + done, out.size() - done,
                                static_cast<off_t>(offset + done));
    if (got > 0) {
      done += static_cast<std::size_t>(got);
    } else if (got == 0) {
      break;  // the end of the file
    } else if (errno != EINTR) {
      error = lastError();
      break;
    }
  }
  return done;
}

}  // namespace kzb
