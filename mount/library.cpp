#include "library.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <utility>

#include "archive_reader.h"
#include "container_input.h"
#include "convert.h"
#include "entry_name.h"
#include "epub.h"
#include "extract.h"
#include "extraction_plan.h"
#include "utf8.h"

namespace kzb::mount {

namespace {

constexpr std::string_view kExtensions[] = {".kzb", ".KZB"};

// What a parse takes at its peak for each row of the table, its own row among it, with some
// to spare: about 210 bytes in the folders view, 270 in the CBZ view and 250 in the EPUB view,
// with names of 16 characters (bench/parse-memory measures it).
constexpr std::size_t kParseBytesPerRow = 320;

bool endsWith(std::string_view text, std::string_view end) {
  return text.size() > end.size() && text.substr(text.size() - end.size()) == end;
}

std::string joined(const std::string& directory, std::string_view name) {
  std::string path = directory;
  if (path.empty() || path.back() != '/') {
    path += '/';
  }
  path += name;
  return path;
}

std::vector<std::string> components(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t at = 0;
  while (at < path.size()) {
    const std::size_t next = std::min(path.find('/', at), path.size());
    if (next > at) {
      parts.push_back(path.substr(at, next - at));
    }
    at = next + 1;
  }
  return parts;
}

std::string describeWalk(const Walk& walk) {
  switch (walk.status) {
    case WalkStatus::readWhole:
      return "read whole";
    case WalkStatus::cannotOpen:
      return "cannot open: " + walk.error.message();
    case WalkStatus::readFailed:
      return "read failed: " + walk.error.message();
    case WalkStatus::malformed:
      return "damaged: a chunk cannot be walked";
    case WalkStatus::pastTheEnd:
      return "damaged: it ends before its chunks do";
  }
  return "damaged";
}

// Whether the open file is the one `stat` described: the same identity, size and time.
bool isSameFile(const InputFile& file, const SourceStat& stat) {
  return file.identity() == stat.identity && file.size() == stat.size &&
         file.modifiedTime() == stat.modifiedSeconds;
}

class PlainFile final : public OpenFile {
 public:
  explicit PlainFile(std::unique_ptr<InputFile> file) : file_(std::move(file)) {}
  std::size_t read(std::uint64_t offset, std::span<std::byte> out,
                   std::error_code& error) override {
    return file_->readAt(offset, out, error);
  }

 private:
  std::unique_ptr<InputFile> file_;
};

// One stored file: `size` bytes of the container from `start` on.
class EntryFile final : public OpenFile {
 public:
  EntryFile(std::shared_ptr<const InputFile> file, std::uint64_t start, std::uint64_t size)
      : file_(std::move(file)), start_(start), size_(size) {}
  std::size_t read(std::uint64_t offset, std::span<std::byte> out,
                   std::error_code& error) override {
    if (offset >= size_) {
      return 0;
    }
    out = out.first(static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), size_ - offset)));
    const std::size_t got = file_->readAt(start_ + offset, out, error);
    if (!error && got < out.size()) {
      error = std::make_error_code(std::errc::io_error);  // the container was cut since
    }
    return got;
  }

 private:
  std::shared_ptr<const InputFile> file_;
  std::uint64_t start_;
  std::uint64_t size_;
};

}  // namespace

struct Library::Parsed {
  SourceStat stat;  // of the container parsed
  // folders view: the files that stand once it is extracted, by name, and their names
  std::vector<PlannedFile> files;
  std::string names;
  // The container, open for as long as it is parsed, so that its files (or its book), read
  // one after another, are one stream to the system: its read-ahead runs on from one read to
  // the next, though the kernel sends each read on its own. None where it could not be
  // opened again (out of descriptors, say): each open then opens the container for itself.
  std::shared_ptr<const InputFile> file;
  std::unique_ptr<ZipLayout> layout;  // cbz and epub views

