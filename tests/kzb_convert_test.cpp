// kzb convert and kzb info --comicinfo/--opf: in-process through tool::run(), and as the built
// program where the process matters. Every ZIP written is read back by readers the project did
// not write (tests/support/zip_readers.h) on Linux; the built program's ZIPs of fixed inputs are
// compared with files in tests/data that the Linux build wrote, on Linux and under wine alike,
// so kzb.exe is shown to write the same bytes as kzb.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "archive_reader.h"
#include "binary_runner.h"
#include "comic_info.h"
#include "container_builder.h"
#include "sample_books.h"
#include "temp_dir.h"
#include "tool.h"
#include "utf8.h"
#include "zip_readers.h"

namespace kzb {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::Outcome;
using testing::StoredFile;
using testing::withoutFileChunk;
using testing::ZipMember;

// Every container's modification time, unless a test says otherwise: 2026-12-08 10:20:30 UTC,
// an even second, which the MS-DOS time of a ZIP header holds exactly.
constexpr std::chrono::sys_seconds kTime{std::chrono::seconds{1796725230}};
constexpr const char* kTimeShown = "2026-12-08 10:20:30";

const fs::path kDataDir = fs::path(KZB_CONVERT_TEST_DATA);

const std::vector<std::pair<std::string, std::u16string>> kTexts = {
    {"TITL", u"달빛 항해 (Moonlight Voyage)"},
    {"ISBN", u"979-11-0000-000-0"},
    {"WRTR", u"김하늘"},
    {"PUBL", u"Paper Lantern Press"},
    {"DATE", u"2026-12-08"},
    {"GENR", u"소설"},
    {"COPY", u"© 2026 김하늘"},
    {"LINK", u"https://example.org/moonlight?a=1&b=2"},
    {"MAKR", u"make-sample"},
    {"COMT", u"A voyage <by night>."},
};

Bytes containerOf(std::vector<StoredFile> files,
                  std::vector<std::pair<std::string, std::u16string>> texts = {},
                  std::optional<std::uint32_t> binding = std::nullopt) {
  testing::Publication publication;
  publication.files = std::move(files);
  publication.texts = std::move(texts);
  publication.bindingDirection = binding;
  return testing::buildContainer(publication);
}

// The line that says a container's names sort out of its order.
std::string outOfOrderNote(const std::string& container) {
  return "kzb: " + container +
         ": note: readers sort pages by name, and these names sort out of the container's order; "
         "--renumber keeps it\n";
}

void setModified(const fs::path& path, std::chrono::sys_seconds time) {
  fs::last_write_time(path, std::chrono::file_clock::from_sys(time));
}

// What a ZIP of `files` holds: those named here, in this order, then the ComicInfo.xml that
// the container at `container` gives with that many pages.
std::vector<ZipMember> membersOf(const fs::path& container,
                                 const std::vector<std::pair<std::string, Bytes>>& files) {
  std::vector<ZipMember> members;
  for (const auto& [name, bytes] : files) {
    members.push_back({name, bytes});
  }
  const ArchiveReader reader(testing::utf8String(container));
  members.push_back({"ComicInfo.xml", comicInfoXml(reader.archive(), files.size())});
  return members;
}

std::vector<std::pair<std::string, Bytes>> namedFiles(const std::vector<StoredFile>& files) {
  std::vector<std::pair<std::string, Bytes>> named;
  for (const StoredFile& file : files) {
    named.emplace_back(toUtf8(file.name), file.data);
  }
  return named;
}

// Every regular file under `dir`, by its path relative to it, '/' between the components.
std::vector<std::string> filesUnder(const fs::path& dir) {
  std::vector<std::string> files;
  for (const auto& item : fs::recursive_directory_iterator(dir)) {
    if (item.is_regular_file()) {
      files.push_back(testing::utf8String(item.path().lexically_relative(dir).generic_u8string()));
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// The compression method of a ZIP's first member, as its local header records it.
unsigned firstMethod(const Bytes& zip) {
  return static_cast<unsigned char>(zip.at(8)) |
         static_cast<unsigned>(static_cast<unsigned char>(zip.at(9))) << 8;
}

class KzbConvertTest : public ::testing::Test {
 protected:
  KzbConvertTest() { fs::create_directory(work()); }

  fs::path work() const { return dir_ / "work"; }
  // A container beside the working directory (in `sub` when given), modified at kTime; its path
  // as the tests pass it.
  std::string container(const std::string& name, const Bytes& bytes,
                        const std::string& sub = {}) const {
    const fs::path folder = sub.empty() ? dir_.path() : dir_ / sub;
    fs::create_directories(folder);
    const fs::path path = folder / testing::utf8Path(name);
    testing::writeFile(path, bytes);
    setModified(path, kTime);
    return testing::utf8String(path);
  }
  std::string absent() const { return testing::utf8String(dir_ / "absent.kzb"); }

  // tool::run() with the working directory set to `in` (work() by default).
  Outcome kzb(std::vector<std::string> args, const fs::path& in = {}) const {
    args.insert(args.begin(), "kzb");
    const testing::ScopedCwd cwd(in.empty() ? work() : in);
    std::ostringstream out;
    std::ostringstream err;
    tool::Context context{out, err};
    const int status = tool::run(args, context);
    return {status, out.str(), err.str()};
  }

  testing::TempDir dir_;
};

TEST_F(KzbConvertTest, CommandLine) {
  const std::string c = container("c.kzb", containerOf({{u"a.jpg", "a", {}}}));
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"convert"}, "kzb: no container given (see 'kzb convert --help')\n"},
      {{"convert", "-o", "x.cbz", c, c},
       "kzb: -o names the file of one container; for several, use -C (see 'kzb convert "
       "--help')\n"},
      {{"convert", c, "-o", ""}, "kzb: -o needs the name of a file (see 'kzb convert --help')\n"},
      {{"convert", "-o", "x.cbz", "-C", "d", c},
       "kzb: --output excludes --directory (see 'kzb convert --help')\n"},
      {{"convert", "--include", "*.jpg", c},
       "kzb: The following argument was not expected: --include (see 'kzb convert --help')\n"},
      {{"info", "--comicinfo", c, c},
       "kzb: --comicinfo takes one container (see 'kzb info --help')\n"},
      {{"info", c, c, "--opf"}, "kzb: --opf takes one container (see 'kzb info --help')\n"},
      {{"info", "--comicinfo", "--opf", c},
       "kzb: --comicinfo excludes --opf (see 'kzb info --help')\n"},
  };
  for (const auto& test : cases) {
    const Outcome outcome = kzb(test.args);
    EXPECT_EQ(outcome.status, 2) << ::testing::PrintToString(test.args);
    EXPECT_EQ(outcome.out, "") << ::testing::PrintToString(test.args);
    EXPECT_EQ(outcome.err, test.err) << ::testing::PrintToString(test.args);
  }
  EXPECT_TRUE(filesUnder(work()).empty());
}

// Each container's ZIP lands where the command line says, under the name it says, holding the
// stored files in table order and then ComicInfo.xml, each at the container's time.
TEST_F(KzbConvertTest, EachContainerBecomesOneZipWhereAsked) {
  const std::vector<StoredFile> aFiles = {{u"001.jpg", testing::pseudoRandomBytes(4097, 1), {}},
                                          {u"002.jpg", testing::pseudoRandomBytes(70000, 2), {}},
                                          {u"010 표지.png", "", {}}};
  const std::vector<StoredFile> bFiles = {{u"cover.png", "c", {}},
                                          {u"page 2.png", std::string(4096, '2'), {}},
                                          {u"page 10.png", "10", {}}};
  const std::string a = container("a.kzb", containerOf(aFiles, kTexts, 2));
  const std::string b = container("b.kzb", containerOf(bFiles));
  const std::vector<ZipMember> aZip = membersOf(testing::utf8Path(a), namedFiles(aFiles));
  const std::vector<ZipMember> bZip = membersOf(testing::utf8Path(b), namedFiles(bFiles));
  const struct {
    std::vector<std::string> args;
    std::vector<std::pair<std::string, const std::vector<ZipMember>*>> zips;
  } cases[] = {
      {{"convert", a}, {{"a.cbz", &aZip}}},
      {{"convert", a, b}, {{"a.cbz", &aZip}, {"b.cbz", &bZip}}},
      {{"convert", "-C", "books/new", b, a},
       {{"books/new/a.cbz", &aZip}, {"books/new/b.cbz", &bZip}}},
      {{"convert", "-C", ".", b}, {{"b.cbz", &bZip}}},
      {{"convert", a, "-o", "moon.zip"}, {{"moon.zip", &aZip}}},
      {{"convert", "--output", "sub/moon", a}, {{"sub/moon", &aZip}}},
  };
  int run = 0;
  for (const auto& test : cases) {
    SCOPED_TRACE(::testing::PrintToString(test.args));
    const fs::path in = work() / ("run" + std::to_string(++run));
    fs::create_directories(in / "sub");  // for -o sub/moon: -o makes no directory
    const Outcome outcome = kzb(test.args, in);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "");
    std::vector<std::string> expected;
    for (const auto& [path, members] : test.zips) {
      expected.push_back(path);
      testing::checkWithZipReaders(in / testing::utf8Path(path), *members, kTimeShown);
      EXPECT_EQ(firstMethod(testing::readFile(in / testing::utf8Path(path))), 0u);  // stored
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(filesUnder(in), expected);
  }
  SKIP_IF_A_READER_IS_MISSING();
}

// A row that fails or is refused costs that row alone: a line on standard error, exit status
// 1, and the other rows in the ZIP. A container that cannot be opened gets no ZIP.
TEST_F(KzbConvertTest, RowsThatFailAreLeftOutAndTheRestWritten) {
  const std::vector<StoredFile> files = {{u"1.jpg", "one", {}},
                                         {u"a:b.jpg", "colon", {}},
                                         {u"2.jpg", "two", {}},
                                         {u"ComicInfo.xml", "<ComicInfo/>", {}},
                                         {u"3.jpg", "three", {}},
                                         {u"", "no name", {}},
                                         {u"4.jpg", std::string(5000, '4'), {}}};
  const Bytes whole = withoutFileChunk(containerOf(files), 2);
  const std::string c = container("c.kzb", whole);
  const std::string cut = container("cut.kzb", whole.substr(0, whole.size() - 1000));
  const std::string rows =
      "kzb: a:b.jpg: unsafe name on Windows, not extracted (it holds \":\", a drive or a data "
      "stream)\n"
      "kzb: 2.jpg: no stored file of the recorded size at its position\n"
      "kzb: ComicInfo.xml: reserved name, not converted (the ZIP's ComicInfo.xml is made from "
      "the metadata)\n"
      "kzb: entry 6: unsafe name, not extracted (names must not be empty, \".\", \"..\" or hold "
      "\"/\" or \"\\\")\n";
  const std::string cannotOpen = "kzb: " + absent() + ": cannot open: No such file or directory\n";

  const struct {
    std::vector<std::string> args;
    std::string err;
    std::vector<std::string> files;
  } cases[] = {
      {{"convert", c}, rows, {"c.cbz"}},
      {{"convert", cut},
       "kzb: " + cut + ": truncated or malformed container\n" + rows +
           "kzb: 4.jpg: container ends inside this file's data\n",
       {"cut.cbz"}},
      {{"convert", absent(), c}, cannotOpen + rows, {"c.cbz"}},
      {{"convert", "-o", "x.cbz", absent()}, cannotOpen, {}},
      {{"convert", "-C", "never/made", absent()}, cannotOpen, {}},
  };
  int run = 0;
  for (const auto& test : cases) {
    SCOPED_TRACE(::testing::PrintToString(test.args));
    const fs::path in = work() / ("run" + std::to_string(++run));
    fs::create_directory(in);
    const Outcome outcome = kzb(test.args, in);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, test.err);
    EXPECT_EQ(filesUnder(in), test.files);
    if (test.files.empty()) {
      EXPECT_TRUE(fs::is_empty(in));
      continue;
    }
    const bool isCut = test.args[1] == cut;
    std::vector<std::pair<std::string, Bytes>> kept = {{"1.jpg", "one"}, {"3.jpg", "three"}};
    if (!isCut) {
      kept.emplace_back("4.jpg", std::string(5000, '4'));
    }
    testing::checkWithZipReaders(in / test.files.front(),
                                 membersOf(testing::utf8Path(isCut ? cut : c), kept), kTimeShown);
  }
  SKIP_IF_A_READER_IS_MISSING();
}

