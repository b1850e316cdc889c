#include "source_tree.h"

#include <dirent.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

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

std::error_code identityChain(const std::string& path, std::vector<FileIdentity>& chain) {
  chain.clear();
  std::string at = path;
  for (;;) {
    struct stat status {};
    if (::stat(at.c_str(), &status) != 0) {
      // A file has no "..": it is its own chain. Anything else that cannot be looked at says so.
      return chain.size() == 1 && errno == ENOTDIR ? std::error_code{} : lastError();
    }
    const FileIdentity identity{static_cast<std::uint64_t>(status.st_dev),
                                static_cast<std::uint64_t>(status.st_ino)};
    if (!chain.empty() && chain.back() == identity) {
      return {};  // the root: its ".." is itself
    }
    chain.push_back(identity);
    at += "/..";
  }
}

namespace {

// A field of /proc/self/mountinfo, its octal escapes (\040 for a space...) undone.
std::string unescaped(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string digits = field.substr(i + 1, 3);
      if (digits.size() == 3 && digits.find_first_not_of("01234567") == std::string::npos) {
        out += static_cast<char>(std::stoi(digits, nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

}  // namespace

std::error_code mountedDevice(const std::string& point, std::string_view type,
                              std::uint64_t& device) {
  std::ifstream table("/proc/self/mountinfo");
  if (!table) {
    return std::make_error_code(std::errc::no_such_file_or_directory);
  }
  bool found = false;
  std::string line;
  while (std::getline(table, line)) {
    // id parent major:minor root mountpoint options [optional...] - type source super
    std::istringstream fields(line);
    std::string id, parent, numbers, root, mounted, word;
    fields >> id >> parent >> numbers >> root >> mounted;
    while (fields >> word && word != "-") {
    }
    std::string mountType;
    fields >> mountType;
    unsigned major = 0;
    unsigned minor = 0;
    if (mountType != type || unescaped(mounted) != point ||
        std::sscanf(numbers.c_str(), "%u:%u", &major, &minor) != 2) {
      continue;
    }
    device = static_cast<std::uint64_t>(makedev(major, minor));
    found = true;
  }
  return found ? std::error_code{} : std::make_error_code(std::errc::no_such_device);
}

void releaseFreeMemory() {
#if defined(__GLIBC__)
  static_cast<void>(malloc_trim(0));
#endif
}

void useOneHeap() {
#if defined(__GLIBC__)
  static_cast<void>(mallopt(M_ARENA_MAX, 1));
#endif
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
