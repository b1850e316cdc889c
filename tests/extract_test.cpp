// Extraction into a private working directory, one entry at a time.
#include <gtest/gtest.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/resource.h>
#endif

#include <algorithm>
#include <map>
#include <memory>
#include <span>
#include <string_view>

#include "archive_reader.h"
#include "container_builder.h"
#include "temp_dir.h"

namespace kzb {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::Chunk;
using testing::StoredFile;

std::string pattern(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) & 0xff);
  }
  return bytes;
}

Bytes containerOf(std::vector<StoredFile> files) {
  testing::Publication publication;
  publication.files = std::move(files);
  return testing::buildContainer(publication);
}

// The container lives beside the working directory, never in it.
class ExtractTest : public ::testing::Test {
 protected:
  ExtractTest() : cwd_(root_.path() / "out") {}

  ArchiveReader& open(const Bytes& container) {
    testing::writeFile(containerPath(), container);
    reader_ = std::make_unique<ArchiveReader>(containerPath().string());
    return *reader_;
  }
  ArchiveReader& open(const std::vector<StoredFile>& files) { return open(containerOf(files)); }
  fs::path containerPath() const { return root_ / "c.kzb"; }
  fs::path out() const { return root_ / "out"; }
  std::vector<std::string> outputNames() const {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(out())) {
      names.push_back(testing::utf8String(item.path().filename()));
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  struct MadeDir {
    explicit MadeDir(const fs::path& path) { fs::create_directory(path); }
  };
  testing::TempDir root_;
  MadeDir made_{root_ / "out"};
  testing::ScopedCwd cwd_;
  std::unique_ptr<ArchiveReader> reader_;
};

TEST_F(ExtractTest, FilesOfEverySizeComeOutByteIdentical) {
  const std::size_t sizes[] = {0, 1, 4095, 4096, 4097, 8192, 100000, 3, 70000, 12};
  std::vector<std::string> names;  // UTF-8, which is what file names are here
  std::vector<StoredFile> files;
  for (std::size_t i = 0; i < 20; ++i) {
    names.push_back((i % 2 == 0 ? "\xed\x8c\x8c\xec\x9d\xbc-" : "file-") + std::to_string(i));
    files.push_back({testing::utf16FromUtf8(names.back()),
                     pattern(sizes[i % 10], static_cast<unsigned>(i)),
                     {}});
  }
  ArchiveReader& reader = open(files);
  ASSERT_EQ(reader.openResult(), ResultSuccess);
  for (std::size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(reader.extractEntry(i), ResultSuccess) << i;
  }
  EXPECT_EQ(reader.extractEntry(files.size()), ResultNotAvailable);
  for (std::size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(testing::readFile(out() / testing::utf8Path(names[i])), files[i].data) << names[i];
  }
  EXPECT_EQ(outputNames().size(), files.size());
}

// Root, then a "FINF" chunk recording `position` and `size`, then a "FILE" chunk of 7 bytes.
Bytes oneFile(std::u16string_view name, std::uint32_t position, std::uint32_t size) {
  return Chunk("KZB0")
      .child(testing::fileInfo(name, position, size))
      .child(Chunk("FILE").payload("payload"))
      .bytes();
}

TEST_F(ExtractTest, FailedHeaderCheckLeavesAnExistingFileUntouched) {
  const auto filePosition = static_cast<std::uint32_t>(oneFile(u"keep.txt", 0, 0).size() - 23);
  ASSERT_EQ(open(oneFile(u"ctrl.txt", filePosition, 7)).extractEntry(0), ResultSuccess);
  ASSERT_EQ(testing::readFile(out() / "ctrl.txt"), "payload");

  const struct {
    const char* what;
    std::uint32_t position;
    std::uint32_t size;
  } cases[] = {
      {"position one byte late", filePosition + 1, 7},
      {"position at the file table", 16, 7},
      {"position past the end", 1u << 20, 7},
      {"position past 4 GiB - 17", 0xffffffffu, 7},
      {"size one short", filePosition, 6},
      {"size one over", filePosition, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::writeFile(out() / "keep.txt", "precious");
    EXPECT_EQ(open(oneFile(u"keep.txt", c.position, c.size)).extractEntry(0), ResultNotFileChunk);
    EXPECT_EQ(testing::readFile(out() / "keep.txt"), "precious");
  }
}

TEST_F(ExtractTest, NegativePayloadLengthIsNeverAStoredFile) {
  // Compared as 32-bit words, -1 equals a size of 4 GiB - 1; it must not pass for an empty file.
  const auto table = [](std::uint32_t position) {
    return Chunk("KZB0").child(testing::fileInfo(u"neg", position, 0xffffffffu)).bytes();
  };
  const auto position = static_cast<std::uint32_t>(table(0).size());
  EXPECT_EQ(open(table(position) + testing::chunkHeader("FILE", 0, 0, -1)).extractEntry(0),
            ResultNotFileChunk);
  EXPECT_TRUE(outputNames().empty());
}

TEST_F(ExtractTest, PayloadCutShortKeepsItsBytesAndEarlierEntriesStillExtract) {
  const Bytes whole = containerOf(
      {{u"first", pattern(5000, 1), {}}, {u"second", pattern(9000, 2), {}}, {u"third", "3", {}}});
  // Cut 1000 bytes into the second payload: the walk fails on the third "FILE" header.
  const std::size_t secondPayload = whole.size() - (16 + 1) - 9000;
  ArchiveReader& reader = open(whole.substr(0, secondPayload + 1000));
  EXPECT_EQ(reader.openResult(), ResultParseFailed);
  ASSERT_EQ(reader.entries().size(), 3u);
  EXPECT_EQ(reader.extractEntry(0), ResultSuccess);
  EXPECT_EQ(reader.extractEntry(1), ResultTruncated);
  EXPECT_EQ(reader.extractEntry(2), ResultNotFileChunk);
  EXPECT_EQ(reader.extractEntry(0), ResultSuccess);  // a failure does not stick to the stream
  EXPECT_EQ(testing::readFile(out() / "first"), pattern(5000, 1));
  EXPECT_EQ(testing::readFile(out() / "second"), pattern(9000, 2).substr(0, 1000));
  EXPECT_EQ(outputNames(), (std::vector<std::string>{"first", "second"}));
}

// A one-byte file "small", then `data` stored as "large" with its first byte `skew` bytes past
// the start of a page (4096 bytes) of the container: a filler chunk stands between them.
Bytes smallAndLarge(const std::string& data, std::size_t skew) {
  constexpr std::size_t kPage = 4096;
  const auto build = [&](std::size_t filler) {
    const auto table = static_cast<std::uint32_t>(16 + testing::fileInfo(u"small").size() +
                                                  testing::fileInfo(u"large").size());
    return Chunk("KZB0")
        .child(testing::fileInfo(u"small", table, 1))
        .child(testing::fileInfo(u"large", static_cast<std::uint32_t>(table + 17 + 16 + filler),
                                 static_cast<std::uint32_t>(data.size())))
        .child(Chunk("FILE").payload("s"))
        .child(Chunk("FILL").payload(std::string(filler, '\0')))
        .child(Chunk("FILE").payload(data))
        .bytes();
  };
  const std::size_t unfilled = build(0).size() - data.size();  // where the payload would start
  return build((kPage + skew - unfilled % kPage) % kPage);
}

// Large payloads go by the system's copy where the platform has one and the pages line up,
// and through the tool otherwise; either may stop at any byte. Cut short by the end of the
// container anywhere, such a payload keeps exactly the bytes that are there.
TEST_F(ExtractTest, LargePayloadsComeOutWholeOrWithEveryByteThatIsThere) {
  const std::size_t sizes[] = {65535, 65536, 65537, (std::size_t{3} << 20) + 5};
  for (const std::size_t skew : {std::size_t{0}, std::size_t{652}}) {
    for (const std::size_t size : sizes) {
      SCOPED_TRACE(std::to_string(size) + " bytes, " + std::to_string(skew) + " into a page");
      const std::string data = pattern(size, static_cast<unsigned>(size % 251));
      const Bytes whole = smallAndLarge(data, skew);
      const std::size_t payload = whole.size() - size;
      ASSERT_EQ(payload % 4096, skew);
      for (const std::size_t present :
           {size, std::size_t{0}, std::size_t{1}, std::size_t{4097}, size / 2, size - 1}) {
        SCOPED_TRACE(present);
        ArchiveReader& reader = open(whole.substr(0, payload + present));
        EXPECT_EQ(reader.extractEntry(1), present == size ? ResultSuccess : ResultTruncated);
        EXPECT_EQ(reader.extractEntry(0), ResultSuccess);  // the next copy starts afresh
        EXPECT_EQ(testing::readFile(out() / "large"), data.substr(0, present));
        EXPECT_EQ(testing::readFile(out() / "small"), "s");
        fs::remove(out() / "large");
      }
    }
  }
}

// What the system copies lands after what was written before it, and before what follows.
TEST_F(ExtractTest, SystemCopyKeepsTheBytesInOrder) {
  const std::string source = pattern(200000, 9);
  testing::writeFile(out().parent_path() / "source", source);
  InputFile input;
  ASSERT_FALSE(input.open(testing::utf8String(out().parent_path() / "source")));
  Directory destination;
  ASSERT_FALSE(destination.openWorking());
  OutputFile output;
  ASSERT_FALSE(output.create(destination, u"joined"));
  std::string expected;
  const auto write = [&](std::string_view text) {
    EXPECT_FALSE(output.write(std::as_bytes(std::span(text))));
    expected += text;
  };
  // Where the platform copies less, or nothing, writes bring the rest.
  const auto copy = [&](std::size_t offset, std::size_t count) {
    const std::size_t present = std::min(count, source.size() - std::min(offset, source.size()));
    const std::uint64_t copied = output.appendCopy(input, offset, count);
    ASSERT_LE(copied, present);
    expected += source.substr(std::min(offset, source.size()), static_cast<std::size_t>(copied));
    const auto from = static_cast<std::size_t>(offset + copied);
    write(std::string_view(source).substr(from, present - static_cast<std::size_t>(copied)));
  };
  // Where the source's offset and the output's end are as far into a page, the system copies:
  // a whole page still buffered must be in the file first.
  write(pattern(4096, 1));
  copy(2 * 4096, 100000);
  write("middle");
  copy(4096 + 100000 + 6, 100000);  // at the output's end, and past the end of the source
  copy(source.size(), 1);
  write("skewed");
  copy(5, 70000);  // pages that do not line up: written after "skewed"
  write("before a write larger than the buffer");
  write(pattern(70000, 2));
  write("tail");
  EXPECT_EQ(output.size(), expected.size());
  PlacedFiles placed;
  EXPECT_EQ(output.commit(OutputFile::Placement::replaceExisting, {}, placed).outcome,
            OutputFile::Outcome::placed);
  EXPECT_EQ(testing::readFile(out() / "joined"), expected);
}

TEST_F(ExtractTest, UnsafeNamesCreateNothingAnywhere) {
  const std::u16string names[] = {
      u"",
      u".",
      u"..",
      u"a/b",
      u"../escaped",
      u"/tmp/kzb-absolute",
      u"..\\escaped",
      u"dir\\",
      std::u16string(u"\0hidden", 7),
      std::u16string(u"..\0tail", 7),
      u"./x",
  };
  Chunk root("KZB0");
  for (const std::u16string& name : names) {
    root.child(testing::fileInfo(name, 0, 0));
  }
  ArchiveReader& reader = open(root.bytes());
  ASSERT_EQ(reader.entries().size(), std::size(names));
  const auto siblingsBefore = std::distance(fs::directory_iterator(out().parent_path()), {});
  for (std::size_t i = 0; i < std::size(names); ++i) {
    EXPECT_FALSE(isSafeEntryName(reader.entries()[i].name)) << i;
    EXPECT_EQ(reader.extractEntry(i), ResultNotAvailable) << i;
  }
  EXPECT_TRUE(outputNames().empty());
  EXPECT_EQ(std::distance(fs::directory_iterator(out().parent_path()), {}), siblingsBefore);
  EXPECT_FALSE(fs::exists("/tmp/kzb-absolute"));
  EXPECT_TRUE(isSafeEntryName(u".hidden"));
  EXPECT_EQ(isSafeEntryName(u"..."), !platformRefusesWindowsNames());  // Windows strips dots
}

TEST_F(ExtractTest, EntriesExtractInAnyOrder) {
  // Adjacent files are read without a seek; jumping back and forth must still find each one.
  ArchiveReader& reader =
      open({{u"a", pattern(5000, 1), {}}, {u"b", "", {}}, {u"c", pattern(70000, 3), {}}});
  for (const std::size_t index : {2u, 0u, 1u, 2u, 1u, 0u}) {
    ASSERT_EQ(reader.extractEntry(index), ResultSuccess) << index;
  }
  EXPECT_EQ(testing::readFile(out() / "a"), pattern(5000, 1));
  EXPECT_EQ(testing::readFile(out() / "b"), "");
  EXPECT_EQ(testing::readFile(out() / "c"), pattern(70000, 3));
}

TEST_F(ExtractTest, LaterRowWithTheSameNameRewritesTheFile) {
  ArchiveReader& reader = open({{u"same", "first and longer", {}}, {u"same", "second", {}}});
  EXPECT_EQ(reader.extractEntry(0), ResultSuccess);
  EXPECT_EQ(reader.extractEntry(1), ResultSuccess);
  EXPECT_EQ(testing::readFile(out() / "same"), "second");
}

// Makes `link` a symbolic link to the file `target`; false where this system makes none for
// this user. Windows makes them only for the privileged or in developer mode, and wine reports
// links that it never made, so the link is looked for afterwards.
bool makeSymlink(const fs::path& target, const fs::path& link) {
#ifdef _WIN32
  constexpr DWORD kAllowUnprivileged = 0x2;
  static_cast<void>(::CreateSymbolicLinkW(link.c_str(), target.c_str(), kAllowUnprivileged));
  const DWORD attributes = ::GetFileAttributesW(link.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
#else
  fs::create_symlink(target, link);
  return true;
#endif
}

TEST_F(ExtractTest, SymbolicLinkIsReplacedNeverWrittenThrough) {
  const fs::path target = out().parent_path() / "outside.txt";
  testing::writeFile(target, "outside");
  if (!makeSymlink(target, out() / "link.txt") ||
      !makeSymlink(out().parent_path() / "absent", out() / "dangling.txt")) {
    GTEST_SKIP() << "this system makes no symbolic links for this user";
  }
  ArchiveReader& reader = open({{u"link.txt", "inside", {}}, {u"dangling.txt", "d", {}}});
  EXPECT_EQ(reader.extractEntry(0), ResultSuccess);
  EXPECT_EQ(reader.extractEntry(1), ResultSuccess);
  EXPECT_EQ(testing::readFile(target), "outside");
  EXPECT_FALSE(fs::exists(out().parent_path() / "absent"));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(out() / "link.txt")));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(out() / "dangling.txt")));
  EXPECT_EQ(testing::readFile(out() / "link.txt"), "inside");
}