// Readers order pages by name: a note when the names sort out of table order, which does not
// change the exit status; --renumber puts them in order, and --deflate compresses.
TEST_F(KzbConvertTest, NamesOutOfOrderAreNotedAndRenumbered) {
  const std::vector<StoredFile> files = {{u"page 9.png", std::string(3000, '9'), {}},
                                         {u"page 10.png", std::string(3000, '1'), {}},
                                         {u"cover.png", std::string(3000, 'c'), {}}};
  const std::string c = container("c.kzb", containerOf(files));
  const std::string note = outOfOrderNote(c);
  const struct {
    std::vector<std::string> options;
    std::string err;
    std::vector<std::string> names;
    unsigned method;
  } cases[] = {
      {{}, note, {"page 9.png", "page 10.png", "cover.png"}, 0},
      {{"--deflate"}, note, {"page 9.png", "page 10.png", "cover.png"}, 8},
      {{"--renumber"}, "", {"1 page 9.png", "2 page 10.png", "3 cover.png"}, 0},
      {{"--renumber", "--deflate"}, "", {"1 page 9.png", "2 page 10.png", "3 cover.png"}, 8},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(::testing::PrintToString(test.options));
    std::vector<std::string> args{"convert", c, "-o", "out.cbz"};
    args.insert(args.end(), test.options.begin(), test.options.end());
    const Outcome outcome = kzb(args);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, test.err);
    const Bytes zip = testing::readFile(work() / "out.cbz");
    EXPECT_EQ(firstMethod(zip), test.method);
    if (test.method == 8) {
      EXPECT_LT(zip.size(), 3000u);  // 9000 bytes of three repeated characters
    }
    std::vector<std::pair<std::string, Bytes>> named;
    for (std::size_t i = 0; i < files.size(); ++i) {
      named.emplace_back(test.names[i], files[i].data);
    }
    testing::checkWithZipReaders(work() / "out.cbz", membersOf(testing::utf8Path(c), named),
                                 kTimeShown);
  }
  SKIP_IF_A_READER_IS_MISSING();
}

