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
  if (directory.empty()) {
    return utf8FromPath(folder);
  }
  if (pathFromUtf8(directory).has_root_path()) {  // taken as it is, as the system takes it
    return utf8FromPath(folder / pathFromUtf8(directory));
  }
  // Joined as the lines show paths, with the separator every platform takes.
  const std::string base = utf8FromPath(folder);
  const bool separated = base.back() == '/' || base.back() == '\\';
  return base + (separated ? "" : "/") + directory;
}

}  // namespace kzb::tool
