#include "mounted_file_system.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#if __has_include(<linux/fs.h>)
#include <linux/fs.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

extern char** environ;

// Not every <linux/fs.h> carries the shutdown ioctl that XFS, ext4 and f2fs share.
#ifndef FS_IOC_GOINGDOWN
#define FS_IOC_GOINGDOWN _IOR('X', 125, std::uint32_t)
#endif

namespace kzb::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::uint32_t kFlushTheLog = 1;  // FSOP_GOING_FLAGS_LOGFLUSH

struct Ran {
  int status = 0;      // the exit status; -1 when the program could not be started
  std::string output;  // standard output and standard error together, trimmed
};

std::string trimmed(std::string text) {
  const std::size_t end = text.find_last_not_of(" \t\n");
  text.erase(end == std::string::npos ? 0 : end + 1);
  return text.substr(std::min(text.size(), text.find_first_not_of(" \t\n")));
}

std::string commandLine(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& arg : argv) {
    line += (line.empty() ? "" : " ") + arg;
  }
  return "`" + line + "`";
}

// Runs `argv` with no standard input and its output in `log`. A driver that stays behind as
// a daemon may go on writing to the file; each command gets a new one, so that noise never
// mixes with the next command's words.
Ran run(const std::vector<std::string>& argv, const fs::path& log) {
  static_cast<void>(::unlink(log.c_str()));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    return {-1, argv[0] + (spawned == ENOENT
                               ? std::string(" is not installed")
                               : ": cannot start: " + std::string(std::strerror(spawned)))};
  }
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
  }
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw), trimmed(readFile(log))};
}

// Empty when `argv` ran and succeeded; otherwise what went wrong.
std::string failureOf(const Ran& ran, const std::vector<std::string>& argv) {
  if (ran.status == 0) {
    return {};
  }
  if (ran.status < 0) {
    return ran.output;
  }
  return commandLine(argv) + " failed (status " + std::to_string(ran.status) + ")" +
         (ran.output.empty() ? "" : ": " + ran.output);
}

bool isFuse(FileSystemKind kind) {
  return kind == FileSystemKind::exfat || kind == FileSystemKind::fat32 ||
         kind == FileSystemKind::ntfsIgnoringCase;
}

bool onLoopDevice(FileSystemKind kind) {
  return kind == FileSystemKind::ext4 || kind == FileSystemKind::ext4CaseFolded ||
         kind == FileSystemKind::xfs || kind == FileSystemKind::exfat;
}

// A mount point shows the mounted file system's device, not that of the directory holding it.
bool isMountPoint(const fs::path& path) {
  struct stat self {};
  struct stat parent {};
  return ::stat(path.c_str(), &self) == 0 && ::stat(path.parent_path().c_str(), &parent) == 0 &&
         self.st_dev != parent.st_dev;
}

}  // namespace

std::string_view nameOf(FileSystemKind kind) {
  switch (kind) {
    case FileSystemKind::ext4:
      return "ext4";
    case FileSystemKind::ext4CaseFolded:
      return "case-folding ext4";
    case FileSystemKind::xfs:
      return "XFS";
    case FileSystemKind::tmpfs:
      return "tmpfs";
    case FileSystemKind::exfat:
      return "exFAT through exfat-fuse";
    case FileSystemKind::fat32:
      return "FAT32 through fusefat";
    case FileSystemKind::ntfsIgnoringCase:
      return "NTFS through lowntfs-3g, ignoring case";
  }
  return "?";
}

MountedFileSystem::MountedFileSystem(FileSystemKind kind) : kind_(kind) {
  fs::create_directory(mountPoint_);
  fs::create_directory(outside());
  failure_ = make();
  if (failure_.empty()) {
    failure_ = mount();
  }
  if (failure_.empty()) {
    fs::create_directory(workDirectory());
    if (kind_ == FileSystemKind::ext4CaseFolded) {
      const std::vector<std::string> fold = {"chattr", "+F", workDirectory().string()};
      failure_ = failureOf(run(fold, dir_ / "log-fold"), fold);
    }
  }
  if (!failure_.empty()) {
    failure_ = "cannot mount a fresh " + std::string(nameOf(kind_)) + " here: " + failure_;
  }
}

MountedFileSystem::~MountedFileSystem() {
  static_cast<void>(unmount());
  if (!loopDevice_.empty()) {
    // A FUSE driver may still hold the device for a moment; the kernel then frees it as the
    // last holder lets go.
    static_cast<void>(run({"losetup", "-d", loopDevice_}, dir_ / "log-detach"));
  }
}

