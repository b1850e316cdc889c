// kzb, command by command: in-process through tool::run(), and as the built binary where the
// process itself matters (exit status, standard output's bytes, paths from the command line).
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include "mounted_file_system.h"
#endif

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "binary_runner.h"
#include "container_builder.h"
#include "driver.h"
#include "glob.h"
#include "output_file.h"
#include "temp_dir.h"
#include "tool.h"

namespace kzb {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::Chunk;
using testing::Outcome;

struct Surroundings {
  bool errorIsTerminal = false;
  std::chrono::milliseconds progressDelay{1000};
};

// tool::run() with the working directory set to `dir`.
Outcome kzbIn(const fs::path& dir, std::vector<std::string> args, Surroundings surroundings = {}) {
  args.insert(args.begin(), "kzb");
  const testing::ScopedCwd cwd(dir);
  std::ostringstream out;
  std::ostringstream err;
  tool::Context context{out, err, surroundings.errorIsTerminal, surroundings.progressDelay};
  const int status = tool::run(args, context);
  return {status, out.str(), err.str()};
}

Outcome kzbBinary(const fs::path& dir, const std::vector<std::string>& args) {
  return testing::runProgram(KZB_BINARY, dir, args);
}

// A CRC-32 as the listings show it: eight lowercase hexadecimal digits.
std::string crcHex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::uint32_t value = testing::crc32(bytes);
  std::string text(8, '0');
  for (auto digit = text.rbegin(); digit != text.rend(); ++digit) {
    *digit = kDigits[value & 0xf];
    value >>= 4;
  }
  return text;
}

Bytes containerOf(const std::vector<std::pair<std::u16string, std::string>>& files) {
  testing::Publication publication;
  for (const auto& [name, data] : files) {
    publication.files.push_back({name, data, {}});
  }
  return testing::buildContainer(publication);
}

// A path as UTF-8 with '/' between its parts, on every platform.
std::string genericUtf8(const fs::path& path) {
  const std::u8string text = path.generic_u8string();
  return {text.begin(), text.end()};
}