TEST_F(ExtractTest, AnythingAtTheNameIsReplacedAndWhatItPointedToStays) {
  const fs::path outside = out().parent_path() / "outside.txt";
  testing::writeFile(outside, "outside");
  fs::create_hard_link(outside, out() / "hard.txt");
  testing::writeFile(out() / "private.txt", "old and longer");
  fs::permissions(out() / "private.txt", fs::perms::owner_read | fs::perms::owner_write);
  testing::writeFile(out() / "fresh-reference", "");  // the permissions any new file gets
  ArchiveReader& reader = open({{u"hard.txt", "new", {}}, {u"private.txt", "new", {}}});
  EXPECT_EQ(reader.extractEntry(0), ResultSuccess);
  EXPECT_EQ(reader.extractEntry(1), ResultSuccess);
  EXPECT_EQ(testing::readFile(outside), "outside");
  EXPECT_EQ(fs::hard_link_count(outside), 1u);
  EXPECT_EQ(testing::readFile(out() / "hard.txt"), "new");
  EXPECT_EQ(testing::readFile(out() / "private.txt"), "new");
  EXPECT_EQ(fs::status(out() / "private.txt").permissions(),
            fs::status(out() / "fresh-reference").permissions());
  EXPECT_EQ(outputNames(),
            (std::vector<std::string>{"fresh-reference", "hard.txt", "private.txt"}));
}

