// What the fuzz targets share: a private scratch directory per process, the rewrite of
// libFuzzer's path arguments that keeps them valid once a target changes directory, and a
// stream that swallows the report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <streambuf>
#include <string_view>

namespace kzb::fuzz {

struct Scratch {
  std::filesystem::path root;    // $TMPDIR or /dev/shm, then kzb-fuzz-XXXXXX; 0700; removed at exit
  std::filesystem::path output;  // root/out: the extraction target's working directory
  // output/c: each input is written here. An entry named "c" names the container itself,
  // which extraction must refuse rather than truncate; make_corpus has a seed that does.
  std::filesystem::path input;
};

// Created on the first call; aborts when the directories cannot be made.
const Scratch& scratch();

// For LLVMFuzzerInitialize. libFuzzer reads corpus directories, the dictionary and the
// artifact prefix relative to the working directory at the time it uses them; the
// extraction target changes directory, so every such path is made absolute first, and
// artifacts default to the directory the run was started from.
void makePathArgumentsAbsolute(int* argc, char*** argv);

// Replaces the scratch input file with `data`; aborts when it cannot.
void writeInput(std::span<const std::uint8_t> data);

// Prints `what` and aborts, so that libFuzzer records the input as a crash.
[[noreturn]] void fail(std::string_view what);
inline void require(bool condition, std::string_view what) {
  if (!condition) {
    fail(what);
  }
}

// Accepts every character and keeps none: the report is formatted in full, then dropped.
class DiscardBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char_type*, std::streamsize count) override { return count; }
};

}  // namespace kzb::fuzz
