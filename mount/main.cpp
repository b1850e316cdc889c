// kzb-mount SOURCE MOUNTPOINT [OPTIONS]: a library of containers as a read-only file system
// (library.h says what it shows), through libfuse 3's low-level API. Its command line is
// parsed as kzb's is (CLI11, the same conventions). It detaches once the mount is ready,
// unless -f; `fusermount3 -u MOUNTPOINT` ends it (or a signal with -f).
//
// The kernel knows each file by a number and holds as many as it likes (a listing of a folder
// of 200,000 files hands it 200,000). Only what stands in SOURCE itself (its directories,
// files and links, and the view each container shows) has a node here, kept while the kernel
// holds its number and let go when the kernel forgets it. A file of a container's folder has
// no node: its number is its folder's number beside its index in the folder's Contents, so
// whatever the kernel holds of a container's files costs nothing here.
#include <fuse_lowlevel.h>

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "epub.h"
#include "library.h"

namespace kzb::mount {
namespace {

// The exit statuses, as kzb's: the manual's EXIT STATUS section says the same.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;  // SOURCE cannot be read, or the mount could not be made
constexpr int kExitUsage = 2;    // the command line, or a mount that would show itself

// Names, their attributes and their absence are looked at again after a second, so a
// container replaced shows.
constexpr double kTimeout = 1.0;

// A file of a container's folder is numbered (folder's number << 32) + its index + 1; a node's
// number stays below 1 << 32, so the two never meet.
constexpr unsigned kIndexBits = 32;
constexpr fuse_ino_t kMostNodes = (fuse_ino_t{1} << kIndexBits) - 1;
constexpr fuse_ino_t kMostIndex = kMostNodes - 1;
// The number of a listed name whose node is not made for the listing alone (readdir without
// attributes), as libfuse's high-level API gives it too.
constexpr fuse_ino_t kUnknownNumber = 0xffffffff;

bool isEntryNumber(fuse_ino_t number) {
  return number > kMostNodes;
}
fuse_ino_t entryNumber(fuse_ino_t folder, std::size_t index) {
  return (folder << kIndexBits) + index + 1;
}

std::string childPath(const std::string& directory, const std::string& name) {
  return directory == "/" ? "/" + name : directory + "/" + name;
}

int fail(const std::error_code& error) {
  return error.category() == std::generic_category() || error.category() == std::system_category()
             ? error.value()
             : EIO;
}

void fill(const Node& node, fuse_ino_t number, struct stat& out) {
  out = {};
  out.st_ino = number;
  const auto seconds = static_cast<time_t>(node.stat.modifiedSeconds);
  const auto nanoseconds = static_cast<long>(node.stat.modifiedNanoseconds);
  out.st_mtim = {seconds, nanoseconds};
  out.st_ctim = out.st_mtim;
  out.st_atim = out.st_mtim;
  out.st_uid = node.stat.owner;  // a container's views and files are its owner's
  out.st_gid = node.stat.group;
  const auto readOnly = static_cast<mode_t>(node.stat.permissions & ~0222u);
  switch (node.kind) {
    case Node::Kind::directory:
      out.st_mode = S_IFDIR | readOnly;
      out.st_nlink = 2;
      break;
    case Node::Kind::containerFolder:
      out.st_mode = S_IFDIR | 0555;
      out.st_nlink = 2;
      break;
    case Node::Kind::link:
      out.st_mode = S_IFLNK | 0777;
      out.st_nlink = 1;
      out.st_size = static_cast<off_t>(node.stat.size);
      break;
    case Node::Kind::file:
      out.st_mode = S_IFREG | readOnly;
      out.st_nlink = 1;
      out.st_size = static_cast<off_t>(node.size);
      break;
    case Node::Kind::entry:
    case Node::Kind::book:
      out.st_mode = S_IFREG | 0444;
      out.st_nlink = 1;
      out.st_size = static_cast<off_t>(node.size);
      break;
  }
  out.st_blksize = 65536;
  out.st_blocks = (out.st_size + 511) / 512;
}

// Whether `now`, what a node's path resolves to now, is still what the node stood for: the
// same file, and for a container's view the same container (identity, size and time), since
// its size and its files are that container's.
bool sameThing(const Node& kept, const Node& now) {
  if (kept.kind != now.kind || kept.stat.identity != now.stat.identity) {
    return false;
  }
  const bool view = kept.kind == Node::Kind::containerFolder || kept.kind == Node::Kind::book;
  return !view ||
         (kept.stat.size == now.stat.size && kept.stat.modifiedSeconds == now.stat.modifiedSeconds &&
          kept.stat.modifiedNanoseconds == now.stat.modifiedNanoseconds);
}

// The nodes of what stands in SOURCE, each with the count of lookups the kernel has not yet
// forgotten. A path keeps its number while it stands for the same thing (sameThing); a
// container replaced, or changed in place, takes a new number, so that a number the kernel
// holds never leads to another container than the one it was given for.
class Nodes {
 public:
  struct Kept {
    std::string path;  // the mount's own
    Node node;         // as it was when numbered
    std::uint64_t generation = 0;
    std::uint64_t lookups = 0;
  };

