// What extraction leaves of one container in an empty directory, decided from the file table
// and the chunk headers alone, before anything is written: which rows are placed, under which
// file names, which file each name ends up holding, and which rows are left out and why.
// `kzb extract` follows it row by row, and kzb-mount's folders view shows its files, so the
// two cannot differ.
//
// The rules, in table order over the rows taken:
//  - A name refused by extraction's rules (entryNameProblem) is left out, and so is one that
//    is too long for a file name on this platform (fileNameTooLong).
//  - The file name is the stored name up to its first zero unit, a lone surrogate as U+FFFD.
//    Two different stored names can give one file name: the first row placed under it keeps
//    it, and a later row of another stored name is left out (sameFileAsEarlier), as the output
//    unit refuses it.
//  - A row without a "FILE" chunk of its size at its position is left out.
//  - A row whose stored file stands whole replaces whatever stands at its name; one cut short
//    by the end of the container stands, with the bytes present, only where nothing does.
// What the run meets besides (a read error, a file system that folds case, a full disk) is
// the run's to tell; the plan speaks of the container alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive.h"
#include "container_input.h"
#include "entry_name.h"

namespace kzb {

enum class RowFate {
  notTaken,           // the caller's filter left it out
  placed,             // extracted: it may still be replaced by a later row of its name
  truncatedPlaced,    // cut short: the bytes present stand under its name
  truncatedKept,      // cut short, and a file stands at its name already: not placed
  unsafeName,         // refused by extraction's rules (nameProblem)
  nameTooLong,        // too long for a file name on this platform
  sameFileAsEarlier,  // its file name is an earlier row's, stored under another name
  notFileChunk,       // no "FILE" chunk of its size at its position
};

struct PlannedRow {
  RowFate fate = RowFate::notTaken;
  NameProblem nameProblem = NameProblem::none;  // unsafeName: which rule
  std::size_t earlier = 0;    // sameFileAsEarlier: the row whose file holds the name
  std::uint64_t offset = 0;   // placed rows: where the stored file's bytes start
  std::uint64_t present = 0;  // placed rows: how many of them the container holds
};

// One file that stands once the whole container is extracted. Its name is kept in the plan's
// `names`, one after another, as a table may have hundreds of thousands of them.
struct PlannedFile {
  std::size_t nameStart = 0;  // in ExtractionPlan::names
  std::size_t nameSize = 0;
  std::size_t row = 0;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;  // the bytes that stand: all the stored file's, or those present
};

struct ExtractionPlan {
  std::vector<PlannedRow> rows;    // one per row of the table
  std::vector<PlannedFile> files;  // sorted by name, each name once
  std::string names;               // the file names of the rows placed, UTF-8

  // The file name, UTF-8.
  std::string_view name(const PlannedFile& file) const {
    return std::string_view(names).substr(file.nameStart, file.nameSize);
  }
};

// How much of the plan is wanted: every row's bytes and the files that stand (which reads the
// chunk header of every row whose name is not refused), or only which rows are left out
// before anything is written (which reads a chunk header only where two stored names give
// one file name, so a run that extracts reads the container once). With `refusalsOnly`, the
// rows not refused are `placed`, their offsets unknown, and `files` is empty.
enum class PlanScope { wholeFiles, refusalsOnly };

// `taken`: which rows the run extracts (every row where empty). The input's position is left
// anywhere.
ExtractionPlan planExtraction(ContainerInput& input, const FileTable& entries,
                              const std::function<bool(std::size_t)>& taken = {},
                              PlanScope scope = PlanScope::wholeFiles);

// Whether the row is left out before anything is written for it.
constexpr bool isRefusedByPlan(RowFate fate) {
  return fate == RowFate::unsafeName || fate == RowFate::nameTooLong ||
         fate == RowFate::sameFileAsEarlier;
}

// The folder `kzb extract --each` makes for a container whose file name (UTF-8, its
// extension included) is `fileName`: the name without its extension; nothing where that is
// no folder name ("", "." or "..").
std::optional<std::string> eachFolderName(const std::string& fileName);

}  // namespace kzb
