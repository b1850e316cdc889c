#include "source_tree.h"

#include <dirent.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

namespace kzb {
namespace {

std::error_code lastError() {
  return {errno, std::generic_category()};
}

SourceKind kindOf(mode_t mode) {
  if (S_ISDIR(mode)) {
    return SourceKind::directory;
  }
  if (S_ISREG(mode)) {
    return SourceKind::file;
  }
  if (S_ISLNK(mode)) {
    return SourceKind::link;
  }
  return SourceKind::other;
}

}  // namespace

std::error_code statSource(const std::string& path, SourceStat& out) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) {
    return lastError();
  }
  out.kind = kindOf(status.st_mode);
  out.permissions = static_cast<std::uint32_t>(status.st_mode & 07777);
  out.owner = status.st_uid;
  out.group = status.st_gid;
  out.size = static_cast<std::uint64_t>(status.st_size);
  out.modifiedSeconds = status.st_mtim.tv_sec;
  out.modifiedNanoseconds = static_cast<std::uint32_t>(status.st_mtim.tv_nsec);
  out.identity = {static_cast<std::uint64_t>(status.st_dev),
                  static_cast<std::uint64_t>(status.st_ino)};
  return {};
}

std::error_code listSource(const std::string& path, std::vector<std::string>& names) {
  const std::unique_ptr<DIR, int (*)(DIR*)> directory(opendir(path.c_str()), closedir);
  if (!directory) {
    return lastError();
  }
  names.clear();
  errno = 0;
  while (const dirent* entry = readdir(directory.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") {
      names.emplace_back(name);
    }
    errno = 0;
  }
  return errno != 0 ? lastError() : std::error_code{};
}

std::error_code readSourceLink(const std::string& path, std::string& target) {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0) {
      return lastError();
    }
    if (static_cast<std::size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(length));
      target = std::move(buffer);
      return {};
    }
    buffer.resize(buffer.size() * 2);
  }
}

void tellUser(std::string_view line, bool toSystemLog) {
  if (toSystemLog) {
    syslog(LOG_WARNING, "%.*s", static_cast<int>(line.size()), line.data());
    return;
  }
  static_cast<void>(std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data()));
  static_cast<void>(std::fflush(stderr));
}

}  // namespace kzb