  explicit Nodes(const Node& root) { byNumber_[FUSE_ROOT_ID] = Kept{"/", root, 0, 1}; }

  // The number of `node` at `path`, its lookups counted one more.
  fuse_ino_t keep(const std::string& path, const Node& node, std::uint64_t& generation) {
    const std::lock_guard lock(mutex_);
    const Version version = versionOf(path, node);
    if (const auto found = byVersion_.find(version); found != byVersion_.end()) {
      Kept& kept = byNumber_.at(found->second);
      ++kept.lookups;
      generation = kept.generation;
      return found->second;
    }
    // Numbers are given once each, until they run out: then the generation tells a number
    // given again from the one the kernel may still hold of a container's files.
    while (next_ > kMostNodes || byNumber_.contains(next_)) {
      if (next_ > kMostNodes) {
        next_ = FUSE_ROOT_ID + 1;
        ++generation_;
      } else {
        ++next_;
      }
    }
    const fuse_ino_t number = next_++;
    byNumber_[number] = Kept{path, node, generation_, 1};
    byVersion_[version] = number;
    generation = generation_;
    return number;
  }
  // Counts one more lookup of a number still held, if it is.
  bool keepAgain(fuse_ino_t number) {
    const std::lock_guard lock(mutex_);
    const auto found = byNumber_.find(number);
    if (found == byNumber_.end()) {
      return false;
    }
    ++found->second.lookups;
    return true;
  }
  std::optional<Kept> find(fuse_ino_t number) {
    const std::lock_guard lock(mutex_);
    const auto found = byNumber_.find(number);
    return found != byNumber_.end() ? std::optional(found->second) : std::nullopt;
  }
  void forget(fuse_ino_t number, std::uint64_t lookups) {
    if (number == FUSE_ROOT_ID || isEntryNumber(number)) {
      return;  // the root is held for as long as the mount; a file of a folder has no node
    }
    const std::lock_guard lock(mutex_);
    const auto found = byNumber_.find(number);
    if (found == byNumber_.end()) {
      return;
    }
    Kept& kept = found->second;
    kept.lookups -= std::min(kept.lookups, lookups);
    if (kept.lookups == 0) {
      byVersion_.erase(versionOf(kept.path, kept.node));
      byNumber_.erase(found);
    }
  }

 private:
  struct Version {
    std::string path;
    Node::Kind kind = Node::Kind::directory;
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    std::uint64_t size = 0;
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
    bool operator<(const Version& other) const {
      return std::tie(path, kind, device, file, size, seconds, nanoseconds) <
             std::tie(other.path, other.kind, other.device, other.file, other.size, other.seconds,
                      other.nanoseconds);
    }
  };
  static Version versionOf(const std::string& path, const Node& node) {
    Version version{path, node.kind, node.stat.identity.device, node.stat.identity.file};
    if (node.kind == Node::Kind::containerFolder || node.kind == Node::Kind::book) {
      version.size = node.stat.size;
      version.seconds = node.stat.modifiedSeconds;
      version.nanoseconds = node.stat.modifiedNanoseconds;
    }
    return version;
  }

