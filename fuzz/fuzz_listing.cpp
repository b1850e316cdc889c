// kzb list --json on arbitrary bytes, in-process: the line it writes is one line of valid
// UTF-8 that parses as JSON, holds the fixed keys in their fixed order, and says what a walk
// of its own finds: the header, the metadata texts and every row of the file table.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "archive.h"
#include "archive_reader.h"
#include "commands.h"
#include "fuzz_support.h"
#include "utf8.h"
#include "utf8_check.h"

namespace {

using kzb::fuzz::isValidUtf8;
using kzb::fuzz::require;
using Json = nlohmann::ordered_json;

std::vector<std::string> keysOf(const Json& object) {
  std::vector<std::string> keys;
  for (const auto& item : object.items()) {
    keys.push_back(item.key());
  }
  return keys;
}

template <std::size_t N>
std::string hex(const std::array<std::byte, N>& bytes) {
  constexpr std::string_view kDigits = "0123456789abcdef";
  std::string text;
  for (const std::byte b : bytes) {
    const auto value = std::to_integer<unsigned>(b);
    text += kDigits[value >> 4];
    text += kDigits[value & 15];
  }
  return text;
}

std::string text(std::u16string_view stored) {
  return kzb::toUtf8(kzb::untilFirstZero(stored));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  kzb::fuzz::makePathArgumentsAbsolute(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kzb::fuzz::writeInput(std::span<const std::uint8_t>(data, size));
  const std::string path = kzb::fuzz::scratch().input.string();

  std::ostringstream out;
  std::ostringstream err;
  kzb::tool::Context context{out, err};
  kzb::tool::Options options;
  options.containers = {path};
  options.json = true;
  const int status = kzb::tool::runList(options, context);

  const kzb::ArchiveReader reader(path);
  const kzb::Archive& archive = reader.archive();
  require(status == (archive.walk.readWhole() ? 0 : 1), "the exit status disagrees with the walk");
  require(err.str().empty() == archive.walk.readWhole(),
          "a line on stderr without a problem, or a problem without one");

  const std::string line = out.str();
  require(!line.empty() && line.back() == '\n' && line.find('\n') == line.size() - 1,
          "the listing is not exactly one line");
  require(isValidUtf8(line), "the listing is not UTF-8");
  for (const char c : line) {
    require(static_cast<unsigned char>(c) >= 0x20 || c == '\n', "a raw control character");
  }
  Json listing;
  try {
    listing = Json::parse(line);
  } catch (const Json::exception& error) {
    kzb::fuzz::fail(std::string("the listing is not JSON: ") + error.what());
  }

  const std::vector<std::string> keys = {"container",  "readWhole",        "problems", "version",
                                         "fileLength", "bindingDirection", "binding",  "guid",
                                         "uuid",       "fileTime",         "metadata", "entries"};
  require(listing.is_object() && keysOf(listing) == keys, "the keys are not the fixed ones");
  require(listing["container"] == path, "the container is not the path given");
  require(listing["readWhole"] == archive.walk.readWhole(), "readWhole disagrees with the walk");
  require(listing["problems"].size() == (archive.walk.readWhole() ? 0u : 1u),
          "a problem too many or too few");
  const kzb::HeaderFields& header = archive.header;
  require(listing["version"] == header.version && listing["fileLength"] == header.fileLength &&
              listing["bindingDirection"] == header.bindingDirection &&
              listing["binding"] == kzb::bindingName(header.bindingDirection) &&
              listing["guid"] == hex(header.guid) && listing["uuid"] == hex(header.uuid) &&
              listing["fileTime"] == hex(header.fileTime),
          "a header field disagrees with the walk");

  // The texts the report prints, in the table's order, and no other.
  std::vector<std::string> metadataKeys;
  for (const kzb::MetadataText& field : kzb::kMetadataTexts) {
    if (const kzb::WideText& stored = archive.text(field.field); !stored.empty()) {
      metadataKeys.emplace_back(field.jsonKey);
      require(listing["metadata"][std::string(field.jsonKey)] == text(stored),
              "a metadata text disagrees with the walk");
    }
  }
  require(keysOf(listing["metadata"]) == metadataKeys, "the metadata keys are not the texts");

  const Json& rows = listing["entries"];
  require(rows.is_array() && rows.size() == archive.entries.size(),
          "the entries are not the file table's rows");
  const std::vector<std::string> rowKeys = {"name", "size", "position", "crc32", "modifiedTime"};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const kzb::FileEntry& entry = archive.entries[i];
    const Json& row = rows[i];
    require(keysOf(row) == rowKeys, "an entry's keys are not the fixed ones");
    require(row["name"] == text(entry.name) && row["size"] == entry.size &&
                row["position"] == entry.position && row["crc32"] == entry.crc32 &&
                row["modifiedTime"] == hex(entry.modifiedTime),
            "an entry disagrees with its row");
  }
  return 0;
}