std::string MountedFileSystem::make() {
  if (::geteuid() != 0) {
    return "mounting needs root";
  }
  if (isFuse(kind_) && ::access("/dev/fuse", R_OK | W_OK) != 0) {
    return "no usable /dev/fuse (" + std::string(std::strerror(errno)) + ")";
  }
  if (kind_ == FileSystemKind::ext4CaseFolded && !fs::exists("/sys/fs/ext4/features/casefold")) {
    return "this kernel's ext4 has no case folding (no /sys/fs/ext4/features/casefold)";
  }
  if (kind_ == FileSystemKind::tmpfs) {
    return {};
  }
  // Sparse: the image costs only the blocks the file system writes.
  writeFile(image_, "");
  fs::resize_file(image_, kind_ == FileSystemKind::xfs ? 300u << 20 : 64u << 20);
  const std::string image = image_.string();
  std::vector<std::string> argv;
  switch (kind_) {
    case FileSystemKind::ext4:
      argv = {"mkfs.ext4", "-q", image};
      break;
    case FileSystemKind::ext4CaseFolded:
      argv = {"mkfs.ext4", "-q", "-O", "casefold", image};
      break;
    case FileSystemKind::xfs:
      argv = {"mkfs.xfs", "-q", image};
      break;
    case FileSystemKind::exfat:
      argv = {"mkfs.exfat", image};
      break;
    case FileSystemKind::fat32:
      argv = {"mkfs.vfat", "-F", "32", image};
      break;
    case FileSystemKind::ntfsIgnoringCase:
      argv = {"mkntfs", "-q", "-F", "-f", image};
      break;
    case FileSystemKind::tmpfs:
      break;
  }
  return failureOf(run(argv, dir_ / "log-make"), argv);
}

std::string MountedFileSystem::mount() {
  if (onLoopDevice(kind_) && loopDevice_.empty()) {
    // Attached once and kept until the end, so that a remount finds the same device. exfat-fuse
    // refuses a plain image file.
    const std::vector<std::string> attach = {"losetup", "-f", "--show", image_.string()};
    const Ran ran = run(attach, dir_ / "log-attach");
    if (ran.status != 0 || !ran.output.starts_with("/dev/")) {
      return ran.status != 0 ? failureOf(ran, attach)
                             : commandLine(attach) + " named no device: " + ran.output;
    }
    loopDevice_ = ran.output;
  }
  const std::string at = mountPoint_.string();
  std::vector<std::string> argv;
  switch (kind_) {
    case FileSystemKind::ext4:
    case FileSystemKind::ext4CaseFolded:
      argv = {"mount", "-t", "ext4", loopDevice_, at};
      break;
    case FileSystemKind::xfs:
      argv = {"mount", "-t", "xfs", loopDevice_, at};
      break;
    case FileSystemKind::tmpfs:
      argv = {"mount", "-t", "tmpfs", "-o", "size=64m", "tmpfs", at};
      break;
    case FileSystemKind::exfat:
      argv = {"mount.exfat-fuse", loopDevice_, at};
      break;
    case FileSystemKind::fat32:
      argv = {"fusefat", "-o", "rw+", image_.string(), at};
      break;
    case FileSystemKind::ntfsIgnoringCase:
      argv = {"lowntfs-3g", "-o", "ignore_case", image_.string(), at};
      break;
  }
  const std::string failure =
      failureOf(run(argv, dir_ / ("log-mount-" + std::to_string(++logs_))), argv);
  if (!failure.empty()) {
    return failure;
  }
  isMounted_ = true;
  // A FUSE driver may return before the kernel shows its mount.
  for (int wait = 0; wait < 100; ++wait) {
    if (isMountPoint(mountPoint_)) {
      return {};
    }
    std::this_thread::sleep_for(50ms);
  }
  return commandLine(argv) + " succeeded, but nothing showed at " + at + " within 5 s";
}

std::string MountedFileSystem::unmount() {
  if (!isMounted_) {
    return {};
  }
  // A FUSE mount can be busy for a moment after the last file on it was closed.
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (::umount2(mountPoint_.c_str(), 0) == 0 || errno == EINVAL || errno == ENOENT) {
      isMounted_ = false;
      return {};
    }
    if (errno != EBUSY) {
      break;
    }
    std::this_thread::sleep_for(100ms);
  }
  const std::string failure =
      "cannot unmount " + mountPoint_.string() + ": " + std::strerror(errno);
  // Never left behind: detached from the tree now, gone once its last user lets go.
  static_cast<void>(::umount2(mountPoint_.c_str(), MNT_DETACH));
  isMounted_ = false;
  return failure;
}

std::string MountedFileSystem::remount() {
  if (isFuse(kind_) && !onLoopDevice(kind_)) {
    // The driver may still be writing the image after the unmount; a second one must not start.
    return "remounting is for file systems on a device, not " + std::string(nameOf(kind_));
  }
  std::string failure = unmount();
  if (failure.empty()) {
    failure = mount();
  }
  return failure;
}

std::string shutDown(const fs::path& mountPoint) {
  const int fd = ::open(mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return "cannot open " + mountPoint.string() + ": " + std::strerror(errno);
  }
  std::uint32_t flags = kFlushTheLog;
  const int result = ::ioctl(fd, FS_IOC_GOINGDOWN, &flags);
  const int error = errno;
  static_cast<void>(::close(fd));
  if (result != 0) {
    return "the file system at " + mountPoint.string() +
           " cannot be shut down: " + std::strerror(error);
  }
  return {};
}

}  // namespace kzb::testing
