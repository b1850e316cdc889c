// The conversion into a ZIP on arbitrary bytes, in memory: stored or deflated, renumbered or
// not, with the ZIP64 limits lowered on some inputs so that the ZIP64 records are written for
// small containers too. The ZIP is read back by libzip, a reader that shares nothing with the
// writer, and checked against the input itself: the members are the rows extraction would
// write (by the rules of convert.h), in table order, each holding the stored file's bytes
// with their CRC-32; ComicInfo.xml comes last and is well-formed XML; the ZIP's comment (the
// ComicBookInfo object) is there, and is UTF-8 that parses as JSON. Where the members are
// stored and keep their names, the layout kzb-mount serves (zip_layout.h) is made too, and
// read back in pieces of a size the input picks: it must give the same bytes.
#include <libxml/parser.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "archive_reader.h"
#include "byte_sink.h"
#include "zip_layout.h"
#include "convert.h"
#include "entry_name.h"
#include "format.h"
#include "fuzz_support.h"
#include "utf8.h"
#include "utf8_check.h"

namespace {

using kzb::fuzz::isValidUtf8;
using kzb::fuzz::require;

std::uint32_t loadU32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

// The stored file of `entry`, read straight from the input apart from the reader, when a
// "FILE" chunk of the entry's size stands at its position and the input holds all its bytes.
std::optional<std::span<const std::uint8_t>> wholeStoredFile(std::span<const std::uint8_t> input,
                                                             const kzb::FileEntry& entry) {
  const std::uint64_t position = entry.position;
  if (position + kzb::kChunkHeaderSize > input.size()) {
    return std::nullopt;
  }
  const auto at = static_cast<std::size_t>(position);
  if (loadU32(input, at) != kzb::tags::kFile || loadU32(input, at + 12) != entry.size ||
      entry.size > 0x7fffffffu) {
    return std::nullopt;
  }
  const std::uint64_t start = position + kzb::kChunkHeaderSize;
  if (entry.size > input.size() - start) {
    return std::nullopt;
  }
  return input.subspan(static_cast<std::size_t>(start), entry.size);
}

bool isComicInfoName(std::string_view name) {
  constexpr std::string_view kName = "comicinfo.xml";
  return std::equal(name.begin(), name.end(), kName.begin(), kName.end(), [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? static_cast<char>(a + 32) : a) == b;
  });
}

// The rows that must be members, in table order: named by every platform's rules and
// Windows', not ComicInfo.xml, short enough for a header, and, of the rows that share a
// name, the last whose stored file stands whole.
std::vector<std::size_t> expectedMembers(std::span<const std::uint8_t> input,
                                         const kzb::FileTable& entries, std::size_t longestName) {
  std::map<std::string, std::size_t> lastWhole;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string name = kzb::toUtf8(kzb::untilFirstZero(entries[i].name));
    if (kzb::nameProblem(entries[i].name, /*windowsRules=*/true) != kzb::NameProblem::none ||
        name.size() > longestName || isComicInfoName(name) || !wholeStoredFile(input, entries[i])) {
      continue;
    }
    lastWhole[name] = i;
  }
  std::vector<std::size_t> rows;
  for (const auto& [name, row] : lastWhole) {
    rows.push_back(row);
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

struct ZipCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct FileCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};

std::unique_ptr<zip_t, ZipCloser> openZip(const std::vector<std::byte>& bytes) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
  require(source != nullptr, "libzip cannot make a source of the ZIP");
  zip_t* archive = zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error);
  if (archive == nullptr) {
    zip_source_free(source);
    kzb::fuzz::fail(std::string("libzip refuses the ZIP: ") + zip_error_strerror(&error));
  }
  zip_error_fini(&error);
  return std::unique_ptr<zip_t, ZipCloser>(archive);
}