// The container is never the output, whatever name leads to it; two containers of a run never
// share one output; an output that cannot be made says why and leaves nothing.
TEST_F(KzbConvertTest, OutputsThatMustNotOrCannotBeWritten) {
  const Bytes bytes = containerOf({{u"a.jpg", std::string(2000, 'a'), {}}});
  const std::string c = container("c.kzb", bytes);
  const std::string moon1 = container("moon.kzb", bytes, "one");
  const std::string moon2 = container("moon.kzb", containerOf({{u"b.jpg", "b", {}}}), "two");
  testing::writeFile(work() / "book.cbz", bytes);  // a container that has the ZIP's name
  fs::create_directory(work() / "dir.cbz");
  testing::writeFile(work() / "file", "");
  fs::create_hard_link(testing::utf8Path(c), work() / "link.cbz");  // another name of c
  const std::string isTheContainer = ": is the container being read, not overwritten\n";
  const struct {
    std::vector<std::string> args;
    std::string err;  // its start, when it ends in the system's words
    bool exact;
    std::vector<std::string> added;  // files the run adds to the working directory
  } cases[] = {
      {{"convert", "-o", c, c}, "kzb: " + c + isTheContainer, true, {}},
      {{"convert", "book.cbz"}, "kzb: book.cbz" + isTheContainer, true, {}},
      {{"convert", "-C", ".", "./book.cbz"}, "kzb: ./book.cbz" + isTheContainer, true, {}},
      {{"convert", c, "-o", "link.cbz"}, "kzb: link.cbz" + isTheContainer, true, {}},
      {{"convert", moon1, moon2},
       "kzb: " + moon2 + ": would share the output moon.cbz with " + moon1 + "; not converted\n",
       true,
       {"moon.cbz"}},
      {{"convert", c, c},
       "kzb: " + c + ": would share the output c.cbz with " + c + "; not converted\n",
       true,
       {"c.cbz"}},
      {{"convert", "-o", "dir.cbz", c}, "kzb: dir.cbz: cannot create: ", false, {}},
      {{"convert", "-o", "missing/x.cbz", c},
       "kzb: missing: cannot open this directory: ",
       false,
       {}},
      {{"convert", "-o", "file/x.cbz", c}, "kzb: file: cannot open this directory: ", false, {}},
      {{"convert", "-C", "file/sub", c},
       "kzb: file/sub: cannot make or open this directory: ",
       false,
       {}},
      {{"convert", "-o", "dir.cbz/", c},
       "kzb: dir.cbz/: names no file to write; not converted\n",
       true,
       {}},
      {{"convert", "-o", "..", c}, "kzb: ..: names no file to write; not converted\n", true, {}},
  };
  const std::vector<std::string> before = filesUnder(work());
  for (const auto& test : cases) {
    SCOPED_TRACE(::testing::PrintToString(test.args));
    const Outcome outcome = kzb(test.args);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    if (test.exact) {
      EXPECT_EQ(outcome.err, test.err);
    } else {
      EXPECT_EQ(outcome.err.rfind(test.err, 0), 0u) << outcome.err;
      EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    }
    std::vector<std::string> now = before;
    now.insert(now.end(), test.added.begin(), test.added.end());
    std::sort(now.begin(), now.end());
    EXPECT_EQ(filesUnder(work()), now);
    for (const std::string& added : test.added) {
      fs::remove(work() / added);
    }
    EXPECT_EQ(testing::readFile(testing::utf8Path(c)), bytes);
    EXPECT_EQ(testing::readFile(work() / "link.cbz"), bytes);
    EXPECT_EQ(testing::readFile(work() / "book.cbz"), bytes);
    EXPECT_TRUE(fs::is_directory(work() / "dir.cbz"));
  }
#ifndef _WIN32
  // A container's file name that is no UTF-8 gives no name for its ZIP (on Windows, every file
  // name is Unicode).
  const std::string odd = container("\xff.kzb", bytes);
  const Outcome outcome = kzb({"convert", odd});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err,
            "kzb: " + testing::utf8String(dir_.path()) +
                "/\\xff.kzb: its file name gives no name for the ZIP; not converted\n");
  EXPECT_EQ(filesUnder(work()), before);
