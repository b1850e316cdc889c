// What every command writes the same way: its lines on standard error, the headings that
// part several containers' output, and entry names as a line shows them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "archive.h"
#include "commands.h"

namespace kzb::tool {

// Writes "kzb: <subject>: <reason>" to standard error, the subject escaped for the terminal
// (a container path or a name may hold control characters), and flushes it, so that each
// line stands before whatever happens next.
void diagnose(Context& context, std::string_view subject, std::string_view reason);

// The line for a container that was not read whole; nothing for one that was. Returns
// whether it was read whole.
bool diagnoseWalk(Context& context, std::string_view container, const Walk& walk);

// For the commands that write (extract, convert): the line for a container that was not read
// whole, and whether anything of it may be written. A file of which nothing could be read as
// a container (Walk::readNothing) gets nothing made for it; one that is no container at all,
// rather than one that could not be opened or read, is named so: "not a container (...); "
// and `notDone` ("not extracted").
bool diagnoseWalkBeforeWriting(Context& context, std::string_view container, const Walk& walk,
                               std::string_view notDone);

// With several containers, each one's part of standard output starts with "==> C <==", and
// an empty line parts it from the one before, as head(1) does; with one container, nothing.
class ContainerHeadings {
 public:
  explicit ContainerHeadings(std::size_t containers) : several_(containers > 1) {}
  void before(std::ostream& out, std::string_view container);
  // The same for the container at `index` of the run, wherever the ones before it were
  // written: the first has no empty line before it.
  void before(std::ostream& out, std::string_view container, std::size_t index) const;

 private:
  bool several_;
  bool first_ = true;
};

// An entry's name as a line of output shows it: as the report does, UTF-8 up to the first
// zero unit, control characters as \xhh.
std::string shownName(const FileEntry& entry);

// `value` as `digits` lowercase hexadecimal digits, zeros first (a CRC-32 takes eight).
std::string hexDigits(std::uint64_t value, std::size_t digits);
// `value` in decimal, spaces first up to `width` columns.
std::string rightAligned(std::uint64_t value, std::size_t width);

// Who writes the ZIPs and their ComicBookInfo comment: "kzb/" and the version.
std::string_view applicationId();

// The line that says a container's ComicBookInfo had its texts shortened to fit a ZIP
// comment; info --comicbookinfo and convert write it alike.
void noteShortenedComment(Context& context, std::string_view container);

// Whether a write to standard output has failed, for whatever reason: there is no point in
// producing more of it.
bool outputFailed(Context& context);

// Whether standard output has failed for a reason worth a diagnostic: a reader that went
// away (| head, a pager quit) wanted no more and is no failure. Writes the line when so.
bool diagnoseOutputFailure(Context& context);

}  // namespace kzb::tool
