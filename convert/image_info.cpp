#include "image_info.h"

#include <array>
#include <cmath>
#include <string>

namespace kzb {
namespace {

constexpr std::uint32_t kLargestSide = 65535;

// The head, bounds-checked: every read past its end is nullopt, never a read.
class Head {
 public:
  explicit Head(std::span<const std::byte> bytes) : bytes_(bytes) {}
  std::size_t size() const { return bytes_.size(); }
  std::optional<std::uint32_t> byte(std::size_t at) const {
    return at < bytes_.size() ? std::optional<std::uint32_t>(std::to_integer<std::uint32_t>(bytes_[at]))
                              : std::nullopt;
  }
  // `count` bytes from `at` on as one number, most significant first or last.
  std::optional<std::uint32_t> bigEndian(std::size_t at, std::size_t count) const {
    return number(at, count, true);
  }
  std::optional<std::uint32_t> littleEndian(std::size_t at, std::size_t count) const {
    return number(at, count, false);
  }
  bool startsWith(std::size_t at, std::string_view text) const {
    if (at > bytes_.size() || text.size() > bytes_.size() - at) {
      return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (std::to_integer<char>(bytes_[at + i]) != text[i]) {
        return false;
      }
    }
    return true;
  }
  std::string_view text() const {
    return {reinterpret_cast<const char*>(bytes_.data()), bytes_.size()};
  }

 private:
  std::optional<std::uint32_t> number(std::size_t at, std::size_t count, bool bigEndian) const {
    if (at > bytes_.size() || count > bytes_.size() - at) {
      return std::nullopt;
    }
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t index = bigEndian ? at + i : at + count - 1 - i;
      value = (value << 8) | std::to_integer<std::uint32_t>(bytes_[index]);
    }
    return value;
  }