// The member's bytes as libzip reads them; libzip itself fails the read on a CRC mismatch.
std::string memberBytes(zip_t* archive, zip_uint64_t index, zip_uint64_t size) {
  const std::unique_ptr<zip_file_t, FileCloser> file(zip_fopen_index(archive, index, 0));
  require(file != nullptr, "libzip cannot open a member");
  std::string bytes(static_cast<std::size_t>(size) + 1, '\0');  // one more finds excess data
  zip_int64_t total = 0;
  while (true) {
    const zip_int64_t got =
        zip_fread(file.get(), bytes.data() + total,
                  static_cast<zip_uint64_t>(bytes.size()) - static_cast<zip_uint64_t>(total));
    require(got >= 0, "libzip cannot read a member (a CRC-32 or a length is wrong)");
    if (got == 0) {
      break;
    }
    total += got;
    require(static_cast<std::size_t>(total) <= size, "a member holds more bytes than its size");
  }
  bytes.resize(static_cast<std::size_t>(total));
  return bytes;
}

void checkComicInfo(const std::string& xml) {
  xmlDocPtr document =
      xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "ComicInfo.xml", nullptr,
                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  require(document != nullptr, "ComicInfo.xml is not well-formed XML");
  const xmlNode* root = xmlDocGetRootElement(document);
  require(
      root != nullptr && std::string_view(reinterpret_cast<const char*>(root->name)) == "ComicInfo",
      "ComicInfo.xml's root is not ComicInfo");
  xmlFreeDoc(document);
}

void checkComment(zip_t* archive) {
  int length = 0;
  const char* comment = zip_get_archive_comment(archive, &length, ZIP_FL_ENC_RAW);
  require(comment != nullptr && length > 0, "the ZIP has no ComicBookInfo comment");
  const std::string_view text(comment, static_cast<std::size_t>(length));
  require(isValidUtf8(text), "the ZIP's comment is not UTF-8");
  require(nlohmann::json::accept(text), "the ZIP's comment is not JSON");
}

// The layout's bytes, read `piece` bytes at a time from the container file; its memory in
// blocks of `blockSize`.
std::vector<std::byte> layoutBytes(kzb::ArchiveReader& reader, const kzb::ConvertOptions& options,
                                   std::size_t piece, std::size_t blockSize) {
  kzb::ZipLayout layout(blockSize);
  const kzb::ConvertResult result =
      kzb::layOutCbz(reader.input(), reader.archive(), options, layout);
  require(result.status == kzb::ConvertStatus::complete, "a layout failed");
  kzb::InputFile container;
  require(!container.open(kzb::fuzz::scratch().input.string()), "the input cannot be opened");
  std::vector<std::byte> bytes(static_cast<std::size_t>(layout.size()));
  for (std::size_t at = 0; at < bytes.size();) {
    std::error_code error;
    const std::size_t wanted = std::min(piece, bytes.size() - at);
    const std::size_t got = layout.read(at, std::span(bytes).subspan(at, wanted), container, error);
    require(!error && got == wanted, "a read of the layout fell short");
    at += got;
  }
  return bytes;
}

