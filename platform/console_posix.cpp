// The standard streams on POSIX: file descriptors 1 and 2, written with write(2).
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>

#include "console.h"

namespace kzb::console {
namespace {

// Which of descriptors 0, 1 and 2 were closed when the process started.
std::array<bool, 3> closedAtStart{};

int descriptorOf(Stream stream) {
  return stream == Stream::output ? STDOUT_FILENO : STDERR_FILENO;
}

std::error_code readAll(int fd, std::string& bytes) {
  std::array<char, std::size_t{64} * 1024> block{};
  for (;;) {
    const ssize_t got = ::read(fd, block.data(), block.size());
    if (got > 0) {
      bytes.append(block.data(), static_cast<std::size_t>(got));
    } else if (got == 0) {
      return {};
    } else if (errno != EINTR) {
      return {errno, std::generic_category()};
    }
  }
}

}  // namespace

void prepareProcess() {
  for (int fd = 0; fd < 3; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // open() takes the lowest free number, which is this one.
      closedAtStart[static_cast<std::size_t>(fd)] = true;
      static_cast<void>(::open("/dev/null", O_RDWR));
    }
  }
  static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
  // A synchronized extraction holds a batch of files open until it flushes them at once; a
  // soft limit on descriptors below the hard one only makes its batches smaller.
  constexpr rlim_t kWanted = 4096;
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < kWanted &&
      limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = std::min(kWanted, limit.rlim_max);
    static_cast<void>(::setrlimit(RLIMIT_NOFILE, &limit));
  }
}

std::vector<std::string> arguments(int argc, char** argv) {
  return {argv, argv + argc};
}

bool isTerminal(Stream stream) {
  const int fd = descriptorOf(stream);
  return !closedAtStart[static_cast<std::size_t>(fd)] && ::isatty(fd) == 1;
}

std::uint64_t openFileLimit() {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return 0;
  }
  return static_cast<std::uint64_t>(limit.rlim_cur);
}

unsigned usableProcessors() {
#ifdef __linux__
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
    return static_cast<unsigned>(CPU_COUNT(&set));
  }
#endif
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1u;
}

std::error_code readStandardInput(std::string& bytes) {
  return readAll(STDIN_FILENO, bytes);
}

std::error_code readWholeFile(const std::string& path, std::string& bytes) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) {
    return {errno, std::generic_category()};
  }
  const std::error_code error = readAll(fd, bytes);  // a directory: EISDIR here
  static_cast<void>(::close(fd));
  return error;
}

std::error_code StandardStream::writeOut(std::string_view bytes) {
  const int fd = descriptorOf(stream_);
  if (closedAtStart[static_cast<std::size_t>(fd)]) {
    return std::make_error_code(std::errc::bad_file_descriptor);
  }
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
    } else if (written == 0 || errno != EINTR) {
      return {written == 0 ? EIO : errno, std::generic_category()};
    }
  }
  return {};
}

}  // namespace kzb::console
