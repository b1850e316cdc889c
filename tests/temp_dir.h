// A private temporary directory per test, and small file helpers around it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kzb::testing {

// The path that UTF-8 text names. A path made from a plain string goes through the ANSI code
// page on Windows, which mangles names such as Hangul; these bytes name the same file on every
// platform.
inline std::filesystem::path utf8Path(std::string_view utf8) {
  std::u8string text;
  for (const char c : utf8) {
    text.push_back(static_cast<char8_t>(c));
  }
  return text;
}

// A path's name as UTF-8 text, on every platform.
inline std::string utf8String(const std::filesystem::path& path) {
  std::string text;
  for (const char8_t c : path.u8string()) {
    text.push_back(static_cast<char>(c));
  }
  return text;
}

class TempDir {
 public:
  // A fresh directory under a random name, owner only; a name that is taken is drawn again.
  TempDir() {
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::random_device seed;
    std::mt19937_64 random((std::uint64_t{seed()} << 32) | seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::filesystem::path candidate = base / ("kzb-test-" + hex(random()));
      if (std::filesystem::create_directory(candidate)) {
        std::filesystem::permissions(candidate, std::filesystem::perms::owner_all);
        path_ = candidate;
        return;
      }
    }
    throw std::runtime_error("no free temporary directory name in " + base.string());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / utf8Path(name); }

 private:
  static std::string hex(std::uint64_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text(16, '0');
    for (char& digit : text) {
      digit = kDigits[value >> 60];
      value <<= 4;
    }
    return text;
  }

  std::filesystem::path path_;
};

inline void writeFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Makes `dir` the working directory for as long as it lives.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::filesystem::path& dir)
      : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~ScopedCwd() { std::filesystem::current_path(previous_); }
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;

 private:
  std::filesystem::path previous_;
};

}  // namespace kzb::testing
