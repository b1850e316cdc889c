// The output unit on POSIX. A file is written into an unnamed temporary (O_TMPFILE) where
// the file system has them, otherwise into one created exclusively under a hidden unique
// name; either is opened by no one else and never by following a name. It is put in place by
// linkat() where the name is free, and by renameat() over what stands there otherwise: both
// act on the name itself, never on what a link at the name points to. A file that replaces
// another is flushed with fdatasync() first; one that takes a free name is not, as tar's and
// cp's files are not.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "output_file.h"
#include "utf8.h"

namespace kzb {
namespace {

std::error_code lastError() {
  return {errno != 0 ? errno : EIO, std::generic_category()};
}

// The temporaries that exist under a name of their own right now, for the signal handler:
// it may only read memory and call unlinkat(), so the names sit in fixed slots, one for
// each output file that has such a name (a synchronized run holds a batch of them, and
// kzb -j a batch per job).
//
// Several threads make names at once, and the handler runs on any one of them, while the
// others go on. So a slot is taken by an atomic exchange (lock-free atomics are safe in a
// handler), and a name is made only inside a window where its thread blocks the termination
// signals, after a look at `terminating`: the handler first sets `terminating`, then waits
// for every slot that is being filled (by other threads: its own has the signals blocked
// there) and removes every name published. A name is thus either published before the
// handler looks, or never made.
constexpr std::size_t kTemporaryNameSize = 64;
enum SlotState : int { kSlotFree, kSlotFilling, kSlotPublished };
struct PendingSlot {
  std::array<char, kTemporaryNameSize> name{};
  std::atomic<int> directory{AT_FDCWD};
  std::atomic<int> state{kSlotFree};
};
static_assert(std::atomic<int>::is_always_lock_free);
std::array<PendingSlot, 4 * OutputFile::kMostPending> pendingSlots{};
std::atomic<int> terminating{0};

// The termination signals blocked in this thread for the object's lifetime.
class TerminationBlocked {
 public:
  TerminationBlocked() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
      sigaddset(&set, signal);
    }
    static_cast<void>(::pthread_sigmask(SIG_BLOCK, &set, &previous_));
  }
  ~TerminationBlocked() { static_cast<void>(::pthread_sigmask(SIG_SETMASK, &previous_, nullptr)); }
  TerminationBlocked(const TerminationBlocked&) = delete;
  TerminationBlocked& operator=(const TerminationBlocked&) = delete;

 private:
  sigset_t previous_{};
};

// Makes the name `name` in `directory` by `make` (which returns a descriptor or 0 for
// success, -1 with errno for failure), published in a slot that `slot` receives (-1 when the
// name was not made, or every slot is taken: then the name goes unprotected, which the batch
// limits keep from happening). Fails with EINTR, making nothing, once a termination signal is
// being handled: the process is ending.
template <typename Make>
int makePublished(int directory, const std::string& name, int& slot, Make make) {
  const TerminationBlocked blocked;
  slot = -1;
  for (std::size_t index = 0; index < pendingSlots.size(); ++index) {
    int expected = kSlotFree;
    if (pendingSlots[index].state.compare_exchange_strong(expected, kSlotFilling)) {
      slot = static_cast<int>(index);
      break;
    }
  }
  PendingSlot* taken = slot >= 0 ? &pendingSlots[static_cast<std::size_t>(slot)] : nullptr;
  if (terminating.load() != 0) {
    if (taken != nullptr) {
      taken->state.store(kSlotFree);
      slot = -1;
    }
    errno = EINTR;
    return -1;
  }
  if (taken != nullptr) {
    taken->directory.store(directory);
    static_cast<void>(std::snprintf(taken->name.data(), taken->name.size(), "%s", name.c_str()));
  }
  const int made = make();
  const int error = errno;
  if (taken != nullptr) {
    taken->state.store(made >= 0 ? kSlotPublished : kSlotFree);
    slot = made >= 0 ? slot : -1;
  }
  errno = error;
  return made;
}

