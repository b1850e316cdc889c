// The built binary on real file systems, each made fresh and mounted by the test: ones that
// take names of another case for the same name, ones that cannot store some characters, FUSE
// drivers that fix the permissions of every file, and journalled ones shut down as by a power
// loss right after the run. Where a file system cannot be mounted here, its test says why and
// skips.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "binary_runner.h"
#include "container_builder.h"
#include "mounted_file_system.h"
#include "temp_dir.h"

namespace kzb {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::FileSystemKind;
using testing::MountedFileSystem;
using testing::Outcome;

struct File {
  std::string name;
  Bytes data;
};

// Writes a container holding `files`, in this order, outside the file system, and runs the tool
// on it in the file system's work directory.
Outcome extract(const MountedFileSystem& disk, const std::vector<File>& files,
                const testing::Launch& launch = {}) {
  testing::Publication publication;
  for (const File& file : files) {
    publication.files.push_back({testing::utf16FromUtf8(file.name), file.data, {}});
  }
  const fs::path container = disk.outside() / "c.kzb";
  testing::writeFile(container, testing::buildContainer(publication));
  return testing::runBinary(disk.workDirectory(), {container.string()}, launch);
}

std::set<std::string> listing(const fs::path& dir) {
  std::set<std::string> names;  // hidden ones too
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string octal(unsigned mode) {
  std::ostringstream out;
  out << "0" << std::oct << mode;
  return out.str();
}

// Mounts a fresh file system of `kind` as `disk` for the rest of the test, or skips saying why.
#define MOUNT_OR_SKIP(disk, kind)     \
  MountedFileSystem disk(kind);       \
  if (!(disk).mounted()) {            \
    GTEST_SKIP() << (disk).failure(); \
  }

// ---------------------------------------------------------------------------------------------
// Names that the file system takes for one another.

struct CaseRow {
  std::string name;
  FileSystemKind kind;
  bool foldsCase;
  bool listsInLowerCase = false;  // lowntfs-3g's ignore_case shows every name in lower case
};

// The names a listing of the work directory shows for these stored names.
std::set<std::string> shown(const CaseRow& row, const std::set<std::string>& stored) {
  std::set<std::string> names;
  for (const std::string& name : stored) {
    names.insert(row.listsInLowerCase ? lowered(name) : name);
  }
  return names;
}

void PrintTo(const CaseRow& row, std::ostream* out) {
  *out << row.name;
}

class NamesOnDisk : public ::testing::TestWithParam<CaseRow> {};

std::string notExtracted(const std::string& name, const std::string& earlier) {
  return "kzb-extract: " + name + ": this file system does not tell it from " + earlier +
         ", extracted earlier; not extracted\n";
}

// Where the file system folds case, the first of three names wins and keeps its bytes; the
// others would overwrite it and are refused instead, each with one line.
TEST_P(NamesOnDisk, CaseVariantsOfOneNameAreNotMixedUp) {
  MOUNT_OR_SKIP(disk, GetParam().kind);
  const std::vector<File> files = {
      {"Page.jpg", "first page"}, {"page.jpg", "second page!"}, {"PAGE.JPG", "third page!!!"}};
  const Outcome outcome = extract(disk, files);
  const fs::path work = disk.workDirectory();
  if (GetParam().foldsCase) {
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err,
              notExtracted("page.jpg", "Page.jpg") + notExtracted("PAGE.JPG", "Page.jpg"));
    EXPECT_EQ(listing(work), shown(GetParam(), {"Page.jpg"}));
    EXPECT_EQ(testing::readFile(work / "Page.jpg"), "first page");
  } else {
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(listing(work), (std::set<std::string>{"Page.jpg", "page.jpg", "PAGE.JPG"}));
    for (const File& file : files) {
      EXPECT_EQ(testing::readFile(work / file.name), file.data) << file.name;
    }
  }
}

// A later row of the very same name is the same file on every file system: it rewrites it.
TEST_P(NamesOnDisk, TheSameNameAgainRewritesTheFile) {
  MOUNT_OR_SKIP(disk, GetParam().kind);
  const Outcome outcome =
      extract(disk, {{"Same.txt", "the first"}, {"other.txt", "between"}, {"Same.txt", "later"}});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(listing(disk.workDirectory()), shown(GetParam(), {"Same.txt", "other.txt"}));
  EXPECT_EQ(testing::readFile(disk.workDirectory() / "Same.txt"), "later");
}

// A file that stood under the name before the run is replaced, whatever the case of its name:
// it is not one this run extracted.
TEST_P(NamesOnDisk, AFileThatStoodThereIsReplacedWhateverItsCase) {
  MOUNT_OR_SKIP(disk, GetParam().kind);
  const fs::path work = disk.workDirectory();
  testing::writeFile(work / "PAGE.jpg", "there before the run");
  const Outcome outcome = extract(disk, {{"page.jpg", "from the container"}});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(testing::readFile(work / "page.jpg"), "from the container");
  const std::set<std::string> names = listing(work);
  if (GetParam().foldsCase) {
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(lowered(*names.begin()), "page.jpg");  // the case it shows is the driver's choice
  } else {
    EXPECT_EQ(names, (std::set<std::string>{"PAGE.jpg", "page.jpg"}));
    EXPECT_EQ(testing::readFile(work / "PAGE.jpg"), "there before the run");
  }
}

std::string caseRowName(const ::testing::TestParamInfo<CaseRow>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(
    FileSystems, NamesOnDisk,
    ::testing::Values(CaseRow{"Ext4", FileSystemKind::ext4, false},
                      CaseRow{"Ext4CaseFolded", FileSystemKind::ext4CaseFolded, true},
                      CaseRow{"ExFat", FileSystemKind::exfat, true},
                      CaseRow{"Fat32", FileSystemKind::fat32, true},
                      CaseRow{"NtfsIgnoringCase", FileSystemKind::ntfsIgnoringCase, true, true}),
    caseRowName);

// ---------------------------------------------------------------------------------------------
// Folders that the file system takes for one another: kzb extract --each tells them apart by
// what they are, not by their names, and never merges two containers into one.

class FoldersOnDisk : public ::testing::TestWithParam<CaseRow> {};

TEST_P(FoldersOnDisk, TwoContainersNeverShareAFolder) {
  MOUNT_OR_SKIP(disk, GetParam().kind);
  const fs::path upper = disk.outside() / "M.kzb";
  const fs::path lower = disk.outside() / "m.kzb";
  for (const auto& [path, data] : {std::pair{upper, "the first page"}, {lower, "the second"}}) {
    testing::Publication publication;
    publication.files.push_back({u"page.jpg", data, {}});
    testing::writeFile(path, testing::buildContainer(publication));
  }
  const fs::path work = disk.workDirectory();
  for (const std::string jobs : {"1", "2"}) {
    fs::remove_all(work / "M");
    fs::remove_all(work / "m");
    const Outcome outcome = testing::runProgram(
        KZB_BINARY, work, {"extract", "--each", "-j", jobs, upper.string(), lower.string()});
    if (GetParam().foldsCase) {
      EXPECT_EQ(outcome.status, 1) << jobs;
      EXPECT_EQ(outcome.err, "kzb: " + lower.string() + ": would share the folder m with " +
                                 upper.string() + "; not extracted\n")
          << jobs;
      EXPECT_EQ(listing(work), shown(GetParam(), {"M"})) << jobs;
      EXPECT_EQ(testing::readFile(work / "M" / "page.jpg"), "the first page") << jobs;
    } else {
      EXPECT_EQ(outcome.status, 0) << jobs;
      EXPECT_EQ(outcome.err, "") << jobs;
      EXPECT_EQ(listing(work), (std::set<std::string>{"M", "m"})) << jobs;
      EXPECT_EQ(testing::readFile(work / "M" / "page.jpg"), "the first page") << jobs;
      EXPECT_EQ(testing::readFile(work / "m" / "page.jpg"), "the second") << jobs;
    }
    // The folder is told apart without leaving anything of the check behind.
    if (fs::exists(work / "M")) {
      EXPECT_EQ(listing(work / "M"), shown(GetParam(), {"page.jpg"})) << jobs;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    FileSystems, FoldersOnDisk,
    ::testing::Values(CaseRow{"Ext4", FileSystemKind::ext4, false},
                      CaseRow{"Ext4CaseFolded", FileSystemKind::ext4CaseFolded, true},
                      CaseRow{"ExFat", FileSystemKind::exfat, true},
                      CaseRow{"Fat32", FileSystemKind::fat32, true},
                      CaseRow{"NtfsIgnoringCase", FileSystemKind::ntfsIgnoringCase, true, true}),
    caseRowName);

// ---------------------------------------------------------------------------------------------
// Names the file system cannot store: the reason is given in the user's words, with the
// system's own words for what the driver answered.

struct RefusingRow {
  std::string name;
  FileSystemKind kind;
  int error;  // what the driver answers to creating such a name
};

void PrintTo(const RefusingRow& row, std::ostream* out) {
  *out << row.name;
}

class NamesRefusedByTheFileSystem : public ::testing::TestWithParam<RefusingRow> {};

TEST_P(NamesRefusedByTheFileSystem, FailAloneAndLeaveNothing) {
  const RefusingRow& row = GetParam();
  MOUNT_OR_SKIP(disk, row.kind);
  const std::vector<std::string> refused = {"a:b.txt",   "why?.txt",  "star*.txt", "say\".txt",
                                            "less<.txt", "pipe|.txt", "more>.txt"};
  // The driver itself answers so; the tool's line must carry those words.
  for (const std::string& name : refused) {
    const fs::path probe = disk.mountPoint() / name;
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    const int error = errno;
    ASSERT_LT(fd, 0) << nameOf(row.kind) << " now stores " << name;
    ASSERT_EQ(error, row.error) << name << ": " << std::strerror(error);
  }
  std::vector<File> files = {{"first.txt", "before them"}};
  for (const std::string& name : refused) {
    files.push_back({name, "cannot be stored"});
  }
  files.push_back({"last.txt", "after them"});
  const Outcome outcome = extract(disk, files);

  EXPECT_EQ(outcome.status, 1);
  std::string expected;
  for (const std::string& name : refused) {
    expected += "kzb-extract: " + name + ": this file system cannot store this name (" +
                std::strerror(row.error) + ")\n";
  }
  EXPECT_EQ(outcome.err, expected);
  // No temporary stays behind for them either.
  EXPECT_EQ(listing(disk.workDirectory()), (std::set<std::string>{"first.txt", "last.txt"}));
  EXPECT_EQ(testing::readFile(disk.workDirectory() / "first.txt"), "before them");
  EXPECT_EQ(testing::readFile(disk.workDirectory() / "last.txt"), "after them");
}

std::string refusingRowName(const ::testing::TestParamInfo<RefusingRow>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(FileSystems, NamesRefusedByTheFileSystem,
                         ::testing::Values(RefusingRow{"ExFat", FileSystemKind::exfat, ENOENT},
                                           RefusingRow{"Fat32", FileSystemKind::fat32, EPERM}),
                         refusingRowName);

// ---------------------------------------------------------------------------------------------
// A power loss right after the run: a replaced file holds its old bytes or its new ones, whole.

struct JournalRow {
  std::string name;
  FileSystemKind kind;
  bool namedTemporaries = false;  // as where the file system has no unnamed ones
};

void PrintTo(const JournalRow& row, std::ostream* out) {
  *out << row.name;
}

class PowerLoss : public ::testing::TestWithParam<JournalRow> {};

std::string numbered(const char* prefix, std::size_t i) {
  return prefix + std::string(i < 10 ? "0" : "") + std::to_string(i);
}

TEST_P(PowerLoss, LeavesEveryReplacedFileOldOrNewAndWhole) {
  MOUNT_OR_SKIP(disk, GetParam().kind);
  testing::Launch launch;
  if (GetParam().namedTemporaries) {
    if (!fs::exists(KZB_IO_FAULTS_LIBRARY)) {
      GTEST_SKIP() << "no fault library at " << KZB_IO_FAULTS_LIBRARY;
    }
    launch.wrapper = std::string("env KZB_FAULT_NO_TMPFILE=1 LD_PRELOAD='") +
                     KZB_IO_FAULTS_LIBRARY + "' ASAN_OPTIONS=verify_asan_link_order=0";
  }
  // 20 files that stand there with old bytes, and 20 new names, 4 to 61 KiB each.
  constexpr std::size_t kCount = 20;
  const fs::path work = disk.workDirectory();
  std::vector<Bytes> olds;
  std::vector<Bytes> news;
  std::vector<Bytes> fresh;
  std::vector<File> files;
  for (std::size_t i = 0; i < kCount; ++i) {
    const auto seed = static_cast<std::uint32_t>(i);
    olds.push_back(testing::pseudoRandomBytes(1000 + 150 * i, seed));
    news.push_back(testing::pseudoRandomBytes(4096 + 3072 * i, seed + 100));
    fresh.push_back(testing::pseudoRandomBytes(4096 + 3072 * i, seed + 200));
    testing::writeFile(work / numbered("f", i), olds[i]);
    files.push_back({numbered("f", i), news[i]});
    files.push_back({numbered("n", i), fresh[i]});
  }
  {
    // The old files are on the disk before the run begins.
    const int fd = ::open(work.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::syncfs(fd), 0) << std::strerror(errno);
    ::close(fd);
  }

  const Outcome outcome = extract(disk, files, launch);
  const std::string stopped = testing::shutDown(disk.mountPoint());
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  if (!stopped.empty()) {
    GTEST_SKIP() << stopped;
  }
  ASSERT_EQ(disk.remount(), "");

  std::vector<std::string> wrong;
  int replacedNew = 0;
  int replacedOld = 0;
  for (std::size_t i = 0; i < kCount; ++i) {
    const Bytes now = testing::readFile(work / numbered("f", i));
    if (now == news[i] || now == olds[i]) {
      ++(now == news[i] ? replacedNew : replacedOld);
    } else {
      wrong.push_back(numbered("f", i) + " holds " + std::to_string(now.size()) +
                      " bytes, neither its " + std::to_string(olds[i].size()) + " old nor its " +
                      std::to_string(news[i].size()) + " new");
    }
  }
  // A new name may come back empty, short or missing; never with bytes that are not its own.
  int freshWhole = 0;
  for (std::size_t i = 0; i < kCount; ++i) {
    const Bytes now = testing::readFile(work / numbered("n", i));
    if (now == fresh[i]) {
      ++freshWhole;
    } else if (!fresh[i].starts_with(now)) {
      wrong.push_back(numbered("n", i) + " holds " + std::to_string(now.size()) +
                      " bytes that are not its own");
    }
  }
  EXPECT_TRUE(wrong.empty()) << wrong.size() << " wrong, the first: " << wrong.front();
  RecordProperty("replaced_names_new", replacedNew);
  RecordProperty("replaced_names_old", replacedOld);
  RecordProperty("new_names_whole", freshWhole);
  std::cout << nameOf(GetParam().kind) << " after the power loss: of " << kCount
            << " replaced names, " << replacedNew << " hold the new bytes and " << replacedOld
            << " the old; " << freshWhole << " of " << kCount << " new names came back whole\n";
}

std::string journalRowName(const ::testing::TestParamInfo<JournalRow>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(FileSystems, PowerLoss,
                         ::testing::Values(JournalRow{"Ext4", FileSystemKind::ext4},
                                           JournalRow{"Xfs", FileSystemKind::xfs},
                                           JournalRow{"XfsNamedTemporaries", FileSystemKind::xfs,
                                                      true}),
                         journalRowName);

// ---------------------------------------------------------------------------------------------
// Permissions: a new file's (0666 less the umask) where the file system keeps them; the one
// mode the driver gives every file where it does not.

struct ModeRow {
  std::string name;
  FileSystemKind kind;
  unsigned mode;  // of every extracted file under umask 022
};

void PrintTo(const ModeRow& row, std::ostream* out) {
  *out << row.name;
}

class Permissions : public ::testing::TestWithParam<ModeRow> {};

TEST_P(Permissions, AreThoseTheFileSystemGives) {
  const ModeRow& row = GetParam();
  MOUNT_OR_SKIP(disk, row.kind);
  const fs::path work = disk.workDirectory();
  testing::writeFile(work / "replaced.txt", "old");
  static_cast<void>(::chmod((work / "replaced.txt").c_str(), 0600));  // where it keeps modes
  testing::Launch underUmask022;
  underUmask022.prelude = "umask 022";
  const Outcome outcome =
      extract(disk, {{"replaced.txt", "new"}, {"new.txt", "also new"}}, underUmask022);
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  for (const char* name : {"replaced.txt", "new.txt"}) {
    struct stat status {};
    ASSERT_EQ(::stat((work / name).c_str(), &status), 0) << name;
    EXPECT_EQ(octal(status.st_mode & 07777u), octal(row.mode)) << name;
  }
}

std::string modeRowName(const ::testing::TestParamInfo<ModeRow>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(FileSystems, Permissions,
                         ::testing::Values(ModeRow{"Ext4", FileSystemKind::ext4, 0644},
                                           ModeRow{"Tmpfs", FileSystemKind::tmpfs, 0644},
                                           ModeRow{"ExFat", FileSystemKind::exfat, 0777},
                                           ModeRow{"Fat32", FileSystemKind::fat32, 0700},
                                           ModeRow{"NtfsIgnoringCase",
                                                   FileSystemKind::ntfsIgnoringCase, 0777}),
                         modeRowName);

}  // namespace
}  // namespace kzb
