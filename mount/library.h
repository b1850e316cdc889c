// The tree kzb-mount shows: SOURCE as it is, read-only, with each container (a regular file
// whose name ends in ".kzb" or ".KZB") shown instead as
//  - folders view: a folder named without the extension, holding the files `kzb extract`
//    writes for it: the names extraction's rules take on this platform (entry_name.h), and of
//    the rows of one name the last whose stored file stands whole (a row cut short stands
//    only where no earlier row of its name does, with the bytes the container holds);
//  - cbz view: a file named with ".cbz" for ".kzb", whose bytes are what `kzb convert` writes
//    for it (cbz_layout.h).
// A name in SOURCE that a view's name would take keeps what stands there, and the container
// is left out. A container that cannot be opened is left out, one that cannot be read whole
// shows what is intact; each says so in one line (tellUser) when it is parsed.
//
// Parsed containers are kept in a cache of at most `cacheEntries` (least recently used first
// out), keyed by the container's identity, size and modification time, so a container that
// changes is parsed again on the next look and memory stays flat whatever the library's size.
// Nothing here ever writes to SOURCE. Every member may be called from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "archive.h"
#include "cbz_layout.h"
#include "input_file.h"
#include "source_tree.h"

namespace kzb::mount {

enum class View { folders, cbz };

struct LibraryOptions {
  View view = View::folders;
  std::size_t cacheEntries = 256;
  bool toSystemLog = false;         // where tellUser's lines go
  std::string application = "kzb";  // the ComicBookInfo comment's appID, as kzb convert's
};

// What a path of the mount stands for.
struct Node {
  enum class Kind { directory, file, link, containerFolder, entry, cbz };
  Kind kind = Kind::directory;
  std::string source;  // its path in SOURCE (for a container's views and entries: the container)
  SourceStat stat;     // of `source`
  std::uint64_t size = 0;        // file, entry and cbz: its size
  std::uint64_t dataOffset = 0;  // entry: where its bytes start in the container
};

// A file of the mount, open for reading.
class OpenFile {
 public:
  virtual ~OpenFile() = default;
  // Like InputFile::readAt, at the view's offsets.
  virtual std::size_t read(std::uint64_t offset, std::span<std::byte> out,
                           std::error_code& error) = 0;
};

class Library {
 public:
  // `source`: an absolute path to a directory, or to one container.
  Library(std::string source, LibraryOptions options);

  // What `path` ("/" or "/a/b", the mount's own) stands for, or the error to give for it.
  std::error_code resolve(const std::string& path, Node& node);
  // What the folder `node` stands for holds: each name with what its path would resolve to.
  struct Listed {
    std::string name;
    Node node;
  };
  std::error_code list(const Node& node, std::vector<Listed>& entries);
  // Opens a file node for reading.
  std::error_code open(const Node& node, std::unique_ptr<OpenFile>& file);

 private:
  struct Key {
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    std::uint64_t size = 0;
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
    auto operator<=>(const Key&) const = default;
  };
  // A container as parsed once.
  struct Parsed;
  struct Slot {
    std::shared_ptr<Parsed> parsed;
    std::list<Key>::iterator recency;
  };

  // The parsed container at `path` (whose stat is `stat`); null where it cannot be opened.
  std::shared_ptr<Parsed> parsedAt(const std::string& path, const SourceStat& stat);
  std::shared_ptr<Parsed> parse(const std::string& path, const SourceStat& stat) const;
  static Node realNode(const std::string& path, const SourceStat& stat);
  // The view named `name` in the directory `directory` of SOURCE, and its parsed container.
  std::error_code viewNode(const std::string& directory, const std::string& name, Node& node,
                           std::shared_ptr<Parsed>& parsed);
  // The CBZ layout of a parsed container, made at its first use.
  std::error_code layoutOf(Parsed& parsed, const std::string& path) const;
  // The container in directory `directory` that the view's name `name` stands for, if any.
  std::optional<std::string> containerNamed(const std::string& directory, const std::string& name);
  std::optional<std::string> viewName(const std::string& name, const SourceStat& stat) const;
  bool isShown(const std::string& directory, const std::string& name);

  std::string root_;                 // the directory shown at "/"
  std::optional<std::string> only_;  // SOURCE is one container: its name in root_
  LibraryOptions options_;

  std::mutex mutex_;  // guards the cache
  std::map<Key, Slot> cache_;
  std::list<Key> recency_;  // most recently used first
};

}  // namespace kzb::mount