#endif
  // The earlier container's ZIP is the one that stays.
  EXPECT_EQ(kzb({"convert", moon1, moon2}).status, 1);
  testing::checkWithZipReaders(work() / "moon.cbz", membersOf(testing::utf8Path(moon1),
                                                              {{"a.jpg", std::string(2000, 'a')}}));
  SKIP_IF_A_READER_IS_MISSING();
}

// What stands at the output's name is replaced by a whole ZIP, and never written through: a
// symbolic link there is replaced, and what it pointed to stays as it was.
TEST_F(KzbConvertTest, WhatStandsAtTheNameIsReplacedByTheWholeZip) {
  const std::string c = container("c.kzb", containerOf({{u"a.jpg", "a", {}}}));
  testing::writeFile(work() / "c.cbz", "an older file");
  Outcome outcome = kzb({"convert", c});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(filesUnder(work()), std::vector<std::string>{"c.cbz"});
  const std::vector<ZipMember> members = membersOf(testing::utf8Path(c), {{"a.jpg", "a"}});
  testing::checkWithZipReaders(work() / "c.cbz", members, kTimeShown);
#ifndef _WIN32  // symbolic links need a privilege that wine's user lacks
  testing::writeFile(dir_ / "target", "pointed to");
  fs::create_symlink(dir_ / "target", work() / "link.cbz");
  outcome = kzb({"convert", c, "-o", "link.cbz"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_FALSE(fs::is_symlink(work() / "link.cbz"));
  EXPECT_EQ(testing::readFile(dir_ / "target"), "pointed to");
  testing::checkWithZipReaders(work() / "link.cbz", members, kTimeShown);
#endif
  SKIP_IF_A_READER_IS_MISSING();
}

// The same container gives the same bytes, whenever it is converted: each member's time is the
// container's modification time, not the clock's.
TEST_F(KzbConvertTest, TheSameContainerGivesTheSameBytes) {
  const std::string c =
      container("c.kzb", containerOf({{u"1.jpg", testing::pseudoRandomBytes(100000, 7), {}},
                                      {u"2.jpg", std::string(5000, 'x'), {}}},
                                     kTexts, 2));
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{}, {"--deflate"}, {"--renumber"}}) {
    SCOPED_TRACE(::testing::PrintToString(options));
    const auto convert = [&](const std::string& out) {
      std::vector<std::string> args{"convert", c, "-o", out};
      args.insert(args.end(), options.begin(), options.end());
      EXPECT_EQ(kzb(args).status, 0);
      return testing::readFile(work() / out);
    };
    const Bytes first = convert("first.cbz");
    const Bytes second = convert("second.cbz");
    EXPECT_TRUE(first == second);
    setModified(testing::utf8Path(c), kTime + std::chrono::hours(24));
    EXPECT_FALSE(convert("next-day.cbz") == first);
    setModified(testing::utf8Path(c), kTime);
    EXPECT_TRUE(convert("again.cbz") == first);
  }
}

