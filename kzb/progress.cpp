#include "progress.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "command_output.h"

namespace kzb::tool {
namespace {

// A line stays within the 80 columns of the narrowest terminal; the name gives way.
constexpr std::size_t kMostColumns = 79;
// Often enough to look alive, seldom enough to cost nothing.
constexpr auto kRedrawEvery = std::chrono::milliseconds(200);

// How many columns a terminal gives the character: two for the wide East Asian ranges (Hangul
// names are common in containers), one for everything else that prints. The line holds no
// control characters: names come escaped.
std::size_t columnsOf(char32_t c) {
  const bool wide = (c >= 0x1100 && c <= 0x115f) || (c >= 0x2e80 && c <= 0xa4cf) ||
                    (c >= 0xac00 && c <= 0xd7a3) || (c >= 0xf900 && c <= 0xfaff) ||
                    (c >= 0xfe30 && c <= 0xfe4f) || (c >= 0xff00 && c <= 0xff60) ||
                    (c >= 0xffe0 && c <= 0xffe6) || (c >= 0x20000 && c <= 0x3fffd);
  return wide ? 2 : 1;
}

// Appends whole characters of `utf8` to `line` while they fit in `room` columns, and says
// how many columns they took.
std::size_t appendFitting(std::string& line, std::string_view utf8, std::size_t room) {
  std::size_t used = 0;
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    std::size_t length = 1;
    char32_t c = lead;
    if (lead >= 0xf0) {
      length = 4;
      c = lead & 0x07u;
    } else if (lead >= 0xe0) {
      length = 3;
      c = lead & 0x0fu;
    } else if (lead >= 0xc0) {
      length = 2;
      c = lead & 0x1fu;
    }
    length = std::min(length, utf8.size() - i);
    for (std::size_t k = 1; k < length; ++k) {
      c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3fu);
    }
    const std::size_t columns = columnsOf(c);
    if (used + columns > room) {
      break;
    }
    line.append(utf8.substr(i, length));
    used += columns;
    i += length;
  }
  return used;
}

}  // namespace

std::string humanBytes(std::uint64_t bytes) {
  static constexpr std::array<const char*, 4> kUnits{"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) {
    return std::to_string(bytes) + " B";
  }
  auto value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < kUnits.size()) {
    value /= 1024.0;
    ++unit;
  }
  std::array<char, 32> text{};
  const auto written =
      std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed, 1);
  return std::string(text.data(), written.ptr) + " " + kUnits[unit];
}

Progress::Progress(Context& context, ProgressMode mode)
    : context_(context),
      shown_(mode == ProgressMode::always ||
             (mode == ProgressMode::automatic && context.errorIsTerminal)) {}

void Progress::begin(std::size_t files, std::uint64_t bytes) {
  filesTotal_ = files;
  bytesTotal_ = bytes;
  filesDone_ = 0;
  bytesDone_ = 0;
}

void Progress::advance(const FileEntry& entry) {
  ++filesDone_;
  bytesDone_ += entry.size;
  bytesInRun_ += entry.size;
  if (!shown_) {
    return;
  }
  const Clock::time_point now = Clock::now();
  if (now - start_ < context_.progressDelay || (width_ > 0 && now - lastDrawn_ < kRedrawEvery)) {
    return;
  }
  lastDrawn_ = now;
  draw(entry);
}

// The name is made printable only here: a run that shows no line pays nothing for it.
void Progress::draw(const FileEntry& entry) {
  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  const auto rate =
      seconds > 0 ? static_cast<std::uint64_t>(static_cast<double>(bytesInRun_) / seconds) : 0;
  const std::string figures = std::to_string(filesDone_) + "/" + std::to_string(filesTotal_) +
                              " files, " + humanBytes(bytesDone_) + " of " +
                              humanBytes(bytesTotal_) + ", " + humanBytes(rate) + "/s  ";
  std::string line = "\r" + figures;
  std::size_t width = figures.size();  // the figures are ASCII
  if (width < kMostColumns) {
    width += appendFitting(line, shownName(entry), kMostColumns - width);
  }
  // What is left of a longer line before is blanked; the columns taken stay taken.
  if (width_ > width) {
    line.append(width_ - width, ' ');
  }
  width_ = std::max(width_, width);
  context_.err << line;
  context_.err.flush();
}

void Progress::hide() {
  if (width_ == 0) {
    return;
  }
  context_.err << '\r' << std::string(width_, ' ') << '\r';
  context_.err.flush();
  width_ = 0;
}

}  // namespace kzb::tool