  std::mutex mutex_;
  std::unordered_map<fuse_ino_t, Kept> byNumber_;
  std::map<Version, fuse_ino_t> byVersion_;
  fuse_ino_t next_ = FUSE_ROOT_ID + 1;
  std::uint64_t generation_ = 0;
};

// A file open on the mount: what it reads, where, and under which number.
struct Opened {
  std::unique_ptr<OpenFile> file;
  std::string path;
  fuse_ino_t number = 0;
};

// The files open by each path of the mount. A file opened on another container than one still
// open at its path (the container was replaced in between) reads past the kernel's cache of
// pages, so that neither file can ever be given the other's bytes, whatever numbers they have.
class OpenPaths {
 public:
  OpenPaths() = default;
  OpenPaths(const OpenPaths&) = delete;
  OpenPaths& operator=(const OpenPaths&) = delete;
  // A file still open when the mount ends (by a signal, or a lazy unmount) gets no release():
  // it goes with the mount.
  ~OpenPaths() {
    for (const auto& [number, files] : byNumber_) {
      for (const Opened* file : files) {
        delete file;
      }
    }
  }
  // Whether `file`, about to be opened at its path, must bypass the kernel's cache.
  bool add(Opened* file) {
    const std::lock_guard lock(mutex_);
    std::vector<Opened*>& open = byPath_[file->path];
    const bool differs = std::any_of(open.begin(), open.end(), [&](const Opened* other) {
      return !sameContainer(other->file->node(), file->file->node());
    });
    open.push_back(file);
    byNumber_[file->number].push_back(file);
    return differs;
  }
  // A file open at `path` on the container `node` stands for as it was before it changed in
  // place (the same file, another size or time), if any: while it is open, the path keeps its
  // number and attributes, so the kernel goes on reading it to the end it was opened with.
  std::optional<std::pair<fuse_ino_t, Node>> changedInPlace(const std::string& path,
                                                            const Node& node) {
    const std::lock_guard lock(mutex_);
    const auto found = byPath_.find(path);
    if (found == byPath_.end()) {
      return std::nullopt;
    }
    for (const Opened* open : found->second) {
      const Node& was = open->file->node();
      if (was.stat.identity == node.stat.identity && !sameContainer(was, node)) {
        return std::pair(open->number, was);
      }
    }
    return std::nullopt;
  }
  // What a file open under `number` was opened on, if one is: the number's attributes while
  // it is open, whatever its path shows now.
  std::optional<Node> openOn(fuse_ino_t number) {
    const std::lock_guard lock(mutex_);
    const auto found = byNumber_.find(number);
    return found != byNumber_.end() ? std::optional(found->second.front()->file->node())
                                    : std::nullopt;
  }
  void remove(Opened* file) {
    const std::lock_guard lock(mutex_);
    drop(byPath_, file->path, file);
    drop(byNumber_, file->number, file);
  }

