// ArchiveReader: opens one container, walks its chunk tree once into header fields,
// publication metadata and the file table, and later copies stored files out through the
// same input stream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "attributes.h"
#include "container_input.h"
#include "entry_name.h"
#include "format.h"
#include "output_file.h"

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
  // Resets, opens, walks the root chunk: ResultSuccess, ResultNotAvailable (cannot open, or
  // not a file that can be read twice), ResultParseFailed (the walk met the end of the data
  // or a malformed chunk) or ResultReadFailed (the system could not read it).
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
  // Writes entry `index` into the working directory under its name, all or nothing (see
  // output_file.h): ResultSuccess, ResultNotAvailable (no such row, unsafe name, cannot
  // create), ResultNotFileChunk, ResultTruncated (the bytes present stand under the name),
  // ResultTruncatedKeptExisting, ResultWriteFailed, ResultPayloadReadFailed or
  // ResultIsTheContainer. Only ResultSuccess and ResultTruncated change the directory.
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
  const ContainerInput& input() const { return input_; }

  // The result of the constructor's open.
  int openResult() const { return openResult_; }
  // Whether the walk stayed inside the file. A payload or a child region that runs past
  // the end is stepped over as a seek would be, so the walk can succeed on a container that
  // was cut short; this tells such a container from a whole one.
  bool walkedPastEnd() const { return walkedPastEnd_; }
  // The operating system's reason behind the last ResultNotAvailable from open or a failed
  // creation, the last ResultReadFailed or ResultPayloadReadFailed, or the last
  // ResultWriteFailed; empty otherwise.
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
  void skipPayload(std::int32_t length);
  bool readExactly(std::span<std::byte> out);
  bool seekToFileChunk(const FileEntry& entry);
  int copyPayload(std::uint32_t size);
  int placeOutput(int copied);

  ContainerInput input_;
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

  int depth_ = 0;  // nesting level of the chunk being walked; the root is 1
  OutputFile output_;
  std::vector<std::byte> copyBlock_;  // the one block a payload is copied through
  int openResult_ = ResultNotAvailable;
  bool walkedPastEnd_ = false;
  std::error_code systemError_;
};

}  // namespace kzb
