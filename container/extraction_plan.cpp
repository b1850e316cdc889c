#include "extraction_plan.h"

#include <algorithm>
#include <filesystem>
#include <unordered_map>

#include "extract.h"
#include "output_file.h"
#include "utf8.h"

namespace kzb {
namespace {

// Who holds a file name so far: the row placed under it first (whose stored name owns it)
// and the row whose bytes stand there now.
struct Holder {
  std::size_t owner = 0;
  std::size_t standing = 0;
};

}  // namespace

ExtractionPlan planExtraction(ContainerInput& input, const FileTable& entries,
                              const std::function<bool(std::size_t)>& taken, PlanScope scope) {
  ExtractionPlan plan;
  plan.rows.resize(entries.size());
  // First the names: the rows each file name gathers, and how many stored names it has.
  std::vector<std::string> names(entries.size());
  std::unordered_map<std::string, std::size_t> storedNames;  // beyond the first
  std::unordered_map<std::string, std::size_t> firstRow;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    PlannedRow& row = plan.rows[i];
    if (taken && !taken(i)) {
      continue;
    }
    const FileEntry& entry = entries[i];
    if ((row.nameProblem = entryNameProblem(entry.name)) != NameProblem::none) {
      row.fate = RowFate::unsafeName;
      continue;
    }
    const std::u16string_view stored = untilFirstZero(entry.name);
    if (fileNameTooLong(stored)) {
      row.fate = RowFate::nameTooLong;
      continue;
    }
    row.fate = RowFate::placed;
    names[i] = toUtf8(stored);
    const auto [first, isFirst] = firstRow.try_emplace(names[i], i);
    if (!isFirst && untilFirstZero(entries[first->second].name) != stored) {
      ++storedNames[names[i]];
    }
  }
  // The names are keys of the maps that follow: a table of many rows is not held in more
  // copies than it must be at once.
  decltype(firstRow)().swap(firstRow);
  // Then, in table order, who holds each name. A chunk header is read where the fate hangs on
  // it: for every row when the files are wanted, else only where two stored names meet.
  std::unordered_map<std::string, Holder> holders;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    PlannedRow& row = plan.rows[i];
    if (row.fate != RowFate::placed) {
      continue;
    }
    std::string& name = names[i];
    const auto held = holders.find(name);
    if (held != holders.end() &&
        untilFirstZero(entries[held->second.owner].name) != untilFirstZero(entries[i].name)) {
      row.fate = RowFate::sameFileAsEarlier;
      row.earlier = held->second.owner;
      continue;
    }
    if (scope == PlanScope::wholeFiles || storedNames.count(name) != 0) {
      if (!seekToFileChunk(input, entries[i])) {
        row.fate = RowFate::notFileChunk;
        continue;
      }
      row.offset = input.offset();
      row.present = std::min<std::uint64_t>(
          entries[i].size, input.fileSize() - std::min(input.fileSize(), row.offset));
      if (row.present < entries[i].size) {
        row.fate = held == holders.end() ? RowFate::truncatedPlaced : RowFate::truncatedKept;
      }
    }
    if (held == holders.end()) {
      holders.emplace(std::move(name), Holder{i, i});
    } else if (row.fate != RowFate::truncatedKept) {
      held->second.standing = i;
    }
  }
  std::vector<std::string>().swap(names);
  if (scope == PlanScope::wholeFiles) {
    plan.files.reserve(holders.size());
    // Each name moves from its holder, which goes as it gives it.
    while (!holders.empty()) {
      auto holder = holders.extract(holders.begin());
      const PlannedRow& row = plan.rows[holder.mapped().standing];
      plan.files.push_back(
          {std::move(holder.key()), holder.mapped().standing, row.offset, row.present});
      plan.files.back().name.shrink_to_fit();  // made a character at a time: room to spare
    }
    std::sort(plan.files.begin(), plan.files.end(),
              [](const PlannedFile& a, const PlannedFile& b) { return a.name < b.name; });
  }
  return plan;
}

std::optional<std::string> eachFolderName(const std::string& fileName) {
  const std::u8string stem = std::filesystem::path(std::u8string(fileName.begin(), fileName.end()))
                                 .filename()
                                 .stem()
                                 .u8string();
  std::string name(stem.begin(), stem.end());
  if (name.empty() || name == "." || name == "..") {
    return std::nullopt;
  }
  return name;
}

}  // namespace kzb