  std::string_view nameOf(const PlannedFile& planned) const {
    return std::string_view(names).substr(planned.nameStart, planned.nameSize);
  }
  const PlannedFile* fileNamed(std::string_view name) const {
    const auto found = std::lower_bound(
        files.begin(), files.end(), name,
        [this](const PlannedFile& each, std::string_view wanted) { return nameOf(each) < wanted; });
    return found != files.end() && nameOf(*found) == name ? &*found : nullptr;
  }
  // The memory it holds, as near as the cache needs it.
  std::size_t memoryUsed() const {
    const std::size_t bytes =
        sizeof(*this) + files.capacity() * sizeof(PlannedFile) + names.capacity();
    return bytes + (layout ? layout->memoryUsed() : 0);
  }
};

class BookFile final : public OpenFile {
 public:
  BookFile(std::shared_ptr<const InputFile> file, std::shared_ptr<const void> keep,
           const ZipLayout& layout)
      : file_(std::move(file)), keep_(std::move(keep)), layout_(layout) {}
  std::size_t read(std::uint64_t offset, std::span<std::byte> out,
                   std::error_code& error) override {
    return layout_.read(offset, out, *file_, error);
  }

 private:
  std::shared_ptr<const InputFile> file_;
  std::shared_ptr<const void> keep_;  // holds the layout while the cache may drop it
  const ZipLayout& layout_;
};

std::optional<std::string> mountWouldShowItself(const std::string& source,
                                                const std::string& mountPoint) {
  std::vector<FileIdentity> fromPoint;
  std::vector<FileIdentity> fromSource;
  if (identityChain(mountPoint, fromPoint) || fromPoint.empty()) {
    return std::nullopt;  // what cannot be looked at is for the mount itself to refuse
  }
  SourceStat stat;
  if (!statSource(source, stat) && stat.kind == SourceKind::file) {
    // One container: its folder is what the mount reads by path, and nothing else of it.
    if (fromPoint.front() == stat.identity) {
      return "the mount point is SOURCE itself";
    }
    const std::size_t slash = source.rfind('/');
    if (identityChain(slash == 0 ? "/" : source.substr(0, slash), fromSource) ||
        fromSource.empty()) {
      return std::nullopt;
    }
    if (fromPoint.front() == fromSource.front()) {
      return "the mount point is SOURCE's folder";
    }
  } else {
    if (identityChain(source, fromSource) || fromSource.empty()) {
      return std::nullopt;
    }
    if (fromPoint.front() == fromSource.front()) {
      return "the mount point is SOURCE itself";
    }
    if (std::find(fromPoint.begin(), fromPoint.end(), fromSource.front()) != fromPoint.end()) {
      return "the mount point is inside SOURCE";
    }
  }
  if (std::find(fromSource.begin(), fromSource.end(), fromPoint.front()) != fromSource.end()) {
    return "SOURCE is inside the mount point";
  }
  return std::nullopt;
}

Library::Library(std::string source, LibraryOptions options) : options_(std::move(options)) {
  SourceStat stat;
  if (!statSource(source, stat) && stat.kind == SourceKind::file) {
    const std::size_t slash = source.rfind('/');
    root_ = slash == 0 ? "/" : source.substr(0, slash);
    only_ = source.substr(slash + 1);
  } else {
    root_ = std::move(source);
  }
  options_.cacheEntries = std::max<std::size_t>(options_.cacheEntries, 1);
}

void Library::tellOnce(const std::string& line) {
  {
    const std::lock_guard lock(toldMutex_);
    if (!told_.insert(line).second) {
      return;
    }
  }
  tellUser(line, options_.toSystemLog);
}

bool Library::isOwnRoot(const SourceStat& stat) {
  if (options_.mountPoint.empty() || stat.kind != SourceKind::directory) {
    return false;
  }
  const std::lock_guard lock(ownMutex_);
  if (!ownDevice_) {
    std::uint64_t device = 0;
    if (mountedDevice(options_.mountPoint, "fuse.kzb", device)) {
      return false;  // not up yet: nothing of SOURCE can be it
    }
    ownDevice_ = device;
  }
  return stat.identity.device == *ownDevice_;
}

