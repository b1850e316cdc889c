#include "convert.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "comic_info.h"
#include "extract.h"
#include "format.h"
#include "utf8.h"
#include "zip_format.h"

namespace kzb {
namespace {

constexpr std::string_view kComicInfoName = "ComicInfo.xml";

// Stored files are copied one block of this size at a time, whatever their size.
constexpr std::size_t kCopyBlockSize = std::size_t{64} * 1024;

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [&](char x, char y) { return lower(x) == lower(y); });
}

MemberOutcome outcome(std::size_t index, MemberStatus status, std::error_code error = {}) {
  return {index, status, NameProblem::none, error, {}};
}

MemberOutcome written(std::size_t index, const std::string& zipName) {
  MemberOutcome done = outcome(index, MemberStatus::written);
  done.zipName = zipName;
  return done;
}

// `longestName`: what a header holds, less the longest prefix renumbering may add.
std::optional<MemberOutcome> nameRefusal(std::size_t index, const FileEntry& entry,
                                         std::string_view zipName, std::size_t longestName) {
  if (const NameProblem problem = nameProblem(entry.name, /*windowsRules=*/true);
      problem != NameProblem::none) {
    return MemberOutcome{index, MemberStatus::unsafeName, problem, {}, {}};
  }
  if (zipName.size() > longestName) {
    return outcome(index, MemberStatus::nameTooLong);
  }
  if (equalsIgnoringAsciiCase(zipName, kComicInfoName)) {
    return outcome(index, MemberStatus::reservedName);
  }
  return std::nullopt;
}

// Where the row's stored file cannot be read in full, why, judged from its chunk header and
// the container's size; an unexpected read error may still stop the copy itself.
std::optional<MemberOutcome> storedFileProblem(ContainerInput& input, std::size_t index,
                                               const FileEntry& entry) {
  if (!seekToFileChunk(input, entry)) {
    return input.readError() ? outcome(index, MemberStatus::readFailed, input.readError())
                             : outcome(index, MemberStatus::notFileChunk);
  }
  if (entry.size > input.fileSize() - std::min(input.fileSize(), input.offset())) {
    return outcome(index, MemberStatus::truncated);
  }
  return std::nullopt;
}

// Of the rows that share a ZIP name, the member is the last whose stored file stands whole;
// those before it are replaced, and those after it fail as they would alone. Adds their
// outcomes to `decided`.
void settleSameNames(ContainerInput& input, const FileTable& entries, const MemberPlans& plans,
                     std::vector<MemberOutcome>& decided) {
  // The rows not decided, by name, each name's in table order: a sort of their numbers costs
  // far less than a map of the names.
  std::vector<std::size_t> byName;
  for (std::size_t i = 0; i < plans.size(); ++i) {
    if (plans.decided(i) == nullptr) {
      byName.push_back(i);
    }
  }
  std::stable_sort(byName.begin(), byName.end(), [&](std::size_t a, std::size_t b) {
    return plans.zipName(a) < plans.zipName(b);
  });
  for (auto first = byName.begin(); first != byName.end();) {
    const auto last = std::find_if(first, byName.end(), [&](std::size_t row) {
      return plans.zipName(row) != plans.zipName(*first);
    });
    const std::span<const std::size_t> rows(first, last);
    first = last;
    if (rows.size() < 2) {
      continue;
    }
    std::vector<std::optional<MemberOutcome>> problems;
    for (const std::size_t row : rows) {
      problems.push_back(storedFileProblem(input, row, entries[row]));
    }
    std::size_t kept = rows.size() - 1;
    for (std::size_t k = rows.size(); k-- > 0;) {
      if (!problems[k]) {
        kept = k;
        break;
      }
    }
    for (std::size_t k = 0; k < rows.size(); ++k) {
      if (k < kept && !problems[kept]) {
        decided.push_back(outcome(rows[k], MemberStatus::replacedByLater));
      } else if (k != kept || problems[kept]) {
        decided.push_back(*problems[k]);
      }
    }
  }
}

std::string renumbered(std::size_t position, std::size_t width, std::string_view name) {
  std::string number = std::to_string(position);
  return std::string(width - std::min(width, number.size()), '0') + number + " " +
         std::string(name);
}

}  // namespace

MemberCopier::MemberCopier(ContainerInput& input, ByteSink& out, const ConvertOptions& options)
    : input_(input),
      zip_(out, options.modified, options.limits),
      method_(options.deflate ? ZipMethod::deflated : ZipMethod::stored),
      block_(kCopyBlockSize) {}

