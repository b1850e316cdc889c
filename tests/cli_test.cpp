// The whole command: through run(), and as the built binary in a fresh directory.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstdlib>
#include <sstream>

#include "binary_runner.h"
#include "container_builder.h"
#include "driver.h"
#include "output_file.h"
#include "temp_dir.h"

namespace kzb {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::Chunk;
using testing::Launch;
using testing::Outcome;
using testing::runBinary;

// run() with the working directory set to `dir`.
Outcome runIn(const fs::path& dir, std::vector<std::string> args) {
  args.insert(args.begin(), "kzb-extract");
  std::vector<const char*> argv;
  for (const std::string& arg : args) {
    argv.push_back(arg.c_str());
  }
  const testing::ScopedCwd cwd(dir);
  std::ostringstream out;
  std::ostringstream err;
  const int status = run(static_cast<int>(argv.size()), argv.data(), out, err);
  return {status, out.str(), err.str()};
}

class CliTest : public ::testing::Test {
 protected:
  CliTest() { fs::create_directory(work()); }
  fs::path work() const { return dir_ / "work"; }
  fs::path container(const Bytes& bytes) const {
    testing::writeFile(dir_ / "c.kzb", bytes);
    return dir_ / "c.kzb";
  }
  bool workIsEmpty() const { return fs::is_empty(work()); }

 private:
  testing::TempDir dir_;
};

const std::string kEmptyReport =
    "Basic Information\n\tKZBBuilder Version : 0\n\t   KZB File Length : 0bytes\n\n"
    "Header Information\n\t   Bounding Dir. : Not Defined\n\nFile Information\nFile count : 0\n";

TEST_F(CliTest, WithoutAPathNothingHappens) {
  const Outcome outcome = runIn(work(), {});
  EXPECT_EQ(outcome.status, -1);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "");
  EXPECT_TRUE(workIsEmpty());

  const Outcome binary = runBinary(work(), {});
  EXPECT_EQ(binary.status, testing::kStatusOfMinusOne);
  EXPECT_EQ(binary.out + binary.err, "");
  EXPECT_TRUE(workIsEmpty());
}

TEST_F(CliTest, HelpAndVersionOnlyAsTheWholeFirstArgument) {
  testing::Publication publication;
  publication.files = {{u"a.txt", "alpha", {}}};
  const std::string path = container(testing::buildContainer(publication)).string();
  const Outcome help = runIn(work(), {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: kzb-extract CONTAINER\n", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("kzb --help"), std::string::npos) << help.out;
  EXPECT_EQ(help.err, "");
  const Outcome version = runIn(work(), {"--version", path});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "kzb-extract " KZB_VERSION "\n");
  EXPECT_TRUE(workIsEmpty());

  // Anywhere else, or spelled otherwise, it is what it always was.
  const struct {
    std::vector<std::string> args;
    std::string err;
  } containers[] = {
      {{"./--help"}, "kzb-extract: ./--help: cannot open: No such file or directory\n"},
      {{"--HELP"}, "kzb-extract: --HELP: cannot open: No such file or directory\n"},
      {{"-h"}, "kzb-extract: -h: cannot open: No such file or directory\n"},
  };
  for (const auto& c : containers) {
    const Outcome outcome = runIn(work(), c.args);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, kEmptyReport);
    EXPECT_EQ(outcome.err, c.err);
  }
  const Outcome extracted = runBinary(work(), {path, "--help"});
  EXPECT_EQ(extracted.status, 0);
  EXPECT_EQ(extracted.out.rfind("Basic Information\n", 0), 0u);
  EXPECT_EQ(testing::readFile(work() / "a.txt"), "alpha");
  EXPECT_EQ(runBinary(work(), {"--help"}).out, help.out);
}

TEST_F(CliTest, ContainersThatCannotBeReadExitOneWithOneLine) {
  const fs::path absent = work().parent_path() / "absent.kzb";
  const fs::path empty = container("");
  const struct {
    fs::path path;
    std::string reason;
  } cases[] = {
      {absent, "cannot open: No such file or directory"},
      {empty, "truncated or malformed container"},
      {work(), "cannot open: Is a directory"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = runIn(work(), {c.path.string()});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, kEmptyReport);
    EXPECT_EQ(outcome.err, "kzb-extract: " + c.path.string() + ": " + c.reason + "\n");
  }
  EXPECT_TRUE(workIsEmpty());
}