std::vector<std::string> filesIn(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& item : fs::directory_iterator(dir)) {
    names.push_back(testing::utf8String(item.path().filename()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

class KzbTest : public ::testing::Test {
 protected:
  KzbTest() { fs::create_directory(work()); }
  fs::path work() const { return dir_ / "work"; }
  // A container beside the working directory; its path as the tests pass it.
  std::string container(const std::string& name, const Bytes& bytes) const {
    testing::writeFile(dir_ / name, bytes);
    return testing::utf8String(dir_ / name);
  }
  std::string absent() const { return testing::utf8String(dir_ / "absent.kzb"); }
  Outcome kzb(std::vector<std::string> args, Surroundings surroundings = {}) const {
    return kzbIn(work(), std::move(args), surroundings);
  }

 private:
  testing::TempDir dir_;
};

const std::string kCannotOpen = ": cannot open: No such file or directory\n";
const std::string kMalformed = ": truncated or malformed container\n";

TEST(Glob, MatchesTheWholeNameAsFnmatchWithoutFlagsDoes) {
  const struct {
    const char* pattern;
    const char* name;
    bool matches;
  } cases[] = {
      {"*.txt", "readme.txt", true},
      {"*.txt", "readme.txt.bak", false},  // the whole name
      {"*.TXT", "readme.txt", false},      // case-sensitively
      {"*", "", true},
      {"*", "a\nb", true},
      {"?", "", false},
      {"?", "\xed\x95\x9c", true},  // one Hangul syllable is one character
      {"??", "\xed\x95\x9c", false},
      {"a*b*c", "aXbYbZc", true},
      {"a*b*c", "aXbYbZ", false},
      {"*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
      {"[abc].jpg", "b.jpg", true},
      {"[abc].jpg", "d.jpg", false},
      {"[a-c]x", "bx", true},
      {"[!a-c]x", "bx", false},
      {"[^a-c]x", "dx", true},
      {"[]]", "]", true},
      {"[!]]", "a", true},
      {"[a-]", "-", true},
      {"[", "[", true},  // never closed: itself
      {"[ab", "[ab", true},
      {"[a-", "[a-", true},  // never closed, a range cut short: itself (glibc: no match)
      {"\\*", "*", true},
      {"\\*", "a", false},
      {"[\\]]", "]", true},
      {"page-[0-9][0-9].png", "page-07.png", true},
      {"page-[0-9][0-9].png", "page-7.png", false},
      {"\xff*",
       "\xff"
       "a",
       true},  // a stray byte matches itself
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tool::globMatches(c.pattern, c.name), c.matches) << c.pattern << " / " << c.name;
  }
}

// A match never costs more than a pass of the pattern per character of the name, whatever
// the pattern: stars that make a backtracking matcher exponential, and sets that a matcher
// reading the pattern afresh at each character would scan again and again.
TEST(Glob, CostsAtMostAPassOfThePatternPerCharacter) {
  const struct {
    std::string pattern;
    std::string name;
  } cases[] = {
      {"*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b", std::string(4000, 'a')},
      {"*" + std::string(200, '[') + "b", std::string(4000, '[')},
      {"*[abcdefghijklmnopqrstuvwxyz0-9]*[!a]*[a-z][a-z][a-z]b", std::string(4000, 'a')},
  };
  for (const auto& c : cases) {
    std::size_t cost = 0;
    EXPECT_FALSE(tool::globMatches(c.pattern, c.name, &cost)) << c.pattern;
    EXPECT_LE(cost, 2 * (c.name.size() + 1) * (c.pattern.size() + 1)) << c.pattern;
  }
}

TEST(Glob, FilterTakesAnIncludeIfAnyAndNoExclude) {
  const tool::NameFilter everything;
  EXPECT_TRUE(everything.passes(u"anything"));
  const tool::NameFilter filter({"*.txt", "cover.*"}, {"secret*"});
  EXPECT_TRUE(filter.passes(u"a.txt"));
  EXPECT_TRUE(filter.passes(u"cover.svg"));
  EXPECT_FALSE(filter.passes(u"a.bin"));
  EXPECT_FALSE(filter.passes(u"secret.txt"));
  // The name up to its first zero unit, a lone surrogate as U+FFFD.
  EXPECT_TRUE(filter.passes(std::u16string(u"a.txt\0junk", 10)));
  EXPECT_TRUE(tool::NameFilter({"?.txt"}, {}).passes(u"\xd800.txt"));
}

TEST_F(KzbTest, CommandLine) {
  const std::string c = container("c.kzb", containerOf({{u"a.txt", "alpha"}}));
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  } cases[] = {
      {{}, 2, "", "kzb: no command given (see 'kzb --help')\n"},
      {{"frobnicate", c}, 2, "", "kzb: unknown command 'frobnicate' (see 'kzb --help')\n"},
      {{"li\nst", c}, 2, "", "kzb: unknown command 'li\\x0ast' (see 'kzb --help')\n"},
      {{"list"}, 2, "", "kzb: no container given (see 'kzb list --help')\n"},
      {{"cat"}, 2, "", "kzb: no container given (see 'kzb cat --help')\n"},
      {{"list", "--bogus", c},
       2,
       "",
       "kzb: The following argument was not expected: --bogus (see 'kzb list --help')\n"},
      {{"info", "-l", c},
       2,
       "",
       "kzb: The following argument was not expected: -l (see 'kzb info --help')\n"},
      {{"--version"}, 0, "kzb " KZB_VERSION "\n", ""},
      // Options after the containers, and "--" before a container named like an option.
      {{"list", c, "-l"},
       0,
       "         5  " + crcHex("alpha") + "  a.txt\n         5            1 file\n",
       ""},
      {{"list", "--", "-l"}, 1, "", "kzb: -l" + kCannotOpen},
  };
  for (const auto& test : cases) {
    const Outcome outcome = kzb(test.args);
    EXPECT_EQ(outcome.status, test.status) << ::testing::PrintToString(test.args);
    EXPECT_EQ(outcome.out, test.out) << ::testing::PrintToString(test.args);
    EXPECT_EQ(outcome.err, test.err) << ::testing::PrintToString(test.args);
  }
  // Contradictions and missing values are named, with the help that tells more.
  for (const std::vector<std::string>& args : {std::vector<std::string>{"list", "-l", "--json", c},
                                               {"extract", "--progress", "--no-progress", c},
                                               {"extract", c, "-C"},
                                               {"test", c, "--include"},
                                               {"test", c, "-j", "0"},
                                               {"list", "--jobs", "x", c},
                                               {"convert", "-j", "-1", c},
                                               {"cat", "-j", "2", c, "a.txt"}}) {
    const Outcome outcome = kzb(args);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    EXPECT_NE(outcome.err.find("(see 'kzb " + args[0] + " --help')"), std::string::npos)
        << outcome.err;
  }
  EXPECT_TRUE(filesIn(work()).empty());
}

TEST_F(KzbTest, HelpFitsOnOneScreenAndNamesEveryCommand) {
  const Outcome top = kzb({"--help"});
  EXPECT_EQ(top.status, 0);
  EXPECT_EQ(top.err, "");
  EXPECT_LE(std::count(top.out.begin(), top.out.end(), '\n'), 24);
  std::istringstream lines(top.out);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_LE(line.size(), 80u) << line;
  }
  for (const std::string command : {"info", "list", "extract", "test", "cat", "convert"}) {
    EXPECT_NE(top.out.find("\n  " + command + " "), std::string::npos) << command;
    const Outcome help = kzb({command, "--help"});
    EXPECT_EQ(help.status, 0);
    std::istringstream commandLines(help.out);
    for (std::string line; std::getline(commandLines, line);) {
      EXPECT_LE(line.size(), 80u) << line;
    }
    EXPECT_EQ(help.out.find("Usage: kzb " + command + " [OPTIONS] CONTAINER"),
              help.out.find('\n') + 1)
        << help.out;
    EXPECT_EQ(help.err, "");
  }
}

// Each command's help says what the code does: -j's range, --renumber's width (the digits of
// the count, not always three), --beside as one run.
TEST_F(KzbTest, HelpSaysWhatTheCodeDoes) {
  const struct {
    std::string command;
    std::string says;
    std::string never;
  } cases[] = {
      {"convert", "--renumber          prefix each name with its position, as wide as the count",
       "001"},
      {"test", "up to N at once (1 to 4096; default: one per core)", "1 or more"},
      {"extract", "from each container's own folder.", "a run of its own"},
  };
  for (const auto& test : cases) {
    const Outcome help = kzb({test.command, "--help"});
    EXPECT_NE(help.out.find(test.says), std::string::npos) << help.out;
    EXPECT_EQ(help.out.find(test.never), std::string::npos) << help.out;
  }
}

TEST_F(KzbTest, InfoPrintsKzbExtractsReportAndExtractsNothing) {
  testing::Publication publication;
  publication.bindingDirection = 2;
  publication.texts = {{"TITL", u"moon\nvoyage"}, {"WRTR", u"\ud558\ub298"}};
  publication.files = {{u"a.txt", "alpha", {}}, {u"b\x1b.txt", "beta", {}}};
  const Bytes bytes = testing::buildContainer(publication);
  const std::string good = container("good.kzb", bytes);
  const std::string cut = container("cut.kzb", bytes.substr(0, bytes.size() - 3));

  // kzb-extract's own report of each, in a directory of its own.
  const auto reportOf = [&](const std::string& path) {
    const fs::path elsewhere = work().parent_path() / "elsewhere";
    fs::create_directories(elsewhere);
    const testing::ScopedCwd cwd(elsewhere);
    std::ostringstream out;
    std::ostringstream err;
    const char* argv[] = {"kzb-extract", path.c_str()};
    run(2, argv, out, err);
    return out.str();
  };
  const struct {
    std::vector<std::string> containers;
    int status;
    std::string out;
    std::string err;
  } cases[] = {
      {{good}, 0, reportOf(good), ""},
      {{cut}, 1, reportOf(cut), "kzb: " + cut + kMalformed},
      {{absent()}, 1, reportOf(absent()), "kzb: " + absent() + kCannotOpen},
      {{good, absent(), good},
       1,
       "==> " + good + " <==\n" + reportOf(good) + "\n==> " + absent() + " <==\n" +
           reportOf(absent()) + "\n==> " + good + " <==\n" + reportOf(good),
       "kzb: " + absent() + kCannotOpen},
  };
  for (const auto& test : cases) {
    std::vector<std::string> args{"info"};
    args.insert(args.end(), test.containers.begin(), test.containers.end());
    const Outcome outcome = kzb(args);
    EXPECT_EQ(outcome.status, test.status);
    EXPECT_EQ(outcome.out, test.out);
    EXPECT_EQ(outcome.err, test.err);
  }
  EXPECT_TRUE(filesIn(work()).empty());
}

TEST_F(KzbTest, ListNamesSizesAndFilters) {
  const std::string c = container("c.kzb", containerOf({{u"cover.svg", "<svg/>"},
                                                        {u"1.txt", "one"},
                                                        {u"bad\nname.txt", ""},
                                                        {u"big.bin", std::string(70000, 'b')},
                                                        {u"1.txt", "again"}}));
  const std::string crcOne = crcHex("one");
  const std::string crcSvg = crcHex("<svg/>");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  } cases[] = {
      {{"list", c}, 0, "cover.svg\n1.txt\nbad\\x0aname.txt\nbig.bin\n1.txt\n", ""},
      {{"list", c, "--include", "*.txt", "--exclude", "bad*"}, 0, "1.txt\n1.txt\n", ""},
      {{"list", c, "--include", "*.svg", "--include", "?.txt"}, 0, "cover.svg\n1.txt\n1.txt\n", ""},
      {{"list", c, "--exclude", "*"}, 0, "", ""},
      // A pattern takes one argument: the next is a container again.
      {{"list", "--include", "c*", c, "--exclude", "x", c},
       0,
       "==> " + c + " <==\ncover.svg\n\n==> " + c + " <==\ncover.svg\n",
       ""},
      {{"list", "-l", c, "--include", "[cb]*"},
       0,
       "         6  " + crcSvg + "  cover.svg\n" + "         0  00000000  bad\\x0aname.txt\n" +
           "     70000  " + crcHex(std::string(70000, 'b')) + "  big.bin\n" +
           "     70006            3 files\n",
       ""},
      {{"list", "-l", c, "--exclude", "*"}, 0, "         0            0 files\n", ""},
      {{"list", absent()}, 1, "", "kzb: " + absent() + kCannotOpen},
      {{"list", c, absent(), "--include", "1*"},
       1,
       "==> " + c + " <==\n1.txt\n1.txt\n\n==> " + absent() + " <==\n",
       "kzb: " + absent() + kCannotOpen},
  };
  static_cast<void>(crcOne);
  for (const auto& test : cases) {
    const Outcome outcome = kzb(test.args);
    EXPECT_EQ(outcome.status, test.status) << ::testing::PrintToString(test.args);
    EXPECT_EQ(outcome.out, test.out) << ::testing::PrintToString(test.args);
    EXPECT_EQ(outcome.err, test.err) << ::testing::PrintToString(test.args);
  }
}

