// The directory files are extracted into, held open for the whole run: every name the output
// unit takes is taken relative to this open directory (the openat() family on POSIX, a handle
// as root on Windows), so a directory swapped in under its path during the run changes
// nothing, and the process's working directory is never changed (one implementation per
// platform: directory_posix.cpp, directory_windows.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <system_error>

#include "input_file.h"

namespace kzb {

class Directory {
 public:
  Directory() = default;
  ~Directory();
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;
  Directory(Directory&& other) noexcept;
  Directory& operator=(Directory&& other) noexcept;

  // Opens the process's working directory as it is now.
  std::error_code openWorking();
  // Opens `path` (UTF-8). With `create`, the directory and its missing parents are made
  // first. Something there that is not a directory gives std::errc::not_a_directory.
  std::error_code open(const std::string& path, bool create);
  // Opens the directory `name` (UTF-8, one component) in `parent`, made first if missing.
  // Nothing that stands at the name is followed: a symbolic link there (a reparse point on
  // Windows) gives std::errc::too_many_symbolic_link_levels and is left as it is; anything
  // else that is not a directory gives std::errc::not_a_directory.
  std::error_code openChild(const Directory& parent, const std::string& name);
  bool isOpen() const { return handle_ != kNone; }
  // The directory's device and number as the file system gives them; empty when it cannot
  // tell. Two open directories with the same identity are one.
  FileIdentity identity() const;
  // Whether identities tell directories apart on this directory's file system. A FUSE driver
  // built on the high-level library (exfat-fuse, fusefat) makes a number up for each name it
  // is asked about, so one directory reached by two names shows two (see
  // OutputFile::showsTheSameDirectory).
  bool identitiesAreTrusted() const;
  // Makes the names in the directory reach the disk (fsync of the directory on POSIX; on
  // Windows a directory handle cannot be flushed, and this does nothing).
  std::error_code flushToDisk() const;

  // A file descriptor on POSIX, a HANDLE on Windows: for the platform's output unit only.
  std::intptr_t handle() const { return handle_; }

 private:
  void close();
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;
};

}  // namespace kzb