bool Library::isContainer(const std::string& name, const SourceStat& stat) {
  return stat.kind == SourceKind::file &&
         std::any_of(std::begin(kExtensions), std::end(kExtensions),
                     [&](std::string_view extension) { return endsWith(name, extension); });
}

std::string_view Library::bookExtension() const {
  switch (options_.view) {
    case View::cbz:
      return ".cbz";
    case View::epub:
      return ".epub";
    case View::folders:
      break;
  }
  return {};
}

std::optional<std::string> Library::viewName(const std::string& name) const {
  return options_.view == View::folders
             ? eachFolderName(name)
             : bookFileName(name, std::u16string(bookExtension().begin(), bookExtension().end()));
}

std::optional<std::string> Library::containerNamed(const std::string& directory,
                                                   const std::string& name) {
  std::string stem = name;
  if (const std::string_view extension = bookExtension(); !extension.empty()) {
    if (!endsWith(name, extension)) {
      return std::nullopt;
    }
    stem.resize(name.size() - extension.size());
  }
  for (const std::string_view extension : kExtensions) {
    const std::string candidate = stem + std::string(extension);
    if (only_ && candidate != *only_) {
      continue;
    }
    SourceStat stat;
    if (!statSource(joined(directory, candidate), stat) && isContainer(candidate, stat) &&
        viewName(candidate) == name) {
      return candidate;
    }
  }
  return std::nullopt;
}

std::shared_ptr<Library::Parsed> Library::parsedAt(const std::string& path, const SourceStat& stat,
                                                   std::error_code& error) {
  error.clear();
  const Key key{stat.identity.device, stat.identity.file, stat.size, stat.modifiedSeconds,
                stat.modifiedNanoseconds};
  {
    const std::lock_guard lock(mutex_);
    if (const auto found = cache_.find(key); found != cache_.end()) {
      recency_.splice(recency_.begin(), recency_, found->second.recency);
      return found->second.parsed;
    }
  }
  // One parse at a time: a parse holds its container's whole table for as long as it takes,
  // and the kernel asks from several threads at once, often for the same container.
  const std::lock_guard parsing(parseMutex_);
  {
    const std::lock_guard lock(mutex_);
    if (const auto found = cache_.find(key); found != cache_.end()) {
      recency_.splice(recency_.begin(), recency_, found->second.recency);
      return found->second.parsed;
    }
  }
  std::shared_ptr<Parsed> parsed = parse(path, stat, error);
  releaseFreeMemory();  // what the parse let go of goes back to the system, not to waste
  if (!parsed) {
    return nullptr;
  }
  const std::size_t bytes = parsed->memoryUsed();
  const std::lock_guard lock(mutex_);
  if (cache_.find(key) == cache_.end()) {
    recency_.push_front(key);
    cache_[key] = Slot{parsed, recency_.begin(), bytes};
    cachedBytes_ += bytes;
    while (cache_.size() > 1 &&
           (cache_.size() > options_.cacheEntries || cachedBytes_ > options_.cacheBytes)) {
      dropLeastRecent();
    }
  }
  return parsed;
}

void Library::dropLeastRecent() {
  const auto last = cache_.find(recency_.back());
  cachedBytes_ -= last->second.bytes;
  cache_.erase(last);
  recency_.pop_back();
}

void Library::makeRoom(std::size_t bytes) {
  const std::lock_guard lock(mutex_);
  while (!cache_.empty() && cachedBytes_ + bytes > options_.cacheBytes) {
    dropLeastRecent();
  }
}