// The built program, on Linux and under wine, writes the bytes recorded in tests/data, which
// the Linux build wrote (KZB_WRITE_GOLDEN=1 writes them again) and the readers accept.
TEST_F(KzbConvertTest, BinaryWritesTheRecordedBytes) {
  const std::vector<StoredFile> files = {
      {u"cover.jpg", testing::pseudoRandomBytes(5000, 11), {}},
      {u"1장.txt", std::string(300, 'k') + "한글", {}},
      {u"\U0001F600.png", "!", {}},
      {u"lone\xdc00.bin", testing::pseudoRandomBytes(4097, 12), {}},
      {u"empty", "", {}},
  };
  const std::string c = container("\xec\xb1\x85.kzb", containerOf(files, kTexts, 2));
  std::vector<std::pair<std::string, Bytes>> named = namedFiles(files);
  const struct {
    std::vector<std::string> args;
    std::string output;
    std::string golden;
    bool renumbered;
  } cases[] = {
      {{"convert", c}, "\xec\xb1\x85.cbz", "kzb-convert.cbz", false},
      {{"convert", "--deflate", "--renumber", "-o", "renumbered.cbz", c},
       "renumbered.cbz",
       "kzb-convert-deflated-renumbered.cbz",
       true},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.golden);
    const Outcome outcome = testing::runProgram(KZB_BINARY, work(), test.args);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, test.renumbered ? "" : outOfOrderNote(c));
    const Bytes zip = testing::readFile(work() / testing::utf8Path(test.output));
    if (std::getenv("KZB_WRITE_GOLDEN")) {
      testing::writeFile(kDataDir / test.golden, zip);
    }
    const Bytes golden = testing::readFile(kDataDir / test.golden);
    const auto [differs, _] = std::mismatch(zip.begin(), zip.end(), golden.begin(), golden.end());
    EXPECT_TRUE(zip == golden) << "written " << zip.size() << " bytes, recorded " << golden.size()
                               << ", first difference at " << (differs - zip.begin());
    std::vector<std::pair<std::string, Bytes>> expected = named;
    for (std::size_t i = 0; test.renumbered && i < expected.size(); ++i) {
      expected[i].first = std::to_string(i + 1) + " " + expected[i].first;
    }
    testing::checkWithZipReaders(work() / testing::utf8Path(test.output),
                                 membersOf(testing::utf8Path(c), expected), kTimeShown);
  }
  SKIP_IF_A_READER_IS_MISSING();
}

