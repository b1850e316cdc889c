// A fresh file system of a given kind, made in a small image file under a private temporary
// directory and mounted there for as long as the object lives (POSIX, as root). The tests use
// it to run the tool on real file systems: ones that fold the case of names, ones that refuse
// characters in names, FUSE drivers that fix the permissions, and journalled ones that can be
// shut down as by a power loss.
//
// Nothing outlives the object: the destructor unmounts (waiting out a busy FUSE mount, and
// detaching it lazily as the last resort), frees the loop device and removes the image, also
// when the test that made it failed. Where the kind cannot be made or mounted here (not root,
// a tool or a driver missing, the kernel lacking a feature), the object says why, in words fit
// for GTEST_SKIP().
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "temp_dir.h"

namespace kzb::testing {

enum class FileSystemKind {
  ext4,              // case-sensitive, journalled
  ext4CaseFolded,    // ext4 whose work directory folds case (needs the kernel's casefold support)
  xfs,               // journalled; its image needs 300 MiB (sparse)
  tmpfs,             // in memory
  exfat,             // through the exfat-fuse driver, on a loop device
  fat32,             // through the fusefat driver, on the image file
  ntfsIgnoringCase,  // through lowntfs-3g with ignore_case, on the image file
};

std::string_view nameOf(FileSystemKind kind);

class MountedFileSystem {
 public:
  explicit MountedFileSystem(FileSystemKind kind);
  ~MountedFileSystem();
  MountedFileSystem(const MountedFileSystem&) = delete;
  MountedFileSystem& operator=(const MountedFileSystem&) = delete;

  // Empty when the file system is mounted; otherwise why it is not.
  const std::string& failure() const { return failure_; }
  bool mounted() const { return failure_.empty(); }

  const std::filesystem::path& mountPoint() const { return mountPoint_; }
  // A directory made empty on the fresh file system, outside the mount point's own entries
  // (ext4's lost+found): the one that folds case on ext4CaseFolded.
  std::filesystem::path workDirectory() const { return mountPoint_ / "work"; }
  // Outside the file system, for what a test keeps out of the tool's reach (a container).
  std::filesystem::path outside() const { return dir_ / "outside"; }

  // Unmounts and mounts the same image again, as after a reboot (the journal is replayed).
  // Empty on success; otherwise why not, and the file system is then no longer mounted.
  std::string remount();

 private:
  std::string make();
  std::string mount();
  std::string unmount();

  FileSystemKind kind_;
  TempDir dir_;
  std::filesystem::path image_ = dir_ / "image";
  std::filesystem::path mountPoint_ = dir_ / "mnt";
  std::string loopDevice_;  // attached to the image for the kinds that mount a block device
  bool isMounted_ = false;
  int logs_ = 0;  // each command's output goes to a fresh file
  std::string failure_;
};

// Shuts the file system at `mountPoint` down as a power loss would leave it: the journal is
// flushed, file data not yet written is lost, and every later operation on it fails (the
// FS_IOC_GOINGDOWN ioctl with the "flush the log" flag, as the Linux file-system test suite's
// `xfs_io -x -c "shutdown -f"` does). Empty on success; otherwise why not. Only unmounting is
// left to do on it; MountedFileSystem::remount() then shows what survived.
std::string shutDown(const std::filesystem::path& mountPoint);

}  // namespace kzb::testing
