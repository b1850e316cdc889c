#include "report.h"

#include <array>
#include <charconv>
#include <string_view>

#include "utf8.h"

namespace kzb {
namespace {

// Numbers as the report shows them: no padding, no prefix, lowercase hexadecimal.
std::string_view formatNumber(std::array<char, 16>& buffer, std::int64_t value, int base) {
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, base);
  return {buffer.data(), static_cast<std::size_t>(result.ptr - buffer.data())};
}

void numberLine(std::ostream& out, std::string_view label, std::int64_t value, int base = 10,
                std::string_view suffix = {}) {
  std::array<char, 16> buffer{};
  out << label << formatNumber(buffer, value, base) << suffix << '\n';
}

// A text line is printed when the text holds any unit at all, up to its first zero unit.
// Control characters are shown escaped, so that one stored text stays one line.
void textLine(std::ostream& out, std::string_view label, std::u16string_view text) {
  out << label << printable(toUtf8(untilFirstZero(text))) << '\n';
}

void printBasic(const ArchiveReader& reader, std::ostream& out) {
  out << "Basic Information\n";
  numberLine(out, "\tKZBBuilder Version : ", reader.version(), 16);
  numberLine(out, "\t   KZB File Length : ", reader.fileLength(), 10, "bytes");
  out << '\n';
}

void printHeader(const ArchiveReader& reader, std::ostream& out) {
  out << "Header Information\n";
  out << "\t   Bounding Dir. : " << bindingName(reader.bindingDirection()) << '\n';
  for (const MetadataText& text : kMetadataTexts) {
    if (const WideText& value = reader.archive().text(text.field); !value.empty()) {
      textLine(out, text.reportLabel, value);
    }
  }
  out << '\n';
}

void printFiles(const ArchiveReader& reader, std::ostream& out) {
  const FileTable& entries = reader.entries();
  out << "File Information\n";
  numberLine(out, "File count : ", static_cast<std::int64_t>(entries.size()));
  std::int64_t number = 0;
  for (const FileEntry& entry : entries) {
    numberLine(out, "\tFile no. ", ++number, 10, " ---------------");
    textLine(out, "\t       File name : ", entry.name);
    numberLine(out, "\t       File size : ", entry.size);
    numberLine(out, "\t        position : ", entry.position);
    numberLine(out, "\t           CRC32 : ", entry.crc32, 16);
  }
}

}  // namespace

void printInfo(const ArchiveReader& reader, std::ostream& out) {
  printBasic(reader, out);
  printHeader(reader, out);
  printFiles(reader, out);
}

}  // namespace kzb