void clearPending(int& slot) {
  if (slot >= 0) {
    pendingSlots[static_cast<std::size_t>(slot)].state.store(kSlotFree);
    slot = -1;
  }
}

extern "C" void removeTemporaryAndEnd(int signal) {
  terminating.store(1);
  for (const PendingSlot& slot : pendingSlots) {
    int state = slot.state.load();
    while (state == kSlotFilling) {  // another thread is making a name: briefly
      state = slot.state.load();
    }
    if (state == kSlotPublished) {
      static_cast<void>(::unlinkat(slot.directory.load(), slot.name.data(), 0));
    }
  }
  // The handler runs with the signal blocked: once it returns, the default action ends the
  // process, and the parent sees it killed by this signal.
  static_cast<void>(std::signal(signal, SIG_DFL));
  static_cast<void>(std::raise(signal));
}

// ".kzb-extract-<16 hex digits>.tmp": hidden, and unique enough that a clash only costs a retry.
// One generator a thread: threads write files at once (kzb -j).
std::string hiddenUniqueName() {
  thread_local std::mt19937_64 generator{std::random_device{}() ^
                                         (static_cast<std::uint64_t>(::getpid()) << 32) ^
                                         std::hash<std::thread::id>{}(std::this_thread::get_id())};
  std::array<char, kTemporaryNameSize> name{};
  static_cast<void>(std::snprintf(name.data(), name.size(), ".kzb-extract-%016llx.tmp",
                                  static_cast<unsigned long long>(generator())));
  return name.data();
}

enum class Support { unknown, yes, no };

// Unnamed temporaries need the file system's support, and linking one in needs either
// AT_EMPTY_PATH (a privilege on older kernels) or /proc's view of the descriptor.
// What one thread learns holds for all (a race only costs another try).
std::atomic<Support> unnamedTemporaries{Support::unknown};
std::atomic<bool> emptyPathRefused{false};

#ifdef O_TMPFILE
int openUnnamed(int directory) {
  if (unnamedTemporaries == Support::unknown) {
    unnamedTemporaries = ::access("/proc/self/fd", X_OK) == 0 ? Support::yes : Support::no;
  }
  if (unnamedTemporaries == Support::no) {
    errno = EOPNOTSUPP;
    return -1;
  }
  const int fd = ::openat(directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    unnamedTemporaries = Support::no;  // the file system or the kernel has none
  }
  return fd;
}

