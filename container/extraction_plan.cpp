#include "extraction_plan.h"

#include <algorithm>
#include <filesystem>
#include <string_view>

#include "extract.h"
#include "output_file.h"
#include "utf8.h"

namespace kzb {
namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// Who holds a file name so far: the row placed under it first (whose stored name owns it)
// and the row whose bytes stand there now.
struct Holder {
  std::size_t owner = kNone;
  std::size_t standing = kNone;
};

// The file names of the rows placed, gathered: each name a group, groups in name order, and
// for each row placed the group of its name. Names are kept one after another, and groups are
// found by sorting, not hashing: a table of many rows costs a few words a row beyond its names.
struct NameGroups {
  std::vector<std::size_t> nameStart;  // by row; kNone for a row not placed
  std::vector<std::uint32_t> nameSize;
  std::vector<std::size_t> group;   // by row, for rows placed
  std::vector<std::size_t> first;   // by group, in name order: its first row in table order
  std::vector<bool> severalStored;  // by group: two stored names give this file name

  std::string_view nameOf(const std::string& names, std::size_t row) const {
    return std::string_view(names).substr(nameStart[row], nameSize[row]);
  }
};

NameGroups groupNames(const FileTable& entries, const std::string& names,
                      std::vector<std::size_t> nameStart, std::vector<std::uint32_t> nameSize) {
  NameGroups groups{std::move(nameStart), std::move(nameSize), {}, {}, {}};
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (groups.nameStart[i] != kNone) {
      order.push_back(i);
    }
  }
  // Stable, so that within a name the rows keep table order.
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return groups.nameOf(names, a) < groups.nameOf(names, b);
  });
  groups.group.assign(entries.size(), kNone);
  for (std::size_t k = 0; k < order.size(); ++k) {
    const std::size_t row = order[k];
    const bool sameAsBefore =
        k > 0 && groups.nameOf(names, order[k - 1]) == groups.nameOf(names, row);
    if (!sameAsBefore) {
      groups.first.push_back(row);
      groups.severalStored.push_back(false);
    } else if (untilFirstZero(entries[groups.first.back()].name) !=
               untilFirstZero(entries[row].name)) {
      groups.severalStored.back() = true;
    }
    groups.group[row] = groups.first.size() - 1;
  }
  return groups;
}

}  // namespace

ExtractionPlan planExtraction(ContainerInput& input, const FileTable& entries,
                              const std::function<bool(std::size_t)>& taken, PlanScope scope) {
  ExtractionPlan plan;
  plan.rows.resize(entries.size());
  // First the names of the rows that may be placed.
  std::vector<std::size_t> nameStart(entries.size(), kNone);
  std::vector<std::uint32_t> nameSize(entries.size(), 0);
  // Room for the names at once, rather than doubling, copy after copy, to twice their size.
  plan.names.reserve(storedNameUnits(entries));
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
    const std::string name = toUtf8(stored);
    nameStart[i] = plan.names.size();
    nameSize[i] = static_cast<std::uint32_t>(name.size());  // a file name's length: small
    plan.names += name;
  }
  plan.names.shrink_to_fit();
  NameGroups groups = groupNames(entries, plan.names, std::move(nameStart), std::move(nameSize));
  // Then, in table order, who holds each name. A chunk header is read where the fate hangs on
  // it: for every row when the files are wanted, else only where two stored names meet.
  std::vector<Holder> holders(groups.first.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    PlannedRow& row = plan.rows[i];
    if (row.fate != RowFate::placed) {
      continue;
    }
    const std::size_t group = groups.group[i];
    Holder& holder = holders[group];
    const bool held = holder.owner != kNone;
    if (held && untilFirstZero(entries[holder.owner].name) != untilFirstZero(entries[i].name)) {
      row.fate = RowFate::sameFileAsEarlier;
      row.earlier = holder.owner;
      continue;
    }
    if (scope == PlanScope::wholeFiles || groups.severalStored[group]) {
      if (!seekToFileChunk(input, entries[i])) {
        row.fate = RowFate::notFileChunk;
        continue;
      }
      row.offset = input.offset();
      row.present = std::min<std::uint64_t>(
          entries[i].size, input.fileSize() - std::min(input.fileSize(), row.offset));
      if (row.present < entries[i].size) {
        row.fate = held ? RowFate::truncatedKept : RowFate::truncatedPlaced;
      }
    }
    if (!held) {
      holder = Holder{i, i};
    } else if (row.fate != RowFate::truncatedKept) {
      holder.standing = i;
    }
  }
  if (scope == PlanScope::wholeFiles) {
    plan.files.reserve(static_cast<std::size_t>(std::count_if(
        holders.begin(), holders.end(), [](const Holder& each) { return each.owner != kNone; })));
    // The groups are in name order already.
    for (std::size_t group = 0; group < holders.size(); ++group) {
      const Holder& holder = holders[group];
      if (holder.owner == kNone) {
        continue;
      }
      const PlannedRow& row = plan.rows[holder.standing];
      const std::size_t named = groups.first[group];
      plan.files.push_back({groups.nameStart[named], groups.nameSize[named], holder.standing,
                            row.offset, row.present});
    }
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