TEST_F(KzbTest, ListJsonOfAnUnopenedContainerHasZerosAndNoEntries) {
  const Outcome outcome = kzb({"list", "--json", absent()});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out,
            "{\"container\":" + nlohmann::json(absent()).dump() +
                ",\"readWhole\":false,\"problems\":[\"cannot open: No such file or "
                "directory\"],\"version\":0,\"fileLength\":0,\"bindingDirection\":0,"
                "\"binding\":\"Not Defined\",\"guid\":\"00000000000000000000\",\"uuid\":"
                "\"00000000000000000000\",\"fileTime\":\"0000000000000000\",\"metadata\":{},"
                "\"entries\":[]}\n");
  EXPECT_EQ(outcome.err, "kzb: " + absent() + kCannotOpen);
}

TEST_F(KzbTest, ListJsonOfAHostileContainerKeepsItsShapeAndEscapesEveryControl) {
  testing::Publication publication;
  publication.version = 42;
  publication.bindingDirection = 1;
  publication.texts = {{"TITL", u"two\nlines"},
                       {"WRTR", u"\x1b[31mred"},
                       {"COMT", u"del\x7f c1\x85 half\xd800"},
                       {"ISBN", std::u16string(u"\0hidden", 7)}};
  publication.files = {{u"line\nbreak", "x", {}},
                       {u"\xdc00lone", "y", {}},
                       {u"tab\tand\x01", "z", {}},
                       {u"cut", std::string(100, 'c'), {}}};
  const Bytes bytes = testing::buildContainer(publication);
  const std::string whole = container("whole.kzb", bytes);
  const std::string cut = container("cut.kzb", bytes.substr(0, bytes.size() - 50));

  const Outcome outcome = kzb({"list", "--json", whole, cut, "--exclude", "tab*"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "kzb: " + cut + kMalformed);
  // Two lines, each a JSON object; nothing escaped as \x.
  ASSERT_EQ(std::count(outcome.out.begin(), outcome.out.end(), '\n'), 2) << outcome.out;
  EXPECT_EQ(outcome.out.find("\\x"), std::string::npos);
  for (const char* escaped :
       {"two\\nlines", "\\u001b[31mred", "del\\u007f c1\\u0085 half\xef\xbf\xbd", "line\\nbreak",
        "\xef\xbf\xbdlone"}) {
    EXPECT_NE(outcome.out.find(escaped), std::string::npos) << escaped;
  }
  std::istringstream lines(outcome.out);
  std::string line;
  const std::vector<std::string> keys{"container",  "readWhole",        "problems", "version",
                                      "fileLength", "bindingDirection", "binding",  "guid",
                                      "uuid",       "fileTime",         "metadata", "entries"};
  for (const bool isWhole : {true, false}) {
    std::getline(lines, line);
    const auto json = nlohmann::ordered_json::parse(line);
    std::vector<std::string> seen;
    for (const auto& item : json.items()) {
      seen.push_back(item.key());
    }
    EXPECT_EQ(seen, keys);
    EXPECT_EQ(json["container"], isWhole ? whole : cut);
    EXPECT_EQ(json["readWhole"], isWhole);
    EXPECT_EQ(json["problems"], isWhole
                                    ? nlohmann::ordered_json::array()
                                    : nlohmann::ordered_json{"truncated or malformed container"});
    EXPECT_EQ(json["version"], 42);
    EXPECT_EQ(json["fileLength"], bytes.size());
    EXPECT_EQ(json["bindingDirection"], 1);
    EXPECT_EQ(json["binding"], "L->R");
    EXPECT_EQ(json["guid"], "00000000000000000000");
    EXPECT_EQ(json["fileTime"], "0000000000000000");
    // The texts the report prints, in its order, cut at the first zero unit.
    EXPECT_EQ(json["metadata"].dump(),
              "{\"title\":\"two\\nlines\",\"isbn\":\"\",\"writer\":\"\\u001b[31mred\","
              "\"comment\":\"del\x7f c1\xc2\x85 half\xef\xbf\xbd\"}");
    const auto& entries = json["entries"];
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0]["name"], "line\nbreak");
    EXPECT_EQ(entries[0]["size"], 1);
    EXPECT_EQ(entries[0]["crc32"], testing::crc32("x"));
    EXPECT_TRUE(entries[0]["position"].is_number());
    EXPECT_EQ(entries[0]["modifiedTime"], "0000000000000000");
    EXPECT_EQ(entries[1]["name"], "\xef\xbf\xbdlone");
    EXPECT_EQ(entries[2]["name"], "cut");
    EXPECT_EQ(entries[2]["size"], 100);
    std::vector<std::string> entryKeys;
    for (const auto& item : entries[2].items()) {
      entryKeys.push_back(item.key());
    }
    EXPECT_EQ(entryKeys,
              (std::vector<std::string>{"name", "size", "position", "crc32", "modifiedTime"}));
  }
}

