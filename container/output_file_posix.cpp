// The output unit on POSIX. A file is written into an unnamed temporary (O_TMPFILE) where
// the file system has them, otherwise into one created exclusively under a hidden unique
// name; either is opened by no one else and never by following a name. It is put in place by
// linkat() where the name is free, and by renameat() over what stands there otherwise: both
// act on the name itself, never on what a link at the name points to.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <utility>

#include "output_file.h"
#include "utf8.h"

namespace kzb {
namespace {

std::error_code lastError() {
  return {errno != 0 ? errno : EIO, std::generic_category()};
}

// The temporary that exists under a name of its own right now, for the signal handler: it
// may only read memory and call unlink(), so the name sits in a fixed array.
constexpr std::size_t kTemporaryNameSize = 64;
std::array<char, kTemporaryNameSize> pendingName{};
volatile std::sig_atomic_t pendingSet = 0;

void publishPending(const std::string& name) {
  pendingSet = 0;
  static_cast<void>(std::snprintf(pendingName.data(), pendingName.size(), "%s", name.c_str()));
  pendingSet = 1;
}

void clearPending() {
  pendingSet = 0;
}

extern "C" void removeTemporaryAndEnd(int signal) {
  if (pendingSet != 0) {
    static_cast<void>(::unlink(pendingName.data()));
  }
  // The handler runs with the signal blocked: once it returns, the default action ends the
  // process, and the parent sees it killed by this signal.
  static_cast<void>(std::signal(signal, SIG_DFL));
  static_cast<void>(std::raise(signal));
}

// ".kzb-extract-<16 hex digits>.tmp": hidden, and unique enough that a clash only costs a retry.
std::string hiddenUniqueName() {
  static std::mt19937_64 generator{std::random_device{}() ^
                                   (static_cast<std::uint64_t>(::getpid()) << 32)};
  std::array<char, kTemporaryNameSize> name{};
  static_cast<void>(std::snprintf(name.data(), name.size(), ".kzb-extract-%016llx.tmp",
                                  static_cast<unsigned long long>(generator())));
  return name.data();
}

enum class Support { unknown, yes, no };

// Unnamed temporaries need the file system's support, and linking one in needs either
// AT_EMPTY_PATH (a privilege on older kernels) or /proc's view of the descriptor.
Support unnamedTemporaries = Support::unknown;
bool emptyPathRefused = false;

#ifdef O_TMPFILE
int openUnnamed() {
  if (unnamedTemporaries == Support::unknown) {
    unnamedTemporaries = ::access("/proc/self/fd", X_OK) == 0 ? Support::yes : Support::no;
  }
  if (unnamedTemporaries == Support::no) {
    errno = EOPNOTSUPP;
    return -1;
  }
  const int fd = ::openat(AT_FDCWD, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    unnamedTemporaries = Support::no;  // the file system or the kernel has none
  }
  return fd;
}

int linkUnnamed(int fd, const char* name) {
  if (!emptyPathRefused) {
    if (::linkat(fd, "", AT_FDCWD, name, AT_EMPTY_PATH) == 0) {
      return 0;
    }
    if (errno != ENOENT && errno != EPERM) {
      return -1;
    }
    emptyPathRefused = true;
  }
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name, AT_SYMLINK_FOLLOW);
}
#else
int openUnnamed() {
  errno = EOPNOTSUPP;
  return -1;
}
int linkUnnamed(int /*fd*/, const char* /*name*/) {
  errno = EOPNOTSUPP;
  return -1;
}
#endif

bool lacksUnnamedTemporaries(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// The file system gives no hard links (a FAT volume, say): placement falls back to rename.
bool lacksHardLinks(int error) {
  return error == EPERM || error == EOPNOTSUPP || error == EMLINK;
}

// What stands at `name`, as itself: a link at the name is not followed.
enum class Standing { nothing, directory, protectedFile, other, unknown };

Standing whatStandsAt(const char* name, const FileIdentity& protect) {
  struct stat status {};
  if (::fstatat(AT_FDCWD, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? Standing::nothing : Standing::unknown;
  }
  if (S_ISDIR(status.st_mode)) {
    return Standing::directory;
  }
  const FileIdentity identity{static_cast<std::uint64_t>(status.st_dev),
                              static_cast<std::uint64_t>(status.st_ino)};
  return identity == protect ? Standing::protectedFile : Standing::other;
}

// Checks that hold before anything at a taken name is replaced or kept.
std::optional<OutputFile::Committed> refusalAt(const char* name, const FileIdentity& protect) {
  switch (whatStandsAt(name, protect)) {
    case Standing::directory:
      return OutputFile::Committed{OutputFile::Outcome::cannotPlace,
                                   std::make_error_code(std::errc::is_a_directory)};
    case Standing::protectedFile:
      return OutputFile::Committed{OutputFile::Outcome::isProtected, {}};
    default:
      return std::nullopt;
  }
}

// An unnamed temporary takes the name by linkat() when it is free. Otherwise it first gets a
// hidden name of its own, which rename() then moves over the name in one step.
OutputFile::Committed placeUnnamed(int fd, const char* name, OutputFile::Placement placement,
                                   const FileIdentity& protect, std::filesystem::path& hidden) {
  using Outcome = OutputFile::Outcome;
  if (linkUnnamed(fd, name) == 0) {
    return {Outcome::placed, {}};
  }
  if (errno != EEXIST) {
    return {Outcome::cannotPlace, lastError()};
  }
  if (const auto refusal = refusalAt(name, protect)) {
    return *refusal;
  }
  if (placement == OutputFile::Placement::keepExisting) {
    return {Outcome::keptExisting, {}};
  }
  std::string candidate = hiddenUniqueName();
  while (linkUnnamed(fd, candidate.c_str()) != 0) {
    if (errno != EEXIST) {
      return {Outcome::cannotPlace, lastError()};
    }
    candidate = hiddenUniqueName();
  }
  hidden = candidate;
  publishPending(hidden.native());
  if (::rename(hidden.c_str(), name) != 0) {
    return {Outcome::cannotPlace, lastError()};  // the caller removes the hidden name
  }
  clearPending();
  hidden.clear();
  return {Outcome::placed, {}};
}

// A named temporary takes the name by link() when it is free, by rename() over what stands
// there otherwise; where the file system has no hard links, by rename() alone.
OutputFile::Committed placeNamed(std::filesystem::path& temporary, const char* name,
                                 OutputFile::Placement placement, const FileIdentity& protect) {
  using Outcome = OutputFile::Outcome;
  if (::link(temporary.c_str(), name) == 0) {
    return {Outcome::placed, {}};  // the caller removes the temporary's own name
  }
  const int linkError = errno;
  if (linkError != EEXIST && !lacksHardLinks(linkError)) {
    return {Outcome::cannotPlace, lastError()};
  }
  if (const auto refusal = refusalAt(name, protect)) {
    return *refusal;
  }
  if (placement == OutputFile::Placement::keepExisting &&
      (linkError == EEXIST || whatStandsAt(name, protect) != Standing::nothing)) {
    return {Outcome::keptExisting, {}};
  }
  if (::rename(temporary.c_str(), name) != 0) {
    return {Outcome::cannotPlace, lastError()};
  }
  clearPending();
  temporary.clear();
  return {Outcome::placed, {}};
}

}  // namespace

bool platformRefusesWindowsNames() {
  return false;
}

void OutputFile::removeTemporariesOnTermination() {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction previous {};
    if (::sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) {
      continue;  // started with it ignored, as under nohup: it stays so
    }
    struct sigaction action {};
    action.sa_handler = removeTemporaryAndEnd;
    sigfillset(&action.sa_mask);
    static_cast<void>(::sigaction(signal, &action, nullptr));
  }
}

OutputFile::~OutputFile() {
  abandon();
}

std::error_code OutputFile::create(std::u16string_view name) {
  abandon();
  name_ = toUtf8(name);
  int fd = openUnnamed();
  if (fd < 0 && !lacksUnnamedTemporaries(errno)) {
    return lastError();
  }
  while (fd < 0) {
    const std::string temporary = hiddenUniqueName();
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      temporary_ = temporary;
      publishPending(temporary);
    } else if (errno != EEXIST) {
      return lastError();
    }
  }
  handle_ = fd;
  return {};
}

