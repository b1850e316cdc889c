// The destination directory on POSIX: a file descriptor opened with O_DIRECTORY, which the
// output unit hands to openat(), linkat(), renameat(), fstatat() and unlinkat().
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif

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

std::error_code Directory::openChild(const Directory& parent, const std::string& name) {
  close();
  const int at = static_cast<int>(parent.handle_);
  if (::mkdirat(at, name.c_str(), 0777) != 0 && errno != EEXIST) {
    return {errno, std::generic_category()};
  }
  // O_NOFOLLOW refuses a link at the name even where one is put there after the look.
  struct stat status {};
  if (::fstatat(at, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode)) {
    return std::make_error_code(std::errc::too_many_symbolic_link_levels);
  }
  int fd = -1;
  do {
    fd = ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return {errno, std::generic_category()};
  }
  handle_ = fd;
  return {};
}

FileIdentity Directory::identity() const {
  struct stat status {};
  if (handle_ == kNone || ::fstat(static_cast<int>(handle_), &status) != 0) {
    return {};
  }
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

bool Directory::identitiesAreTrusted() const {
#ifdef __linux__
  constexpr decltype(statfs::f_type) kFuseMagic = 0x65735546;
  struct statfs system {};
  return ::fstatfs(static_cast<int>(handle_), &system) != 0 || system.f_type != kFuseMagic;
#else
  return true;
#endif
}

}  // namespace kzb