std::shared_ptr<Library::Parsed> Library::parse(const std::string& path, const SourceStat& stat,
                                                std::error_code& error) {
  ArchiveReader reader(path);
  const Walk& walk = reader.walk();
  if (walk.status == WalkStatus::cannotOpen && isOutOfDescriptors(walk.error)) {
    error = walk.error;  // a look once files are closed finds it
    return nullptr;
  }
  if (walk.status == WalkStatus::cannotOpen) {
    tellOnce("kzb-mount: " + path + ": " + describeWalk(walk) + "; left out");
    return nullptr;
  }
  // As kzb extract and convert leave nothing for it, the views show nothing for a file of
  // which not even the first chunk can be read.
  if (walk.readNothing()) {
    tellOnce("kzb-mount: " + path + ": " +
             (walk.status == WalkStatus::malformed
                  ? "not a container (its first chunk cannot be read)"
                  : describeWalk(walk)) +
             "; left out");
    return nullptr;
  }
  if (!isSameFile(reader.input().file(), stat)) {
    // Replaced since it was looked at: the next look parses the new one under its own key.
    return nullptr;
  }
  if (!walk.readWhole()) {
    tellOnce("kzb-mount: " + path + ": " + describeWalk(walk) + "; showing what is intact");
  }
  // What the view makes of the table is made within the cache's bytes: containers parsed
  // earlier go first, so that a mount holds about the cache, or one parse, not both.
  makeRoom(reader.entries().size() * kParseBytesPerRow);
  auto parsed = std::make_shared<Parsed>();
  parsed->stat = stat;
  auto file = std::make_shared<InputFile>();
  if (!file->open(path) && isSameFile(*file, stat)) {
    file->expectSequentialReads();
    parsed->file = std::move(file);
  }
  ContainerInput& input = reader.input();
  if (options_.view == View::folders) {
    ExtractionPlan plan = planExtraction(input, reader.entries());
    parsed->files = std::move(plan.files);
    parsed->names = std::move(plan.names);
    return parsed;
  }
  auto layout = std::make_unique<ZipLayout>();
  ConvertOptions options;
  options.modified = std::chrono::sys_seconds{std::chrono::seconds{input.modifiedTime()}};
  options.application = options_.application;
  options.renumber = options_.renumber;
  ConvertResult result;
  if (options_.view == View::epub) {
    EpubOptions book;
    book.zip = options;
    book.language = options_.language;
    book.fallbackTitle = toUtf8(bookFileNameOf(path, u"").value_or(u""));
    const EpubResult made = layOutEpub(input, reader.archive(), book, *layout);
    result.status = made.status;
    result.error = made.error;
  } else {
    result = layOutCbz(input, reader.archive(), options, *layout);
  }
  if (result.status != ConvertStatus::complete) {
    tellOnce("kzb-mount: " + path + ": " + result.error.message() + "; left out");
    return nullptr;
  }
  if (result.namesOutOfOrder) {
    tellOnce("kzb-mount: " + path +
             ": note: readers sort pages by name, and these names sort out of the "
             "container's order; --renumber keeps it");
  }
  parsed->layout = std::move(layout);
  return parsed;
}

std::error_code Library::resolve(const std::string& path, Node& node) {
  const std::vector<std::string> parts = components(path);
  node = Node{};
  node.source = root_;
  if (const std::error_code error = statSource(root_, node.stat)) {
    return error;
  }
  std::string directory = root_;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string& name = parts[i];
    const bool last = i + 1 == parts.size();
    const bool inRoot = i == 0;
    const std::string candidate = joined(directory, name);
    SourceStat stat;
    const bool present = !(only_ && inRoot) && !statSource(candidate, stat);
    if (present && isOwnRoot(stat)) {
      return std::make_error_code(std::errc::no_such_file_or_directory);
    }
    if (present && !isContainer(name, stat) && stat.kind != SourceKind::other) {
      node = realNode(candidate, stat);
      if (stat.kind == SourceKind::directory) {
        directory = candidate;
        continue;
      }
      return last ? std::error_code{} : std::make_error_code(std::errc::not_a_directory);
    }
    std::shared_ptr<Parsed> parsed;
    if (const std::error_code error = viewNode(directory, name, node, parsed)) {
      return error;
    }
    if (options_.view != View::folders) {
      return last ? std::error_code{} : std::make_error_code(std::errc::not_a_directory);
    }
    if (last) {
      return {};
    }
    if (i + 2 != parts.size()) {
      return std::make_error_code(std::errc::no_such_file_or_directory);
    }
    const PlannedFile* file = parsed->fileNamed(parts[i + 1]);
    if (file == nullptr) {
      return std::make_error_code(std::errc::no_such_file_or_directory);
    }
    node.kind = Node::Kind::entry;
    node.dataOffset = file->offset;
    node.size = file->size;
    return {};
  }
  node.kind = Node::Kind::directory;
  return {};
}

