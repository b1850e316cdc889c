// What kzb-mount shows, without FUSE: the cache of parsed containers.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

}  // namespace
}  // namespace kzb::mount
