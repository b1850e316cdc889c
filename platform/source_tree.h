// What kzb-mount asks of the system about the tree it shows (Linux only; source_tree_posix.cpp):
// what stands at a path, without following a link, the names in a directory, a link's target,
// and a line for the user, on stderr or, once the mount runs in the background, in the
// system log. Reading files goes through InputFile (input_file.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "input_file.h"

namespace kzb {

enum class SourceKind { directory, file, link, other };

struct SourceStat {
  SourceKind kind = SourceKind::other;
  std::uint32_t permissions = 0;  // the mode's permission bits
  std::uint32_t owner = 0;        // user and group ids
  std::uint32_t group = 0;
  std::uint64_t size = 0;
  std::int64_t modifiedSeconds = 0;  // since 1970-01-01 UTC
  std::uint32_t modifiedNanoseconds = 0;
  FileIdentity identity;
};

// What stands at `path` itself (a link is not followed).
std::error_code statSource(const std::string& path, SourceStat& out);
// The names in directory `path`, "." and ".." left out, in no particular order.
std::error_code listSource(const std::string& path, std::vector<std::string>& names);
// The target of the link at `path`, as it is stored.
std::error_code readSourceLink(const std::string& path, std::string& target);

// The identities of the directory `path` names (links followed) and of each of its
// ancestors up to the root of the file system tree, as ".." reaches them, the path's own first.
std::error_code identityChain(const std::string& path, std::vector<FileIdentity>& chain);

// The device number of the file system mounted last at `point` (an absolute path without
// links) whose type is `type` ("fuse.kzb"), from the system's table of this process's mounts.
std::error_code mountedDevice(const std::string& point, std::string_view type,
                              std::uint64_t& device);

// Gives the memory this process has freed back to the system where the allocator keeps it
// (glibc keeps freed blocks of its heaps); nothing elsewhere.
void releaseFreeMemory();

// Makes every thread allocate from one heap. glibc gives each thread that meets contention a
// heap of its own, and what a parse frees on one thread's heap stays there, beside the next
// parse on another's: over a mount's many threads the peaks add up. Nothing elsewhere.
void useOneHeap();

// One line for the user: on stderr, or in the system log where `toSystemLog`.
void tellUser(std::string_view line, bool toSystemLog);

}  // namespace kzb
