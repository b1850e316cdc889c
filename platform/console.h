// The process's surroundings as the platform has them: the command line, the standard
// streams and the signals that concern them. Only the programs' main and drivers use this; one
// implementation per platform (console_posix.cpp, console_windows.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <streambuf>
#include <string>
#include <system_error>
#include <vector>

namespace kzb::console {

// Call first. A standard stream that was closed when the process started is held open on
// the null device, so that no file the run opens can take its number and receive the
// report; writing to it still fails as writing to a closed stream does. A reader of
// standard output that goes away makes writes fail with std::errc::broken_pipe instead of
// ending the process (SIGPIPE is ignored). A soft limit on open descriptors below 4096 is
// raised towards the hard one, for the batches of a synchronized extraction.
void prepareProcess();

// The arguments, program name first, as UTF-8 (on Windows taken from the UTF-16 command
// line, whatever the ANSI code page).
std::vector<std::string> arguments(int argc, char** argv);

enum class Stream { output, error };

// Whether the stream is a terminal (a console on Windows) rather than a file or a pipe.
bool isTerminal(Stream stream);

// How many processors the process may run on (its affinity), at least 1.
unsigned usableProcessors();

// Every byte of standard input up to its end, appended to `bytes` exactly as read (never
// translated as text). A standard input closed at the start reads as empty.
std::error_code readStandardInput(std::string& bytes);
// Every byte of the file at `path` (UTF-8), read from start to end as a stream, so that a pipe
// or a FIFO does as well as a regular file (a FIFO waits for its writer); appended to `bytes`.
std::error_code readWholeFile(const std::string& path, std::string& bytes);
// How many files the process may hold open at once (the soft RLIMIT_NOFILE, after
// prepareProcess has raised it); 0 where nothing limits them (no limit set, or Windows,
// whose handles are bounded by memory alone).
std::uint64_t openFileLimit();

// A buffered stream buffer on standard output or standard error. Bytes are UTF-8 and lines
// end in LF on every platform; a console on Windows is written as UTF-16. The first failed
// write is kept and everything after it is dropped, so the stream itself never fails:
// failure() tells what happened.
class StandardStream : public std::streambuf {
 public:
  explicit StandardStream(Stream stream);
  ~StandardStream() override;
  StandardStream(const StandardStream&) = delete;
  StandardStream& operator=(const StandardStream&) = delete;

  // Empty while every byte was written; std::errc::broken_pipe when the reader went away.
  std::error_code failure() const { return failure_; }

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char_type* bytes, std::streamsize count) override;
  int sync() override;

 private:
  void drain();  // hands what is buffered to the platform, keeping the first failure
  // The platform's write of `bytes` to the stream: all of them, or the reason it could not.
  std::error_code writeOut(std::string_view bytes);

  Stream stream_;
  std::array<char, std::size_t{64} * 1024> buffer_{};
  std::string pending_;  // on a Windows console: an incomplete UTF-8 sequence held back
  std::error_code failure_;
};

}  // namespace kzb::console