// kzb convert --to epub, the built program on Linux and under wine, writes the bytes recorded
// in tests/data for the sample books (the Linux build wrote them; KZB_WRITE_GOLDEN=1 writes
// them again), so kzb.exe writes each book byte for byte as kzb does.
TEST_F(KzbConvertTest, BinaryWritesTheRecordedEpubs) {
  const std::vector<testing::SampleBook> books = testing::sampleBooks(3000);
  const struct {
    std::size_t book;
    std::vector<std::string> options;
    std::string golden;
    int status;  // 1 where names are refused
  } cases[] = {
      {0, {}, "epub-each-kind.epub", 0},
      {0, {"--renumber", "--deflate", "--language", "ko"}, "epub-each-kind-renumbered.epub", 0},
      {1, {}, "epub-text.epub", 0},
      {1, {"--deflate"}, "epub-text-deflated.epub", 0},
      {2, {"--renumber"}, "epub-hostile-names.epub", 1},
      {3, {}, "epub-no-page.epub", 0},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.golden);
    const std::string c = container(books[test.book].name + ".kzb", books[test.book].container);
    std::vector<std::string> args = {"convert", "--to", "epub", "-o", "book.epub"};
    args.insert(args.end(), test.options.begin(), test.options.end());
    args.push_back(c);
    const Outcome outcome = testing::runProgram(KZB_BINARY, work(), args);
    EXPECT_EQ(outcome.status, test.status) << outcome.err;
    const Bytes book = testing::readFile(work() / "book.epub");
    ASSERT_FALSE(book.empty()) << outcome.err;
    if (std::getenv("KZB_WRITE_GOLDEN")) {
      testing::writeFile(kDataDir / test.golden, book);
    }
    const Bytes golden = testing::readFile(kDataDir / test.golden);
    const auto [differs, _] = std::mismatch(book.begin(), book.end(), golden.begin(), golden.end());
    EXPECT_TRUE(book == golden) << "written " << book.size() << " bytes, recorded " << golden.size()
                                << ", first difference at " << (differs - book.begin());
  }
}

#ifndef _WIN32
// A small disk of its own, mounted for the test and unmounted when it ends.
class SmallDisk {
 public:
  explicit SmallDisk(const fs::path& at) : at_(at) {
    fs::create_directory(at_);
    mounted_ =
        std::system(
            ("mount -t tmpfs -o size=256k tmpfs '" + at_.string() + "' 2>/dev/null").c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) {
      static_cast<void>(std::system(("umount -l '" + at_.string() + "'").c_str()));
    }
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  bool mounted() const { return mounted_; }
  bool makeReadOnly() const {
    return std::system(("mount -o remount,ro '" + at_.string() + "'").c_str()) == 0;
  }

 private:
  fs::path at_;
  bool mounted_ = false;
};
#endif

// A ZIP that cannot be written whole leaves nothing: no partial file, no temporary, and the
// file it was to replace as it was.
TEST_F(KzbConvertTest, AZipThatCannotBeWrittenLeavesNothing) {
#ifdef _WIN32
  GTEST_SKIP() << "a full or read-only file system is mounted for this test on Linux only";
#else
  const SmallDisk disk(work() / "disk");
  if (!disk.mounted()) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs root with the right to mount)";
  }
  const std::string c =
      container("c.kzb", containerOf({{u"small.jpg", "s", {}},
                                      {u"big.jpg", testing::pseudoRandomBytes(1 << 20, 3), {}}}));
  testing::writeFile(work() / "disk" / "old.cbz", "the old file");
  const std::string full = "write failed: No space left on device\n";
  for (const std::string name : {"disk/new.cbz", "disk/old.cbz"}) {
    const Outcome outcome = kzb({"convert", c, "-o", name});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "kzb: " + name + ": " + full);
    EXPECT_EQ(filesUnder(work() / "disk"), std::vector<std::string>{"old.cbz"});
    EXPECT_EQ(testing::readFile(work() / "disk" / "old.cbz"), "the old file");
  }
  // The same through -C, and as the built program.
  Outcome outcome = kzb({"convert", c, "-C", "disk"});
  EXPECT_EQ(outcome.err, "kzb: disk/c.cbz: " + full);
  outcome = testing::runProgram(KZB_BINARY, work(), {"convert", c, "-C", "disk"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "kzb: disk/c.cbz: " + full);
  EXPECT_EQ(filesUnder(work() / "disk"), std::vector<std::string>{"old.cbz"});

  // A file-size limit, with the signal it raises ignored, fails the write too.
  outcome = testing::runProgram(KZB_BINARY, work(), {"convert", c},
                                {.prelude = "ulimit -f 100; trap '' XFSZ", .wrapper = ""});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "kzb: c.cbz: write failed: File too large\n");
  EXPECT_FALSE(fs::exists(work() / "c.cbz"));

  ASSERT_TRUE(disk.makeReadOnly());
  outcome = kzb({"convert", c, "-o", "disk/new.cbz"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "kzb: disk/new.cbz: cannot create: Read-only file system\n");
  EXPECT_EQ(filesUnder(work() / "disk"), std::vector<std::string>{"old.cbz"});
#endif
}

