#include "driver.h"

#include <string>

#include "archive_reader.h"
#include "report.h"
#include "utf8.h"

namespace kzb {
namespace {

constexpr std::string_view kProgram = "kzb-extract: ";

// Names come from the container: control characters are shown escaped, so that a name
// cannot break the one-line-per-failure layout or drive the terminal.
std::string printable(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
    } else {
      out += c;
    }
  }
  return out;
}

// The reader's results, in the user's words.
std::string openFailure(const ArchiveReader& reader) {
  if (reader.openResult() == ResultNotAvailable) {
    return "cannot open: " + reader.lastSystemError().message();
  }
  return "truncated or malformed container";
}

std::string extractFailure(const ArchiveReader& reader, const FileEntry& entry, int result) {
  switch (result) {
    case ResultNotAvailable:
      if (!isSafeEntryName(entry.name)) {
        return "unsafe name, not extracted (names must not be empty, \".\", \"..\" or hold "
               "\"/\" or \"\\\")";
      }
      return "cannot create: " + reader.lastSystemError().message();
    case ResultNotFileChunk:
      return "no stored file of the recorded size at its position";
    case ResultTruncated:
      return "container ends inside this file's data";
    case ResultIsTheContainer:
      return "is the container being read, not overwritten";
    case ResultWriteFailed:
      return "write failed: " + reader.lastSystemError().message();
    default:
      return "failed with result " + std::to_string(result);
  }
}

std::string entryLabel(const FileEntry& entry, std::size_t index) {
  const std::u16string_view name = untilFirstZero(entry.name);
  if (name.empty()) {
    return "entry " + std::to_string(index + 1);
  }
  return printable(toUtf8(name));
}

}  // namespace

int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  if (argc < 2) {
    return -1;
  }
  const std::string path = argv[1];
  ArchiveReader reader(path);
  printInfo(reader, out);
  out.flush();  // the report comes before any diagnostic, on a terminal and in a shared file

  bool succeeded = reader.openResult() == ResultSuccess;
  if (!succeeded) {
    err << kProgram << printable(path) << ": " << openFailure(reader) << '\n';
  }
  for (std::size_t index = 0; index < reader.entries().size(); ++index) {
    const int result = reader.extractEntry(index);
    if (result != ResultSuccess) {
      succeeded = false;
      const FileEntry& entry = reader.entries()[index];
      err << kProgram << entryLabel(entry, index) << ": " << extractFailure(reader, entry, result)
          << '\n';
    }
  }
  err.flush();
  return succeeded ? 0 : 1;
}

}  // namespace kzb
