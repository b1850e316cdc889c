// ArchiveReader: opens one container and walks its chunk tree once into an Archive (header
// fields, metadata texts, file table, how the walk ended), then keeps the container open for
// whoever reads stored files out of it. It writes nothing: extraction is its own unit
// (extract.h), which extractEntry only forwards to.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive.h"
#include "attributes.h"
#include "container_input.h"
#include "directory.h"
#include "extract.h"
#include "format.h"

namespace kzb {

class ArchiveReader {
 public:
  // Opens and walks `path` at once; walk() tells how that went. A reader whose file could
  // not be opened or walked still holds whatever the walk stored before it stopped.
  explicit ArchiveReader(const std::string& path);
  ~ArchiveReader();
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  // The run, in order.
  // Resets, opens, walks the root chunk: ResultSuccess, ResultNotAvailable (cannot open, or
  // not a file that can be read twice), ResultParseFailed (the walk met the end of the data
  // or a malformed chunk) or ResultReadFailed (the system could not read it).
  int open(const std::string& path);
  // Closes the file and empties every field.
  void reset();
  // Walks one chunk, with its descendants, from the input's current position. Returns the
  // chunk's total length as its header states it, or -1 when the walk must stop: end of
  // data, a read failure, a malformed chunk or nesting beyond kMaxNestingDepth.
  std::int64_t parseChunk();
  void applyRootAttributes(const AttributeList& attributes);
  void applyHeadAttributes(const AttributeList& attributes);
  void addFileEntry(const AttributeList& attributes);
  // Extracts entry `index` into the working directory (see extract.h) and says what
  // happened; extractEntry gives the same as its result code (resultCode in extract.h), and
  // ResultNotAvailable for a row that does not exist.
  Extraction extract(std::size_t index);
  int extractEntry(std::size_t index);

  // What the walk found.
  const Archive& archive() const { return archive_; }
  const Walk& walk() const { return archive_.walk; }
  ContainerInput& input() { return input_; }
  const ContainerInput& input() const { return input_; }

  // The fields one by one, in the order of the format.
  std::uint32_t version() const { return archive_.header.version; }
  std::uint32_t fileLength() const { return archive_.header.fileLength; }
  const std::array<std::byte, 10>& guid() const { return archive_.header.guid; }
  const std::array<std::byte, 10>& uuid() const { return archive_.header.uuid; }
  const std::array<std::byte, 8>& fileTime() const { return archive_.header.fileTime; }
  std::uint32_t bindingDirection() const { return archive_.header.bindingDirection; }
  const WideText& title() const { return archive_.text(Metadata::title); }
  const WideText& isbn() const { return archive_.text(Metadata::isbn); }
  const WideText& writer() const { return archive_.text(Metadata::writer); }
  const WideText& publisher() const { return archive_.text(Metadata::publisher); }
  const WideText& createdAt() const { return archive_.text(Metadata::createdAt); }
  const WideText& genre() const { return archive_.text(Metadata::genre); }
  const WideText& copyright() const { return archive_.text(Metadata::copyright); }
  const WideText& webLink() const { return archive_.text(Metadata::webLink); }
  const WideText& convertedBy() const { return archive_.text(Metadata::convertedBy); }
  const WideText& comment() const { return archive_.text(Metadata::comment); }
  const FileTable& entries() const { return archive_.entries; }

  // The result of the constructor's open.
  int openResult() const { return openResult_; }
  // Whether the walk stepped past the end of the file. A payload or a child region that runs
  // past the end is stepped over as a seek would be, so the walk can succeed on a container
  // that was cut short; this tells such a container from a whole one.
  bool walkedPastEnd() const { return archive_.walk.status == WalkStatus::pastTheEnd; }

 private:
  Walk walkRoot(const std::string& path);
  bool readAttributeBlock(std::int32_t length, std::vector<std::byte>& block);
  void dispatch(Tag tag, const AttributeList& attributes);
  bool walkChildren(std::int32_t childrenLength);
  void skipPayload(std::int32_t length);
  bool readExactly(std::span<std::byte> out);

  ContainerInput input_;
  Archive archive_;
  int depth_ = 0;  // nesting level of the chunk being walked; the root is 1
  bool firstChunkRead_ = false;
  int openResult_ = ResultNotAvailable;

  // For extract(): the working directory as it was at the first extraction.
  Directory workingDirectory_;
  std::unique_ptr<Extractor> extractor_;
};

}  // namespace kzb
