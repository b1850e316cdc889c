#include "archive_reader.h"

#include <algorithm>

namespace kzb {
namespace {

constexpr std::int64_t kEndOfData = -1;

// Attribute blocks are read in steps of at most this size, so that the memory a block takes
// follows the bytes really present, never the length its header claims.
constexpr std::size_t kReadStep = std::size_t{64} * 1024;

// Counts one level of nesting for as long as a chunk is being walked.
class DepthGuard {
 public:
  explicit DepthGuard(int& depth) : depth_(depth) { ++depth_; }
  ~DepthGuard() { --depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  int& depth_;
};

}  // namespace

ArchiveReader::ArchiveReader(const std::string& path) {
  openResult_ = open(path);
}

ArchiveReader::~ArchiveReader() = default;

int ArchiveReader::open(const std::string& path) {
  reset();
  archive_.walk = walkRoot(path);
  switch (archive_.walk.status) {
    case WalkStatus::readWhole:
    case WalkStatus::pastTheEnd:
      return ResultSuccess;
    case WalkStatus::cannotOpen:
      return ResultNotAvailable;
    case WalkStatus::readFailed:
      return ResultReadFailed;
    case WalkStatus::malformed:
      break;
  }
  return ResultParseFailed;
}

Walk ArchiveReader::walkRoot(const std::string& path) {
  if (const std::error_code error = input_.open(path)) {
    return {WalkStatus::cannotOpen, error};
  }
  depth_ = 0;
  firstChunkRead_ = false;
  Walk walk{WalkStatus::readWhole, {}};
  if (parseChunk() == kEndOfData) {
    const std::error_code error = input_.readError();
    walk = {error ? WalkStatus::readFailed : WalkStatus::malformed, error};
  } else if (input_.offset() > input_.fileSize()) {
    walk = {WalkStatus::pastTheEnd, {}};
  }
  walk.firstChunkRead = firstChunkRead_;
  return walk;
}

void ArchiveReader::reset() {
  input_.close();
  archive_ = Archive{};
}

bool ArchiveReader::readExactly(std::span<std::byte> out) {
  return input_.read(out) == out.size();
}

// A chunk, in file order: header, attribute block, children, payload. Every length is a
// claim: the walk checks it before acting on it, and only ever moves forward, so its work is
// bounded by the size of the file.
std::int64_t ArchiveReader::parseChunk() {
  const DepthGuard level(depth_);
  if (depth_ > kMaxNestingDepth) {
    return kEndOfData;
  }

  std::array<std::byte, kChunkHeaderSize> raw{};
  if (!readExactly(raw)) {
    return kEndOfData;
  }
  const ChunkHeader header = decodeChunkHeader(raw);
  const std::int64_t total = std::int64_t{kChunkHeaderSize} + header.attributeLength +
                             header.childrenLength + header.payloadLength;
  if (header.payloadLength < 0 || total <= 0) {
    return kEndOfData;  // would move the walk backwards or not at all
  }

  {
    // Negative attribute and children lengths count as absent regions.
    std::vector<std::byte> block;
    if (header.attributeLength > 0 && !readAttributeBlock(header.attributeLength, block)) {
      return kEndOfData;  // nothing of a chunk cut short in its attributes is applied
    }
    dispatch(header.tag, decodeAttributes(block));
    firstChunkRead_ = true;
  }  // the block and its attributes are gone before the children are walked

  if (!walkChildren(header.childrenLength)) {
    return kEndOfData;
  }
  skipPayload(header.payloadLength);
  return total;
}

// A relative move: past the end of the file it is not an error here, and the next read
// finds the end. Whether the walk ended past the end is judged once it is over.
void ArchiveReader::skipPayload(std::int32_t length) {
  input_.skip(static_cast<std::uint64_t>(length));
}

bool ArchiveReader::readAttributeBlock(std::int32_t length, std::vector<std::byte>& block) {
  const auto wanted = static_cast<std::size_t>(length);
  while (block.size() < wanted) {
    const std::size_t step = std::min(kReadStep, wanted - block.size());
    const std::size_t start = block.size();
    block.resize(start + step);
    if (!readExactly(std::span(block).subspan(start, step))) {
      return false;
    }
  }
  return true;
}

void ArchiveReader::dispatch(Tag tag, const AttributeList& attributes) {
  switch (tag) {
    case tags::kRoot:
      applyRootAttributes(attributes);
      break;
    case tags::kHead:
      applyHeadAttributes(attributes);
      break;
    case tags::kFileInfo:
      addFileEntry(attributes);
      break;
    default:
      break;  // any other chunk is only a container for its children
  }
}

// A child that stops the walk stops every level above it at once.
bool ArchiveReader::walkChildren(std::int32_t childrenLength) {
  std::int64_t remaining = childrenLength;
  while (remaining > 0) {
    const std::int64_t child = parseChunk();
    if (child == kEndOfData) {
      return false;
    }
    remaining -= child;
  }
  return true;
}

void ArchiveReader::applyRootAttributes(const AttributeList& attributes) {
  for (const Attribute& attribute : attributes) {
    switch (attribute.tag) {
      case tags::kVersion:
        archive_.header.version = valueAsU32(attribute.value);
        break;
      case tags::kFileLength:
        archive_.header.fileLength = valueAsU32(attribute.value);
        break;
      default:
        break;
    }
  }
}

void ArchiveReader::applyHeadAttributes(const AttributeList& attributes) {
  for (const Attribute& attribute : attributes) {
    switch (attribute.tag) {
      case tags::kGuid:
        archive_.header.guid = valueAsBytes<10>(attribute.value);
        break;
      case tags::kUuid:
        archive_.header.uuid = valueAsBytes<10>(attribute.value);
        break;
      case tags::kFileTime:
        archive_.header.fileTime = valueAsBytes<8>(attribute.value);
        break;
      case tags::kBindingDirection:
        archive_.header.bindingDirection = valueAsU32(attribute.value);
        break;
      default:
        if (const MetadataText* text = metadataTextOf(attribute.tag)) {
          archive_.metadata[static_cast<std::size_t>(text->field)] =
              valueAsWideText(attribute.value);
        }
        break;
    }
  }
}

// Every "FINF" chunk the walk applies adds a row, even one without attributes.
void ArchiveReader::addFileEntry(const AttributeList& attributes) {
  FileEntry entry;
  for (const Attribute& attribute : attributes) {
    switch (attribute.tag) {
      case tags::kName:
        entry.name = archive_.names.add(attribute.value);
        break;
      case tags::kPosition:
        entry.position = valueAsU32(attribute.value);
        break;
      case tags::kSize:
        entry.size = valueAsU32(attribute.value);
        break;
      case tags::kCrc32:
        entry.crc32 = valueAsU32(attribute.value);
        break;
      case tags::kModifiedTime:
        entry.modifiedTime = valueAsBytes<8>(attribute.value);
        break;
      default:
        break;
    }
  }
  archive_.entries.push_back(entry);
}

Extraction ArchiveReader::extract(std::size_t index) {
  if (index >= archive_.entries.size()) {
    return {ExtractStatus::cannotCreate,
            std::make_error_code(std::errc::invalid_argument),
            NameProblem::none,
            {}};
  }
  if (!extractor_) {
    if (const std::error_code error = workingDirectory_.openWorking()) {
      return {ExtractStatus::cannotCreate, error, NameProblem::none, {}};
    }
    extractor_ = std::make_unique<Extractor>(workingDirectory_);
  }
  return extractor_->extract(input_, archive_.entries[index]);
}

int ArchiveReader::extractEntry(std::size_t index) {
  if (index >= archive_.entries.size()) {
    return ResultNotAvailable;
  }
  return resultCode(extract(index));
}

}  // namespace kzb