bool OutputFile::writeAll(std::intptr_t handle, std::span<const std::byte> bytes,
                          std::error_code& error) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(static_cast<int>(handle), bytes.data(), bytes.size());
    if (written > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(written));
    } else if (written == 0 || errno != EINTR) {
      error = written == 0 ? std::make_error_code(std::errc::io_error) : lastError();
      return false;
    }
  }
  return true;
}

#ifdef __linux__
namespace {

// Linux copies between files in two ways, both within the page cache: copy_file_range(), which
// may also share the blocks or have a file server copy them; and splice() through a pipe, which
// also copies between file systems. Both are asked only for large payloads (extract.cpp).
//
// Measured on ext4 (Linux 6.18) with 2 MiB payloads: copy_file_range() from an offset as far
// into a page as the output's end cost 0.8 times a read and write of 64 KiB blocks; from any
// other offset, 1.2 times: every page of the output is then pieced together from two of the
// source, 64 KiB at a time, and each piece leaves a page half written. Spliced through a pipe
// in pieces of 256 KiB that end on the output's pages, the same copy cost 0.75 times; in
// pieces of 512 KiB or 1 MiB, from 0.8 to 4 times, as the file system took larger blocks of
// memory for them.

std::uint64_t pageSize() {
  static const long size = ::sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<std::uint64_t>(size) : 4096;
}

// Stops at the end of the source, at an error or a refusal; `refused` tells the last, which
// leaves nothing copied: another file system that it will not copy from, no such call.
std::uint64_t copyRange(int in, std::uint64_t offset, int out, std::uint64_t count, bool& refused) {
  constexpr std::uint64_t kMostPerCall = std::uint64_t{1} << 30;  // a size_t on 32-bit systems
  std::uint64_t done = 0;
  while (done < count) {
    auto from = static_cast<loff_t>(offset + done);
    const ssize_t copied = ::copy_file_range(
        in, &from, out, nullptr, static_cast<std::size_t>(std::min(count - done, kMostPerCall)), 0);
    if (copied > 0) {
      done += static_cast<std::uint64_t>(copied);
    } else if (copied == 0 || errno != EINTR) {
      refused = copied < 0 && done == 0 &&
                (errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOSYS);
      break;
    }
  }
  return done;
}

// The process's one pipe for splice(), opened on first use: never blocking, so that nothing
// can stall on it, and as large as the system lets it grow.
struct SplicePipe {
  int read = -1;
  int write = -1;
  std::uint64_t capacity = 0;
};
SplicePipe splicePipe;

bool openSplicePipe() {
  if (splicePipe.read != -1) {
    return true;
  }
  std::array<int, 2> ends{};
  if (::pipe2(ends.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
    return false;
  }
  constexpr int kWanted = 512 * 1024;  // a piece and the page more it may take
  static_cast<void>(::fcntl(ends[1], F_SETPIPE_SZ, kWanted));  // the default size does too
  const int capacity = ::fcntl(ends[1], F_GETPIPE_SZ);
  if (capacity < 0 || static_cast<std::uint64_t>(capacity) < 2 * pageSize()) {
    static_cast<void>(::close(ends[0]));
    static_cast<void>(::close(ends[1]));
    return false;
  }
  splicePipe = {ends[0], ends[1], static_cast<std::uint64_t>(capacity)};
  return true;
}

// Bytes left in the pipe by a write that failed go with it.
void dropSplicePipe() {
  static_cast<void>(::close(splicePipe.read));
  static_cast<void>(::close(splicePipe.write));
  splicePipe = {};
}

// Splices `count` bytes from `offset` of `in` to the end of `out`, which stands at `end`, in
// pieces that end on the output's pages. A piece from an offset inside a page occupies one
// page of the pipe more than its length. Stops at the end of the source or an error.
std::uint64_t spliceRange(int in, std::uint64_t offset, int out, std::uint64_t end,
                          std::uint64_t count) {
  if (!openSplicePipe()) {
    return 0;
  }
  constexpr std::uint64_t kPiece = std::uint64_t{256} * 1024;
  const std::uint64_t page = pageSize();
  const std::uint64_t most = std::min(kPiece, splicePipe.capacity - page);
  std::uint64_t done = 0;
  while (done < count) {
    const std::uint64_t piece = std::min(count - done, most - (end + done) % page);
    auto from = static_cast<loff_t>(offset + done);
    const ssize_t filled = ::splice(in, &from, splicePipe.write, nullptr,
                                    static_cast<std::size_t>(piece), SPLICE_F_MOVE);
    if (filled <= 0) {
      if (filled < 0 && errno == EINTR) {
        continue;
      }
      break;  // the end of the source, or an error
    }
    auto pending = static_cast<std::uint64_t>(filled);
    while (pending > 0) {
      const ssize_t moved = ::splice(splicePipe.read, nullptr, out, nullptr,
                                     static_cast<std::size_t>(pending), SPLICE_F_MOVE);
      if (moved > 0) {
        pending -= static_cast<std::uint64_t>(moved);
        done += static_cast<std::uint64_t>(moved);
      } else if (moved == 0 || errno != EINTR) {
        dropSplicePipe();
        return done;
      }
    }
  }
  return done;
}

}  // namespace
#endif

// Elsewhere than on Linux, the bytes go through the process. The output's offset is its
// descriptor's, so the writes that follow carry on from where the copy ended.
std::uint64_t OutputFile::copyInSystem([[maybe_unused]] std::intptr_t handle,
                                       [[maybe_unused]] const InputFile& source,
                                       [[maybe_unused]] std::uint64_t offset,
                                       [[maybe_unused]] std::uint64_t count) {
#ifdef __linux__
  const int in = static_cast<int>(source.handle_);
  const int out = static_cast<int>(handle);
  const off_t end = ::lseek(out, 0, SEEK_CUR);
  if (end < 0) {
    return 0;
  }
  const auto at = static_cast<std::uint64_t>(end);
  if (offset % pageSize() == at % pageSize()) {
    bool refused = false;
    const std::uint64_t copied = copyRange(in, offset, out, count, refused);
    if (!refused) {
      return copied;
    }
  }
  return spliceRange(in, offset, out, at, count);
#else
  return 0;
#endif
}

void OutputFile::abandon() {
  if (handle_ != -1) {
    static_cast<void>(::close(static_cast<int>(handle_)));  // its bytes are being dropped
    handle_ = -1;
  }
  if (!temporary_.empty()) {
    static_cast<void>(::unlink(temporary_.c_str()));
    clearPending();
    temporary_.clear();
  }
  name_.clear();
  buffered_ = 0;
  failure_.clear();
}

OutputFile::Committed OutputFile::commit(Placement placement, const FileIdentity& protect) {
  std::error_code error;
  if (!flush(error)) {
    abandon();
    return {Outcome::writeFailed, error};
  }
  const int fd = static_cast<int>(std::exchange(handle_, -1));
  Committed committed;
  if (temporary_.empty()) {
    committed = placeUnnamed(fd, name_.c_str(), placement, protect, temporary_);
    if (::close(fd) != 0 && committed.outcome == Outcome::placed) {
      committed = {Outcome::writeFailed, lastError()};
      static_cast<void>(::unlink(name_.c_str()));  // it is this file, and it is not whole
    }
  } else if (::close(fd) != 0) {
    // Closed before it takes the name: a late write error (a network file system's) stops it.
    committed = {Outcome::writeFailed, lastError()};
  } else {
    committed = placeNamed(temporary_, name_.c_str(), placement, protect);
  }
  abandon();  // whatever temporary name is left, linked in or not, goes
  return committed;
}

}  // namespace kzb