int linkUnnamed(int fd, int directory, const char* name) {
  if (!emptyPathRefused) {
    if (::linkat(fd, "", directory, name, AT_EMPTY_PATH) == 0) {
      return 0;
    }
    if (errno != ENOENT && errno != EPERM) {
      return -1;
    }
    emptyPathRefused = true;
  }
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::linkat(AT_FDCWD, self.c_str(), directory, name, AT_SYMLINK_FOLLOW);
}
#else
int openUnnamed(int /*directory*/) {
  errno = EOPNOTSUPP;
  return -1;
}
int linkUnnamed(int /*fd*/, int /*directory*/, const char* /*name*/) {
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

using Outcome = OutputFile::Outcome;
using Committed = OutputFile::Committed;

// What commit() works on: the complete temporary and the name it is to take.
struct Target {
  int fd;                         // the temporary, open for writing
  int directory;                  // the destination directory
  const char* name;               // the entry's name, one component in the directory
  std::u16string_view entryName;  // the same, as the entry gives it
  const FileIdentity& protect;    // the container being read
  const PlacedFiles& placed;      // the files placed in the directory before
  int* slot;                      // the signal handler's slot for a temporary name
};

FileIdentity identityOf(const struct stat& status) {
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

// Whether the file system's inode numbers name its files. A FUSE driver built on the
// high-level library (exfat-fuse, fusefat) makes one up for each name it is asked about, so
// two names of one file show two numbers there.
bool inodeNumbersNameFiles(int fd) {
#ifdef __linux__
  constexpr decltype(statfs::f_type) kFuseMagic = 0x65735546;
  struct statfs system {};
  return ::fstatfs(fd, &system) != 0 || system.f_type != kFuseMagic;
#else
  static_cast<void>(fd);
  return true;
#endif
}

// Whether closing a file written in `directory` can report a write error: on a network or
// FUSE file system, where the bytes may reach the server only at the close. On the local
// file systems named here a write error shows at the write or at a flush, never at a close,
// so a placed file's descriptor may be closed later, by another thread.
bool closeMayFail(int directory) {
#ifdef __linux__
  constexpr std::array<decltype(statfs::f_type), 6> kLocal = {
      0xEF53,      // ext2, ext3, ext4
      0x58465342,  // XFS
      0x9123683E,  // btrfs
      0x01021994,  // tmpfs
      0xF2F52010,  // F2FS
      0x2011BAB0,  // exFAT (the kernel's)
  };
  struct statfs system {};
  return ::fstatfs(directory, &system) != 0 ||
         std::find(kLocal.begin(), kLocal.end(), system.f_type) == kLocal.end();
#else
  static_cast<void>(directory);
  return true;
#endif
}

// Whether the two open files hold the same bytes, `size` of them.
bool sameBytes(int first, int second, std::uint64_t size) {
  constexpr std::size_t kBlock = std::size_t{64} * 1024;
  std::vector<char> one(kBlock);
  std::vector<char> other(kBlock);
  for (std::uint64_t offset = 0; offset < size;) {
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, size - offset));
    const auto at = static_cast<off_t>(offset);
    if (::pread(first, one.data(), wanted, at) != static_cast<ssize_t>(wanted) ||
        ::pread(second, other.data(), wanted, at) != static_cast<ssize_t>(wanted) ||
        std::memcmp(one.data(), other.data(), wanted) != 0) {
      return false;
    }
    offset += wanted;
  }
  return true;
}

