// The tree kzb-mount shows: SOURCE as it is, read-only, with each container (a regular file
// whose name ends in ".kzb" or ".KZB") shown instead as
//  - folders view: a folder named as `kzb extract --each` names the folder it makes for it
//    (eachFolderName), holding the files extraction leaves: extraction_plan.h decides which,
//    under which names and with which bytes, for both;
//  - cbz view: a file named as `kzb convert` names its ZIP (cbzFileName), whose bytes are
//    what `kzb convert` (with --renumber where asked) writes for it (zip_layout.h);
//  - epub view: a file named as `kzb convert --to epub` names its book, whose bytes are what
//    `kzb convert --to epub` (with --renumber and --language as asked) writes for it. Its
//    layout reads each stored file's first bytes and each text item whole (zip_layout.h).
// A container whose name gives no such name is left out, and so is one whose view's name a
// name in SOURCE takes. A container that cannot be opened is left out, and so is a file of
// which not even the first chunk can be read (kzb extract and convert leave nothing for it);
// one that cannot be read whole shows what is intact; each says so in one line (tellUser),
// once per mount.
// The mount's own root is never walked into: a name of SOURCE that stands for it is not shown.
//
// Parsed containers (their tables of files, or the layouts of their CBZs or EPUBs) are kept in a
// cache of at most `cacheBytes` (least recently used first out; the one used last stays whatever
// its size) and `cacheEntries` containers, keyed by the container's identity, size and modification
// time, so a container that changes is parsed again on the next look. A file opened keeps the
// container it was opened on (OpenFile), whatever becomes of its path. Nothing here ever writes to
// SOURCE. Every member may be called from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "archive.h"
#include "input_file.h"
#include "source_tree.h"
#include "zip_layout.h"

namespace kzb::mount {

enum class View { folders, cbz, epub };

struct LibraryOptions {
  View view = View::folders;
  std::size_t cacheEntries = 256;
  std::size_t cacheBytes = std::size_t{32} << 20;
  bool renumber = false;            // cbz and epub views: as kzb convert --renumber
  std::string language = "und";     // epub view: as kzb convert --language (a BCP 47 tag)
  bool toSystemLog = false;         // where tellUser's lines go
  std::string application = "kzb";  // the ComicBookInfo comment's appID, as kzb convert's
  // Where the mount stands: the mount's own root is found by it once the mount is up.
  std::string mountPoint;
};

// What a path of the mount stands for.
struct Node {
  // book: the cbz or epub view of a container.
  enum class Kind { directory, file, link, containerFolder, entry, book };
  Kind kind = Kind::directory;
  std::string source;  // its path in SOURCE (for a container's views and entries: the container)
  SourceStat stat;     // of `source`
  std::uint64_t size = 0;        // file, entry and book: its size
  std::uint64_t dataOffset = 0;  // entry: where its bytes start in the container
};

// Whether a mount at `mountPoint` of `source` would show itself: the mount point is SOURCE,
// or inside it, or SOURCE is inside the mount point (by identity, whatever the spelling of
// either path). For a SOURCE that is one container, its directory stands for it. Nothing
// when the mount may go ahead, else the reason, as a line for the user.
std::optional<std::string> mountWouldShowItself(const std::string& source,
                                                const std::string& mountPoint);

// A file of the mount, open for reading.
class OpenFile {
 public:
  virtual ~OpenFile() = default;
  // Like InputFile::readAt, at the view's offsets, from the container the file was opened
  // on: io_error where its bytes are gone (the container was cut short in place since).
  virtual std::size_t read(std::uint64_t offset, std::span<std::byte> out,
                           std::error_code& error) = 0;
  // What the file was when opened.
  const Node& node() const { return node_; }
  void setNode(const Node& node) { node_ = node; }

 private:
  Node node_;
};

class Library {
  struct Parsed;  // a container as parsed once

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
  // The files of a container's folder (folders view), parsed from the container as
  // `folder.stat` describes it, never from one that has taken its path since: in name order,
  // each known by its index, which stands for the same file for as long as that container
  // can be read (it is parsed again, the same, if the cache let it go).
  class Contents {
   public:
    std::size_t size() const;
    std::string_view name(std::size_t index) const;
    Node node(std::size_t index) const;  // the file at `index`, as resolve() gives one
    std::optional<std::size_t> find(std::string_view name) const;

   private:
    friend class Library;
    std::shared_ptr<const Parsed> parsed_;
    Node folder_;
  };
  // no_such_file_or_directory where that container is gone or cannot be parsed.
  std::error_code contents(const Node& folder, Contents& contents);
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
  struct Slot {
    std::shared_ptr<Parsed> parsed;
    std::list<Key>::iterator recency;
    std::size_t bytes = 0;
  };

  // The parsed container at `path` (whose stat is `stat`); null where it cannot be opened.
  // `error`: why there is none, where that is the process's plight rather than the
  // container's (no descriptor left): the look fails with it, and the container is not told
  // left out. Otherwise empty, and the look finds nothing.
  std::shared_ptr<Parsed> parsedAt(const std::string& path, const SourceStat& stat,
                                   std::error_code& error);
  std::shared_ptr<Parsed> parse(const std::string& path, const SourceStat& stat,
                                std::error_code& error);
  // Lets go of the container used least recently (mutex_ held).
  void dropLeastRecent();
  // Lets go of containers, least recently used first, until `bytes` more fit the cache's.
  void makeRoom(std::size_t bytes);
  static Node realNode(const std::string& path, const SourceStat& stat);
  // The view named `name` in the directory `directory` of SOURCE, and its parsed container.
  std::error_code viewNode(const std::string& directory, const std::string& name, Node& node,
                           std::shared_ptr<Parsed>& parsed);
  // The container in directory `directory` that the view's name `name` stands for, if any.
  std::optional<std::string> containerNamed(const std::string& directory, const std::string& name);
  std::optional<std::string> viewName(const std::string& name) const;
  // The file name extension of the view's books (".cbz", ".epub"), or none (folders view).
  std::string_view bookExtension() const;
  static bool isContainer(const std::string& name, const SourceStat& stat);
  // Whether `stat` is of the mount's own root.
  bool isOwnRoot(const SourceStat& stat);
  // Says `line` once per mount.
  void tellOnce(const std::string& line);

  std::string root_;                 // the directory shown at "/"
  std::optional<std::string> only_;  // SOURCE is one container: its name in root_
  LibraryOptions options_;

  std::mutex parseMutex_;  // held for each parse
  std::mutex mutex_;       // guards the cache
  std::map<Key, Slot> cache_;
  std::list<Key> recency_;  // most recently used first
  std::size_t cachedBytes_ = 0;

  std::mutex toldMutex_;
  std::set<std::string> told_;

  std::mutex ownMutex_;
  std::optional<std::uint64_t> ownDevice_;  // the mount's, once found
};

}  // namespace kzb::mount