// A cut-short copy takes a name only where nothing stands: an existing file, or the complete
// file of an earlier row of the same name, is worth more than a part of another.
TEST_F(ExtractTest, FileCutShortNeverReplacesWhatStandsAtItsName) {
  // Three rows share the last stored file, which the container's end cuts short.
  const auto build = [](std::uint32_t complete, std::uint32_t cut) {
    return Chunk("KZB0")
        .child(testing::fileInfo(u"same", complete, 8))
        .child(testing::fileInfo(u"taken", cut, 9000))
        .child(testing::fileInfo(u"dir", cut, 9000))
        .child(testing::fileInfo(u"same", cut, 9000))
        .child(Chunk("FILE").payload("complete"))
        .child(Chunk("FILE").payload(pattern(9000, 3)))
        .bytes();
  };
  const std::size_t size = build(0, 0).size();
  const auto cut = static_cast<std::uint32_t>(size - 16 - 9000);
  testing::writeFile(out() / "taken", "precious");
  fs::create_directory(out() / "dir");
  ArchiveReader& reader = open(build(cut - 16 - 8, cut).substr(0, size - 4000));
  EXPECT_EQ(reader.extractEntry(0), ResultSuccess);
  EXPECT_EQ(reader.extractEntry(1), ResultTruncatedKeptExisting);
  const Extraction directory = reader.extract(2);
  EXPECT_EQ(directory.status, ExtractStatus::cannotCreate);
  EXPECT_EQ(directory.error, std::errc::is_a_directory);
  EXPECT_EQ(reader.extractEntry(3), ResultTruncatedKeptExisting);
  EXPECT_EQ(testing::readFile(out() / "same"), "complete");
  EXPECT_EQ(testing::readFile(out() / "taken"), "precious");
  EXPECT_EQ(outputNames(), (std::vector<std::string>{"dir", "same", "taken"}));
}

