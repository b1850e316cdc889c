// A container converted into one ZIP that comic and e-book readers open (a CBZ): its stored
// files as members in table order, and ComicInfo.xml beside them. It reads the container and
// writes into a ByteSink; where the ZIP goes and how each outcome is worded are the caller's.
//
// Which rows become members:
//  - Names follow extraction's rules and Windows' rules on every platform (nameProblem with
//    windowsRules), since a ZIP travels and one container must give the same ZIP anywhere. A
//    name a header cannot hold, or the name ComicInfo.xml (in any case: the ZIP's own is made
//    from the metadata and readers look for it whatever its case), is refused too. The ZIP
//    name is the stored name up to its first zero unit, as UTF-8, a lone surrogate as U+FFFD.
//  - Two rows with the same ZIP name: only the later one is a member, or rather the last of
//    them whose stored file stands whole in the container, so a later copy cut short does not
//    cost an earlier complete one.
//  - A row whose stored file cannot be read in full (no "FILE" chunk of its size at its
//    position, the container ends inside it, a read error) is left out, rolled back if it was
//    begun, and the members after it are still written.
//  - With `renumber`, each member's name starts with its position among the members, zero-
//    padded to the digits of the number of members planned, and a space ("001 cover.jpg").
//  - ComicInfo.xml comes last, when the count of members is known: its PageCount is that
//    count.
//  - The ZIP's comment is the metadata as ComicBookInfo (comic_book_info.h), its texts
//    shortened where the whole would not fit a ZIP comment.
// The ZIP itself: see zip_writer.h. Memory follows the file table, not the stored files.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "archive.h"
#include "archive_reader.h"
#include "byte_sink.h"
#include "comic_book_info.h"
#include "container_input.h"
#include "entry_name.h"
#include "zip_writer.h"

namespace kzb {

struct ConvertOptions {
  bool deflate = false;   // members compressed with deflate; stored as they are otherwise
  bool renumber = false;  // names prefixed with their position ("001 ")
  // Every member's time, ComicInfo.xml's too: the container file's modification time, so
  // converting one container twice gives the same bytes.
  std::chrono::sys_seconds modified{};
  // The ComicBookInfo comment's appID: who wrote the ZIP, and which version.
  std::string application = "kzb";
  ZipLimits limits{};  // lowered only by tests
};

// What became of one row of the file table.
enum class MemberStatus {
  written,          // a member, under zipName
  replacedByLater,  // a later row of the same name is the member
  unsafeName,       // refused by a rule of extraction or of Windows (nameProblem says which)
  nameTooLong,      // its UTF-8 name has more bytes than a ZIP header can hold
  reservedName,     // named ComicInfo.xml, which the ZIP makes from the metadata
  notFileChunk,     // no "FILE" chunk of the entry's size at its position
  truncated,        // the container ends inside its bytes
  readFailed,       // the system could not read its bytes (error)
  notAPage,         // EPUB: neither an image nor text, so not in the book (a note, no fault)
};

struct MemberOutcome {
  std::size_t index = 0;  // its row in the file table
  MemberStatus status = MemberStatus::written;
  NameProblem nameProblem = NameProblem::none;  // unsafeName: which rule
  std::error_code error;                        // readFailed: the system's reason
  std::string zipName;                          // written: its name in the ZIP, UTF-8
};

// Whether the row's stored file is missing from the ZIP by a fault or a refusal, as opposed
// to being in it, or standing in it as a later row of its name.
constexpr bool isFailure(MemberStatus status) {
  return status != MemberStatus::written && status != MemberStatus::replacedByLater &&
         status != MemberStatus::notAPage;
}

enum class ConvertStatus {
  complete,     // the whole ZIP is in the sink
  writeFailed,  // the sink (or the compressor) failed: error says why; the sink holds no ZIP
};

struct ConvertResult {
  ConvertStatus status = ConvertStatus::complete;
  std::error_code error;
  std::size_t members = 0;   // rows written, ComicInfo.xml aside
  std::size_t failures = 0;  // rows for which isFailure holds
  // The names of the members, sorted naturally, are not in table order, so readers that sort
  // by name show them in another order; only without `renumber`, which puts them in order.
  bool namesOutOfOrder = false;
  // The ComicBookInfo comment's texts were cut to fit the 65,535 bytes of a ZIP comment.
  bool commentShortened = false;
};

// Called once per row of the file table, in table order, as soon as its fate is known; rows
// after a write failure (ConvertStatus::writeFailed) are not reported.
using MemberReport = std::function<void(const MemberOutcome&)>;

// Each row's fate before any byte is copied: refused by its name, replaced by a later row of
// its name, or planned as a member under its ZIP name (before any renumbering). Held as
// compactly as the table allows, beside it: the names one after another, and only the rows
// decided.
class MemberPlans {
 public:
  std::size_t size() const { return nameEnds_.size(); }
  // The row's ZIP name; only a row not decided is sure to have one.
  std::string_view zipName(std::size_t row) const;
  // The row's fate where it is decided already.
  const MemberOutcome* decided(std::size_t row) const;

