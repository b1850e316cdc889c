#include "utf8.h"

namespace kzb {
namespace {

constexpr char32_t kReplacement = U'\uFFFD';

bool isHighSurrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isLowSurrogate(char16_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool isControl(char32_t c) {
  return (c < 0x20 && c != U'\t') || (c >= 0x7f && c <= 0x9f);
}

void appendEscaped(std::string& out, char32_t c) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\x";
  out += kHex[(c >> 4) & 0xf];
  out += kHex[c & 0xf];
}

}  // namespace

std::size_t decodeUtf8(std::string_view text, char32_t& c) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  if (lead < 0x80) {
    c = lead;
    return 1;
  }
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    c = lead & 0x1fu;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    c = lead & 0x0fu;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    c = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() < length) {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xc0u) != 0x80u) {
      return 0;
    }
    c = (c << 6) | (byte(i) & 0x3fu);
  }
  const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  const bool valid = c >= smallest[length] && c <= 0x10ffff && (c < 0xd800 || c > 0xdfff);
  return valid ? length : 0;
}

std::u16string wellFormed(std::u16string_view text) {
  std::u16string out(text);
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (isHighSurrogate(out[i]) && i + 1 < out.size() && isLowSurrogate(out[i + 1])) {
      ++i;
    } else if (isHighSurrogate(out[i]) || isLowSurrogate(out[i])) {
      out[i] = static_cast<char16_t>(kReplacement);
    }
  }
  return out;
}

std::string printable(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  while (!utf8.empty()) {
    char32_t c = 0;
    const std::size_t length = decodeUtf8(utf8, c);
    if (length == 0) {
      appendEscaped(out, static_cast<unsigned char>(utf8[0]));
      utf8.remove_prefix(1);
      continue;
    }
    if (isControl(c)) {
      appendEscaped(out, c);
    } else {
      out.append(utf8.substr(0, length));
    }
    utf8.remove_prefix(length);
  }
  return out;
}

std::u16string_view untilFirstZero(std::u16string_view text) {
  return text.substr(0, text.find(u'\0'));
}

std::string toUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (isHighSurrogate(unit) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
      const char32_t high = unit - 0xD800u;
      const char32_t low = text[i + 1] - 0xDC00u;
      appendUtf8(out, 0x10000 + (high << 10) + low);
      ++i;
    } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
      appendUtf8(out, kReplacement);
    } else {
      appendUtf8(out, unit);
    }
  }
  return out;
}

}  // namespace kzb
