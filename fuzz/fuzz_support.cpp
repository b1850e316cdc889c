#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace kzb::fuzz {
namespace {

void removeScratch() {
  std::error_code ignored;
  std::filesystem::remove_all(scratch().root, ignored);
}

// TMPDIR when set; otherwise memory-backed /dev/shm where there is one, since every input is
// written to a file and read back (the walk runs several times faster there than on disk).
std::filesystem::path scratchBase() {
  if (std::getenv("TMPDIR") == nullptr && ::access("/dev/shm", W_OK | X_OK) == 0) {
    return "/dev/shm";
  }
  std::error_code error;
  std::filesystem::path base = std::filesystem::temp_directory_path(error);
  return error ? std::filesystem::path("/tmp") : base;
}

Scratch makeScratch() {
  const std::filesystem::path base = scratchBase();
  std::string pattern = (base / "kzb-fuzz-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {  // POSIX, declared by <cstdlib> here
    fail("cannot create the scratch directory");
  }
  Scratch made;
  std::error_code error;
  made.root = pattern;
  made.output = made.root / "out";
  made.input = made.output / "c";
  if (!std::filesystem::create_directory(made.output, error)) {
    fail("cannot create the output directory");
  }
  return made;
}

// Flags whose value is one path; a positional argument is a corpus directory or an input.
constexpr std::string_view kPathFlags[] = {
    "-artifact_prefix=",     "-exact_artifact_path=", "-dict=",
    "-merge_control_file=",  "-features_dir=",        "-stop_file=",
    "-mutation_graph_file=",
};

std::string absolute(std::string_view path) {
  if (path.empty()) {
    return std::filesystem::current_path().string() + "/";
  }
  std::string made = std::filesystem::absolute(std::filesystem::path(path)).string();
  if (path.back() == '/' && made.back() != '/') {
    made += '/';  // an artifact prefix names a directory only by its trailing slash
  }
  return made;
}

}  // namespace

const Scratch& scratch() {
  static const Scratch made = makeScratch();
  static const bool registered = std::atexit(removeScratch) == 0;
  (void)registered;
  return made;
}

void makePathArgumentsAbsolute(int* argc, char*** argv) {
  // Kept for the whole run: libFuzzer holds on to the pointers.
  static std::vector<std::string> storage;
  static std::vector<char*> pointers;
  bool hasArtifactPrefix = false;
  for (int i = 0; i < *argc; ++i) {
    std::string argument = (*argv)[i];
    // The program name stays: libFuzzer refuses a changed one, and a -jobs parent, which
    // runs no input and so never changes directory, starts its workers by it.
    if (i > 0 && !argument.empty() && argument[0] != '-') {
      argument = absolute(argument);
    } else if (i > 0) {
      for (const std::string_view flag : kPathFlags) {
        if (argument.starts_with(flag)) {
          argument = std::string(flag) + absolute(std::string_view(argument).substr(flag.size()));
          hasArtifactPrefix = hasArtifactPrefix || flag == "-artifact_prefix=";
          break;
        }
      }
    }
    storage.push_back(std::move(argument));
  }
  if (!hasArtifactPrefix) {
    storage.push_back("-artifact_prefix=" + absolute(""));
  }
  pointers.reserve(storage.size() + 1);
  for (std::string& argument : storage) {
    pointers.push_back(argument.data());
  }
  pointers.push_back(nullptr);
  *argc = static_cast<int>(storage.size());
  *argv = pointers.data();
}

void writeInput(std::span<const std::uint8_t> data) {
  // The extraction target empties the output directory after each input, so the container
  // is written afresh every time.
  std::ofstream out(scratch().input, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  out.close();
  require(!out.fail(), "cannot write the scratch input file");
}

void fail(std::string_view what) {
  (void)std::fprintf(stderr, "kzb-fuzz: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

}  // namespace kzb::fuzz