TEST_F(KzbTest, ExtractPlacesFilesWhereAskedAndSaysWhatItDid) {
  const std::string moon = container(
      "moon.kzb", containerOf({{u"a.txt", "alpha"}, {u"b.bin", "beta"}, {u"../up", "no"}}));
  const std::string sun = container("sun.kzb", containerOf({{u"a.txt", "sun's alpha"}}));
  fs::create_directory(work().parent_path() / "other");
  const std::string otherMoon = testing::utf8String(work().parent_path() / "other" / "moon.kzb");
  fs::copy_file(moon, otherMoon);
  const std::string unsafe =
      "kzb: ../up: unsafe name, not extracted (names must not be empty, \".\", \"..\" or hold "
      "\"/\" or \"\\\")\n";

  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
    std::vector<std::pair<std::string, std::string>> files;  // path under work: bytes
  } cases[] = {
      {{"extract", moon}, 1, "", unsafe, {{"a.txt", "alpha"}, {"b.bin", "beta"}}},
      {{"extract", moon, "-C", "deep/er/dir", "--exclude", "../*"},
       0,
       "",
       "",
       {{"deep/er/dir/a.txt", "alpha"}, {"deep/er/dir/b.bin", "beta"}}},
      {{"extract", "-v", "--include", "*.txt", "--directory", "out", moon},
       0,
       "extracted: a.txt\n",
       "",
       {{"out/a.txt", "alpha"}}},
      // Several containers share one directory: later rows rewrite earlier ones.
      {{"extract", "-v", moon, sun, "--include", "a*"},
       0,
       "==> " + moon + " <==\nextracted: a.txt\n\n==> " + sun + " <==\nextracted: a.txt\n",
       "",
       {{"a.txt", "sun's alpha"}}},
      {{"extract", "--each", moon, sun, "-C", "each", "--exclude", "../up"},
       0,
       "",
       "",
       {{"each/moon/a.txt", "alpha"},
        {"each/moon/b.bin", "beta"},
        {"each/sun/a.txt", "sun's alpha"}}},
      // Two containers whose folders would be one: the second is not extracted.
      {{"extract", "--each", moon, otherMoon, sun, "--exclude", "../up"},
       1,
       "",
       "kzb: " + otherMoon + ": would share the folder moon with " + moon + "; not extracted\n",
       {{"moon/a.txt", "alpha"}, {"moon/b.bin", "beta"}, {"sun/a.txt", "sun's alpha"}}},
      {{"extract", absent(), sun},
       1,
       "",
       "kzb: " + absent() + kCannotOpen,
       {{"a.txt", "sun's alpha"}}},
  };
  for (const auto& test : cases) {
    fs::remove_all(work());
    fs::create_directory(work());
    const Outcome outcome = kzb(test.args);
    EXPECT_EQ(outcome.status, test.status) << ::testing::PrintToString(test.args);
    EXPECT_EQ(outcome.out, test.out) << ::testing::PrintToString(test.args);
    EXPECT_EQ(outcome.err, test.err) << ::testing::PrintToString(test.args);
    std::size_t files = 0;
    for (const auto& item : fs::recursive_directory_iterator(work())) {
      if (item.is_regular_file()) {
        ++files;
      }
    }
    EXPECT_EQ(files, test.files.size()) << ::testing::PrintToString(test.args);
    for (const auto& [path, data] : test.files) {
      EXPECT_EQ(testing::readFile(work() / testing::utf8Path(path)), data) << path;
    }
  }
}

// --beside: what extract and convert write goes into each container's own folder, or DIR taken
// from there, whatever the working directory; as the file manager's verbs run them.
TEST_F(KzbTest, BesideWritesIntoEachContainersOwnFolder) {
  const fs::path top = work().parent_path();
  const Bytes bytes = containerOf({{u"a.txt", "alpha"}});
  fs::create_directories(top / "shelf a");
  fs::create_directories(top / testing::utf8Path("\xec\xb1\x85 b"));
  testing::writeFile(top / "shelf a" / "x.kzb", bytes);
  testing::writeFile(top / testing::utf8Path("\xec\xb1\x85 b") / "y.kzb", bytes);
  const std::string x = testing::utf8String(top / "shelf a" / "x.kzb");
  const std::string y = testing::utf8String(top / testing::utf8Path("\xec\xb1\x85 b") / "y.kzb");
  const std::string yFolder = "\xec\xb1\x85 b";

  const struct {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> written;  // under top, besides the containers
  } cases[] = {
      {{"extract", "--beside", x}, 0, {"shelf a/a.txt"}},
      {{"extract", "--beside", "--each", x, y}, 0, {"shelf a/x/a.txt", yFolder + "/y/a.txt"}},
      {{"extract", x, "--beside", "-C", "out/er"}, 0, {"shelf a/out/er/a.txt"}},
      {{"extract", "--beside", "../shelf a/x.kzb"}, 0, {"shelf a/a.txt"}},
      {{"extract", "--beside", "w.kzb"}, 0, {"work/a.txt"}},
      {{"extract", "--beside", "-C", testing::utf8String(top / "abs"), x}, 0, {"abs/a.txt"}},
      {{"convert", "--beside", x, y}, 0, {"shelf a/x.cbz", yFolder + "/y.cbz"}},
      {{"convert", "--beside", "-C", "cbz", y}, 0, {yFolder + "/cbz/y.cbz"}},
      // A container that fails does not stop the next, and its status is the run's.
      {{"extract", "--beside", "--each", "absent.kzb", x}, 1, {"shelf a/x/a.txt"}},
      {{"convert", "--beside", "-o", "o.cbz", x}, 2, {}},
  };
  for (const auto& test : cases) {
    for (const fs::path& folder : {top / "shelf a", top / testing::utf8Path(yFolder)}) {
      for (const auto& item : fs::directory_iterator(folder)) {
        if (item.path().extension() != ".kzb") {
          fs::remove_all(item.path());
        }
      }
    }
    fs::remove_all(work());
    fs::remove_all(top / "abs");
    fs::create_directory(work());
    testing::writeFile(work() / "w.kzb", bytes);
    const Outcome outcome = kzb(test.args);
    EXPECT_EQ(outcome.status, test.status) << ::testing::PrintToString(test.args) << outcome.err;
    std::vector<std::string> written;
    for (const auto& item : fs::recursive_directory_iterator(top)) {
      if (item.is_regular_file() && item.path().extension() != ".kzb") {
        written.push_back(genericUtf8(item.path().lexically_relative(top)));
      }
    }
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, test.written) << ::testing::PrintToString(test.args);
  }
}