void ignoreXmlError(void*, const char*, ...) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  kzb::fuzz::makePathArgumentsAbsolute(argc, argv);
  xmlSetGenericErrorFunc(nullptr, ignoreXmlError);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  kzb::fuzz::writeInput(input);

  // The options come from the last byte, so that every container of the corpus is tried
  // each way as it mutates.
  const std::uint8_t choice = size == 0 ? 0 : data[size - 1];
  kzb::ConvertOptions options;
  options.deflate = (choice & 1) != 0;
  options.renumber = (choice & 2) != 0;
  options.modified = std::chrono::sys_days{std::chrono::year{2026} / 12 / 9};
  if ((choice & 4) != 0) {
    options.limits.sizeOrOffset = 1 + (choice >> 3) * 16u;  // ZIP64 sizes and offsets
    options.limits.memberCount = 1 + (choice >> 6);         // and the ZIP64 end record
  }

  kzb::ArchiveReader reader(kzb::fuzz::scratch().input.string());
  const kzb::FileTable& entries = reader.archive().entries;
  std::vector<kzb::MemberOutcome> outcomes;
  kzb::MemorySink sink;
  const kzb::ConvertResult result = kzb::convertToZip(
      reader, sink, options, [&](const kzb::MemberOutcome& row) { outcomes.push_back(row); });
  require(result.status == kzb::ConvertStatus::complete, "a conversion into memory failed");
  require(outcomes.size() == entries.size(), "not every row was reported once");

  const std::size_t longestPrefix =
      options.renumber ? std::to_string(entries.size()).size() + 1 : 0;
  const std::vector<std::size_t> members = expectedMembers(input, entries, 0xFFFF - longestPrefix);
  require(result.members == members.size(), "the count of members is not the rows expected");
  std::size_t failures = 0;
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    require(outcomes[i].index == i, "rows were reported out of table order");
    const bool expected = std::binary_search(members.begin(), members.end(), i);
    require(expected == (outcomes[i].status == kzb::MemberStatus::written),
            "a row's fate is not the one its name and stored file call for");
    failures += kzb::isFailure(outcomes[i].status) ? 1 : 0;
  }
  require(result.failures == failures, "the count of failures disagrees with the rows");

  const auto archive = openZip(sink.bytes());
  const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
  require(count >= 0 && static_cast<std::size_t>(count) == members.size() + 1,
          "the ZIP does not hold the members and ComicInfo.xml");
  for (std::size_t m = 0; m <= members.size(); ++m) {
    zip_stat_t stat;
    zip_stat_init(&stat);
    require(zip_stat_index(archive.get(), m, ZIP_FL_ENC_STRICT, &stat) == 0,
            "libzip cannot describe a member");
    const std::string name = stat.name;
    const std::string bytes = memberBytes(archive.get(), m, stat.size);
    require(bytes.size() == stat.size, "a member holds fewer bytes than its size");
    require(stat.crc == crc32(0, reinterpret_cast<const Bytef*>(bytes.data()),
                              static_cast<uInt>(bytes.size())),
            "a member's recorded CRC-32 is not that of its bytes");
    if (m == members.size()) {
      require(name == "ComicInfo.xml", "the last member is not ComicInfo.xml");
      checkComicInfo(bytes);
      continue;
    }
    const kzb::FileEntry& entry = entries[members[m]];
    const std::string stored = kzb::toUtf8(kzb::untilFirstZero(entry.name));
    if (options.renumber) {
      const std::size_t space = name.find(' ');
      require(space != std::string::npos && space > 0 &&
                  std::all_of(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(space),
                              [](char c) { return c >= '0' && c <= '9'; }) &&
                  std::stoul(name.substr(0, space)) == m + 1 && name.substr(space + 1) == stored,
              "a renumbered member's name is not its position and its stored name");
    } else {
      require(name == stored, "a member's name is not its stored name");
    }
    const auto expected = wholeStoredFile(input, entry);
    require(std::equal(bytes.begin(), bytes.end(), expected->begin(), expected->end(),
                       [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }),
            "a member's bytes are not the stored file's");
    require(stat.crc == crc32(0, expected->data(), static_cast<uInt>(expected->size())),
            "a member's CRC-32 is not that of the stored file");
  }
  checkComment(archive.get());

  if (!options.deflate) {
    const std::size_t piece = 1 + (choice >> 4) * 509u;  // 1 byte, or an odd size across fields
    // Small blocks, so that the writer's patches reach blocks deflated already.
    const std::size_t blockSize = (choice & 8) != 0 ? 97 : kzb::ZipLayout::kBlockSize;
    require(layoutBytes(reader, options, piece, blockSize) == sink.bytes(),
            "the layout does not read as the ZIP convert writes");
  }
  return 0;
}