MemberOutcome MemberCopier::copy(std::size_t index, const FileEntry& entry,
                                 const std::string& zipName, std::error_code& writeError) {
  if (!seekToFileChunk(input_, entry)) {
    return input_.readError() ? outcome(index, MemberStatus::readFailed, input_.readError())
                              : outcome(index, MemberStatus::notFileChunk);
  }
  if ((writeError = zip_.begin(zipName, entry.size, method_))) {
    return outcome(index, MemberStatus::readFailed);
  }
  // A sink that keeps places takes a stored file that stands whole as its place: nothing is
  // read now. One cut short is read, so that it fails as it does for any other sink.
  if (zip_.takesDataInPlace() &&
      entry.size <= input_.fileSize() - std::min(input_.fileSize(), input_.offset())) {
    if (!(writeError = zip_.dataInPlace(input_.offset()))) {
      writeError = zip_.end();
    }
    return written(index, zipName);
  }
  std::uint32_t remaining = entry.size;
  while (remaining > 0) {
    const auto wanted = std::min<std::size_t>(remaining, block_.size());
    const std::uint64_t at = input_.offset();
    const std::size_t got = input_.read(std::span(block_).first(wanted));
    if (input_.readError()) {
      writeError = zip_.drop();
      return outcome(index, MemberStatus::readFailed, input_.readError());
    }
    if ((writeError = zip_.data(std::span(block_).first(got), at))) {
      return outcome(index, MemberStatus::readFailed);
    }
    remaining -= static_cast<std::uint32_t>(got);
    if (got < wanted) {
      writeError = zip_.drop();
      return outcome(index, MemberStatus::truncated);
    }
  }
  writeError = zip_.end();
  return written(index, zipName);
}

std::error_code MemberCopier::addText(std::string_view name, std::string_view text,
                                      bool timestamped) {
  return add(name, text, method_, timestamped);
}

std::error_code MemberCopier::addMadeText(
    std::string_view name,
    const std::function<void(const std::function<void(std::string_view)>&)>& make) {
  std::uint64_t size = 0;
  make([&](std::string_view piece) { size += piece.size(); });
  if (const std::error_code error = zip_.begin(name, size, method_)) {
    return error;
  }
  std::string pending;
  std::error_code error;
  const auto flush = [&] {
    if (!error && !pending.empty()) {
      error = zip_.data(std::as_bytes(std::span(pending)));
    }
    pending.clear();
  };
  make([&](std::string_view piece) {
    pending += piece;
    if (pending.size() >= kCopyBlockSize) {
      flush();
    }
  });
  flush();
  return error ? error : zip_.end();
}

std::error_code MemberCopier::addStoredText(std::string_view name, std::string_view text) {
  return add(name, text, ZipMethod::stored, false);
}

std::error_code MemberCopier::add(std::string_view name, std::string_view text, ZipMethod method,
                                  bool timestamped) {
  if (const std::error_code error = zip_.begin(name, text.size(), method, timestamped)) {
    return error;
  }
  if (const std::error_code error = zip_.data(std::as_bytes(std::span(text)))) {
    return error;
  }
  return zip_.end();
}

std::string_view MemberPlans::zipName(std::size_t row) const {
  const std::size_t start = row == 0 ? 0 : nameEnds_[row - 1];
  return std::string_view(names_).substr(start, nameEnds_[row] - start);
}

const MemberOutcome* MemberPlans::decided(std::size_t row) const {
  const auto found = std::lower_bound(
      decided_.begin(), decided_.end(), row,
      [](const MemberOutcome& each, std::size_t wanted) { return each.index < wanted; });
  return found != decided_.end() && found->index == row ? &*found : nullptr;
}

MemberPlans planMembers(ContainerInput& input, const FileTable& entries, std::size_t longestName) {
  MemberPlans plans;
  plans.nameEnds_.reserve(entries.size());
  plans.names_.reserve(storedNameUnits(entries));  // not doubling, copy after copy
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string zipName = toUtf8(untilFirstZero(entries[i].name));
    if (std::optional<MemberOutcome> refused = nameRefusal(i, entries[i], zipName, longestName)) {
      plans.decided_.push_back(std::move(*refused));
    } else {
      plans.names_ += zipName;
    }
    plans.nameEnds_.push_back(plans.names_.size());
  }
  std::vector<MemberOutcome> settled;
  settleSameNames(input, entries, plans, settled);
  if (!settled.empty()) {
    plans.decided_.insert(plans.decided_.end(), std::make_move_iterator(settled.begin()),
                          std::make_move_iterator(settled.end()));
    std::sort(plans.decided_.begin(), plans.decided_.end(),
              [](const MemberOutcome& a, const MemberOutcome& b) { return a.index < b.index; });
  }
  plans.names_.shrink_to_fit();
  return plans;
}