// A row whose bytes the system cannot read is left out with the system's reason, and the rows
// after it are still written.
TEST_F(KzbConvertTest, ARowThatCannotBeReadIsLeftOut) {
#ifdef _WIN32
  GTEST_SKIP() << "read errors are made by a library preloaded into the program, on Linux only";
#else
  const Bytes big = testing::pseudoRandomBytes(1 << 20, 5);
  const Bytes bytes = containerOf({{u"1.jpg", "s", {}}, {u"2.jpg", big, {}}, {u"3.jpg", "l", {}}});
  const std::string c = container("c.kzb", bytes);
  // Inside 2.jpg's bytes, far from any chunk header that the walk reads.
  const std::size_t failing = bytes.find(big) + big.size() / 2;
  const std::string library = KZB_IO_FAULTS_LIBRARY;
  const Outcome outcome = testing::runProgram(
      KZB_BINARY, work(), {"convert", c},
      {.prelude = "export KZB_FAULT_EIO_AT=" + std::to_string(failing) + " LD_PRELOAD='" + library +
                  "' ASAN_OPTIONS=verify_asan_link_order=0",
       .wrapper = ""});
  if (outcome.status == 0 && outcome.err.empty()) {
    GTEST_SKIP() << "the fault library cannot be preloaded into the program here";
  }
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "kzb: 2.jpg: read error: Input/output error\n");
  testing::checkWithZipReaders(work() / "c.cbz",
                               membersOf(testing::utf8Path(c), {{"1.jpg", "s"}, {"3.jpg", "l"}}),
                               kTimeShown);
  SKIP_IF_A_READER_IS_MISSING();
#endif
}

// info --comicinfo and --opf print the documents of the metadata, as far as the container was
// read, and xmllint reads them with their elements in order.
TEST_F(KzbConvertTest, InfoPrintsTheMetadataDocuments) {
  const std::vector<StoredFile> files = {
      {u"1.jpg", "1", {}}, {u"2.jpg", "2", {}}, {u"3.jpg", "3", {}}};
  const Bytes bytes = withoutFileChunk(containerOf(files, kTexts, 2), 1);
  const std::string c = container("c.kzb", bytes);
  const std::string cut = container("cut.kzb", bytes.substr(0, bytes.size() - 2));
  const ArchiveReader whole(c);
  const ArchiveReader partial(cut);
  // PageCount counts the rows of the table, the one without its stored file too.
  EXPECT_NE(comicInfoXml(whole.archive(), 3).find("<PageCount>3</PageCount>"), std::string::npos);
  const std::string malformed = "kzb: " + cut + ": truncated or malformed container\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  } cases[] = {
      {{"info", "--comicinfo", c}, 0, comicInfoXml(whole.archive(), 3), ""},
      {{"info", c, "--opf"}, 0, opfPackage(whole.archive()), ""},
      {{"info", "--comicinfo", cut},
       1,
       comicInfoXml(partial.archive(), partial.entries().size()),
       malformed},
      {{"info", "--opf", cut}, 1, opfPackage(partial.archive()), malformed},
      {{"info", "--opf", absent()},
       1,
       "",
       "kzb: " + absent() + ": cannot open: No such file or directory\n"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(::testing::PrintToString(test.args));
    const Outcome outcome = kzb(test.args);
    EXPECT_EQ(outcome.status, test.status);
    EXPECT_EQ(outcome.out, test.out);
    EXPECT_EQ(outcome.err, test.err);
  }
  const auto comicInfo =
      testing::xmllintChildren(dir_.path(), kzb({"info", "--comicinfo", c}).out, "/ComicInfo/*",
                               kDataDir / "comicinfo-2.1-written.xsd");
  if (comicInfo) {
    EXPECT_EQ(*comicInfo,
              (std::vector<std::string>{"Title", "Summary", "Notes", "Year", "Month", "Day",
                                        "Writer", "Publisher", "Genre", "Web", "PageCount", "Manga",
                                        "ScanInformation", "GTIN"}));
  }
  const auto opf =
      testing::xmllintChildren(dir_.path(), kzb({"info", "--opf", c}).out,
                               "/*[local-name()='package']/*[local-name()='metadata']/*");
  if (opf) {
    EXPECT_EQ(*opf, (std::vector<std::string>{"dc:title", "dc:creator", "dc:publisher", "dc:date",
                                              "dc:identifier", "dc:subject", "dc:rights",
                                              "dc:description", "dc:source", "dc:contributor"}));
  }
  EXPECT_TRUE(filesUnder(work()).empty());
  SKIP_IF_A_READER_IS_MISSING();
}