TEST_F(CliTest, TruncatedContainerExtractsWhatIsIntactAndSaysWhatIsNot) {
  testing::Publication publication;
  publication.files = {
      {u"whole", "intact", {}}, {u"cut", std::string(100, 'c'), {}}, {u"lost", "l", {}}};
  const Bytes bytes = testing::buildContainer(publication);
  // Cut inside the second payload: the walk meets the end at the third "FILE" header.
  const fs::path path = container(bytes.substr(0, bytes.size() - 17 - 50));
  const Outcome outcome = runIn(work(), {path.string(), "ignored", "--also-ignored"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "kzb-extract: " + path.string() +
                             ": truncated or malformed container\n"
                             "kzb-extract: cut: container ends inside this file's data\n"
                             "kzb-extract: lost: no stored file of the recorded size at its "
                             "position\n");
  EXPECT_EQ(testing::readFile(work() / "whole"), "intact");
  EXPECT_EQ(testing::readFile(work() / "cut"), std::string(50, 'c'));
  EXPECT_FALSE(fs::exists(work() / "lost"));
}

TEST_F(CliTest, EachFailedEntryGetsOneLineAndTheRestStillExtract) {
  const auto build = [](std::uint32_t filePosition) {
    return Chunk("KZB0")
        .child(testing::fileInfo(u"../up", filePosition, 2))
        .child(Chunk("FINF").u32("POS4", filePosition).u32("SIZE", 2))
        .child(testing::fileInfo(u"bad\nname", 16, 2))
        .child(testing::fileInfo(u"taken", filePosition, 2))
        .child(testing::fileInfo(u"Nul.txt", filePosition, 2))
        .child(testing::fileInfo(u"a.txt:stream", filePosition, 2))
        .child(testing::fileInfo(u"good", filePosition, 2))
        .child(Chunk("FILE").payload("ok"));
  };
  const auto filePosition = static_cast<std::uint32_t>(build(0).size() - 18);
  fs::create_directory(work() / "taken");

  const Outcome outcome = runIn(work(), {container(build(filePosition).bytes()).string()});
  EXPECT_EQ(outcome.status, 1);
  const std::string unsafe =
      ": unsafe name, not extracted (names must not be empty, \".\", \"..\" or hold \"/\" or "
      "\"\\\")\n";
  // Windows would read these names as a device, a data stream or another name; elsewhere
  // they are names like any other.
  const bool windows = platformRefusesWindowsNames();
  const std::string windowsOnly =
      windows ? "kzb-extract: bad\\x0aname: unsafe name on Windows, not extracted (it holds one "
                "of < > \" | ? * or a control character)\n"
              : "kzb-extract: bad\\x0aname: no stored file of the recorded size at its position\n";
  EXPECT_EQ(outcome.err,
            "kzb-extract: ../up" + unsafe + "kzb-extract: entry 2" + unsafe + windowsOnly +
                "kzb-extract: taken: cannot create: Is a directory\n" +
                (windows ? "kzb-extract: Nul.txt: unsafe name on Windows, not extracted (it is a "
                           "reserved device name)\n"
                           "kzb-extract: a.txt:stream: unsafe name on Windows, not extracted (it "
                           "holds \":\", a drive or a data stream)\n"
                         : ""));
  EXPECT_EQ(testing::readFile(work() / "good"), "ok");
  EXPECT_EQ(fs::exists(work() / "Nul.txt"), !windows);
  EXPECT_EQ(fs::exists(work() / "a.txt"), false);
}

#ifdef _WIN32
TEST(Surroundings, FaultsMadeWithPosixMeansDoNotApplyHere) {
  GTEST_SKIP() << "a full tmpfs, FIFOs, POSIX signals, /dev/full, a pipe as standard output and "
                  "preloaded read faults are made with POSIX means; the output unit's Windows "
                  "guarantees are tested through extraction";
}
#endif

TEST_F(CliTest, BinaryExtractsEveryFileWithTheReportFirst) {
  testing::Publication publication;
  publication.bindingDirection = 1;
  publication.texts = {{"TITL", u"\ud55c\uad6d\uc5b4 title"}};
  publication.files = {{u"a.txt", "alpha", {}}, {u"\ub098.bin", std::string(5000, 'n'), {}}};
  const fs::path path = container(testing::buildContainer(publication));
  // A Hangul path reaches the tool whole, whatever the system's code page.
  const fs::path hangul = path.parent_path() / testing::utf8Path("\xec\xb1\x85.kzb");
  fs::copy_file(path, hangul);
  const Outcome outcome = runBinary(work(), {testing::utf8String(hangul)});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(outcome.out.rfind("Basic Information\n", 0), 0u);
  EXPECT_NE(outcome.out.find("\t           Title : \xed\x95\x9c\xea\xb5\xad\xec\x96\xb4 title\n"),
            std::string::npos);
  EXPECT_EQ(testing::readFile(work() / "a.txt"), "alpha");
  EXPECT_EQ(testing::readFile(work() / testing::utf8Path("\xeb\x82\x98.bin")),
            std::string(5000, 'n'));

  // Standard output and standard error into one file: the report comes before the diagnostic.
  const Outcome both = runBinary(work(), {path.string() + ".absent"},
                                 {.prelude = "", .wrapper = "", .errorsIntoOutput = true});
  EXPECT_EQ(both.status, 1);
  EXPECT_EQ(both.out, kEmptyReport + "kzb-extract: " + path.string() +
                          ".absent: cannot open: No such file or directory\n");
}

TEST_F(CliTest, BinarySurvivesAContainerNestedAHundredThousandLevelsDeep) {
  Bytes bytes;
  constexpr std::int32_t kLevels = 100000;
  for (std::int32_t level = 1; level <= kLevels; ++level) {
    bytes += testing::chunkHeader("DEEP", 0, 16 * (kLevels - level), 0);
  }
  const Outcome outcome = runBinary(work(), {container(bytes).string()});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.err.find("truncated or malformed container"), std::string::npos);
}