TEST_F(ExtractTest, ContainerIsNeverOverwrittenByItsOwnEntry) {
  const Bytes container = containerOf({{u"self.kzb", "tiny", {}}});
  testing::writeFile(out() / "self.kzb", container);
  ArchiveReader reader("self.kzb");
  ASSERT_EQ(reader.openResult(), ResultSuccess);
  EXPECT_EQ(reader.extractEntry(0), ResultIsTheContainer);
  EXPECT_EQ(testing::readFile(out() / "self.kzb"), container);

  // Under another name too: what counts is the file, not the name it was opened by.
  fs::create_hard_link(out() / "self.kzb", out() / "alias.kzb");
  const Bytes aliased = containerOf({{u"alias.kzb", "tiny", {}}});
  testing::writeFile(out() / "self.kzb", aliased);
  ArchiveReader other("self.kzb");
  EXPECT_EQ(other.extractEntry(0), ResultIsTheContainer);
  EXPECT_EQ(testing::readFile(out() / "alias.kzb"), aliased);
  EXPECT_EQ(outputNames(), (std::vector<std::string>{"alias.kzb", "self.kzb"}));
}

TEST_F(ExtractTest, NameOfAnExistingDirectoryCannotBeCreated) {
  fs::create_directory(out() / "taken");
  ArchiveReader& reader = open({{u"taken", "x", {}}});
  const Extraction extraction = reader.extract(0);
  EXPECT_EQ(extraction.status, ExtractStatus::cannotCreate);
  EXPECT_EQ(resultCode(extraction), ResultNotAvailable);
  EXPECT_EQ(extraction.error, std::errc::is_a_directory);
  EXPECT_EQ(outputNames(), std::vector<std::string>{"taken"});
}

