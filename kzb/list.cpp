// kzb list: the entries of each container, one name a line (-l: with size and CRC-32, and a
// total), or one JSON object a line per container (--json).
#include <cstdint>
#include <span>

#include "archive_reader.h"
#include "command_output.h"
#include "commands.h"
#include "diagnostics.h"
#include "glob.h"
#include "json_line.h"
#include "jobs.h"
#include "utf8.h"

namespace kzb::tool {
namespace {

void listNames(const Archive& archive, const NameFilter& filter, std::ostream& out) {
  for (const FileEntry& entry : archive.entries) {
    if (filter.passes(entry.name)) {
      out << shownName(entry) << '\n';
    }
  }
}

// Size right-aligned in the ten columns the largest 32-bit size takes, the CRC-32 as eight
// lowercase digits, then the name; last, the sum of the sizes and the count of files.
void listLong(const Archive& archive, const NameFilter& filter, std::ostream& out) {
  std::uint64_t total = 0;
  std::size_t files = 0;
  for (const FileEntry& entry : archive.entries) {
    if (!filter.passes(entry.name)) {
      continue;
    }
    out << rightAligned(entry.size, 10) << "  " << hexDigits(entry.crc32, 8) << "  "
        << shownName(entry) << '\n';
    total += entry.size;
    ++files;
  }
  out << rightAligned(total, 10) << std::string(12, ' ') << files
      << (files == 1 ? " file\n" : " files\n");
}

std::string hex(std::span<const std::byte> bytes) {
  std::string text;
  for (const std::byte b : bytes) {
    text += hexDigits(std::to_integer<unsigned>(b), 2);
  }
  return text;
}

std::string text(std::u16string_view stored) {
  return toUtf8(untilFirstZero(stored));
}

// One line: every key of the header and the metadata in a fixed order, then the entries,
// each dumped as it is met so that memory follows the file table alone.
void listJson(const std::string& container, const Archive& archive, const NameFilter& filter,
              std::ostream& out) {
  Json head;
  head["container"] = container;
  head["readWhole"] = archive.walk.readWhole();
  head["problems"] = Json::array();
  if (!archive.walk.readWhole()) {
    head["problems"].push_back(describe(archive.walk));
  }
  const HeaderFields& header = archive.header;
  head["version"] = header.version;
  head["fileLength"] = header.fileLength;
  head["bindingDirection"] = header.bindingDirection;
  head["binding"] = bindingName(header.bindingDirection);
  head["guid"] = hex(header.guid);
  head["uuid"] = hex(header.uuid);
  head["fileTime"] = hex(header.fileTime);
  // Exactly the texts the report prints, under the same condition.
  Json metadata = Json::object();
  for (const MetadataText& field : kMetadataTexts) {
    if (const WideText& stored = archive.text(field.field); !stored.empty()) {
      metadata[std::string(field.jsonKey)] = text(stored);
    }
  }
  head["metadata"] = std::move(metadata);

  std::string opening = jsonLine(head);
  opening.pop_back();  // the closing brace: the entries come before it
  out << opening << ",\"entries\":[";
  bool first = true;
  for (const FileEntry& entry : archive.entries) {
    if (!filter.passes(entry.name)) {
      continue;
    }
    Json row;
    row["name"] = text(entry.name);
    row["size"] = entry.size;
    row["position"] = entry.position;
    row["crc32"] = entry.crc32;
    row["modifiedTime"] = hex(entry.modifiedTime);
    out << (first ? "" : ",") << jsonLine(row);
    first = false;
  }
  out << "]}\n";
}

}  // namespace

int runList(const Options& options, Context& context) {
  const NameFilter filter(options.includes, options.excludes);
  const ContainerHeadings headings(options.json ? 1 : options.containers.size());
  return runContainers(options, context, {}, [&](std::size_t index, Context& job) {
    const std::string& container = options.containers[index];
    const ArchiveReader reader(container);
    headings.before(job.out, container, index);
    if (options.json) {
      listJson(container, reader.archive(), filter, job.out);
    } else if (options.longListing) {
      listLong(reader.archive(), filter, job.out);
    } else {
      listNames(reader.archive(), filter, job.out);
    }
    job.out.flush();  // the listing comes before its container's diagnostic
    return ContainerDone{diagnoseWalk(job, container, reader.walk()) ? kExitSuccess : kExitFailure};
  });
}

}  // namespace kzb::tool