// --beside is one run over all its containers: two containers of one folder whose outputs
// would be one (the same name up to the extension's case, as the file manager's action may be
// handed) keep the guard of any run: the later one writes nothing.
TEST_F(KzbTest, BesideKeepsTheGuardOfSharedOutputs) {
  const fs::path top = work().parent_path();
#ifdef _WIN32
  const std::string second = "moon.bak";  // the same name in another case is this very file
#else
  const std::string second = "moon.KZB";
#endif
  fs::create_directories(top / "bs");
  testing::writeFile(top / "bs" / "moon.kzb", containerOf({{u"first.txt", "the first"}}));
  testing::writeFile(top / "bs" / second, containerOf({{u"second.txt", "the second"}}));
  const std::string lower = "../bs/moon.kzb";
  const std::string upper = "../bs/" + second;
  const auto isContainer = [&](const fs::path& path) {
    return path.filename() == "moon.kzb" || path.filename() == second;
  };
  const struct {
    std::vector<std::string> args;
    std::string err;
    std::vector<std::string> written;  // under bs, besides the containers
  } cases[] = {
      {{"convert", "--beside", lower, upper},
       "kzb: " + upper + ": would share the output ../bs/moon.cbz with " + lower +
           "; not converted\n",
       {"moon.cbz"}},
      {{"convert", "--beside", "-j", "2", lower, upper},
       "kzb: " + upper + ": would share the output ../bs/moon.cbz with " + lower +
           "; not converted\n",
       {"moon.cbz"}},
      {{"extract", "--beside", "--each", lower, upper},
       "kzb: " + upper + ": would share the folder ../bs/moon with " + lower + "; not extracted\n",
       {"moon/first.txt"}},
      {{"extract", "--beside", "--each", "-C", "out", lower, upper},
       "kzb: " + upper + ": would share the folder ../bs/out/moon with " + lower +
           "; not extracted\n",
       {"out/moon/first.txt"}},
  };
  for (const auto& test : cases) {
    for (const auto& item : fs::directory_iterator(top / "bs")) {
      if (!isContainer(item.path())) {
        fs::remove_all(item.path());
      }
    }
    const Outcome outcome = kzb(test.args);
    const std::string what = ::testing::PrintToString(test.args);
    EXPECT_EQ(outcome.status, 1) << what;
    EXPECT_EQ(outcome.err, test.err) << what;
    std::vector<std::string> written;
    for (const auto& item : fs::recursive_directory_iterator(top / "bs")) {
      if (item.is_regular_file() && !isContainer(item.path())) {
        written.push_back(genericUtf8(item.path().lexically_relative(top / "bs")));
      }
    }
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, test.written) << what;
  }
  // The ZIP is the first container's.
  const Outcome outcome = kzb({"convert", "--beside", lower, upper, "-C", "zips"});
  EXPECT_EQ(outcome.status, 1);
  const Bytes zip = testing::readFile(top / "bs" / "zips" / "moon.cbz");
  EXPECT_NE(zip.find("first.txt"), std::string::npos);
  EXPECT_EQ(zip.find("second.txt"), std::string::npos);
}

// A file that is no container at all (its first chunk cannot be read) leaves nothing: no
// folder, no directory, no ZIP; one that is a container, however damaged, leaves what of it is
// intact.
TEST_F(KzbTest, WhatIsNoContainerLeavesNothing) {
  const std::string notes = container("notes.kzb", std::string("PK\3\4not a container"));
  const std::string empty = container("empty.kzb", "");
  const Bytes good = containerOf({{u"a.txt", "alpha"}, {u"b.bin", std::string(5000, 'b')}});
  const std::string cut = container("cut.kzb", good.substr(0, good.size() - 100));
  const auto noContainer = [](const std::string& path, const std::string& what) {
    return "kzb: " + path + ": not a container (its first chunk cannot be read); not " + what +
           "\n";
  };
  const struct {
    std::vector<std::string> args;
    std::string err;
    std::vector<std::string> left;  // under work
  } cases[] = {
      {{"extract", "--each", notes}, noContainer(notes, "extracted"), {}},
      {{"extract", "-C", "out", notes, empty},
       noContainer(notes, "extracted") + noContainer(empty, "extracted"),
       {}},
      {{"extract", notes}, noContainer(notes, "extracted"), {}},
      {{"convert", notes}, noContainer(notes, "converted"), {}},
      {{"convert", "-C", "out", empty}, noContainer(empty, "converted"), {}},
      {{"convert", "-o", "n.cbz", notes}, noContainer(notes, "converted"), {}},
      // Damaged, not foreign: what is intact is written.
      {{"extract", "--each", cut},
       "kzb: " + cut + kMalformed + "kzb: b.bin: container ends inside this file's data\n",
       {"cut/a.txt", "cut/b.bin"}},
  };
  for (const auto& test : cases) {
    fs::remove_all(work());
    fs::create_directory(work());
    const Outcome outcome = kzb(test.args);
    const std::string what = ::testing::PrintToString(test.args);
    EXPECT_EQ(outcome.status, 1) << what;
    EXPECT_EQ(outcome.out, "") << what;
    EXPECT_EQ(outcome.err, test.err) << what;
    std::vector<std::string> left;
    for (const auto& item : fs::recursive_directory_iterator(work())) {
      if (!item.is_directory() || fs::is_empty(item.path())) {
        left.push_back(genericUtf8(item.path().lexically_relative(work())));
      }
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, test.left) << what;
  }
  // --beside, as the file manager's action runs it: no folder beside the file either.
  const Outcome beside = kzb({"extract", "--beside", "--each", notes});
  EXPECT_EQ(beside.status, 1);
  EXPECT_FALSE(fs::exists(work().parent_path() / "notes"));
}