TEST_F(ExtractTest, NameTheFileSystemCannotStoreIsToldApartAndLeavesNothing) {
  // Longer than any file system takes: the directory is there, only the name is refused.
  ArchiveReader& tooLong = open({{std::u16string(300, u'n'), "x", {}}, {u"next", "y", {}}});
  const Extraction refused = tooLong.extract(0);
  EXPECT_EQ(resultCode(refused), ResultNameRefused);
  EXPECT_TRUE(refused.error);  // the system's reason, whatever it says
  if (!platformRefusesWindowsNames()) {
    EXPECT_EQ(refused.error, std::errc::filename_too_long);
  }
  EXPECT_EQ(tooLong.extractEntry(1), ResultSuccess);
  EXPECT_EQ(outputNames(), std::vector<std::string>{"next"});
}

// Whether the file system of the working directory takes names that differ in case for one.
bool foldsCase() {
  testing::writeFile("CaseProbe", "");
  const bool folds = fs::exists("caseprobe");
  fs::remove("CaseProbe");
  return folds;
}

TEST_F(ExtractTest, NamesThatDifferOnlyInCaseAreExtractedAsTheFileSystemTellsThem) {
  ArchiveReader& reader =
      open({{u"Page.jpg", "first", {}}, {u"page.jpg", "second", {}}, {u"PAGE.JPG", "third", {}}});
  const Extraction second = reader.extract(1);  // out of order: the first placed one counts
  const Extraction first = reader.extract(0);
  const Extraction third = reader.extract(2);
  EXPECT_EQ(second.status, ExtractStatus::extracted);
  if (!foldsCase()) {
    EXPECT_EQ(first.status, ExtractStatus::extracted);
    EXPECT_EQ(third.status, ExtractStatus::extracted);
    EXPECT_EQ(outputNames(), (std::vector<std::string>{"PAGE.JPG", "Page.jpg", "page.jpg"}));
    return;
  }
  // Windows (and wine): one file, the first one placed, and it keeps its bytes.
  EXPECT_EQ(resultCode(first), ResultSameFileAsEarlier);
  EXPECT_EQ(first.earlier, u"page.jpg");
  EXPECT_EQ(third.status, ExtractStatus::sameFileAsEarlier);
  EXPECT_EQ(third.earlier, u"page.jpg");
  EXPECT_EQ(outputNames(), std::vector<std::string>{"page.jpg"});
  EXPECT_EQ(testing::readFile(out() / "page.jpg"), "second");
}