// The ZIP's comment is the line info --comicbookinfo prints; where the metadata is longer than
// a ZIP comment holds, both say so once and still succeed.
TEST_F(KzbConvertTest, TheCommentIsWhatInfoPrintsAndFitsWhateverTheMetadata) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::u16string>> texts;
    bool shortened;
  };
  const std::vector<Case> cases = {
      {"all.kzb", kTexts, false},
      {"none.kzb", {}, false},
      {"long.kzb", {{"TITL", u"Moon"}, {"COMT", std::u16string(40000, u'밤')}}, true},
  };
  const std::vector<StoredFile> files = {{u"1.jpg", "one", {}}};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const std::string c = container(test.name, containerOf(files, test.texts));
    const std::string note =
        test.shortened ? "kzb: " + c +
                             ": note: the metadata is longer than a ZIP comment holds (65535 "
                             "bytes); its longest texts are shortened in the ComicBookInfo "
                             "comment\n"
                       : "";
    const Outcome info = kzb({"info", "--comicbookinfo", c});
    EXPECT_EQ(info.status, 0);
    EXPECT_EQ(info.err, note);
    ASSERT_FALSE(info.out.empty());
    ASSERT_EQ(info.out.back(), '\n');
    const std::string comment = info.out.substr(0, info.out.size() - 1);
    EXPECT_LE(comment.size(), 65535u);
    EXPECT_NE(comment.find(R"("lastModified":")" + std::string(kTimeShown) + "\""),
              std::string::npos);

    const Outcome converted = kzb({"convert", "-o", "out.cbz", c});
    EXPECT_EQ(converted.status, 0);
    EXPECT_EQ(converted.err, note);
    testing::checkWithZipReaders(work() / "out.cbz",
                                 membersOf(testing::utf8Path(c), namedFiles(files)), kTimeShown,
                                 comment);
  }
  SKIP_IF_A_READER_IS_MISSING();
}

// What README.md shows of convert and info --comicinfo, run on the sample the build writes.
TEST_F(KzbConvertTest, ReadmeExamplesHoldForTheSample) {
  const fs::path sample = fs::absolute(testing::utf8Path(KZB_BINARY)).parent_path() / "sample.kzb";
  ASSERT_TRUE(fs::exists(sample)) << "the build writes " << sample << " (target `sample`)";
  fs::copy_file(sample, work() / "sample.kzb");
  const ArchiveReader reader(testing::utf8String(work() / "sample.kzb"));
  std::vector<std::pair<std::string, Bytes>> pages;
  for (const FileEntry& entry : reader.entries()) {
    const Outcome cat = kzb({"cat", "sample.kzb", toUtf8(entry.name)});
    pages.emplace_back(toUtf8(entry.name), cat.out);
  }
  ASSERT_EQ(pages.size(), 5u);

  // The time README shows: 2026-12-08 09:30:00 UTC.
  setModified(work() / "sample.kzb", std::chrono::sys_seconds{std::chrono::seconds{1796722200}});
  const std::string comicBookInfo =
      toUtf8(u"{\"appID\":\"kzb/" KZB_VERSION
             u"\",\"lastModified\":\"2026-12-08 09:30:00\",\"ComicBookInfo/1.0\":{"
             u"\"title\":\"달빛 항해 (Moonlight Voyage)\",\"publisher\":\"Paper Lantern Press\","
             u"\"publicationYear\":2026,\"publicationMonth\":12,\"genre\":\"소설\","
             u"\"tags\":[\"소설\"],\"credits\":[{\"person\":\"김하늘\",\"role\":\"Writer\","
             u"\"primary\":true}],\"comments\":\"밤바다를 건너는 작은 배의 이야기. A small boat "
             u"crosses the night sea.\"}}");
  Outcome outcome = kzb({"info", "--comicbookinfo", "sample.kzb"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(outcome.out, comicBookInfo + "\n");

  outcome = kzb({"convert", "sample.kzb"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, outOfOrderNote("sample.kzb"));
  testing::checkWithZipReaders(work() / "sample.cbz", membersOf(work() / "sample.kzb", pages),
                               "2026-12-08 09:30:00", comicBookInfo);

  outcome = kzb({"convert", "--renumber", "-o", "moon.cbz", "sample.kzb"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
  const std::vector<std::u16string> listed = {u"1 readme.txt", u"2 1장.txt", u"3 pages.bin",
                                              u"4 empty.txt", u"5 표지.svg"};
  for (std::size_t i = 0; i < pages.size(); ++i) {
    pages[i].first = toUtf8(listed[i]);
  }
  testing::checkWithZipReaders(work() / "moon.cbz", membersOf(work() / "sample.kzb", pages));

  outcome = kzb({"info", "--comicinfo", "sample.kzb"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(outcome.out,
            toUtf8(u"<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                   u"<ComicInfo xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                   u"xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">\n"
                   u"  <Title>달빛 항해 (Moonlight Voyage)</Title>\n"
                   u"  <Summary>밤바다를 건너는 작은 배의 이야기. A small boat crosses the night "
                   u"sea.</Summary>\n"
                   u"  <Year>2026</Year>\n"
                   u"  <Month>12</Month>\n"
                   u"  <Day>8</Day>\n"
                   u"  <Writer>김하늘</Writer>\n"
                   u"  <Publisher>Paper Lantern Press</Publisher>\n"
                   u"  <Genre>소설</Genre>\n"
                   u"  <Web>https://example.org/moonlight</Web>\n"
                   u"  <PageCount>5</PageCount>\n"
                   u"  <Manga>YesAndRightToLeft</Manga>\n"
                   u"  <ScanInformation>make-sample</ScanInformation>\n"
                   u"  <GTIN>979-11-0000-000-0</GTIN>\n"
                   u"</ComicInfo>\n"));
  SKIP_IF_A_READER_IS_MISSING();
}

}  // namespace
}  // namespace kzb