#ifndef _WIN32
// Nothing that stands at a folder's name is followed: a link there is named and left, and
// its container is not extracted; the other containers are.
TEST_F(KzbTest, ExtractFollowsNoLinkAtAFolderName) {
  const fs::path top = work().parent_path();
  const std::string x = container("x.kzb", containerOf({{u"a.txt", "alpha"}}));
  const std::string y = container("y.kzb", containerOf({{u"b.txt", "beta"}}));
  fs::create_directory(top / "victim");
  const std::string besideLink = testing::utf8String(top / "x");
  const struct {
    std::string name;
    fs::path target;  // what the link at x points to
    std::vector<std::string> args;
    std::string link;                  // as the line names it
    std::vector<std::string> written;  // under top
  } cases[] = {
      {"to a folder", "../victim", {"extract", "--each", x, y}, "x", {"work/y/b.txt"}},
      {"to nothing", "../nowhere", {"extract", "--each", x}, "x", {}},
      {"beside", "victim", {"extract", "--beside", "--each", y, x}, besideLink, {"y/b.txt"}},
      {"under -C", "../victim", {"extract", "--each", "-C", ".", x}, "./x", {}},
  };
  for (const auto& test : cases) {
    fs::remove_all(work());
    fs::create_directory(work());
    fs::remove_all(top / "y");
    fs::remove(top / "x");
    const fs::path at = test.link == besideLink ? top / "x" : work() / "x";
    fs::create_directory_symlink(test.target, at);
    const Outcome outcome = kzb(test.args);
    EXPECT_EQ(outcome.status, 1) << test.name;
    EXPECT_EQ(outcome.err,
              "kzb: " + x + ": " + test.link + " is a link, not followed; not extracted\n")
        << test.name;
    EXPECT_TRUE(fs::is_symlink(at)) << test.name;
    EXPECT_TRUE(fs::is_empty(top / "victim")) << test.name;
    std::vector<std::string> written;
    for (const auto& item : fs::recursive_directory_iterator(top)) {
      if (item.is_regular_file() && item.path().extension() != ".kzb") {
        written.push_back(genericUtf8(item.path().lexically_relative(top)));
      }
    }
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, test.written) << test.name;
  }
}
#endif

// An argument that starts with '/' is a path, never an option, on Windows too (where CLI11
// would take "/x" for an option): these name no file, so each is a container that cannot be
// opened, or a directory that is never made, rather than a usage error.
TEST_F(KzbTest, ArgumentsStartingWithASlashArePaths) {
  const std::string missing = "/no such folder/c.kzb";
  const std::string cannotOpen = "kzb: " + missing + kCannotOpen;
  const std::vector<std::vector<std::string>> cases = {
      {"list", missing},
      {"test", "/h", missing},
      {"extract", "-C", "/no such folder/out", missing},
      {"convert", missing, "-C", "/no such folder/out"},
      {"cat", missing, "/name"},
  };
  for (const bool binary : {false, true}) {
    for (const std::vector<std::string>& args : cases) {
      const Outcome outcome = binary ? kzbBinary(work(), args) : kzb(args);
      EXPECT_EQ(outcome.status, 1) << ::testing::PrintToString(args) << binary;
      EXPECT_NE(outcome.err.find(cannotOpen), std::string::npos) << outcome.err;
      EXPECT_EQ(outcome.err.find("(see 'kzb"), std::string::npos) << outcome.err;
    }
  }
  EXPECT_TRUE(filesIn(work()).empty());
}

TEST_F(KzbTest, ExtractSkipsWhatExistsOnlyWhenAsked) {
  const std::string c = container("c.kzb", containerOf({{u"kept", "new"}, {u"fresh", "f"}}));
  testing::writeFile(work() / "kept", "old");
  Outcome outcome = kzb({"extract", "--skip-existing", "-v", c});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "skipped: kept\nextracted: fresh\n");
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(testing::readFile(work() / "kept"), "old");
  EXPECT_EQ(testing::readFile(work() / "fresh"), "f");

  outcome = kzb({"extract", c});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(testing::readFile(work() / "kept"), "new");
}

TEST_F(KzbTest, ExtractIntoWhatCannotBeADirectoryFails) {
  const std::string c = container("c.kzb", containerOf({{u"a", "a"}}));
  testing::writeFile(work() / "file", "");
  const Outcome outcome = kzb({"extract", c, "-C", "file/sub"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err.rfind("kzb: file/sub: cannot make or open this directory: ", 0), 0u)
      << outcome.err;
  EXPECT_EQ(filesIn(work()), std::vector<std::string>{"file"});
}

TEST_F(KzbTest, ProgressShowsOnlyOnStandardErrorAndOnlyWhenWanted) {
  testing::Publication publication;
  for (int i = 0; i < 5; ++i) {
    publication.files.push_back({u"file" + std::u16string(1, char16_t(u'0' + i)), "data", {}});
  }
  const std::string c = container("c.kzb", testing::buildContainer(publication));
  const std::chrono::milliseconds now{0};
  const struct {
    std::vector<std::string> options;
    Surroundings surroundings;
    bool shows;
  } cases[] = {
      {{}, {true, now}, true},
      {{}, {false, now}, false},
      {{"--progress"}, {false, now}, true},
      {{"--no-progress"}, {true, now}, false},
      {{}, {true, std::chrono::milliseconds(60000)}, false},  // a run shorter than the delay
  };
  for (const auto& test : cases) {
    std::vector<std::string> args{"extract", "-v", c};
    args.insert(args.end(), test.options.begin(), test.options.end());
    const Outcome outcome = kzb(args, test.surroundings);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out,
              "extracted: file0\nextracted: file1\nextracted: file2\nextracted: file3\n"
              "extracted: file4\n");
    if (!test.shows) {
      EXPECT_EQ(outcome.err, "");
      continue;
    }
    // Drawn in place, and blanked at the end.
    EXPECT_EQ(outcome.err.rfind("\r1/5 files, 4 B of 20 B, ", 0), 0u) << outcome.err;
    EXPECT_NE(outcome.err.find("/s  file0"), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find('\n'), std::string::npos);
    const std::size_t lastLine = outcome.err.rfind('\r', outcome.err.size() - 2);
    EXPECT_EQ(outcome.err.substr(lastLine + 1, outcome.err.size() - lastLine - 2),
              std::string(outcome.err.size() - lastLine - 2, ' '));
    EXPECT_EQ(outcome.err.back(), '\r');
  }
}