// A second name for a file placed earlier in the run, made here with a hard link where the
// file system supports them, is what a case-folding file system makes of "Page" and "page".
TEST_F(ExtractTest, NameThatStandsForAFileOfThisRunNeverReplacesIt) {
  ArchiveReader& reader = open({{u"a", "first", {}},
                                {u"b", "second", {}},
                                {u"a", "again", {}},
                                {u"c", "third", {}},
                                {u"b", "fourth", {}}});
  ASSERT_EQ(reader.extractEntry(0), ResultSuccess);
  std::error_code linked;
  fs::create_hard_link(out() / "a", out() / "b", linked);
  if (linked) {
    GTEST_SKIP() << "no hard links here: " << linked.message();
  }
  const Extraction linkedName = reader.extract(1);
  EXPECT_EQ(resultCode(linkedName), ResultSameFileAsEarlier);
  EXPECT_EQ(linkedName.earlier, u"a");
  EXPECT_EQ(testing::readFile(out() / "a"), "first");

  // The same name again rewrites its own file; the second name then no longer stands for a
  // file of this run, but for one that was there before, and is replaced.
  EXPECT_EQ(reader.extractEntry(2), ResultSuccess);
  EXPECT_EQ(testing::readFile(out() / "a"), "again");
  EXPECT_EQ(testing::readFile(out() / "b"), "first");
  EXPECT_EQ(reader.extractEntry(4), ResultSuccess);
  EXPECT_EQ(testing::readFile(out() / "b"), "fourth");

  // A file that stood at a name before the run is replaced, whatever else it is linked to.
  testing::writeFile(containerPath().parent_path() / "outside", "outside");
  fs::create_hard_link(containerPath().parent_path() / "outside", out() / "c");
  EXPECT_EQ(reader.extractEntry(3), ResultSuccess);
  EXPECT_EQ(testing::readFile(out() / "c"), "third");
  EXPECT_EQ(testing::readFile(containerPath().parent_path() / "outside"), "outside");
}

TEST_F(ExtractTest, EntryPastTwoGibibytesInASparseContainer) {
  constexpr std::uint32_t kFar = 0x80000000u + 4096;  // 2 GiB and a bit
  const Bytes table = Chunk("KZB0").child(testing::fileInfo(u"far", kFar, 5)).bytes();
  {
    testing::writeFile(containerPath(), table);
    std::fstream file(containerPath(), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(kFar);
    const Bytes chunk = Chunk("FILE").payload("hello").bytes();
    file.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    ASSERT_TRUE(file.good());
  }
  ArchiveReader reader(containerPath().string());
  ASSERT_EQ(reader.openResult(), ResultSuccess);
  EXPECT_EQ(reader.extractEntry(0), ResultSuccess);
  EXPECT_EQ(testing::readFile(out() / "far"), "hello");
}

}  // namespace
}  // namespace kzb

