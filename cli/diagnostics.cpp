#include "diagnostics.h"

#include "utf8.h"

namespace kzb {

std::string describe(const Walk& walk) {
  switch (walk.status) {
    case WalkStatus::cannotOpen:
      return "cannot open: " + walk.error.message();
    case WalkStatus::readFailed:
      return "read error: " + walk.error.message();
    case WalkStatus::readWhole:
    case WalkStatus::malformed:
    case WalkStatus::pastTheEnd:
      break;
  }
  return "truncated or malformed container";
}

std::string describe(const Extraction& extraction) {
  const std::string reason = extraction.error.message();
  switch (extraction.status) {
    case ExtractStatus::unsafeName:
      return std::string(describe(extraction.nameProblem));
    case ExtractStatus::cannotCreate:
      return "cannot create: " + reason;
    case ExtractStatus::notFileChunk:
      return "no stored file of the recorded size at its position";
    case ExtractStatus::truncated:
      return "container ends inside this file's data";
    case ExtractStatus::truncatedKeptExisting:
      return "container ends inside this file's data; the existing file was kept";
    case ExtractStatus::isTheContainer:
      return "is the container being read, not overwritten";
    case ExtractStatus::sameFileAsEarlier:
      return "this file system does not tell it from " +
             printable(toUtf8(untilFirstZero(extraction.earlier))) +
             ", extracted earlier; not extracted";
    case ExtractStatus::nameRefused:
      return "this file system cannot store this name (" + reason + ")";
    case ExtractStatus::writeFailed:
      return "write failed: " + reason;
    case ExtractStatus::readFailed:
      return "read error: " + reason;
    case ExtractStatus::extracted:
    case ExtractStatus::skippedExisting:
      break;
  }
  return "extracted";
}

std::string entryLabel(const FileEntry& entry, std::size_t index) {
  const std::u16string_view name = untilFirstZero(entry.name);
  if (name.empty()) {
    return "entry " + std::to_string(index + 1);
  }
  return printable(toUtf8(name));
}

}  // namespace kzb