TEST_F(KzbTest, TestChecksEveryStoredFileAgainstItsRow) {
  const Bytes good = containerOf({{u"a.txt", "alpha"}, {u"b.bin", std::string(100000, 'b')}});
  // The same bytes with one payload byte changed: its recorded CRC-32 no longer holds.
  Bytes flipped = good;
  flipped[flipped.find("alpha")] = 'A';
  const std::string ok = container("ok.kzb", good);
  const std::string bad = container("bad.kzb", flipped);
  const std::string cut = container("cut.kzb", good.substr(0, good.size() - 10));
  // The check value of the CRC-32 of ZIP and zlib: that of "123456789" is cbf43926.
  const auto table = [](std::uint32_t position) {
    return Chunk("KZB0").child(testing::fileInfo(u"digits", position, 9).u32("CRC3", 0xcbf43926));
  };
  const auto position = static_cast<std::uint32_t>(table(0).size());
  const std::string check =
      container("check.kzb", table(position).child(Chunk("FILE").payload("123456789")).bytes());
  // A row that points at no stored file.
  const std::string stray =
      container("stray.kzb", Chunk("KZB0").child(testing::fileInfo(u"nowhere", 4000, 5)).bytes());
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  } cases[] = {
      {{"test", ok}, 0, ok + ": ok (2 files)\n", ""},
      {{"test", check}, 0, check + ": ok (1 file)\n", ""},
      {{"test", ok, "--include", "*.txt"}, 0, ok + ": ok (1 file)\n", ""},
      {{"test", bad},
       1,
       bad + ": 1 problem\n",
       "kzb: a.txt: CRC-32 of the stored bytes is " + crcHex("Alpha") + ", recorded " +
           crcHex("alpha") + "\n"},
      {{"test", bad, "--exclude", "a.txt"}, 0, bad + ": ok (1 file)\n", ""},
      {{"test", cut},
       1,
       cut + ": 2 problems\n",
       "kzb: " + cut + kMalformed + "kzb: b.bin: container ends inside this file's data\n"},
      {{"test", stray},
       1,
       stray + ": 1 problem\n",
       "kzb: nowhere: no stored file of the recorded size at its position\n"},
      {{"test", absent(), ok},
       1,
       absent() + ": 1 problem\n" + ok + ": ok (2 files)\n",
       "kzb: " + absent() + kCannotOpen},
  };
  for (const auto& test : cases) {
    const Outcome outcome = kzb(test.args);
    EXPECT_EQ(outcome.status, test.status) << ::testing::PrintToString(test.args);
    EXPECT_EQ(outcome.out, test.out) << ::testing::PrintToString(test.args);
    EXPECT_EQ(outcome.err, test.err) << ::testing::PrintToString(test.args);
  }
  EXPECT_TRUE(filesIn(work()).empty());
}

TEST_F(KzbTest, CatWritesTheStoredBytesOfTheEntriesNamed) {
  const std::string binary("\x00\r\n\x1a\xff\n\r", 7);
  const Bytes bytes = containerOf({{u"text.txt", "line\n"},
                                   {u"raw.bin", binary},
                                   {u"text.txt", "again\n"},
                                   {u"cut", std::string(50, 'c')}});
  const std::string c = container("c.kzb", bytes);
  const std::string cut = container("cut.kzb", bytes.substr(0, bytes.size() - 20));
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  } cases[] = {
      {{"cat", c, "raw.bin"}, 0, binary, ""},
      // In the order of the file table, each entry of a name.
      {{"cat", c, "raw.bin", "text.txt"}, 0, "line\n" + binary + "again\n", ""},
      {{"cat", c, "--exclude", "cut"}, 0, "line\n" + binary + "again\n", ""},
      {{"cat", c, "--include", "text*"}, 0, "line\nagain\n", ""},
      {{"cat", c, "missing", "raw.bin"}, 1, binary, "kzb: missing: no entry of this name\n"},
      {{"cat", c, "RAW.BIN"}, 1, "", "kzb: RAW.BIN: no entry of this name\n"},
      {{"cat", c, "text.txt", "--exclude", "*.txt"},
       1,
       "",
       "kzb: text.txt: no entry of this name\n"},
      {{"cat", cut, "cut"},
       1,
       std::string(30, 'c'),
       "kzb: " + cut + kMalformed + "kzb: cut: container ends inside this file's data\n"},
      {{"cat", absent(), "x"},
       1,
       "",
       "kzb: " + absent() + kCannotOpen + "kzb: x: no entry of this name\n"},
  };
  for (const auto& test : cases) {
    const Outcome outcome = kzb(test.args);
    EXPECT_EQ(outcome.status, test.status) << ::testing::PrintToString(test.args);
    EXPECT_EQ(outcome.out, test.out) << ::testing::PrintToString(test.args);
    EXPECT_EQ(outcome.err, test.err) << ::testing::PrintToString(test.args);
  }
  EXPECT_TRUE(filesIn(work()).empty());
}

// What README.md shows of kzb, run on the sample the build writes beside the programs.
TEST_F(KzbTest, ReadmeExamplesHoldForTheSample) {
  // Absolute while the working directory is still the one the test started in: on Windows the
  // build's paths name no drive, and that directory is on the build's drive.
  const fs::path sample = fs::absolute(testing::utf8Path(KZB_BINARY)).parent_path() / "sample.kzb";
  ASSERT_TRUE(fs::exists(sample)) << "the build writes " << sample << " (target `sample`)";
  fs::copy_file(sample, work() / "sample.kzb");
  const struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"list", "sample.kzb"},
       "readme.txt\n1\xec\x9e\xa5.txt\npages.bin\nempty.txt\n\xed\x91\x9c\xec\xa7\x80.svg\n"},
      {{"list", "-l", "--include", "*.txt", "sample.kzb"},
       "        70  e191142f  readme.txt\n"
       "        63  e4a074d2  1\xec\x9e\xa5.txt\n"
       "         0  00000000  empty.txt\n"
       "       133            3 files\n"},
      {{"test", "sample.kzb"}, "sample.kzb: ok (5 files)\n"},
      {{"cat", "sample.kzb", "readme.txt"},
       "This container was written by make-sample, the project's own example.\n"},
      {{"extract", "-v", "-C", "books/moon", "--exclude", "*.bin", "sample.kzb"},
       "extracted: readme.txt\nextracted: 1\xec\x9e\xa5.txt\nextracted: empty.txt\n"
       "extracted: \xed\x91\x9c\xec\xa7\x80.svg\n"},
  };
  for (const auto& test : cases) {
    const Outcome outcome = kzb(test.args);
    EXPECT_EQ(outcome.status, 0) << ::testing::PrintToString(test.args);
    EXPECT_EQ(outcome.out, test.out) << ::testing::PrintToString(test.args);
    EXPECT_EQ(outcome.err, "") << ::testing::PrintToString(test.args);
  }
  EXPECT_EQ(filesIn(work() / "books" / "moon").size(), 4u);
  EXPECT_FALSE(fs::exists(work() / "books" / "moon" / "pages.bin"));
  const Outcome json = kzb({"list", "--json", "sample.kzb"});
  EXPECT_EQ(nlohmann::json::parse(json.out)["metadata"]["title"],
            "\xeb\x8b\xac\xeb\xb9\x9b \xed\x95\xad\xed\x95\xb4 (Moonlight Voyage)");
  // The report of info is kzb-extract's.
  const fs::path elsewhere = work().parent_path() / "elsewhere";
  fs::create_directory(elsewhere);
  EXPECT_EQ(kzb({"info", "sample.kzb"}).out,
            testing::runBinary(elsewhere, {testing::utf8String(work() / "sample.kzb")}).out);
}

