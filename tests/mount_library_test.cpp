// What kzb-mount shows, without FUSE: the cache of parsed containers.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "binary_runner.h"
#include "container_builder.h"
#include "library.h"
#include "temp_dir.h"

namespace kzb::mount {
namespace {

namespace fs = std::filesystem;

testing::Bytes containerHolding(const std::u16string& name) {
  testing::Publication publication;
  publication.files = {{name, "page", {}}};
  return testing::buildContainer(publication);
}

// The container rewritten in place, keeping its identity, size and modification time: only a
// parse made after this sees the new bytes.
void rewriteUnseen(const fs::path& path, const testing::Bytes& bytes) {
  const fs::file_time_type modified = fs::last_write_time(path);
  {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  fs::last_write_time(path, modified);
}

std::vector<std::string> namesIn(Library& library, const std::string& folder) {
  Node node;
  std::vector<Library::Listed> entries;
  if (!library.resolve("/" + folder, node)) {
    static_cast<void>(library.list(node, entries));
  }
  std::vector<std::string> names;
  for (const Library::Listed& entry : entries) {
    names.push_back(entry.name);
  }
  return names;
}

// With room for two, the third container parsed lets go of the one used least recently
// (not the first parsed), and only that one is parsed again on the next look.
TEST(MountLibraryTest, TheCacheLetsGoOfTheLeastRecentlyUsed) {
  testing::TempDir dir;
  for (const char* name : {"a.kzb", "b.kzb", "c.kzb"}) {
    testing::writeFile(dir.path() / name, containerHolding(u"old.jpg"));
  }
  LibraryOptions options;
  options.cacheEntries = 2;
  Library library(dir.path().string(), options);
  for (const char* folder : {"a", "b", "a", "c"}) {
    ASSERT_EQ(namesIn(library, folder), std::vector<std::string>{"old.jpg"}) << folder;
  }
  for (const char* name : {"a.kzb", "b.kzb"}) {
    rewriteUnseen(dir.path() / name, containerHolding(u"new.jpg"));
  }
  EXPECT_EQ(namesIn(library, "a"), std::vector<std::string>{"old.jpg"});  // kept
  EXPECT_EQ(namesIn(library, "b"), std::vector<std::string>{"new.jpg"});  // let go
}

std::set<std::string> namesUnder(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

std::set<std::string> listedAt(Library& library, const std::string& path) {
  Node node;
  std::vector<Library::Listed> entries;
  EXPECT_FALSE(library.resolve(path, node)) << path;
  EXPECT_FALSE(library.list(node, entries)) << path;
  std::set<std::string> names;
  for (const Library::Listed& entry : entries) {
    EXPECT_TRUE(names.insert(entry.name).second) << "twice: " << entry.name;
  }
  return names;
}

// Each container shows under the name kzb extract --each gives its folder, or kzb convert its
// ZIP or its EPUB, or not at all where they write none: never a second "." or "..", never a name
// convert refuses (a backslash, bytes that are not UTF-8).
TEST(MountLibraryTest, ContainersAreNamedAsExtractAndConvertNameThem) {
  testing::TempDir dir;
  const fs::path source = dir.path() / "source";
  fs::create_directories(source);
  const std::vector<std::string> names = {"plain.kzb",   "..kzb",       "...kzb", "back\\slash.kzb",
                                          "bad\xff.kzb", ".hidden.kzb", "UP.KZB"};
  for (const std::string& name : names) {
    testing::writeFile(source / name, containerHolding(u"page.jpg"));
  }
  for (const View view : {View::folders, View::cbz, View::epub}) {
    SCOPED_TRACE(view == View::cbz ? "cbz" : view == View::epub ? "epub" : "folders");
    std::set<std::string> written;
    for (const std::string& name : names) {
      const fs::path out = dir.path() / "out";
      fs::remove_all(out);
      fs::create_directories(out);
      if (view == View::cbz) {
        testing::runProgram(KZB_BINARY, out, {"convert", (source / name).string()});
      } else if (view == View::epub) {
        testing::runProgram(KZB_BINARY, out, {"convert", "--to", "epub", (source / name).string()});
      } else {
        testing::runProgram(KZB_BINARY, out, {"extract", "--each", (source / name).string()});
      }
      for (const std::string& made : namesUnder(out)) {
        written.insert(made);
      }
    }
    LibraryOptions options;
    options.view = view;
    Library library(source.string(), options);
    const std::set<std::string> shown = listedAt(library, "/");
    EXPECT_EQ(shown, written);
    for (const std::string& name : shown) {
      Node node;
      EXPECT_FALSE(library.resolve("/" + name, node)) << name;
    }
    for (const std::string& name : names) {
      const std::string stem = name.substr(0, name.size() - 4);
      const std::string shownAs = view == View::cbz    ? stem + ".cbz"
                                  : view == View::epub ? stem + ".epub"
                                                       : stem;
      Node node;
      if (shownAs != "." && shownAs != ".." && !written.contains(shownAs)) {
        EXPECT_TRUE(library.resolve("/" + shownAs, node)) << shownAs;
      }
    }
  }
}

// The folder of a container holds what kzb extract --each leaves of it: stored names that
// become one file name keep the first, a name too long for a file name is left out (and so
// listing does not fail), a later whole copy replaces an earlier one.
TEST(MountLibraryTest, AFolderHoldsWhatExtractLeaves) {
  testing::TempDir dir;
  const fs::path source = dir.path() / "source";
  fs::create_directories(source);
  testing::Publication publication;
  publication.files = {{u"x\xD800.t", "first", {}},
                       {u"x\xDC00.t", "second", {}},
                       {std::u16string(300, u'a') + u".jpg", "long", {}},
                       {std::u16string(5000, u'b') + u".jpg", "longer", {}},
                       {std::u16string(85, u'가') + u".jpg", "255 bytes", {}},
                       {u"p.jpg", "one", {}},
                       {u"p.jpg", "two", {}},
                       {u"ok.txt", "ok", {}}};
  testing::writeFile(source / "book.kzb", testing::buildContainer(publication));
  const fs::path out = dir.path() / "out";
  fs::create_directories(out);
  testing::runProgram(KZB_BINARY, out, {"extract", "--each", (source / "book.kzb").string()});
  Library library(source.string(), {});
  const std::set<std::string> shown = listedAt(library, "/book");
  EXPECT_EQ(shown, namesUnder(out / "book"));
  for (const std::string& name : shown) {
    SCOPED_TRACE(name);
    Node node;
    ASSERT_FALSE(library.resolve("/book/" + name, node));
    std::unique_ptr<OpenFile> file;
    ASSERT_FALSE(library.open(node, file));
    std::string bytes(static_cast<std::size_t>(node.size), '\0');
    std::error_code error;
    EXPECT_EQ(file->read(0, std::as_writable_bytes(std::span(bytes)), error), bytes.size());
    EXPECT_EQ(bytes, testing::readFile(out / "book" / name));
  }
}

// A folder's contents are those of the container its node was resolved on: each index names
// the file that resolving its path gives, and once the container is replaced, the old node
// gives the old files while the old container is still parsed, then nothing; never the new
// one's.
TEST(MountLibraryTest, AFoldersContentsAreThoseOfTheContainerItWasResolvedOn) {
  testing::TempDir dir;
  const fs::path source = dir.path() / "source";
  fs::create_directories(source);
  const auto containerOf = [](std::vector<testing::StoredFile> files) {
    testing::Publication publication;
    publication.files = std::move(files);
    return testing::buildContainer(publication);
  };
  testing::writeFile(source / "x.kzb",
                     containerOf({{u"q.jpg", "old q", {}}, {u"p.jpg", "old p", {}}}));
  testing::writeFile(source / "other.kzb", containerHolding(u"o.jpg"));
  LibraryOptions options;
  options.cacheEntries = 1;
  Library library(source.string(), options);
  Node old;
  ASSERT_FALSE(library.resolve("/x", old));
  Library::Contents contents;
  ASSERT_FALSE(library.contents(old, contents));
  ASSERT_EQ(contents.size(), 2u);
  for (std::size_t index = 0; index < contents.size(); ++index) {
    const std::string name(contents.name(index));
    SCOPED_TRACE(name);
    EXPECT_EQ(contents.find(name), index);
    Node resolved;
    ASSERT_FALSE(library.resolve("/x/" + name, resolved));
    const Node listed = contents.node(index);
    EXPECT_EQ(listed.kind, Node::Kind::entry);
    EXPECT_EQ(listed.dataOffset, resolved.dataOffset);
    EXPECT_EQ(listed.size, resolved.size);
    EXPECT_EQ(listed.source, resolved.source);
  }
  EXPECT_EQ(contents.name(0), "p.jpg");  // in name order
  EXPECT_FALSE(contents.find("r.jpg"));
  Node notFolder;
  ASSERT_FALSE(library.resolve("/x/p.jpg", notFolder));
  EXPECT_EQ(library.contents(notFolder, contents), std::errc::not_a_directory);

  testing::writeFile(dir.path() / "new.kzb",
                     containerOf({{u"p.jpg", "the new p", {}}, {u"r.jpg", "new r", {}}}));
  fs::rename(dir.path() / "new.kzb", source / "x.kzb");
  struct Case {
    std::string name;
    std::string lookFirst;  // a path resolved before: with room for one, it lets x go
    std::vector<std::string> names;
  };
  const std::vector<Case> cases = {
      {"the old container still parsed", "", {"p.jpg", "q.jpg"}},
      {"the old container let go", "/other", {}},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.name);
    Node looked;
    if (!each.lookFirst.empty()) {
      ASSERT_FALSE(library.resolve(each.lookFirst, looked));
    }
    Library::Contents again;
    const std::error_code error = library.contents(old, again);
    std::vector<std::string> names;
    for (std::size_t index = 0; !error && index < again.size(); ++index) {
      names.emplace_back(again.name(index));
    }
    EXPECT_EQ(names, each.names);
    EXPECT_EQ(error == std::errc::no_such_file_or_directory, each.names.empty());
  }
  Node now;
  ASSERT_FALSE(library.resolve("/x", now));
  ASSERT_FALSE(library.contents(now, contents));
  ASSERT_EQ(contents.size(), 2u);
  EXPECT_EQ(contents.name(1), "r.jpg");
}

// The cache holds parsed containers up to its size in bytes, and makes room in it for what a
// parse takes at its peak (a few hundred bytes a row): the first container is let go where
// the second's parse needs the room, though both tables would fit, and kept where it does not.
TEST(MountLibraryTest, TheCacheIsBoundedInBytes) {
  const auto pages = [](char first, int count) {
    testing::Publication publication;
    for (int i = 0; i < count; ++i) {
      const std::string name = first + ("-page-name-long-enough-to-count-" + std::to_string(i));
      publication.files.push_back({std::u16string(name.begin(), name.end()), "x", {}});
    }
    return testing::buildContainer(publication);
  };
  const struct {
    std::string what;
    std::size_t cacheBytes;
    int secondRows;
    bool firstKept;
  } cases[] = {
      {"room for about one table", 200 * 1024, 2000, false},
      {"room for both tables, not beside the second's parse", 1024 * 1024, 3000, false},
      {"room for both tables and a small parse", 1024 * 1024, 200, true},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    testing::TempDir dir;
    testing::writeFile(dir.path() / "a.kzb", pages('o', 2000));
    testing::writeFile(dir.path() / "b.kzb", pages('o', test.secondRows));
    LibraryOptions options;
    options.cacheEntries = 100;
    options.cacheBytes = test.cacheBytes;
    Library library(dir.path().string(), options);
    ASSERT_EQ(namesIn(library, "a").size(), 2000u);
    ASSERT_EQ(namesIn(library, "b").size(), static_cast<std::size_t>(test.secondRows));
    rewriteUnseen(dir.path() / "a.kzb", pages('n', 2000));
    rewriteUnseen(dir.path() / "b.kzb", pages('n', test.secondRows));
    EXPECT_EQ(namesIn(library, "b").front().front(), 'o');  // kept: the one used last
    EXPECT_EQ(namesIn(library, "a").front().front(), test.firstKept ? 'o' : 'n');
  }
}

// The EPUB view's layouts hold their text items, which are read to be escaped (deflated,
// so a text that does not shrink is used here): the cache counts them, so with room for about
// one book of 1 MiB of text, the second parsed lets the first go, and with room for both,
// both stay.
TEST(MountLibraryTest, TheCacheOfBooksIsBoundedInBytes) {
  testing::TempDir dir;
  const auto story = [](char letter) {
    // 64 characters that XML carries as they are: 6 bits of every byte stay after deflate.
    constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 \n";
    std::string text = testing::pseudoRandomBytes(std::size_t{1} << 20, 7);
    for (char& c : text) {
      c = kAlphabet[static_cast<unsigned char>(c) % kAlphabet.size()];
    }
    testing::Publication publication;
    publication.files = {{u"story.txt", std::string(1000, letter) + text, {}}};
    return testing::buildContainer(publication);
  };
  const struct {
    std::size_t cacheBytes;
    bool firstKept;
  } cases[] = {{std::size_t{1} << 20, false}, {std::size_t{8} << 20, true}};
  for (const auto& test : cases) {
    SCOPED_TRACE(test.cacheBytes);
    for (const char* name : {"a.kzb", "b.kzb"}) {
      testing::writeFile(dir.path() / name, story('o'));
    }
    LibraryOptions options;
    options.view = View::epub;
    options.cacheEntries = 100;
    options.cacheBytes = test.cacheBytes;
    Library library(dir.path().string(), options);
    // The letter the book's text is made of, as the library serves it now.
    const auto letterOf = [&](const std::string& book) {
      Node node;
      std::unique_ptr<OpenFile> file;
      if (library.resolve("/" + book, node) || library.open(node, file)) {
        return '?';
      }
      std::string bytes(static_cast<std::size_t>(node.size), '\0');
      std::error_code error;
      file->read(0, std::as_writable_bytes(std::span(bytes)), error);
      const std::size_t run = bytes.find(std::string(1000, 'o'));
      return run != std::string::npos                                  ? 'o'
             : bytes.find(std::string(1000, 'n')) != std::string::npos ? 'n'
                                                                       : '?';
    };
    for (const char* book : {"a.epub", "b.epub"}) {
      ASSERT_EQ(letterOf(book), 'o') << book;
    }
    for (const char* name : {"a.kzb", "b.kzb"}) {
      rewriteUnseen(dir.path() / name, story('n'));
    }
    EXPECT_EQ(letterOf("b.epub"), 'o');  // kept: the one used last
    EXPECT_EQ(letterOf("a.epub"), test.firstKept ? 'o' : 'n');
  }
}

}  // namespace
}  // namespace kzb::mount