namespace kzb {
namespace {

// The extractor on its own, into a directory it holds open.
class ExtractorTest : public ::testing::Test {
 protected:
  ExtractorTest() { std::filesystem::create_directory(dir_ / "out"); }
  std::filesystem::path out() const { return dir_ / "out"; }
  std::filesystem::path containerPath() const { return dir_ / "c.kzb"; }
  testing::TempDir dir_;
};

TEST_F(ExtractorTest, SynchronizedRunsPlaceEveryFileInBatchesAndSayWhatBecameOfEach) {
  // More files than one batch holds, with entries that fail and one cut short in between.
  testing::Publication publication;
  constexpr std::size_t kFiles = OutputFile::kMostPending * 2 + 7;
  for (std::size_t i = 0; i < kFiles; ++i) {
    publication.files.push_back({testing::utf16FromUtf8("f" + std::to_string(i)),
                                 pattern(i * 37 % 5000, static_cast<unsigned>(i)),
                                 {}});
  }
  publication.files[10].name = u"../up";
  publication.files[70].name = u"f3";  // a later row of an earlier name in another batch
  testing::writeFile(containerPath(), testing::buildContainer(publication));
  ArchiveReader reader(containerPath().string());
  ASSERT_EQ(reader.openResult(), ResultSuccess);
  FileTable entries = reader.entries();
  entries[20].size += 1;  // no stored file of that size there

  Directory destination;
  ASSERT_FALSE(destination.open(testing::utf8String(out()), false));
  Extractor extractor(destination, {.skipExisting = false, .sync = true});
  std::map<std::size_t, Extraction> outcomes;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    extractor.submit(reader.input(), entries[i], i);
    for (Completed& done : extractor.takeCompleted()) {
      EXPECT_TRUE(outcomes.emplace(done.token, std::move(done.extraction)).second) << done.token;
    }
  }
  for (Completed& done : extractor.finish()) {
    EXPECT_TRUE(outcomes.emplace(done.token, std::move(done.extraction)).second) << done.token;
  }
  ASSERT_EQ(outcomes.size(), kFiles);
  EXPECT_EQ(outcomes[10].status, ExtractStatus::unsafeName);
  EXPECT_EQ(outcomes[20].status, ExtractStatus::notFileChunk);
  for (std::size_t i = 0; i < kFiles; ++i) {
    if (i == 10 || i == 20) {
      continue;
    }
    EXPECT_EQ(outcomes[i].status, ExtractStatus::extracted) << i;
    if (i != 3 && i != 70) {  // both named f3
      EXPECT_EQ(testing::readFile(out() / ("f" + std::to_string(i))), publication.files[i].data)
          << i;
    }
  }
  EXPECT_EQ(testing::readFile(out() / "f3"), publication.files[70].data);
  EXPECT_FALSE(std::filesystem::exists(out() / "f20"));
  std::size_t names = 0;
  for ([[maybe_unused]] const auto& item : std::filesystem::directory_iterator(out())) {
    ++names;
  }
  EXPECT_EQ(names, kFiles - 3);  // no temporary is left, nothing for the failed ones
}

#ifndef _WIN32
// Each file of a batch waits with a descriptor open. Where the process may open fewer than a
// batch holds, the batch ends where the descriptors run out, and every file is still placed.
TEST_F(ExtractorTest, SynchronizedBatchEndsWhereDescriptorsRunOut) {
  testing::Publication publication;
  for (std::size_t i = 0; i < 300; ++i) {
    publication.files.push_back({testing::utf16FromUtf8("f" + std::to_string(i)),
                                 pattern(100 + i, static_cast<unsigned>(i)),
                                 {}});
  }
  testing::writeFile(containerPath(), testing::buildContainer(publication));
  ArchiveReader reader(containerPath().string());
  WriterPool threads(2);
  for (WriterPool* pool : {static_cast<WriterPool*>(nullptr), &threads}) {
    const std::filesystem::path into = out() / (pool == nullptr ? "alone" : "pool");
    std::filesystem::create_directory(into);
    Directory destination;
    ASSERT_FALSE(destination.open(testing::utf8String(into), false));
    struct rlimit before {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    struct rlimit low = before;
    low.rlim_cur = 128;  // far below a batch
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<Completed> done;
    {
      Extractor extractor(destination,
                          {.skipExisting = false, .sync = true, .pool = pool});
      for (std::size_t i = 0; i < reader.entries().size(); ++i) {
        extractor.submit(reader.input(), reader.entries()[i], i);
      }
      done = extractor.takeCompleted();
      for (Completed& last : extractor.finish()) {
        done.push_back(std::move(last));
      }
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &before), 0);
    ASSERT_EQ(done.size(), publication.files.size());
    for (const Completed& each : done) {
      EXPECT_EQ(each.extraction.status, ExtractStatus::extracted)
          << each.token << ": " << each.extraction.error.message();
      EXPECT_EQ(testing::readFile(into / ("f" + std::to_string(each.token))),
                publication.files[each.token].data);
    }
  }
}
#endif

// Files written on a pool's threads are placed in the order submitted, by the submitting
// thread: every run leaves what one thread leaves, and says the same of each entry, in the
// same order, whatever the threads, the batches and the files the extractor may hold open.
TEST_F(ExtractorTest, WritingOnThreadsLeavesWhatOneThreadLeaves) {
  testing::Publication publication;
  for (std::size_t i = 0; i < 400; ++i) {
    // Mostly small, some past the size the system copies, a few of one name again and again.
    const std::size_t size = i % 37 == 5 ? 70'000 + i * 513 : (i * 97) % 3000;
    const std::string name = i % 50 == 7 ? "again" : "f" + std::to_string(i);
    publication.files.push_back(
        {testing::utf16FromUtf8(name), pattern(size, static_cast<unsigned>(i)), {}});
  }
  publication.files[11].name = u"../up";
  publication.files[12].name = u"dir";     // a directory stands there
  publication.files[13].name = u"before";  // a file stands there, and is replaced
  Bytes container = testing::buildContainer(publication);
  container.resize(container.size() - 40'000);  // the last large payloads are cut short
  testing::writeFile(containerPath(), container);
  ArchiveReader reader(containerPath().string());
  FileTable entries = reader.entries();
  ASSERT_EQ(entries.size(), publication.files.size());
  entries[20].size += 1;  // no stored file of that size there

  struct Run {
    std::vector<std::pair<std::size_t, ExtractStatus>> said;
    std::map<std::string, std::string> left;
  };
  const auto run = [&](const std::string& name, ExtractOptions options) {
    const std::filesystem::path into = dir_ / name;
    std::filesystem::create_directories(into / "dir");
    testing::writeFile(into / "before", "old");
    Directory destination;
    EXPECT_FALSE(destination.open(testing::utf8String(into), false));
    Run result;
    {
      Extractor extractor(destination, options);
      const auto record = [&](const std::vector<Completed>& completed) {
        for (const Completed& done : completed) {
          result.said.emplace_back(done.token, done.extraction.status);
        }
      };
      for (std::size_t i = 0; i < entries.size(); ++i) {
        extractor.submit(reader.input(), entries[i], i);
        record(extractor.takeCompleted());
      }
      record(extractor.finish());
    }
    for (const auto& item : std::filesystem::directory_iterator(into)) {
      if (item.is_regular_file()) {
        result.left[testing::utf8String(item.path().filename())] = testing::readFile(item.path());
      }
    }
    return result;
  };

  for (const bool sync : {false, true}) {
    const Run alone = run(std::string("alone") + (sync ? "-sync" : ""), {false, sync});
    ASSERT_EQ(alone.said.size(), entries.size());
    std::vector<std::pair<std::size_t, ExtractStatus>> byToken = alone.said;
    std::sort(byToken.begin(), byToken.end());
    for (std::size_t i = 0; i < byToken.size(); ++i) {
      ASSERT_EQ((sync ? byToken : alone.said)[i].first, i);  // without sync, in table order
    }
    EXPECT_EQ(byToken[11].second, ExtractStatus::unsafeName);
    EXPECT_EQ(byToken[12].second, ExtractStatus::cannotCreate);
    EXPECT_EQ(byToken[20].second, ExtractStatus::notFileChunk);
    EXPECT_EQ(byToken[375].second, ExtractStatus::truncated);  // the last large one
    EXPECT_EQ(byToken.back().second, ExtractStatus::notFileChunk);
    EXPECT_EQ(alone.left.at("again"), publication.files[357].data);  // the last row of it
    EXPECT_EQ(alone.left.at("before"), publication.files[13].data);
    for (const unsigned threads : {1u, 2u, 8u}) {
      // With sync, batches end where the files open may not grow: fewer and smaller ones.
      for (const std::size_t mostOpen : {std::size_t{sync ? 64u : 6u}, OutputFile::kMostPending}) {
        WriterPool pool(threads);
        const std::string name = "pool" + std::to_string(threads) + "-" +
                                 std::to_string(mostOpen) + (sync ? "-sync" : "");
        Run pooled = run(name, {false, sync, mostOpen, &pool});
        if (sync) {  // a failure is said at once, a placed file when its batch ends
          std::sort(pooled.said.begin(), pooled.said.end());
        }
        EXPECT_EQ(pooled.said, sync ? byToken : alone.said) << name;
        EXPECT_TRUE(pooled.left == alone.left) << name;
      }
    }
  }
}

TEST_F(ExtractorTest, DestinationIsTheDirectoryOpenedNotWhatItsPathLaterNames) {
  testing::Publication publication;
  publication.files = {{u"a.txt", "first", {}}, {u"b.txt", "second", {}}};
  testing::writeFile(containerPath(), testing::buildContainer(publication));
  ArchiveReader reader(containerPath().string());
  Directory destination;
  ASSERT_FALSE(destination.open(testing::utf8String(out() / "deep" / "er"), true));
  Extractor extractor(destination);
  EXPECT_EQ(extractor.extract(reader.input(), reader.entries()[0]).status,
            ExtractStatus::extracted);
  // Another directory swapped in under the path during the run changes nothing.
#ifdef _WIN32
  if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
    GTEST_SKIP() << "wine cannot rename into a directory by its handle once the directory has "
                    "moved (STATUS_OBJECT_TYPE_MISMATCH); Windows renames by the handle";
  }
#endif
  std::filesystem::rename(out() / "deep", out() / "moved");
  std::filesystem::create_directories(out() / "deep" / "er");
  EXPECT_EQ(extractor.extract(reader.input(), reader.entries()[1]).status,
            ExtractStatus::extracted);
  EXPECT_EQ(testing::readFile(out() / "moved" / "er" / "b.txt"), "second");
  EXPECT_TRUE(std::filesystem::is_empty(out() / "deep" / "er"));
}

}  // namespace
}  // namespace kzb

namespace kzb {
namespace {

// The output unit's positioned writes, as a file whose headers are completed last needs them.
TEST_F(ExtractorTest, OutputFilePatchesAndCutsWhatItWrote) {
  Directory destination;
  ASSERT_FALSE(destination.open(testing::utf8String(out()), false));
  OutputFile file;
  ASSERT_FALSE(file.create(destination, u"patched"));
  const auto bytes = [](std::string_view text) { return std::as_bytes(std::span(text)); };
  ASSERT_FALSE(file.write(bytes("hello, world")));
  EXPECT_EQ(file.size(), 12u);
  EXPECT_FALSE(file.overwrite(0, bytes("J")));
  EXPECT_EQ(file.overwrite(10, bytes("abc")), std::errc::invalid_argument);  // past the end
  EXPECT_FALSE(file.truncate(5));
  EXPECT_EQ(file.size(), 5u);
  ASSERT_FALSE(file.write(bytes("!")));
  PlacedFiles placed;
  EXPECT_EQ(file.commit(OutputFile::Placement::replaceExisting, {}, placed).outcome,
            OutputFile::Outcome::placed);
  EXPECT_EQ(testing::readFile(out() / "patched"), "Jello!");
}

}  // namespace
}  // namespace kzb