 private:
  static bool sameContainer(const Node& a, const Node& b) {
    return a.stat.identity == b.stat.identity && a.stat.size == b.stat.size &&
           a.stat.modifiedSeconds == b.stat.modifiedSeconds &&
           a.stat.modifiedNanoseconds == b.stat.modifiedNanoseconds;
  }
  template <typename Map, typename Key>
  static void drop(Map& map, const Key& key, Opened* file) {
    const auto found = map.find(key);
    if (found == map.end()) {
      return;
    }
    std::erase(found->second, file);
    if (found->second.empty()) {
      map.erase(found);
    }
  }
  std::mutex mutex_;
  std::map<std::string, std::vector<Opened*>> byPath_;
  std::map<fuse_ino_t, std::vector<Opened*>> byNumber_;
};

struct Mount {
  Library& library;
  Nodes nodes;
  OpenPaths open;
};

Mount& mountOf(fuse_req_t request) {
  return *static_cast<Mount*>(fuse_req_userdata(request));
}

// What a number stands for now: its path, what the path resolves to, and whether that is no
// longer what the number was given for (a node whose path shows another thing now, or a
// file of a container that can no longer be read as it was).
struct Current {
  std::string path;
  Node node;
  bool stale = false;
};

std::error_code current(Mount& mount, fuse_ino_t number, Current& out) {
  if (isEntryNumber(number)) {
    const std::optional<Nodes::Kept> folder = mount.nodes.find(number >> kIndexBits);
    Library::Contents contents;
    const std::size_t index = (number & kMostNodes) - 1;
    if (!folder || mount.library.contents(folder->node, contents) || index >= contents.size()) {
      out.stale = true;
      return {};
    }
    out.path = childPath(folder->path, std::string(contents.name(index)));
    out.node = contents.node(index);
    return {};
  }
  const std::optional<Nodes::Kept> kept = mount.nodes.find(number);
  if (!kept) {
    out.stale = true;
    return {};
  }
  out.path = kept->path;
  if (const std::error_code error = mount.library.resolve(kept->path, out.node)) {
    return error;
  }
  // The root is whatever SOURCE is: the kernel never looks it up again.
  out.stale = number != FUSE_ROOT_ID && !sameThing(kept->node, out.node);
  return {};
}

void replyEntry(fuse_req_t request, fuse_ino_t number, std::uint64_t generation,
                const Node& node) {
  fuse_entry_param entry{};
  entry.ino = number;
  entry.generation = generation;
  fill(node, number, entry.attr);
  entry.attr_timeout = kTimeout;
  entry.entry_timeout = kTimeout;
  static_cast<void>(fuse_reply_entry(request, &entry));
}

void replyError(fuse_req_t request, int error) {
  static_cast<void>(fuse_reply_err(request, error));
}

void lookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
  Mount& mount = mountOf(request);
  const std::optional<Nodes::Kept> directory =
      isEntryNumber(parent) ? std::nullopt : mount.nodes.find(parent);
  if (!directory) {
    replyError(request, isEntryNumber(parent) ? ENOTDIR : ESTALE);
    return;
  }
  const std::string path = childPath(directory->path, name);
  Node node;
  std::optional<fuse_ino_t> entry;  // a file of a container's folder: its number
  std::error_code error;
  if (directory->node.kind == Node::Kind::containerFolder) {
    Library::Contents contents;
    error = mount.library.contents(directory->node, contents);
    const std::optional<std::size_t> index = error ? std::nullopt : contents.find(name);
    if (index && *index <= kMostIndex) {
      node = contents.node(*index);
      entry = entryNumber(parent, *index);
    } else if (!error) {
      error = std::make_error_code(std::errc::no_such_file_or_directory);
    }
  } else {
    error = mount.library.resolve(path, node);
  }
  if (error == std::errc::no_such_file_or_directory) {
    // The name is absent: that too is taken for a second.
    fuse_entry_param absent{};
    absent.entry_timeout = kTimeout;
    static_cast<void>(fuse_reply_entry(request, &absent));
    return;
  }
  if (error) {
    replyError(request, fail(error));
    return;
  }
  if (const auto open = mount.open.changedInPlace(path, node)) {
    // The open file's number is held by the kernel, and with it the node of its folder.
    const bool entryOpen = isEntryNumber(open->first);
    const std::optional<Nodes::Kept> kept =
        mount.nodes.find(entryOpen ? open->first >> kIndexBits : open->first);
    if (kept && (entryOpen || mount.nodes.keepAgain(open->first))) {
      replyEntry(request, open->first, kept->generation, open->second);
      return;
    }
  }
  if (entry) {
    replyEntry(request, *entry, directory->generation, node);
    return;
  }
  std::uint64_t generation = 0;
  const fuse_ino_t number = mount.nodes.keep(path, node, generation);
  replyEntry(request, number, generation, node);
}

void forget(fuse_req_t request, fuse_ino_t number, std::uint64_t lookups) {
  mountOf(request).nodes.forget(number, lookups);
  fuse_reply_none(request);
}

void forgetMulti(fuse_req_t request, std::size_t count, fuse_forget_data* forgets) {
  Mount& mount = mountOf(request);
  for (std::size_t i = 0; i < count; ++i) {
    mount.nodes.forget(forgets[i].ino, forgets[i].nlookup);
  }
  fuse_reply_none(request);
}

// libfuse keeps each open file's handle as an integer; it is the Opened that open() made, or
// the Listing that opendir() made.
template <typename T>
T* handle(const fuse_file_info* file) {
  return reinterpret_cast<T*>(  // NOLINT(performance-no-int-to-ptr)
      static_cast<std::uintptr_t>(file->fh));
}

// An open file's attributes are those it was opened with: the kernel asks for them with the
// file's handle before reading on (to learn whether its cache still holds), and a path that
// now shows another container must not cut the open file short or drop its cached pages.
void getattr(fuse_req_t request, fuse_ino_t number, fuse_file_info* file) {
  Mount& mount = mountOf(request);
  struct stat attributes {};
  if (file != nullptr && file->fh != 0) {
    fill(handle<Opened>(file)->file->node(), number, attributes);
    static_cast<void>(fuse_reply_attr(request, &attributes, kTimeout));
    return;
  }
  if (const std::optional<Node> open = mount.open.openOn(number)) {
    fill(*open, number, attributes);
    static_cast<void>(fuse_reply_attr(request, &attributes, kTimeout));
    return;
  }
  Current now;
  if (const std::error_code error = current(mount, number, now)) {
    replyError(request, fail(error));
    return;
  }
  if (now.stale) {
    replyError(request, ESTALE);  // the kernel looks the path up again
    return;
  }
  const auto open = mount.open.changedInPlace(now.path, now.node);
  fill(open ? open->second : now.node, number, attributes);
  static_cast<void>(fuse_reply_attr(request, &attributes, kTimeout));
}

void readlink(fuse_req_t request, fuse_ino_t number) {
  Current now;
  if (const std::error_code error = current(mountOf(request), number, now)) {
    replyError(request, fail(error));
    return;
  }
  if (now.stale || now.node.kind != Node::Kind::link) {
    replyError(request, now.stale ? ESTALE : EINVAL);
    return;
  }
  std::string target;
  if (const std::error_code error = readSourceLink(now.node.source, target)) {
    replyError(request, fail(error));
    return;
  }
  static_cast<void>(fuse_reply_readlink(request, target.c_str()));
}

// A folder open for listing: what it held at the listing's start, so that each part of the
// listing the kernel asks for (by its offset) is of the same listing.
struct Listing {
  std::string path;
  Node node;
  std::vector<Library::Listed> listed;  // a directory of SOURCE
  Library::Contents contents;           // a container's folder
  bool made = false;
};

void opendir(fuse_req_t request, fuse_ino_t number, fuse_file_info* file) {
  Current now;
  if (const std::error_code error = current(mountOf(request), number, now)) {
    replyError(request, fail(error));
    return;
  }
  if (now.stale) {
    replyError(request, ESTALE);
    return;
  }
  if (now.node.kind != Node::Kind::directory && now.node.kind != Node::Kind::containerFolder) {
    replyError(request, ENOTDIR);
    return;
  }
  auto listing = std::make_unique<Listing>();
  listing->path = std::move(now.path);
  listing->node = std::move(now.node);
  file->fh = reinterpret_cast<std::uintptr_t>(listing.get());
  if (fuse_reply_open(request, file) == 0) {
    static_cast<void>(listing.release());  // releasedir() deletes it
  }
}

// Each name comes with its attributes where the kernel asks for them (readdirplus): it takes
// them as it would a lookup of each, and a listing costs no round trip per entry. Offsets are
// positions in the listing: "." and ".." first, then each name.
void list(fuse_req_t request, fuse_ino_t number, std::size_t size, off_t offset,
          fuse_file_info* file, bool plus) {
  Mount& mount = mountOf(request);
  Listing& listing = *handle<Listing>(file);
  const bool folder = listing.node.kind == Node::Kind::containerFolder;
  if (offset == 0 || !listing.made) {  // the listing's start, or rewinddir
    const std::error_code error = folder
                                      ? mount.library.contents(listing.node, listing.contents)
                                      : mount.library.list(listing.node, listing.listed);
    if (error) {
      replyError(request, fail(error));
      return;
    }
    listing.made = true;
  }
  const std::size_t count = 2 + (folder ? listing.contents.size() : listing.listed.size());
  const std::optional<Nodes::Kept> self = mount.nodes.find(number);
  std::vector<char> buffer(size);
  std::size_t used = 0;
  for (auto at = static_cast<std::size_t>(std::max<off_t>(offset, 0)); at < count; ++at) {
    // Each name ends in a zero for libfuse, which takes a C string.
    const std::string name = at == 0   ? std::string(".")
                             : at == 1 ? std::string("..")
                             : folder  ? std::string(listing.contents.name(at - 2))
                                       : listing.listed[at - 2].name;
    const std::size_t needed = plus ? fuse_add_direntry_plus(request, nullptr, 0, name.c_str(),
                                                             nullptr, 0)
                                    : fuse_add_direntry(request, nullptr, 0, name.c_str(),
                                                        nullptr, 0);
    if (used + needed > size) {
      break;
    }
    fuse_entry_param entry{};
    const Node node = at < 2    ? listing.node
                      : folder ? listing.contents.node(at - 2)
                               : listing.listed[at - 2].node;
    if (at < 2) {
      // Not looked up: the kernel counts no lookup of "." or "..".
      fill(node, at == 0 ? number : kUnknownNumber, entry.attr);
    } else if (folder && at - 2 <= kMostIndex) {
      entry.ino = entryNumber(number, at - 2);
      entry.generation = self ? self->generation : 0;
    } else if (plus && !folder) {
      entry.ino = mount.nodes.keep(childPath(listing.path, name), node, entry.generation);
    }
    if (at >= 2) {
      fill(node, entry.ino != 0 ? entry.ino : kUnknownNumber, entry.attr);
    }
    entry.attr_timeout = kTimeout;
    entry.entry_timeout = kTimeout;
    const auto next = static_cast<off_t>(at + 1);
    if (plus) {
      used += fuse_add_direntry_plus(request, buffer.data() + used, size - used, name.c_str(),
                                     &entry, next);
    } else {
      used += fuse_add_direntry(request, buffer.data() + used, size - used, name.c_str(),
                                &entry.attr, next);
    }
  }
  static_cast<void>(fuse_reply_buf(request, buffer.data(), used));
}

void readdir(fuse_req_t request, fuse_ino_t number, std::size_t size, off_t offset,
             fuse_file_info* file) {
  list(request, number, size, offset, file, false);
}

void readdirplus(fuse_req_t request, fuse_ino_t number, std::size_t size, off_t offset,
                 fuse_file_info* file) {
  list(request, number, size, offset, file, true);
}

void releasedir(fuse_req_t request, fuse_ino_t /*number*/, fuse_file_info* file) {
  delete handle<Listing>(file);
  replyError(request, 0);
}

// The kernel's open and release cost a round trip each, but only an open file can keep the
// container it was opened on: reads by number alone would read whatever the number shows now.
// FUSE_CAP_NO_OPEN_SUPPORT is therefore left unused.
void open(fuse_req_t request, fuse_ino_t number, fuse_file_info* file) {
  if ((file->flags & O_ACCMODE) != O_RDONLY) {
    replyError(request, EROFS);
    return;
  }
  Mount& mount = mountOf(request);
  Current now;
  if (const std::error_code error = current(mount, number, now)) {
    replyError(request, fail(error));
    return;
  }
  if (now.stale) {
    replyError(request, ESTALE);
    return;
  }
  auto opened = std::make_unique<Opened>();
  if (const std::error_code error = mount.library.open(now.node, opened->file)) {
    replyError(request, fail(error));
    return;
  }
  opened->path = std::move(now.path);
  opened->number = number;
  if (mount.open.add(opened.get())) {
    file->direct_io = 1;
  }
  file->fh = reinterpret_cast<std::uintptr_t>(opened.get());
  if (fuse_reply_open(request, file) == 0) {
    static_cast<void>(opened.release());  // release() deletes it
  } else {
    mount.open.remove(opened.get());  // interrupted: no release() follows
  }
}

// Reads the container the file was opened on. Where its bytes are gone, the read fails as a
// whole: a reader never gets a short read, or bytes of two containers.
void read(fuse_req_t request, fuse_ino_t /*number*/, std::size_t size, off_t offset,
          fuse_file_info* file) {
  thread_local std::vector<std::byte> buffer;
  buffer.resize(size);
  std::error_code error;
  const std::size_t got = handle<Opened>(file)->file->read(
      static_cast<std::uint64_t>(offset), std::span(buffer.data(), size), error);
  if (error) {
    replyError(request, fail(error));
    return;
  }
  static_cast<void>(fuse_reply_buf(request, reinterpret_cast<const char*>(buffer.data()), got));
}

void release(fuse_req_t request, fuse_ino_t /*number*/, fuse_file_info* file) {
  auto* opened = handle<Opened>(file);
  mountOf(request).open.remove(opened);
  delete opened;
  replyError(request, 0);
}

// Runs one request. Memory running out while it is served (a parse of a container larger
// than the process may hold, under a limit) fails that request alone, with ENOMEM: an
// exception that reached libfuse's C would end the mount for every reader.
template <auto Operation, typename... Arguments>
void guarded(fuse_req_t request, Arguments... arguments) {
  try {
    Operation(request, arguments...);
  } catch (const std::bad_alloc&) {
    fuse_reply_err(request, ENOMEM);
  } catch (const std::exception&) {
    fuse_reply_err(request, EIO);
  }
}

// A forget has no answer but none, whatever happens.
template <auto Operation, typename... Arguments>
void guardedForget(fuse_req_t request, Arguments... arguments) {
  try {
    Operation(request, arguments...);
  } catch (const std::exception&) {
    fuse_reply_none(request);  // the node stays: a number kept too long, never one reused
  }
}

fuse_lowlevel_ops operations() {
  fuse_lowlevel_ops ops{};
  ops.lookup = guarded<lookup>;
  ops.forget = guardedForget<forget>;
  ops.forget_multi = guardedForget<forgetMulti>;
  ops.getattr = guarded<getattr>;
  ops.readlink = guarded<readlink>;
  ops.opendir = guarded<opendir>;
  ops.readdir = guarded<readdir>;
  ops.readdirplus = guarded<readdirplus>;
  ops.releasedir = guarded<releasedir>;
  ops.open = guarded<open>;
  ops.read = guarded<read>;
  ops.release = guarded<release>;
  return ops;
}

struct Arguments {
  std::string source;
  std::string mountpoint;
  View view = View::folders;
  bool foreground = false;
  bool renumber = false;
  std::string language = "und";
  std::size_t cacheEntries = 256;
  std::size_t cacheMebibytes = 32;
};

// The usage line as kzb-mount takes its operands, and each option with its value's name alone.
class Formatter : public CLI::Formatter {
 public:
  std::string make_usage(const CLI::App* /*app*/, std::string /*name*/) const override {
    return "Usage: kzb-mount [OPTIONS] SOURCE MOUNTPOINT\n";
  }
  std::string make_option_opts(const CLI::Option* option) const override {
    return option->get_type_name().empty() ? "" : " " + option->get_type_name();
  }
};

// A count: decimal digits alone, 1 to `most`; 0 for anything else.
std::size_t countOf(std::string_view text, std::size_t most) {
  if (text.empty() || text.size() > 9) {
    return 0;
  }
  std::size_t count = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return 0;
    }
    count = count * 10 + static_cast<std::size_t>(c - '0');
  }
  return count <= most ? count : 0;
}

