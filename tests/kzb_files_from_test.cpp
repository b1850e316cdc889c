// --files-from: the containers a list names, read by the built binary from a file or from its
// standard input, exactly as if they had been given as arguments after the others.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "binary_runner.h"
#include "container_builder.h"
#include "temp_dir.h"

namespace kzb {
namespace {

namespace fs = std::filesystem;
using testing::Outcome;

const std::string kHangul = "\xed\x95\x9c\xea\xb8\x80.kzb";

class FilesFromTest : public ::testing::Test {
 protected:
  // Containers in the working directory, told apart by their number of files, so that
  // "NAME: ok (N files)" says which file a name reached.
  FilesFromTest() {
    fs::create_directory(work());
    const std::pair<std::string, std::size_t> containers[] = {
        {"a.kzb", 1},     {"with space.kzb", 2},  {kHangul, 3},
        {"-dash.kzb", 4}, {"line\nbreak.kzb", 5}, {"a.kzb\r", 6}};
    for (const auto& [name, count] : containers) {
      testing::Publication publication;
      publication.files.assign(count, {u"f", "x", {}});
      try {
        testing::writeFile(work() / testing::utf8Path(name), testing::buildContainer(publication));
      } catch (const std::exception&) {
        refused_.insert(name);  // Windows takes no CR or LF in a name
      }
    }
  }
  fs::path work() const { return dir_ / "work"; }
  // `args` with "@" standing for the list, which holds `list`: "-" and standard input when
  // `viaStdin`, its path otherwise.
  Outcome kzb(std::vector<std::string> args, const std::string& list, bool viaStdin) const {
    testing::writeFile(dir_ / "list", list);
    std::replace(args.begin(), args.end(), std::string("@"),
                 std::string(viaStdin ? "-" : "../list"));
    return testing::runProgram(KZB_BINARY, work(), args, {}, viaStdin ? dir_ / "list" : fs::path());
  }

  testing::TempDir dir_;
  std::set<std::string> refused_;  // names the file system did not take
};

TEST_F(FilesFromTest, TakesEachNameOfTheListAfterTheArguments) {
  using namespace std::string_literals;
  const std::string ok = ": ok (";
  const struct {
    std::vector<std::string> args;
    std::string list;
    bool viaStdin;
    std::string out;
  } cases[] = {
      {{"test", "--files-from", "@"},
       "a.kzb\nwith space.kzb\n",
       false,
       "a.kzb" + ok + "1 file)\nwith space.kzb" + ok + "2 files)\n"},
      {{"test", "--files-from", "@"},
       kHangul + "\n-dash.kzb",
       true,
       kHangul + ok + "3 files)\n-dash.kzb" + ok + "4 files)\n"},
      {{"test", "--files-from", "@", "--null"},
       "a.kzb\0line\nbreak.kzb\0"s,
       false,
       "a.kzb" + ok + "1 file)\nline\\x0abreak.kzb" + ok + "5 files)\n"},
      {{"test", "--null", "--files-from", "@"},
       "\0\0a.kzb\0\0"s + kHangul,
       true,
       "a.kzb" + ok + "1 file)\n" + kHangul + ok + "3 files)\n"},
      {{"test", "--files-from", "@"},
       "\n\na.kzb\n\n\n" + kHangul + "\n",
       true,
       "a.kzb" + ok + "1 file)\n" + kHangul + ok + "3 files)\n"},
      {{"test", "--files-from", "@"}, "a.kzb\r\n", false, "a.kzb\\x0d" + ok + "6 files)\n"},
      {{"test", "with space.kzb", "--files-from", "@", "a.kzb"},
       kHangul,
       false,
       "with space.kzb" + ok + "2 files)\na.kzb" + ok + "1 file)\n" + kHangul + ok + "3 files)\n"},
  };
  for (const auto& test : cases) {
    if (std::any_of(refused_.begin(), refused_.end(), [&](const std::string& name) {
          return test.list.find(name) != std::string::npos;
        })) {
      continue;  // names this file system cannot hold
    }
    const Outcome outcome = kzb(test.args, test.list, test.viaStdin);
    EXPECT_EQ(outcome.status, 0) << ::testing::PrintToString(test.list) << outcome.err;
    EXPECT_EQ(outcome.out, test.out) << ::testing::PrintToString(test.list);
  }

  // Usage errors: one line, exit status 2, nothing read.
  const std::pair<std::vector<std::string>, std::string> usage[] = {
      {{"--files-from", "absent"},
       "cannot read the list of containers 'absent': No such file or directory"},
      {{"--files-from", "@"}, "no container given"},
      {{"--files-from", "../nul-list"},
       "the list of containers '../nul-list' holds a NUL byte; --null reads such lists"},
      {{"--null", "a.kzb"}, "--null requires --files-from"},
  };
  testing::writeFile(work().parent_path() / "nul-list", "a.kzb\0with space.kzb\0"s);
  for (const auto& [args, problem] : usage) {
    std::vector<std::string> withCommand{"test"};
    withCommand.insert(withCommand.end(), args.begin(), args.end());
    const Outcome outcome = kzb(withCommand, "\n\n", false);
    EXPECT_EQ(outcome.status, 2) << problem;
    EXPECT_EQ(outcome.out, "") << problem;
    EXPECT_EQ(outcome.err, "kzb: " + problem + " (see 'kzb test --help')\n");
  }
}

// Every file under `dir` with its bytes.
std::map<std::string, std::string> filesUnder(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& item : fs::recursive_directory_iterator(dir)) {
    files[testing::utf8String(fs::relative(item.path(), dir))] =
        item.is_regular_file() ? testing::readFile(item.path()) : "(folder)";
  }
  return files;
}

TEST_F(FilesFromTest, EachCommandDoesWhatTheSameArgumentsDo) {
  const std::vector<std::string> containers{"a.kzb", "with space.kzb", kHangul};
  for (const std::vector<std::string>& command : {std::vector<std::string>{"list", "-l"},
                                                  {"test"},
                                                  {"extract", "-C", "out"},
                                                  {"extract", "--each", "-C", "out"},
                                                  {"convert", "-C", "out", "-j", "2"}}) {
    std::vector<std::string> withArguments = command;
    withArguments.insert(withArguments.end(), containers.begin(), containers.end());
    std::vector<std::string> withList = command;
    withList.insert(withList.end(), {"--files-from", "@", "--null"});
    const Outcome expected = kzb(withArguments, "", false);
    fs::create_directory(work() / "out");
    const auto written = filesUnder(work() / "out");
    fs::remove_all(work() / "out");
    const Outcome outcome =
        kzb(withList, std::string("a.kzb\0with space.kzb\0", 21) + kHangul, true);
    EXPECT_EQ(expected.status, 0) << command[0] << expected.err;
    EXPECT_EQ(outcome.status, expected.status) << command[0];
    EXPECT_EQ(outcome.out, expected.out) << command[0];
    EXPECT_EQ(outcome.err, expected.err) << command[0];
    fs::create_directory(work() / "out");
    EXPECT_EQ(filesUnder(work() / "out"), written) << command[0];
    EXPECT_EQ(written.empty(), command[0] == "list" || command[0] == "test") << command[0];
    fs::remove_all(work() / "out");
  }
}

}  // namespace
}  // namespace kzb
