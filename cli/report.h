// The report: a fixed-layout account of what a reader holds, one labelled line per value.
// Scripts read it, so its literals, spacing and order are an interface.
//
//   Basic Information            version (hex), recorded file length
//   Header Information           binding direction, each metadata text that is present
//   File Information             file count, then five lines per row of the file table
//
// Text is written as UTF-8, whatever the environment's locale, with control characters shown
// as \xhh (see printable in utf8.h).
#pragma once

#include <ostream>

#include "archive_reader.h"

namespace kzb {

// Only reads the reader. Writes every line to `out` without flushing; the caller flushes.
void printInfo(const ArchiveReader& reader, std::ostream& out);

}  // namespace kzb
