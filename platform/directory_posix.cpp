// The destination directory on POSIX: a file descriptor opened with O_DIRECTORY, which the
// output unit hands to openat(), linkat(), renameat(), fstatat() and unlinkat().
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <utility>

#include "directory.h"

namespace kzb {
namespace {

int openDirectory(const char* path) {
  int fd = -1;
  do {
    fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

Directory::~Directory() {
  close();
}

Directory::Directory(Directory&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}

Directory& Directory::operator=(Directory&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, kNone);
  }
  return *this;
}

void Directory::close() {
  if (handle_ != kNone) {
    static_cast<void>(::close(static_cast<int>(handle_)));
    handle_ = kNone;
  }
}

std::error_code Directory::flushToDisk() const {
  if (::fsync(static_cast<int>(handle_)) != 0 && errno != EINVAL) {
    return {errno, std::generic_category()};
  }
  return {};  // EINVAL: the file system has nothing to flush for a directory
}

std::error_code Directory::openWorking() {
  return open(".", false);
}

std::error_code Directory::open(const std::string& path, bool create) {
  close();
  if (create) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path), error);
    if (error && error != std::errc::file_exists) {
      return error;
    }
  }
  const int fd = openDirectory(path.c_str());
  if (fd < 0) {
    return {errno, std::generic_category()};
  }
  handle_ = fd;
  return {};
}

}  // namespace kzb
