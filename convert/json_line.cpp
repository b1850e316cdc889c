#include "json_line.h"

#include <string_view>

namespace kzb {

std::string jsonLine(const Json& value) {
  constexpr std::string_view kHex = "0123456789abcdef";
  const std::string plain = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  std::string out;
  out.reserve(plain.size());
  for (std::size_t i = 0; i < plain.size(); ++i) {
    const auto byte = static_cast<unsigned char>(plain[i]);
    const auto next = i + 1 < plain.size() ? static_cast<unsigned char>(plain[i + 1]) : 0u;
    if (byte == 0x7f || (byte == 0xc2 && next >= 0x80 && next <= 0x9f)) {
      const unsigned code = byte == 0x7f ? 0x7fu : next;
      out += "\\u00";
      out += kHex[code >> 4];
      out += kHex[code & 0xf];
      i += byte == 0x7f ? 0 : 1;
    } else {
      out += plain[i];
    }
  }
  return out;
}

}  // namespace kzb