Node Library::realNode(const std::string& path, const SourceStat& stat) {
  Node node;
  node.source = path;
  node.stat = stat;
  switch (stat.kind) {
    case SourceKind::directory:
      node.kind = Node::Kind::directory;
      break;
    case SourceKind::link:
      node.kind = Node::Kind::link;
      break;
    case SourceKind::file:
    case SourceKind::other:
      node.kind = Node::Kind::file;
      node.size = stat.size;
      break;
  }
  return node;
}

std::error_code Library::viewNode(const std::string& directory, const std::string& name, Node& node,
                                  std::shared_ptr<Parsed>& parsed) {
  const std::optional<std::string> container = containerNamed(directory, name);
  if (!container) {
    return std::make_error_code(std::errc::no_such_file_or_directory);
  }
  node = Node{};
  node.source = joined(directory, *container);
  if (const std::error_code error = statSource(node.source, node.stat)) {
    return error;
  }
  std::error_code error;
  parsed = parsedAt(node.source, node.stat, error);
  if (!parsed) {
    return error ? error : std::make_error_code(std::errc::no_such_file_or_directory);
  }
  if (options_.view == View::folders) {
    node.kind = Node::Kind::containerFolder;
    return {};
  }
  node.kind = Node::Kind::book;
  node.size = parsed->layout->size();
  return {};
}

std::error_code Library::list(const Node& node, std::vector<Listed>& entries) {
  entries.clear();
  if (node.kind == Node::Kind::containerFolder) {
    std::error_code error;
    const std::shared_ptr<Parsed> parsed = parsedAt(node.source, node.stat, error);
    if (!parsed) {
      return error ? error : std::make_error_code(std::errc::no_such_file_or_directory);
    }
    entries.reserve(parsed->files.size());
    for (const PlannedFile& file : parsed->files) {
      Node entry = node;
      entry.kind = Node::Kind::entry;
      entry.dataOffset = file.offset;
      entry.size = file.size;
      entries.push_back({std::string(parsed->nameOf(file)), std::move(entry)});
    }
    return {};
  }
  if (node.kind != Node::Kind::directory) {
    return std::make_error_code(std::errc::not_a_directory);
  }
  std::vector<std::string> present;
  if (const std::error_code error = listSource(node.source, present)) {
    return error;
  }
  const bool root = node.source == root_;
  std::map<std::string, Node> shown;
  std::vector<std::pair<std::string, std::string>> views;  // view name, container
  for (const std::string& name : present) {
    if (root && only_ && name != *only_) {
      continue;
    }
    const std::string path = joined(node.source, name);
    SourceStat stat;
    if (statSource(path, stat) || isOwnRoot(stat)) {
      continue;  // gone since it was listed, or the mount itself
    }
    if (isContainer(name, stat)) {
      if (const std::optional<std::string> view = viewName(name)) {
        views.emplace_back(*view, name);
      } else {
        tellOnce("kzb-mount: " + path + ": " + "its file name gives no " +
                 (options_.view == View::folders ? "folder name"
                  : options_.view == View::cbz   ? "name for the ZIP"
                                                 : "name for the EPUB") +
                 "; left out");
      }
    } else if (stat.kind != SourceKind::other && !(root && only_)) {
      shown.emplace(name, realNode(path, stat));
    }
  }
  for (const auto& [view, container] : views) {
    if (const auto taken = shown.find(view); taken != shown.end()) {
      if (taken->second.kind == Node::Kind::containerFolder ||
          taken->second.kind == Node::Kind::book) {
        continue;  // X.kzb and X.KZB: the one resolve() takes is shown already
      }
      tellOnce("kzb-mount: " + joined(node.source, container) + ": " + view +
               " stands beside it; left out");
      continue;
    }
    Node child;
    std::shared_ptr<Parsed> parsed;
    if (!viewNode(node.source, view, child, parsed)) {
      shown.emplace(view, std::move(child));
    }
  }
  for (auto& [name, child] : shown) {
    entries.push_back({name, std::move(child)});
  }
  return {};
}