constexpr std::string_view kFooter =
    "fusermount3 -u MOUNTPOINT unmounts. Exit status: 0 mounted and later unmounted, 1 SOURCE\n"
    "cannot be read or the mount failed, 2 usage (a MOUNTPOINT inside SOURCE included).";

struct Parsed {
  enum class Kind { run, help, version, usageError } kind = Kind::usageError;
  std::string text;
};

Parsed parseCommandLine(int argc, char** argv, Arguments& arguments) {
  CLI::App app{"Show SOURCE (a KZB container or a directory of them) read-only at MOUNTPOINT.",
               "kzb-mount"};
  auto formatter = std::make_shared<Formatter>();
  formatter->column_width(24);
  app.formatter(formatter);
  app.set_help_flag("-h,--help", "print this help and exit");
  app.allow_windows_style_options(false);
  app.footer(std::string(kFooter));
  CLI::Option* version = app.add_flag("--version")->description("print the version and exit");
  app.add_option("SOURCE", arguments.source, "a container, or a directory of them")
      ->type_name("")
      ->required();
  app.add_option("MOUNTPOINT", arguments.mountpoint, "an existing directory outside SOURCE")
      ->type_name("")
      ->required();
  app.add_option_function<std::string>(
         "--as",
         [&arguments](const std::string& view) {
           if (view != "folders" && view != "cbz" && view != "epub") {
             throw CLI::ValidationError("--as", "takes folders, cbz or epub, not '" + view + "'");
           }
           arguments.view = view == "cbz" ? View::cbz : view == "epub" ? View::epub : View::folders;
         },
         "folders (the default), cbz or epub")
      ->type_name("VIEW")
      ->allow_extra_args(false);
  app.add_flag("-f,--foreground", arguments.foreground,
               "stay in the foreground, telling on standard error");
  app.add_flag("--renumber", arguments.renumber,
               "number names (cbz) or labels (epub) as kzb convert --renumber");
  app.add_option_function<std::string>(
         "--language",
         [&arguments](const std::string& tag) {
           if (!isLanguageTag(tag)) {
             throw CLI::ValidationError(
                 "--language", "takes a BCP 47 tag such as ko or en-US, not '" + tag + "'");
           }
           arguments.language = tag;
         },
         "epub: the book's language, as kzb convert --language (und)")
      ->type_name("TAG")
      ->allow_extra_args(false);
  app.add_option_function<std::string>(
         "--cache",
         [&arguments](const std::string& count) {
           arguments.cacheEntries = countOf(count, 1000000);
           if (arguments.cacheEntries == 0) {
             throw CLI::ValidationError(
                 "--cache", "takes a count of containers, 1 or more, not '" + count + "'");
           }
         },
         "keep at most N parsed containers (256)")
      ->type_name("N")
      ->allow_extra_args(false);
  app.add_option_function<std::string>(
         "--cache-size",
         [&arguments](const std::string& size) {
           arguments.cacheMebibytes = countOf(size, 1 << 20);
           if (arguments.cacheMebibytes == 0) {
             throw CLI::ValidationError("--cache-size",
                                        "takes a size in MiB, 1 or more, not '" + size + "'");
           }
         },
         "keep parsed containers of at most MIB MiB in all (32)")
      ->type_name("MIB")
      ->allow_extra_args(false);

  std::vector<std::string> reversed;  // CLI11 takes the arguments last first
  for (int i = argc - 1; i > 0; --i) {
    reversed.emplace_back(argv[i]);
  }
  Parsed parsed;
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    return {Parsed::Kind::help, app.help()};
  } catch (const CLI::ParseError& error) {
    if (version->count() > 0) {
      return {Parsed::Kind::version, "kzb-mount " KZB_VERSION "\n"};
    }
    std::string text = error.what();
    std::replace(text.begin(), text.end(), '\n', ' ');
    return {Parsed::Kind::usageError, text};
  }
  if (version->count() > 0) {
    return {Parsed::Kind::version, "kzb-mount " KZB_VERSION "\n"};
  }
  return {Parsed::Kind::run, {}};
}