std::optional<std::u16string> cbzFileNameOf(std::string_view containerPath) {
  return bookFileNameOf(containerPath, u".cbz");
}

std::optional<std::u16string> bookFileNameOf(std::string_view containerPath,
                                             std::u16string_view extension) {
  try {
    const std::filesystem::path path(std::u8string(containerPath.begin(), containerPath.end()));
    std::u16string name = path.filename().stem().u16string() + std::u16string(extension);
    if (entryNameProblem(name) != NameProblem::none) {
      return std::nullopt;
    }
    return name;
  } catch (const std::exception&) {  // not UTF-8: no name to give the file
    return std::nullopt;
  }
}

std::optional<std::string> cbzFileName(std::string_view containerPath) {
  return bookFileName(containerPath, u".cbz");
}

std::optional<std::string> bookFileName(std::string_view containerPath,
                                        std::u16string_view extension) {
  const std::optional<std::u16string> name = bookFileNameOf(containerPath, extension);
  return name ? std::optional<std::string>(toUtf8(*name)) : std::nullopt;
}

bool naturalLess(std::string_view a, std::string_view b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      const auto run = [](std::string_view text, std::size_t& at) {
        while (at < text.size() && text[at] == '0') {
          ++at;
        }
        const std::size_t start = at;
        while (at < text.size() && isDigit(text[at])) {
          ++at;
        }
        return text.substr(start, at - start);
      };
      const std::string_view x = run(a, i);
      const std::string_view y = run(b, j);
      if (x.size() != y.size()) {
        return x.size() < y.size();
      }
      if (x != y) {
        return x < y;
      }
      continue;
    }
    if (a[i] != b[j]) {
      return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
    }
    ++i;
    ++j;
  }
  if (i == a.size() && j == b.size()) {
    return a < b;
  }
  return i == a.size();
}

ConvertResult convertToZip(ContainerInput& input, const Archive& archive, ByteSink& out,
                           const ConvertOptions& options, const MemberReport& report) {
  const FileTable& entries = archive.entries;
  const std::size_t longestPrefix =
      options.renumber ? std::to_string(entries.size()).size() + 1 : 0;
  const MemberPlans plans = planMembers(input, entries, zip::kMaxNameLength - longestPrefix);

  ConvertResult result;
  std::size_t planned = 0;
  std::optional<std::string_view> previous;
  for (std::size_t i = 0; i < plans.size(); ++i) {
    if (plans.decided(i) != nullptr) {
      continue;
    }
    ++planned;
    if (!options.renumber && previous && naturalLess(plans.zipName(i), *previous)) {
      result.namesOutOfOrder = true;
    }
    previous = plans.zipName(i);
  }
  const std::size_t width = std::to_string(planned).size();

  MemberCopier conversion(input, out, options);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    MemberOutcome done;
    if (const MemberOutcome* decided = plans.decided(i)) {
      done = *decided;
    } else {
      const std::string zipName = options.renumber
                                      ? renumbered(result.members + 1, width, plans.zipName(i))
                                      : std::string(plans.zipName(i));
      std::error_code writeError;
      done = conversion.copy(i, entries[i], zipName, writeError);
      if (writeError) {
        result.status = ConvertStatus::writeFailed;
        result.error = writeError;
        return result;
      }
    }
    if (done.status == MemberStatus::written) {
      ++result.members;
    } else if (isFailure(done.status)) {
      ++result.failures;
    }
    if (report) {
      report(done);
    }
  }

  std::error_code error = conversion.addText(kComicInfoName, comicInfoXml(archive, result.members));
  if (!error) {
    const ComicBookInfo comment = comicBookInfo(archive, options.application, options.modified);
    result.commentShortened = comment.shortened;
    error = conversion.finish(comment.json);
  }
  if (error) {
    result.status = ConvertStatus::writeFailed;
    result.error = error;
  }
  return result;
}

ConvertResult convertToZip(ArchiveReader& reader, ByteSink& out, const ConvertOptions& options,
                           const MemberReport& report) {
  return convertToZip(reader.input(), reader.archive(), out, options, report);
}

}  // namespace kzb