TEST_F(CliTest, BinaryReportsAWriteFailure) {
  // A file-size limit of 1 KiB, with the signal it raises ignored, makes the write fail.
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no per-process file-size limit (ulimit -f, SIGXFSZ)";
#endif
  testing::Publication publication;
  publication.files = {{u"big", std::string(64 * 1024, 'b'), {}}, {u"small", "s", {}}};
  const fs::path path = container(testing::buildContainer(publication));
  const Outcome outcome =
      runBinary(work(), {path.string()}, {.prelude = "ulimit -f 2; trap '' XFSZ", .wrapper = ""});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "kzb-extract: big: write failed: File too large\n");
  EXPECT_EQ(testing::readFile(work() / "small"), "s");
}

TEST_F(CliTest, BinaryReportsAFileItCannotCreate) {
  // A read-only directory stops everyone but root, so root runs the binary as nobody.
#ifdef _WIN32
  GTEST_SKIP() << "a read-only directory does not stop creating files in it on Windows";
#else
  Launch launch;
  if (::geteuid() == 0) {
    if (std::system("command -v setpriv >/dev/null") != 0) {
      GTEST_SKIP() << "needs setpriv to drop root's privileges";
    }
    launch.wrapper = "setpriv --reuid=65534 --regid=65534 --clear-groups";
    if (runBinary(work(), {}, launch).status != testing::kStatusOfMinusOne) {
      GTEST_SKIP() << "nobody cannot run the binary where it was built";
    }
    fs::permissions(work().parent_path(), fs::perms::others_read | fs::perms::others_exec,
                    fs::perm_options::add);
  }
  testing::Publication publication;
  publication.files = {{u"denied", "d", {}}};
  const fs::path path = container(testing::buildContainer(publication));
  fs::permissions(path, fs::perms::others_read, fs::perm_options::add);
  fs::permissions(work(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                              fs::perms::group_exec | fs::perms::others_read |
                              fs::perms::others_exec);
  const Outcome outcome = runBinary(work(), {path.string()}, launch);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "kzb-extract: denied: cannot create: Permission denied\n");
  EXPECT_FALSE(fs::exists(work() / "denied"));
#endif
}

// Windows (wine here) takes names that differ only in case for one file; a case-sensitive
// file system keeps three. Either way no stored file is lost without a word.
TEST_F(CliTest, BinarySaysWhichNamesTheFileSystemTookForAnEarlierOne) {
  testing::Publication publication;
  publication.files = {{u"Page.jpg", "first", {}},
                       {u"page.jpg", "second", {}},
                       {u"PAGE.JPG", "third", {}},
                       {std::u16string(300, u'n'), "long", {}}};
  const fs::path path = container(testing::buildContainer(publication));
  testing::writeFile(work() / "Probe", "");
  const bool foldsCase = fs::exists(work() / "probe");
  fs::remove(work() / "Probe");

  const Outcome outcome = runBinary(work(), {path.string()});
  EXPECT_EQ(outcome.status, 1);
  const std::string tooLong =
      "kzb-extract: " + std::string(300, 'n') + ": this file system cannot store this name (";
  if (!foldsCase) {
    EXPECT_EQ(outcome.err.substr(0, tooLong.size()), tooLong);
    EXPECT_EQ(testing::readFile(work() / "PAGE.JPG"), "third");
    EXPECT_EQ(testing::readFile(work() / "page.jpg"), "second");
    EXPECT_EQ(testing::readFile(work() / "Page.jpg"), "first");
    return;
  }
  EXPECT_EQ(outcome.err.substr(0, outcome.err.find(tooLong)),
            "kzb-extract: page.jpg: this file system does not tell it from Page.jpg, extracted "
            "earlier; not extracted\n"
            "kzb-extract: PAGE.JPG: this file system does not tell it from Page.jpg, extracted "
            "earlier; not extracted\n");
  EXPECT_NE(outcome.err.find(tooLong), std::string::npos) << outcome.err;
  EXPECT_EQ(testing::readFile(work() / "Page.jpg"), "first");
  std::vector<std::string> names;
  for (const auto& item : fs::directory_iterator(work())) {
    names.push_back(testing::utf8String(item.path().filename()));
  }
  EXPECT_EQ(names, std::vector<std::string>{"Page.jpg"});
}

}  // namespace
}  // namespace kzb
