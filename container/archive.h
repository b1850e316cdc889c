// What a walk of one container found, as a plain value that knows nothing of output: the
// header fields, the ten metadata texts, the file table, and whether the container was read
// whole. The reader fills it; the report, the listings, the tests of a container and the
// extraction only read it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string_view>
#include <system_error>
#include <vector>

#include "attributes.h"
#include "format.h"
#include "utf8.h"

namespace kzb {

// The ten metadata texts of "HEAD", in the order the report prints them. Each has one row of
// kMetadataTexts below; everything that handles the texts goes through that table.
enum class Metadata {
  title,
  isbn,
  writer,
  publisher,
  createdAt,
  genre,
  copyright,
  webLink,
  convertedBy,
  comment,
};
inline constexpr std::size_t kMetadataCount = 10;

struct MetadataText {
  Metadata field;
  Tag tag;                       // its attribute in "HEAD"
  std::string_view reportLabel;  // the report's line, up to the text
  std::string_view jsonKey;      // its key in the JSON listing
};

inline constexpr std::array<MetadataText, kMetadataCount> kMetadataTexts{{
    {Metadata::title, tags::kTitle, "\t           Title : ", "title"},
    {Metadata::isbn, tags::kIsbn, "\t            ISBN : ", "isbn"},
    {Metadata::writer, tags::kWriter, "\t          Writer : ", "writer"},
    {Metadata::publisher, tags::kPublisher, "\t       Publisher : ", "publisher"},
    {Metadata::createdAt, tags::kCreatedAt, "\t      Created at : ", "createdAt"},
    {Metadata::genre, tags::kGenre, "\t           Genre : ", "genre"},
    {Metadata::copyright, tags::kCopyright, "\t       Copyright : ", "copyright"},
    {Metadata::webLink, tags::kWebLink, "\t        Web Link : ", "webLink"},
    {Metadata::convertedBy, tags::kConvertedBy, "\tKZB Converted by : ", "convertedBy"},
    {Metadata::comment, tags::kComment, "\t         Comment : ", "comment"},
}};

// The row of a "HEAD" attribute tag, or nullptr when the tag carries no metadata text.
constexpr const MetadataText* metadataTextOf(Tag tag) {
  for (const MetadataText& text : kMetadataTexts) {
    if (text.tag == tag) {
      return &text;
    }
  }
  return nullptr;
}

// "VERS" and "FSIZ" of the root, and the fixed-width fields of "HEAD".
struct HeaderFields {
  std::uint32_t version = 0;            // "VERS"
  std::uint32_t fileLength = 0;         // "FSIZ"
  std::array<std::byte, 10> guid{};     // "GUID"
  std::array<std::byte, 10> uuid{};     // "UUID"
  std::array<std::byte, 8> fileTime{};  // "FTIM"
  std::uint32_t bindingDirection = 0;   // "DIRE"
};

// The binding direction as the report and the listings name it.
constexpr std::string_view bindingName(std::uint32_t direction) {
  switch (direction) {
    case 1:
      return "L->R";
    case 2:
      return "R->L";
    default:
      return "Not Defined";
  }
}

// One row of the file table, from one "FINF" chunk.
struct FileEntry {
  // "NAME", seen in the Archive's store of names: valid for as long as the Archive is.
  std::u16string_view name;
  std::uint32_t position = 0;               // "POS4": offset of the "FILE" chunk's header
  std::uint32_t size = 0;                   // "SIZE": the stored file's length
  std::uint32_t crc32 = 0;                  // "CRC3": recorded
  std::array<std::byte, 8> modifiedTime{};  // "MTIM": never interpreted
};

// Rows in the order the walk met their "FINF" chunks: a chunk before its children. A deque,
// as the table grows a row at a time to its end: it never holds a copy of itself, nor room to
// spare, as a vector does each time it grows (a table of many rows would briefly take two and
// a half times its size).
using FileTable = std::deque<FileEntry>;

// The units of the table's names up to the first zero of each, together: the bytes those
// names take in UTF-8 where they are ASCII, as most tables' are; room to make for them at once.
inline std::size_t storedNameUnits(const FileTable& table) {
  std::size_t units = 0;
  for (const FileEntry& entry : table) {
    units += untilFirstZero(entry.name).size();
  }
  return units;
}

// How the walk of a container ended.
enum class WalkStatus {
  readWhole,   // opened, walked to the end of the root, inside the file
  cannotOpen,  // error says why (an InputRefusal for what is not a regular file)
  readFailed,  // the system could not read it (error says why)
  malformed,   // the walk met the end of the data or a chunk that cannot be walked
  pastTheEnd,  // walked, but the chunks claim more bytes than the file holds
};

struct Walk {
  WalkStatus status = WalkStatus::cannotOpen;
  std::error_code error;
  // Whether the walk read the first chunk's header and attribute block whole: what a file
  // needs to be taken for a container at all, however damaged the rest of it.
  bool firstChunkRead = false;
  bool readWhole() const { return status == WalkStatus::readWhole; }
  // Nothing of a container could be read: the file could not be opened, or its first chunk
  // could not (a file of another kind, an empty one). Nothing should be made for it.
  bool readNothing() const { return !firstChunkRead; }
};

struct Archive {
  HeaderFields header;
  std::array<WideText, kMetadataCount> metadata;  // by Metadata, as stored
  FileTable entries;
  WideTextStore names;  // what the entries' names view
  Walk walk;

  const WideText& text(Metadata field) const { return metadata[static_cast<std::size_t>(field)]; }
};

}  // namespace kzb
