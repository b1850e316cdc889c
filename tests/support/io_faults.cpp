// Faults for one launch of the tool, preloaded (LD_PRELOAD) by the tests and steered by the
// environment:
//   KZB_FAULT_EIO_AT=<offset>      a pread whose range holds that file offset fails with EIO,
//                                  and so does a copy_file_range or a splice out of a file
//                                  whose source range holds it
//   KZB_FAULT_READ_DELAY_US=<n>    every pread first sleeps n microseconds, and so does every
//                                  copy_file_range or splice out of a file, which then moves at
//                                  most 64 KiB, as a pread of the tool's buffer would
//   KZB_FAULT_NO_TMPFILE=1         opening with O_TMPFILE fails with EOPNOTSUPP
// Everything else goes to the next definition of the call, normally the C library's.

// Each name defined here must stand for exactly one symbol, whatever the build asks for.
#undef _FILE_OFFSET_BITS
#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <ctime>

namespace {

struct Faults {
  bool failAtOffset = false;
  std::uint64_t eioAt = 0;
  long delayMicroseconds = 0;
  bool noTmpfile = false;
};

// The environment is fixed for the launch, so it is read once.
const Faults& faults() {
  static const Faults parsed = [] {
    Faults f;
    if (const char* at = std::getenv("KZB_FAULT_EIO_AT")) {
      f.failAtOffset = true;
      f.eioAt = std::strtoull(at, nullptr, 10);
    }
    if (const char* delay = std::getenv("KZB_FAULT_READ_DELAY_US")) {
      f.delayMicroseconds = std::strtol(delay, nullptr, 10);
    }
    if (const char* none = std::getenv("KZB_FAULT_NO_TMPFILE")) {
      f.noTmpfile = none[0] == '1';
    }
    return f;
  }();
  return parsed;
}

// What a slowed copy_file_range moves at most in one call.
constexpr size_t kSlowCopyMost = size_t{64} * 1024;

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// Sleeps, then tells whether a read of `count` bytes at `offset` is to fail.
bool readFails(std::int64_t offset, std::size_t count) {
  const Faults& f = faults();
  if (f.delayMicroseconds > 0) {
    const timespec pause{f.delayMicroseconds / 1000000, (f.delayMicroseconds % 1000000) * 1000};
    nanosleep(&pause, nullptr);
  }
  if (!f.failAtOffset || offset < 0) {
    return false;
  }
  const auto start = static_cast<std::uint64_t>(offset);
  return f.eioAt >= start && f.eioAt - start < count;
}

// A copy from `in` reads it at the offset given, or at the descriptor's own when none is; a
// pipe has none, and is no file to fault. Sleeps and shortens `count` as a slowed read would.
bool copyFails(int in, const off64_t* inOffset, size_t& count) {
  const off64_t at = inOffset != nullptr ? *inOffset : lseek64(in, 0, SEEK_CUR);
  if (at < 0) {
    return false;
  }
  if (readFails(at, count)) {
    errno = EIO;
    return true;
  }
  if (faults().delayMicroseconds > 0 && count > kSlowCopyMost) {
    count = kSlowCopyMost;
  }
  return false;
}

bool refusedTemporary(int flags) {
#ifdef O_TMPFILE
  if (faults().noTmpfile && (flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return true;
  }
#endif
  return false;
}

// The mode argument is there only when the flags create a file.
mode_t modeArgument(int flags, va_list arguments) {
  bool creates = (flags & O_CREAT) != 0;
#ifdef O_TMPFILE
  creates = creates || (flags & O_TMPFILE) == O_TMPFILE;
#endif
  return creates ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

}  // namespace

extern "C" {

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
  using Pread = ssize_t (*)(int, void*, size_t, off_t);
  static const Pread real = next<Pread>("pread");
  if (readFails(offset, count)) {
    errno = EIO;
    return -1;
  }
  return real(fd, buffer, count, offset);
}

ssize_t pread64(int fd, void* buffer, size_t count, off64_t offset) {
  using Pread = ssize_t (*)(int, void*, size_t, off64_t);
  static const Pread real = next<Pread>("pread64");
  if (readFails(offset, count)) {
    errno = EIO;
    return -1;
  }
  return real(fd, buffer, count, offset);
}

int open(const char* path, int flags, ...) {
  using Open = int (*)(const char*, int, ...);
  static const Open real = next<Open>("open");
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = modeArgument(flags, arguments);
  va_end(arguments);
  return refusedTemporary(flags) ? -1 : real(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  using Open = int (*)(const char*, int, ...);
  static const Open real = next<Open>("open64");
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = modeArgument(flags, arguments);
  va_end(arguments);
  return refusedTemporary(flags) ? -1 : real(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
  using Openat = int (*)(int, const char*, int, ...);
  static const Openat real = next<Openat>("openat");
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = modeArgument(flags, arguments);
  va_end(arguments);
  return refusedTemporary(flags) ? -1 : real(dir, path, flags, mode);
}

int openat64(int dir, const char* path, int flags, ...) {
  using Openat = int (*)(int, const char*, int, ...);
  static const Openat real = next<Openat>("openat64");
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = modeArgument(flags, arguments);
  va_end(arguments);
  return refusedTemporary(flags) ? -1 : real(dir, path, flags, mode);
}

ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t count,
                        unsigned int flags) {
  using Copy = ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned int);
  static const Copy real = next<Copy>("copy_file_range");
  return copyFails(in, inOffset, count) ? -1 : real(in, inOffset, out, outOffset, count, flags);
}

ssize_t splice(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t count,
               unsigned int flags) {
  using Splice = ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned int);
  static const Splice real = next<Splice>("splice");
  return copyFails(in, inOffset, count) ? -1 : real(in, inOffset, out, outOffset, count, flags);
}

}  // extern "C"
