// Paths from the command line, which the program holds as UTF-8 on every platform.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kzb::tool {

// The path that UTF-8 text names. A path made from a plain string would go through the ANSI
// code page on Windows, which mangles names such as Hangul.
inline std::filesystem::path pathFromUtf8(std::string_view utf8) {
  return std::u8string(utf8.begin(), utf8.end());
}

inline std::string utf8FromPath(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

// The directory a command writes into for `container`: -C's `directory` (empty for the working
// directory), or with --beside the same taken from the container's own folder, where an
// absolute `directory` stays as it is.
inline std::string destinationFor(const std::string& container, const std::string& directory,
                                  bool beside) {
  const std::filesystem::path folder = pathFromUtf8(container).parent_path();
  if (!beside || folder.empty()) {
    return directory;
  }
  return utf8FromPath(directory.empty() ? folder : folder / pathFromUtf8(directory));
}

}  // namespace kzb::tool