int openToCompare(int directory, const char* name) {
  return ::openat(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

// Where inode numbers do not name files, the file at the taken name is the earlier file
// when the earlier name shows a file of the same size, modification time and bytes: one
// file reached by two names. Only files of the same size are read, and only on such a
// file system, when a name turns out taken.
const PlacedFile* sameContentsAsEarlier(const Target& target, const struct stat& standing) {
  for (const PlacedFile* earlier :
       target.placed.bySize(static_cast<std::uint64_t>(standing.st_size))) {
    const std::string earlierName = toUtf8(earlier->name);
    struct stat status {};
    if (::fstatat(target.directory, earlierName.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(status.st_mode) || status.st_dev != standing.st_dev ||
        status.st_size != standing.st_size || status.st_mtim.tv_sec != standing.st_mtim.tv_sec ||
        status.st_mtim.tv_nsec != standing.st_mtim.tv_nsec) {
      continue;
    }
    const int first = openToCompare(target.directory, earlierName.c_str());
    const int second = openToCompare(target.directory, target.name);
    const bool same = first >= 0 && second >= 0 &&
                      sameBytes(first, second, static_cast<std::uint64_t>(standing.st_size));
    for (const int fd : {first, second}) {
      if (fd >= 0) {
        static_cast<void>(::close(fd));
      }
    }
    if (same) {
      return earlier;
    }
  }
  return nullptr;
}

// The file placed earlier in this run, under another name, that stands at the taken name.
// The same name again is no collision: a later row of that name rewrites its file.
const PlacedFile* earlierFileAt(const Target& target, const struct stat& standing) {
  if (target.placed.byName(target.entryName) != nullptr) {
    return nullptr;
  }
  if (const PlacedFile* earlier = target.placed.byIdentity(identityOf(standing))) {
    return earlier;
  }
  if (!S_ISREG(standing.st_mode) || inodeNumbersNameFiles(target.fd)) {
    return nullptr;
  }
  return sameContentsAsEarlier(target, standing);
}

// What stands at a taken name, looked at as itself (a link at the name is not followed):
// whether anything does, and whether it stops the placement.
struct Judgement {
  bool taken = false;
  std::optional<Committed> refusal;
};

Judgement judgeTakenName(const Target& target) {
  struct stat status {};
  if (::fstatat(target.directory, target.name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return {errno != ENOENT, std::nullopt};  // what cannot be looked at is left to rename
  }
  if (S_ISDIR(status.st_mode)) {
    return {true, Committed{Outcome::cannotPlace, std::make_error_code(std::errc::is_a_directory)}};
  }
  if (identityOf(status) == target.protect) {
    return {true, Committed{Outcome::isProtected, {}}};
  }
  if (const PlacedFile* earlier = earlierFileAt(target, status)) {
    return {true, Committed{Outcome::sameFileAsEarlier, {}, earlier->name}};
  }
  return {true, std::nullopt};
}

// Why a name could not be taken, told apart from other failures: the temporary was just
// made in this directory, so when the directory is still there and nothing stands at the
// name, the file system refused the name itself. FUSE drivers say so with ENOENT or EPERM.
Committed failureToPlace(int error, const Target& target) {
  const std::error_code code{error, std::generic_category()};
  if (error == EINVAL || error == EILSEQ || error == ENAMETOOLONG) {
    return {Outcome::nameRefused, code};
  }
  struct stat status {};
  if ((error == ENOENT || error == EPERM) && ::fstat(target.directory, &status) == 0 &&
      status.st_nlink > 0 &&
      ::fstatat(target.directory, target.name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return {Outcome::nameRefused, code};
  }
  return {Outcome::cannotPlace, code};
}

// Before a file replaces an existing one, its bytes reach the disk: a power loss after the
// rename must find the complete new file there, never an empty one in the old one's place.
std::optional<Committed> flushBeforeReplacing(int fd) {
  if (::fdatasync(fd) != 0) {
    return Committed{Outcome::writeFailed, lastError()};
  }
  return std::nullopt;
}

// An unnamed temporary takes the name by linkat() when it is free. Otherwise it first gets a
// hidden name of its own, which rename() then moves over the name in one step.
Committed placeUnnamed(const Target& target, OutputFile::Placement placement,
                       std::filesystem::path& hidden) {
  if (linkUnnamed(target.fd, target.directory, target.name) == 0) {
    return {Outcome::placed, {}};
  }
  if (errno != EEXIST) {
    return failureToPlace(errno, target);
  }
  if (Judgement judged = judgeTakenName(target); judged.refusal) {
    return *judged.refusal;
  }
  if (placement == OutputFile::Placement::keepExisting) {
    return {Outcome::keptExisting, {}};
  }
  if (auto failed = flushBeforeReplacing(target.fd)) {
    return *failed;
  }
  std::string candidate = hiddenUniqueName();
  while (makePublished(target.directory, candidate, *target.slot, [&] {
           return linkUnnamed(target.fd, target.directory, candidate.c_str());
         }) != 0) {
    if (errno != EEXIST) {
      return {Outcome::cannotPlace, lastError()};
    }
    candidate = hiddenUniqueName();
  }
  hidden = candidate;
  if (::renameat(target.directory, hidden.c_str(), target.directory, target.name) != 0) {
    return failureToPlace(errno, target);  // the caller removes the hidden name
  }
  clearPending(*target.slot);
  hidden.clear();
  return {Outcome::placed, {}};
}

// A named temporary takes the name by link() when it is free, by rename() over what stands
// there otherwise; where the file system has no hard links, by rename() alone.
Committed placeNamed(const Target& target, OutputFile::Placement placement,
                     std::filesystem::path& temporary) {
  if (::linkat(target.directory, temporary.c_str(), target.directory, target.name, 0) == 0) {
    return {Outcome::placed, {}};  // the caller removes the temporary's own name
  }
  const int linkError = errno;
  if (linkError != EEXIST && !lacksHardLinks(linkError)) {
    return failureToPlace(linkError, target);
  }
  Judgement judged = judgeTakenName(target);
  if (judged.refusal) {
    return *judged.refusal;
  }
  const bool taken = linkError == EEXIST || judged.taken;
  if (taken && placement == OutputFile::Placement::keepExisting) {
    return {Outcome::keptExisting, {}};
  }
  if (taken) {
    if (auto failed = flushBeforeReplacing(target.fd)) {
      return *failed;
    }
  }
  if (::renameat(target.directory, temporary.c_str(), target.directory, target.name) != 0) {
    return failureToPlace(errno, target);
  }
  clearPending(*target.slot);
  temporary.clear();
  return {Outcome::placed, {}};
}

}  // namespace

bool platformRefusesWindowsNames() {
  return false;
}

bool fileNameTooLong(std::u16string_view name) {
  return toUtf8(name).size() > NAME_MAX;
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

std::error_code OutputFile::flushToDisk(std::span<OutputFile* const> files) {
  if (files.empty()) {
    return {};
  }
#ifdef __linux__
  // One flush of the file system they are on writes them all (and reports their errors).
  if (::syncfs(static_cast<int>(files.front()->handle_)) == 0) {
    return {};
  }
#endif
  for (const OutputFile* file : files) {
    if (::fdatasync(static_cast<int>(file->handle_)) != 0) {
      return lastError();
    }
  }
  return {};
}

bool OutputFile::showsTheSameDirectory(const Directory& directory,
                                       const std::filesystem::path& other) {
  const auto at = static_cast<int>(directory.handle());
  int slot = -1;
  std::string probe = hiddenUniqueName();
  int fd = -1;
  while ((fd = makePublished(at, probe, slot, [&] {
            return ::openat(at, probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            0666);
          })) < 0) {
    if (errno != EEXIST) {
      return false;
    }
    probe = hiddenUniqueName();
  }
  static_cast<void>(::close(fd));
  struct stat status {};
  const bool same = ::fstatat(AT_FDCWD, (other / probe).c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
  static_cast<void>(::unlinkat(at, probe.c_str(), 0));
  clearPending(slot);
  return same;
}

OutputFile::~OutputFile() {
  abandon();
  releasePlaced();
}

void OutputFile::releasePlaced() {
  if (placedHandle_ != -1) {
    static_cast<void>(::close(static_cast<int>(std::exchange(placedHandle_, -1))));
  }
}

std::error_code OutputFile::create(const Directory& into, std::u16string_view name) {
  abandon();
  releasePlaced();
  const int directory = static_cast<int>(into.handle());
  closeLater_ = !closeMayFail(directory);
  entryName_ = name;
  name_ = toUtf8(name);
  int fd = openUnnamed(directory);
  if (fd < 0 && !lacksUnnamedTemporaries(errno)) {
    return lastError();
  }
  while (fd < 0) {
    const std::string temporary = hiddenUniqueName();
    fd = makePublished(directory, temporary, signalSlot_, [&] {
      return ::openat(directory, temporary.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    });
    if (fd >= 0) {
      temporary_ = temporary;
    } else if (errno != EEXIST) {
      return lastError();
    }
  }
  handle_ = fd;
  directory_ = directory;
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

bool OutputFile::writeAllAt(std::intptr_t handle, std::uint64_t offset,
                            std::span<const std::byte> bytes, std::error_code& error) {
  while (!bytes.empty()) {
    const ssize_t written =
        ::pwrite(static_cast<int>(handle), bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (written > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(written));
      offset += static_cast<std::uint64_t>(written);
    } else if (written == 0 || errno != EINTR) {
      error = written == 0 ? std::make_error_code(std::errc::io_error) : lastError();
      return false;
    }
  }
  return true;
}

bool OutputFile::cutAt(std::intptr_t handle, std::uint64_t size, std::error_code& error) {
  const int fd = static_cast<int>(handle);
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0 ||
      ::lseek(fd, static_cast<off_t>(size), SEEK_SET) < 0) {
    error = lastError();
    return false;
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

// Each thread's own pipe for splice(), opened on first use: never blocking, so that nothing
// can stall on it, and as large as the system lets it grow. One a thread, since jobs copy at
// once (kzb -j) and bytes of one copy must never pass into another's file; it goes with its
// thread.
struct SplicePipe {
  int read = -1;
  int write = -1;
  std::uint64_t capacity = 0;

  SplicePipe() = default;
  SplicePipe(const SplicePipe&) = delete;
  SplicePipe& operator=(const SplicePipe&) = delete;
  ~SplicePipe() { close(); }
  void close() {
    for (const int end : {read, write}) {
      if (end != -1) {
        static_cast<void>(::close(end));
      }
    }
    read = write = -1;
    capacity = 0;
  }
};
thread_local SplicePipe splicePipe;

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
  splicePipe.read = ends[0];
  splicePipe.write = ends[1];
  splicePipe.capacity = static_cast<std::uint64_t>(capacity);
  return true;
}

// Bytes left in the pipe by a write that failed go with it.
void dropSplicePipe() {
  splicePipe.close();
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

bool OutputFile::identify(std::intptr_t handle, FileIdentity& identity, std::uint64_t& size) {
  struct stat status {};
  if (::fstat(static_cast<int>(handle), &status) != 0) {
    return false;
  }
  identity = identityOf(status);
  size = static_cast<std::uint64_t>(status.st_size);
  return true;
}

void OutputFile::beginWriteback([[maybe_unused]] std::intptr_t handle) {
#ifdef __linux__
  // Only a hint: whatever it does not start, the flush that follows writes.
  static_cast<void>(::sync_file_range(static_cast<int>(handle), 0, 0, SYNC_FILE_RANGE_WRITE));
#endif
}

void OutputFile::abandon() {
  if (handle_ != -1) {
    static_cast<void>(::close(static_cast<int>(handle_)));  // its bytes are being dropped
    handle_ = -1;
  }
  if (!temporary_.empty()) {
    static_cast<void>(::unlinkat(static_cast<int>(directory_), temporary_.c_str(), 0));
    clearPending(signalSlot_);
    temporary_.clear();
  }
  entryName_.clear();
  name_.clear();
  buffered_ = 0;
  written_ = 0;
  failure_.clear();
  identified_ = false;
}

OutputFile::Committed OutputFile::commit(Placement placement, const FileIdentity& protect,
                                         PlacedFiles& placed) {
  std::error_code error;
  if (!flush(error)) {
    abandon();
    return {Outcome::writeFailed, error};
  }
  const int fd = static_cast<int>(std::exchange(handle_, -1));
  const auto directory = static_cast<int>(directory_);
  const Target target{fd, directory, name_.c_str(), entryName_, protect, placed, &signalSlot_};
  Committed committed = temporary_.empty() ? placeUnnamed(target, placement, temporary_)
                                           : placeNamed(target, placement, temporary_);
  // Linking changes neither: what finishWriting() saw holds, and the system is asked only
  // where it did not look.
  const bool known = committed.outcome == Outcome::placed &&
                     (identified_ || identify(fd, identity_, identifiedSize_));
  // A late write error (a network file system's) shows at the close. The file is already
  // under its name then, and not whole, so the name goes again. Where no close can fail, it
  // is left to releasePlaced(), off the thread that places.
  if (committed.outcome == Outcome::placed && closeLater_) {
    placedHandle_ = fd;
    placed.record({entryName_, identity_, identifiedSize_});
  } else if (::close(fd) != 0 && committed.outcome == Outcome::placed) {
    committed = {Outcome::writeFailed, lastError(), {}};
    static_cast<void>(::unlinkat(directory, name_.c_str(), 0));
  } else if (known) {
    placed.record({entryName_, identity_, identifiedSize_});
  }
  abandon();  // whatever temporary name is left, linked in or not, goes
  return committed;
}

}  // namespace kzb
