// The standard streams on POSIX: file descriptors 1 and 2, written with write(2).
#include <fcntl.h>
#include <unistd.h>

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
}

std::vector<std::string> arguments(int argc, char** argv) {
  return {argv, argv + argc};
}

bool isTerminal(Stream stream) {
  const int fd = descriptorOf(stream);
  return !closedAtStart[static_cast<std::size_t>(fd)] && ::isatty(fd) == 1;
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