 private:
  friend MemberPlans planMembers(ContainerInput& input, const FileTable& entries,
                                 std::size_t longestName);
  std::string names_;
  std::vector<std::size_t> nameEnds_;    // by row
  std::vector<MemberOutcome> decided_;  // by row, ascending
};
// The plan of every row by the rules above; `longestName`: the most bytes a name may have.
MemberPlans planMembers(ContainerInput& input, const FileTable& entries, std::size_t longestName);

// The members of one ZIP written from a container: stored files copied (or, to a sink that
// keeps places, placed unread), and texts made here. A ZipWriter error (the sink's) is final.
class MemberCopier {
 public:
  MemberCopier(ContainerInput& input, ByteSink& out, const ConvertOptions& options);
  // Copies the row's stored file into a member under `zipName`, or leaves the row out and
  // says why. A sink error comes back in `writeError`: it ends the whole ZIP, and the outcome
  // returned with it means nothing.
  MemberOutcome copy(std::size_t index, const FileEntry& entry, const std::string& zipName,
                     std::error_code& writeError);
  // A member of `text`, compressed as the options say.
  std::error_code addText(std::string_view name, std::string_view text, bool timestamped = true);
  // A member of the text `make` gives, a piece at a time, to the function it is handed. It is
  // called twice, to count the bytes (the header that comes first holds the size) and then to
  // write them, so the text is never held whole; it must give the same pieces both times.
  std::error_code addMadeText(
      std::string_view name,
      const std::function<void(const std::function<void(std::string_view)>&)>& make);
  // A member of `text`, stored, with no extra field (an EPUB's mimetype).
  std::error_code addStoredText(std::string_view name, std::string_view text);
  std::error_code finish(std::string_view comment) { return zip_.finish(comment); }

 private:
  std::error_code add(std::string_view name, std::string_view text, ZipMethod method,
                      bool timestamped);

  ContainerInput& input_;
  ZipWriter zip_;
  ZipMethod method_;
  std::vector<std::byte> block_;
};

// Writes the ZIP of `archive`'s rows, read from `input`, into `out` from its current end.
ConvertResult convertToZip(ContainerInput& input, const Archive& archive, ByteSink& out,
                           const ConvertOptions& options, const MemberReport& report = {});
ConvertResult convertToZip(ArchiveReader& reader, ByteSink& out, const ConvertOptions& options,
                           const MemberReport& report = {});

// The name kzb convert gives the ZIP of the container at `containerPath` (UTF-8): its file
// name without the extension, then ".cbz"; nothing where that is no name a file can take on
// this platform (entryNameProblem: "." or "..", a separator...) or the name is not UTF-8.
std::optional<std::u16string> cbzFileNameOf(std::string_view containerPath);
// The same with another extension (".epub"), or none.
std::optional<std::u16string> bookFileNameOf(std::string_view containerPath,
                                             std::u16string_view extension);
// The same as UTF-8.
std::optional<std::string> cbzFileName(std::string_view containerPath);
std::optional<std::string> bookFileName(std::string_view containerPath,
                                        std::u16string_view extension);

// The order of names that readers of comics call natural: runs of ASCII digits compare as
// numbers ("2" before "10"), everything else byte by byte (code point order); names equal as
// numbers ("01", "1") fall back to their bytes.
bool naturalLess(std::string_view a, std::string_view b);

}  // namespace kzb