TEST_F(KzbTest, BinarySaysWhenStandardOutputFails) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no /dev/full to make writes to standard output fail";
#else
  const std::string c = container("c.kzb", containerOf({{u"a.txt", "alpha"}}));
  for (const std::string command : {"list", "info", "cat"}) {
    const Outcome outcome =
        testing::runProgram(KZB_BINARY, work(), {command, c},
                            {.prelude = "", .wrapper = "sh -c 'exec \"$0\" \"$@\" >/dev/full'"});
    EXPECT_EQ(outcome.status, 1) << command;
    EXPECT_EQ(outcome.err, "kzb: standard output: write failed: No space left on device\n")
        << command;
  }
#endif
}

// The built program: its exit statuses as the system reports them, standard output's bytes
// as they leave the process (no newline translation on Windows), a Hangul path whole.
TEST_F(KzbTest, BinaryRunsEveryCommand) {
  const std::string binary("\x00\r\n\x1a\n\xff", 6);
  const std::string c =
      container("\xec\xb1\x85.kzb", containerOf({{u"raw.bin", binary}, {u"\ub098.txt", "na"}}));
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
  } cases[] = {
      {{"cat", c, "raw.bin"}, 0, binary},
      {{"list", c}, 0, "raw.bin\n\xeb\x82\x98.txt\n"},
      {{"test", c}, 0, c + ": ok (2 files)\n"},
      {{"extract", c, "-C", "a/b"}, 0, ""},
      {{"list", absent()}, 1, ""},
      {{"lis", c}, 2, ""},
  };
  for (const auto& test : cases) {
    const Outcome outcome = kzbBinary(work(), test.args);
    EXPECT_EQ(outcome.status, test.status) << ::testing::PrintToString(test.args);
    EXPECT_EQ(outcome.out, test.out) << ::testing::PrintToString(test.args);
  }
  EXPECT_EQ(testing::readFile(work() / "a" / "b" / "raw.bin"), binary);
  EXPECT_EQ(testing::readFile(work() / "a" / "b" / testing::utf8Path("\xeb\x82\x98.txt")), "na");
  const Outcome help = kzbBinary(work(), {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, kzb({"--help"}).out);
}

#ifndef _WIN32
// With --sync, exit status 0 means every extracted file is on the disk: a power loss right
// after the exit (the shutdown ioctl on a journalled file system) costs none of them, neither
// the names that were free nor the ones whose files were replaced.
class KzbSyncAcrossAPowerLoss : public ::testing::TestWithParam<testing::FileSystemKind> {};

TEST_P(KzbSyncAcrossAPowerLoss, EveryNameHoldsItsWholeFile) {
  testing::MountedFileSystem disk(GetParam());
  if (!disk.mounted()) {
    GTEST_SKIP() << disk.failure();
  }
  const fs::path work = disk.workDirectory();
  constexpr std::uint32_t kCount = 20;
  testing::Publication publication;
  for (std::uint32_t i = 0; i < kCount; ++i) {
    const std::string index = (i < 10 ? "0" : "") + std::to_string(i);
    testing::writeFile(work / ("replaced" + index), testing::pseudoRandomBytes(1000 + 150 * i, i));
    publication.files.push_back({testing::utf16FromUtf8("replaced" + index),
                                 testing::pseudoRandomBytes(4096 + 3072 * i, i + 100),
                                 {}});
    publication.files.push_back({testing::utf16FromUtf8("new" + index),
                                 testing::pseudoRandomBytes(4096 + 3072 * i, i + 200),
                                 {}});
  }
  {
    // The old files are on the disk before the run begins.
    const int fd = ::open(work.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::syncfs(fd), 0);
    ::close(fd);
  }
  const fs::path container = disk.outside() / "c.kzb";
  testing::writeFile(container, testing::buildContainer(publication));

  const Outcome outcome =
      testing::runProgram(KZB_BINARY, work, {"extract", "--sync", container.string()});
  const std::string stopped = testing::shutDown(disk.mountPoint());
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  if (!stopped.empty()) {
    GTEST_SKIP() << stopped;
  }
  ASSERT_EQ(disk.remount(), "");
  std::vector<std::string> wrong;
  for (const testing::StoredFile& file : publication.files) {
    const std::string name(file.name.begin(), file.name.end());  // ASCII
    const Bytes now = testing::readFile(work / name);
    if (now != file.data) {
      wrong.push_back(name + " holds " + std::to_string(now.size()) + " bytes of " +
                      std::to_string(file.data.size()));
    }
  }
  EXPECT_TRUE(wrong.empty()) << wrong.size() << " names wrong, the first: " << wrong.front();
}

std::string fileSystemName(const ::testing::TestParamInfo<testing::FileSystemKind>& param) {
  return param.param == testing::FileSystemKind::ext4 ? "Ext4" : "Xfs";
}

INSTANTIATE_TEST_SUITE_P(FileSystems, KzbSyncAcrossAPowerLoss,
                         ::testing::Values(testing::FileSystemKind::ext4,
                                           testing::FileSystemKind::xfs),
                         fileSystemName);
#endif

}  // namespace
}  // namespace kzb