  std::span<const std::byte> bytes_;
};

std::optional<ImageInfo> sized(ImageKind kind, std::optional<std::uint32_t> width,
                               std::optional<std::uint32_t> height) {
  if (!width || !height || *width == 0 || *height == 0 || *width > kLargestSide ||
      *height > kLargestSide) {
    return std::nullopt;
  }
  return ImageInfo{kind, *width, *height};
}

// A frame header's marker: SOF0 to SOF15, less DHT (C4), JPG (C8) and DAC (CC).
bool isFrameHeader(std::uint32_t marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

std::optional<ImageInfo> jpeg(const Head& head) {
  std::size_t at = 2;  // past SOI
  while (true) {
    if (head.byte(at) != 0xFFu) {
      return std::nullopt;
    }
    while (head.byte(at + 1) == 0xFFu) {  // fill bytes
      ++at;
    }
    const std::optional<std::uint32_t> marker = head.byte(at + 1);
    if (!marker || *marker == 0xD9 || *marker == 0xDA) {  // the end, or a scan before any frame
      return std::nullopt;
    }
    if ((*marker >= 0xD0 && *marker <= 0xD7) || *marker == 0x01) {  // no length follows
      at += 2;
      continue;
    }
    const std::optional<std::uint32_t> length = head.bigEndian(at + 2, 2);
    if (!length || *length < 2) {
      return std::nullopt;
    }
    if (isFrameHeader(*marker)) {
      return sized(ImageKind::jpeg, head.bigEndian(at + 7, 2), head.bigEndian(at + 5, 2));
    }
    at += 2 + *length;
  }
}

std::optional<ImageInfo> png(const Head& head) {
  if (!head.startsWith(12, "IHDR")) {
    return std::nullopt;
  }
  return sized(ImageKind::png, head.bigEndian(16, 4), head.bigEndian(20, 4));
}

std::optional<ImageInfo> gif(const Head& head) {
  return sized(ImageKind::gif, head.littleEndian(6, 2), head.littleEndian(8, 2));
}

std::optional<std::uint32_t> plus1(std::optional<std::uint32_t> value) {
  return value ? std::optional<std::uint32_t>(*value + 1) : std::nullopt;
}

std::optional<ImageInfo> webp(const Head& head) {
  if (head.startsWith(12, "VP8 ")) {
    if (head.byte(23) != 0x9Du || head.byte(24) != 0x01u || head.byte(25) != 0x2Au) {
      return std::nullopt;
    }
    const auto width = head.littleEndian(26, 2);
    const auto height = head.littleEndian(28, 2);
    return sized(ImageKind::webp, width ? std::optional(*width & 0x3FFFu) : std::nullopt,
                 height ? std::optional(*height & 0x3FFFu) : std::nullopt);
  }
  if (head.startsWith(12, "VP8L")) {
    const auto bits = head.littleEndian(21, 4);
    if (head.byte(20) != 0x2Fu || !bits) {
      return std::nullopt;
    }
    return sized(ImageKind::webp, (*bits & 0x3FFFu) + 1, ((*bits >> 14) & 0x3FFFu) + 1);
  }
  if (head.startsWith(12, "VP8X")) {
    return sized(ImageKind::webp, plus1(head.littleEndian(24, 3)), plus1(head.littleEndian(27, 3)));
  }
  return std::nullopt;
}

// --- SVG: just enough of XML to find the root element's attributes.

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

void skipSpace(std::string_view text, std::size_t& at) {
  while (at < text.size() && isSpace(text[at])) {
    ++at;
  }
}

// Skips what may stand before the root: declarations, comments, processing instructions and a
// DOCTYPE (with an internal subset). False where the text ends first.
bool skipProlog(std::string_view text, std::size_t& at) {
  while (true) {
    skipSpace(text, at);
    const std::string_view rest = text.substr(at);
    std::string_view end;
    if (rest.starts_with("<?")) {
      end = "?>";
    } else if (rest.starts_with("<!--")) {
      end = "-->";
    } else if (rest.starts_with("<!DOCTYPE")) {
      const std::size_t close = rest.find_first_of("[>");
      if (close == std::string_view::npos) {
        return false;
      }
      end = rest[close] == '[' ? "]>" : ">";
    } else {
      return true;
    }
    const std::size_t found = rest.find(end);
    if (found == std::string_view::npos) {
      return false;
    }
    at += found + end.size();
  }
}

// A length in user units: a number, alone or in px. Anything else (em, %, mm) is none.
std::optional<double> userUnits(std::string_view value, bool allowPx) {
  std::size_t at = 0;
  skipSpace(value, at);
  std::size_t end = at;
  while (end < value.size() &&
         ((value[end] >= '0' && value[end] <= '9') || value[end] == '.' || value[end] == '-' ||
          value[end] == '+' || value[end] == 'e' || value[end] == 'E')) {
    ++end;
  }
  if (end == at) {
    return std::nullopt;
  }
  std::string number(value.substr(at, end - at));
  std::size_t used = 0;
  double parsed = 0;
  try {
    parsed = std::stod(number, &used);
  } catch (...) {
    return std::nullopt;
  }
  if (used != number.size() || !std::isfinite(parsed)) {
    return std::nullopt;
  }
  std::string_view rest = value.substr(end);
  if (allowPx && rest.starts_with("px")) {
    rest.remove_prefix(2);
  }
  std::size_t after = 0;
  skipSpace(rest, after);
  return after == rest.size() ? std::optional(parsed) : std::nullopt;
}

std::optional<std::uint32_t> pixels(std::optional<double> length) {
  if (!length || *length <= 0 || *length > kLargestSide) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(std::ceil(*length));
}

std::optional<ImageInfo> svg(const Head& head) {
  std::string_view text = head.text();
  if (text.starts_with("\xEF\xBB\xBF")) {
    text.remove_prefix(3);
  }
  std::size_t at = 0;
  if (!skipProlog(text, at) || !text.substr(at).starts_with("<svg") || at + 4 >= text.size() ||
      !(isSpace(text[at + 4]) || text[at + 4] == '>' || text[at + 4] == '/')) {
    return std::nullopt;
  }
  at += 4;
  std::optional<std::string_view> width;
  std::optional<std::string_view> height;
  std::optional<std::string_view> viewBox;
  while (true) {
    skipSpace(text, at);
    if (at >= text.size()) {
      return std::nullopt;
    }
    if (text[at] == '>' || text[at] == '/') {
      break;
    }
    const std::size_t equals = text.find('=', at);
    if (equals == std::string_view::npos || equals + 1 >= text.size()) {
      return std::nullopt;
    }
    std::string_view name = text.substr(at, equals - at);
    while (!name.empty() && isSpace(name.back())) {
      name.remove_suffix(1);
    }
    std::size_t quote = equals + 1;
    skipSpace(text, quote);
    if (quote >= text.size() || (text[quote] != '"' && text[quote] != '\'')) {
      return std::nullopt;
    }
    const std::size_t close = text.find(text[quote], quote + 1);
    if (close == std::string_view::npos) {
      return std::nullopt;
    }
    const std::string_view value = text.substr(quote + 1, close - quote - 1);
    if (name == "width") {
      width = value;
    } else if (name == "height") {
      height = value;
    } else if (name == "viewBox") {
      viewBox = value;
    }
    at = close + 1;
  }
  if (width && height) {
    if (auto found = sized(ImageKind::svg, pixels(userUnits(*width, true)),
                           pixels(userUnits(*height, true)))) {
      return found;
    }
  }
  if (!viewBox) {
    return std::nullopt;
  }
  std::array<std::optional<double>, 4> box;
  std::size_t from = 0;
  for (std::optional<double>& number : box) {
    while (from < viewBox->size() && (isSpace((*viewBox)[from]) || (*viewBox)[from] == ',')) {
      ++from;
    }
    std::size_t to = from;
    while (to < viewBox->size() && !isSpace((*viewBox)[to]) && (*viewBox)[to] != ',') {
      ++to;
    }
    number = userUnits(viewBox->substr(from, to - from), false);
    from = to;
  }
  return sized(ImageKind::svg, pixels(box[2]), pixels(box[3]));
}

}  // namespace

std::optional<ImageInfo> imageInfo(std::span<const std::byte> head) {
  const Head first(head.first(std::min(head.size(), kImageHeadSize)));
  if (first.byte(0) == 0xFFu && first.byte(1) == 0xD8u) {
    return jpeg(first);
  }
  if (first.startsWith(0, "\x89PNG\r\n\x1A\n")) {
    return png(first);
  }
  if (first.startsWith(0, "GIF87a") || first.startsWith(0, "GIF89a")) {
    return gif(first);
  }
  if (first.startsWith(0, "RIFF") && first.startsWith(8, "WEBP")) {
    return webp(first);
  }
  return svg(first);
}

std::string_view mediaType(ImageKind kind) {
  switch (kind) {
    case ImageKind::jpeg:
      return "image/jpeg";
    case ImageKind::png:
      return "image/png";
    case ImageKind::gif:
      return "image/gif";
    case ImageKind::webp:
      return "image/webp";
    case ImageKind::svg:
      return "image/svg+xml";
  }
  return "application/octet-stream";
}

std::string_view extension(ImageKind kind) {
  switch (kind) {
    case ImageKind::jpeg:
      return "jpg";
    case ImageKind::png:
      return "png";
    case ImageKind::gif:
      return "gif";
    case ImageKind::webp:
      return "webp";
    case ImageKind::svg:
      return "svg";
  }
  return "bin";
}

}  // namespace kzb
