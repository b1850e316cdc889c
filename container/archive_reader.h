// ArchiveReader: opens one container, walks its chunk tree once into header fields,
// publication metadata and the file table, and later copies stored files out through the
// same input stream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "attributes.h"
#include "format.h"

namespace kzb {

// One row of the file table, from one "FINF" chunk.
struct FileEntry {
  WideText name;                            // "NAME"
  std::uint32_t position = 0;               // "POS4": offset of the "FILE" chunk's header
  std::uint32_t size = 0;                   // "SIZE": the stored file's length
  std::uint32_t crc32 = 0;                  // "CRC3": recorded, never checked
  std::array<std::byte, 8> modifiedTime{};  // "MTIM": never interpreted
};

// Rows in the order the walk met their "FINF" chunks: a chunk before its children.
using FileTable = std::vector<FileEntry>;

class ArchiveReader {
 public:
  // Opens and walks `path` at once; openResult() tells how that went. A reader whose file
  // could not be opened or walked still holds whatever the walk stored before it stopped.
  explicit ArchiveReader(const std::string& path);
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  // The run, in order.
  // Resets, opens, walks the root chunk: ResultSuccess, ResultNotAvailable (cannot open)
  // or ResultParseFailed (the walk met the end of the data or a malformed chunk).
  int open(const std::string& path);
  // Closes the file and empties every field. The stream's error state stays as it is.
  void reset();
  // Walks one chunk, with its descendants, from the stream's current position. Returns the
  // chunk's total length as its header states it, or -1 when the walk must stop: end of
  // data, a stream failure, a malformed chunk or nesting beyond kMaxNestingDepth.
  std::int64_t parseChunk();
  void applyRootAttributes(const AttributeList& attributes);
  void applyHeadAttributes(const AttributeList& attributes);
  void addFileEntry(const AttributeList& attributes);
  // Writes entry `index` into the working directory under its name: ResultSuccess,
  // ResultNotAvailable (no such row, unsafe name, cannot create), ResultNotFileChunk,
  // ResultTruncated, ResultWriteFailed or ResultIsTheContainer. Checks the name and the "FILE"
  // header before anything is created, so a failed check leaves an existing file untouched.
  int extractEntry(std::size_t index);

  // What the walk stored, in the order of the format.
  std::uint32_t version() const { return header_.version; }
  std::uint32_t fileLength() const { return header_.fileLength; }
  const std::array<std::byte, 10>& guid() const { return header_.guid; }
  const std::array<std::byte, 10>& uuid() const { return header_.uuid; }
  const std::array<std::byte, 8>& fileTime() const { return header_.fileTime; }
  std::uint32_t bindingDirection() const { return header_.bindingDirection; }
  const WideText& title() const { return title_; }
  const WideText& isbn() const { return isbn_; }
  const WideText& writer() const { return writer_; }
  const WideText& publisher() const { return publisher_; }
  const WideText& createdAt() const { return createdAt_; }
  const WideText& genre() const { return genre_; }
  const WideText& copyright() const { return copyright_; }
  const WideText& webLink() const { return webLink_; }
  const WideText& convertedBy() const { return convertedBy_; }
  const WideText& comment() const { return comment_; }
  const FileTable& entries() const { return entries_; }
  const std::ifstream& input() const { return input_; }

  // The result of the constructor's open.
  int openResult() const { return openResult_; }
  // The operating system's reason behind the last ResultNotAvailable from open or a failed
  // creation, or behind the last ResultWriteFailed; empty otherwise.
  std::error_code lastSystemError() const { return systemError_; }

 private:
  // Zeroed as a whole by reset.
  struct HeaderFields {
    std::uint32_t version = 0;            // "VERS"
    std::uint32_t fileLength = 0;         // "FSIZ"
    std::array<std::byte, 10> guid{};     // "GUID"
    std::array<std::byte, 10> uuid{};     // "UUID"
    std::array<std::byte, 8> fileTime{};  // "FTIM"
    std::uint32_t bindingDirection = 0;   // "DIRE"
  };

  bool readAttributeBlock(std::int32_t length, std::vector<std::byte>& block);
  void dispatch(Tag tag, const AttributeList& attributes);
  bool walkChildren(std::int32_t childrenLength);
  bool skipPayload(std::int32_t length);
  bool seekToFileChunk(const FileEntry& entry);
  int copyPayload(std::uint32_t size, std::FILE* output);
  // The reason behind the system call that just failed, as errno holds it.
  static std::error_code currentSystemError();

  // Both the container and the output go through buffers of this size: a system call per
  // 64 KiB, not per 4 KiB copy block, whatever the payloads' sizes.
  static constexpr std::size_t kStreamBufferSize = std::size_t{64} * 1024;

  std::ifstream input_;
  HeaderFields header_;
  WideText title_;
  WideText isbn_;
  WideText writer_;
  WideText publisher_;
  WideText createdAt_;
  WideText genre_;
  WideText copyright_;
  WideText webLink_;
  WideText convertedBy_;
  WideText comment_;
  FileTable entries_;

  int depth_ = 0;               // nesting level of the chunk being walked; the root is 1
  std::filesystem::path path_;  // the container, as opened
  std::int64_t streamAt_ = -1;  // where the last complete copy left the stream, or -1
  std::vector<char> inputBuffer_;
  std::vector<char> outputBuffer_;
  int openResult_ = ResultNotAvailable;
  std::error_code systemError_;
};

// Whether `name`, up to its first zero unit, may name a file in the working directory: not
// empty, not "." or "..", and without "/" or "\".
bool isSafeEntryName(std::u16string_view name);

}  // namespace kzb
