// Runs a built program (kzb-extract unless another is named) as a child process in a given
// directory, with its standard output and standard error captured in files beside that
// directory.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kzb::testing {

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

// What the system reports as the exit status of a program whose main returned -1: POSIX keeps
// the low eight bits, Windows the whole 32-bit value.
#ifdef _WIN32
inline constexpr int kStatusOfMinusOne = -1;
#else
inline constexpr int kStatusOfMinusOne = 255;
#endif

// How the binary is started. The prelude and the wrapper are shell text, for POSIX only;
// running with either on Windows throws.
struct Launch {
  std::string prelude;            // run first, in the same shell
  std::string wrapper;            // a command that runs the binary, such as setpriv
  bool errorsIntoOutput = false;  // standard error into the same file as standard output
};

// Runs the binary with `args` (UTF-8, each passed as one argument) in `dir`. Standard output and
// standard error land in "stdout" and "stderr" in the parent of `dir`, never in it.
Outcome runBinary(const std::filesystem::path& dir, const std::vector<std::string>& args,
                  const Launch& launch = {});
// The same for the program built at `program`, as the build names it; its standard input read
// from `input` where one is given.
Outcome runProgram(const std::string& program, const std::filesystem::path& dir,
                   const std::vector<std::string>& args, const Launch& launch = {},
                   const std::filesystem::path& input = {});

}  // namespace kzb::testing