int run(int argc, char** argv) {
  useOneHeap();  // before libfuse starts its threads
  Arguments arguments;
  const Parsed parsed = parseCommandLine(argc, argv, arguments);
  switch (parsed.kind) {
    case Parsed::Kind::help:
    case Parsed::Kind::version:
      static_cast<void>(std::fputs(parsed.text.c_str(), stdout));
      return kExitSuccess;
    case Parsed::Kind::usageError:
      static_cast<void>(
          std::fprintf(stderr, "kzb-mount: %s (see 'kzb-mount --help')\n", parsed.text.c_str()));
      return kExitUsage;
    case Parsed::Kind::run:
      break;
  }
  std::error_code error;
  const std::string given = arguments.source;
  arguments.source = std::filesystem::canonical(given, error).string();
  if (error) {
    static_cast<void>(
        std::fprintf(stderr, "kzb-mount: %s: %s\n", given.c_str(), error.message().c_str()));
    return kExitFailure;
  }
  // A mount that shows itself would wait on itself for good at the first look.
  if (const std::optional<std::string> why =
          mountWouldShowItself(arguments.source, arguments.mountpoint)) {
    static_cast<void>(std::fprintf(stderr,
                                   "kzb-mount: %s: %s; the mount would show itself, refused\n",
                                   arguments.mountpoint.c_str(), why->c_str()));
    return kExitUsage;
  }
  LibraryOptions options;
  options.view = arguments.view;
  options.cacheEntries = arguments.cacheEntries;
  options.cacheBytes = arguments.cacheMebibytes << 20;
  options.renumber = arguments.renumber;
  options.language = arguments.language;
  options.mountPoint = std::filesystem::weakly_canonical(arguments.mountpoint, error).string();
  options.toSystemLog = !arguments.foreground;
  options.application = "kzb/" KZB_VERSION;  // the CBZ is the one kzb convert writes
  Library shown(arguments.source, options);

  // As libfuse's own command line takes a mount point: the path with its links resolved.
  const std::string point = std::filesystem::canonical(arguments.mountpoint, error).string();
  if (error) {
    static_cast<void>(std::fprintf(stderr, "fuse: bad mount point `%s': %s\n",
                                   arguments.mountpoint.c_str(),
                                   error.message().c_str()));
    return kExitFailure;
  }
  std::string fsname;  // libfuse's options take a backslash before a comma or a backslash
  for (const char c : arguments.source) {
    fsname += c == ',' || c == '\\' ? std::string{'\\', c} : std::string(1, c);
  }
  std::vector<std::string> fuseArguments = {"kzb-mount", "-o",
                                            "ro,fsname=" + fsname + ",subtype=kzb"};
  std::vector<char*> fuseArgv;
  fuseArgv.reserve(fuseArguments.size() + 1);
  for (std::string& argument : fuseArguments) {
    fuseArgv.push_back(argument.data());
  }
  fuseArgv.push_back(nullptr);
  fuse_args fuseArgs = FUSE_ARGS_INIT(static_cast<int>(fuseArguments.size()), fuseArgv.data());

  Node root;
  static_cast<void>(shown.resolve("/", root));
  Mount mount{shown, Nodes(root), {}};
  const fuse_lowlevel_ops ops = operations();
  fuse_session* session = fuse_session_new(&fuseArgs, &ops, sizeof ops, &mount);
  if (session == nullptr) {
    return kExitFailure;
  }
  int status = kExitFailure;
  if (fuse_set_signal_handlers(session) == 0) {
    if (fuse_session_mount(session, point.c_str()) == 0) {
      if (fuse_daemonize(arguments.foreground ? 1 : 0) == 0) {
        fuse_loop_config* config = fuse_loop_cfg_create();
        // As many threads as the kernel's requests at once, ten of them kept waiting.
        fuse_loop_cfg_set_idle_threads(config, 10);
        // The loop ends with 0 at an unmount, with the number of the signal (SIGINT, SIGTERM,
        // SIGHUP) that ended it, after which the mount is undone below: both the ordinary
        // end of a mount; and with a negative errno where the kernel's channel failed.
        status = fuse_session_loop_mt(session, config) >= 0 ? kExitSuccess : kExitFailure;
        fuse_loop_cfg_destroy(config);
      }
      fuse_session_unmount(session);
    }
    fuse_remove_signal_handlers(session);
  }
  fuse_session_destroy(session);
  fuse_opt_free_args(&fuseArgs);
  return status;
}

}  // namespace
}  // namespace kzb::mount

int main(int argc, char** argv) {
  try {
    return kzb::mount::run(argc, argv);
  } catch (const std::exception& error) {  // out of memory, at the start
    static_cast<void>(std::fprintf(stderr, "kzb-mount: %s\n", error.what()));
    return 1;
  }
}
