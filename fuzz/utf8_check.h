// What the fuzz targets ask of text they are handed back: is it UTF-8, and how long.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "utf8.h"

namespace kzb::fuzz {

// The count of code points, or nothing when the text is not valid UTF-8.
inline std::optional<std::size_t> utf8Characters(std::string_view text) {
  std::size_t count = 0;
  while (!text.empty()) {
    char32_t c = 0;
    const std::size_t length = decodeUtf8(text, c);
    if (length == 0) {
      return std::nullopt;
    }
    text.remove_prefix(length);
    ++count;
  }
  return count;
}

inline bool isValidUtf8(std::string_view text) {
  return utf8Characters(text).has_value();
}

}  // namespace kzb::fuzz