std::size_t Library::Contents::size() const {
  return parsed_->files.size();
}

std::string_view Library::Contents::name(std::size_t index) const {
  return parsed_->nameOf(parsed_->files[index]);
}

Node Library::Contents::node(std::size_t index) const {
  const PlannedFile& file = parsed_->files[index];
  Node entry = folder_;
  entry.kind = Node::Kind::entry;
  entry.dataOffset = file.offset;
  entry.size = file.size;
  return entry;
}

std::optional<std::size_t> Library::Contents::find(std::string_view name) const {
  const PlannedFile* file = parsed_->fileNamed(name);
  return file != nullptr ? std::optional(static_cast<std::size_t>(file - parsed_->files.data()))
                         : std::nullopt;
}

std::error_code Library::contents(const Node& folder, Contents& contents) {
  if (folder.kind != Node::Kind::containerFolder) {
    return std::make_error_code(std::errc::not_a_directory);
  }
  std::error_code error;
  std::shared_ptr<Parsed> parsed = parsedAt(folder.source, folder.stat, error);
  if (!parsed) {
    return error ? error : std::make_error_code(std::errc::no_such_file_or_directory);
  }
  contents.parsed_ = std::move(parsed);
  contents.folder_ = folder;
  return {};
}

std::error_code Library::open(const Node& node, std::unique_ptr<OpenFile>& file) {
  const bool inContainer = node.kind == Node::Kind::entry || node.kind == Node::Kind::book;
  if (!inContainer && node.kind != Node::Kind::file) {
    return std::make_error_code(std::errc::is_a_directory);
  }
  std::error_code notParsed;
  const std::shared_ptr<Parsed> parsed =
      inContainer ? parsedAt(node.source, node.stat, notParsed) : nullptr;
  if (inContainer && !parsed) {
    return notParsed ? notParsed : std::make_error_code(std::errc::no_such_file_or_directory);
  }
  // The container parsed under node.stat's key is open already; anything else is opened and
  // checked to be the file node.stat describes. Either way the file holds its descriptor, so
  // it reads the container it was opened on whatever happens to the path since.
  std::shared_ptr<const InputFile> input = parsed ? parsed->file : nullptr;
  if (!input) {
    auto opened = std::make_unique<InputFile>();
    if (const std::error_code error = opened->open(node.source)) {
      return error;
    }
    if (!isSameFile(*opened, node.stat)) {
      return std::make_error_code(std::errc::no_such_file_or_directory);  // replaced just now
    }
    if (node.kind == Node::Kind::file) {
      file = std::make_unique<PlainFile>(std::move(opened));
      file->setNode(node);
      return {};
    }
    input = std::move(opened);
  }
  if (node.kind == Node::Kind::entry) {
    file = std::make_unique<EntryFile>(std::move(input), node.dataOffset, node.size);
  } else {
    file = std::make_unique<BookFile>(std::move(input), parsed, *parsed->layout);
  }
  file->setNode(node);
  return {};
}

}  // namespace kzb::mount
