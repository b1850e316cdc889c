#include "zip_readers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <regex>
#include <string_view>

#include "temp_dir.h"

namespace kzb::testing {
namespace {

namespace fs = std::filesystem;

#ifndef _WIN32
// Reads the ZIP named on its command line with Python's zipfile: testzip() finds no bad CRC,
// the names are those of the manifest in its order, each with the UTF-8 flag, each member's
// bytes are those of the manifest's file, and its time is the one given; the ZIP's comment is
// the bytes of the file named last, where one is named.
constexpr std::string_view kZipfileCheck = R"PY(
import sys, zipfile
zip_path, manifest, expected_time, comment_path = sys.argv[1:5]
expected = []
for line in open(manifest, encoding="ascii"):
    name_hex, path = line.split()
    expected.append((bytes.fromhex(name_hex).decode("utf-8"), path))
with zipfile.ZipFile(zip_path) as z:
    bad = z.testzip()
    if bad is not None:
        sys.exit("testzip: bad member %r" % bad)
    names = z.namelist()
    if names != [name for name, _ in expected]:
        sys.exit("names %r, expected %r" % (names, [name for name, _ in expected]))
    for info, (name, path) in zip(z.infolist(), expected):
        if not info.flag_bits & 0x800:
            sys.exit("%r: no UTF-8 flag" % name)
        with open(path, "rb") as f:
            if z.read(info) != f.read():
                sys.exit("%r: bytes differ" % name)
        if expected_time != "-" and "%04d-%02d-%02d %02d:%02d:%02d" % info.date_time != expected_time:
            sys.exit("%r: time %r, expected %s" % (name, info.date_time, expected_time))
    if comment_path != "-" and z.comment != open(comment_path, "rb").read():
        sys.exit("comment %r, expected %r" % (z.comment, open(comment_path, "rb").read()))
print("zipfile: ok")
)PY";

std::string quoted(const fs::path& path) {
  return "'" + utf8String(path) + "'";
}

bool installed(const std::string& tool) {
  static std::map<std::string, bool> known;
  if (const auto found = known.find(tool); found != known.end()) {
    return found->second;
  }
  const bool present = std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
  known[tool] = present;
  if (!present) {
    missingReaders().insert(tool);
  }
  return present;
}

std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const char c : bytes) {
    const auto value = static_cast<unsigned char>(c);
    text += kDigits[value >> 4];
    text += kDigits[value & 0xf];
  }
  return text;
}

// Runs `command` with its output in `log`; a failure shows the command and what it said.
void expectSucceeds(const std::string& command, const fs::path& log) {
  const int status = std::system((command + " >" + quoted(log) + " 2>&1").c_str());
  EXPECT_EQ(status, 0) << command << "\n" << readFile(log);
}

#endif

}  // namespace

std::set<std::string>& missingReaders() {
  static std::set<std::string> missing;
  return missing;
}

void checkWithZipReaders(const fs::path& zip, const std::vector<ZipMember>& members,
                         const std::string& time, const std::optional<std::string>& comment) {
#ifdef _WIN32
  (void)zip, (void)members, (void)time, (void)comment;  // the readers run on Linux
#else
  // Apart from the ZIP, so that nothing is added to the directory a test checks.
  const TempDir scratch;
  const fs::path& work = scratch.path();
  const fs::path log = work / "log";
  if (installed("python3")) {
    writeFile(work / "check.py", kZipfileCheck);
    std::string manifest;
    for (std::size_t i = 0; i < members.size(); ++i) {
      const fs::path file = work / ("member-" + std::to_string(i));
      writeFile(file, members[i].bytes);
      manifest += hex(members[i].name) + " " + utf8String(file) + "\n";
    }
    writeFile(work / "manifest", manifest);
    if (comment) {
      writeFile(work / "comment", *comment);
    }
    expectSucceeds("python3 " + quoted(work / "check.py") + " " + quoted(zip) + " " +
                       quoted(work / "manifest") + " '" + time + "' " +
                       (comment ? quoted(work / "comment") : "-"),
                   log);
  }
  if (installed("unzip")) {
    expectSucceeds("unzip -t " + quoted(zip), log);
  }
  if (installed("7z")) {
    expectSucceeds("7z t " + quoted(zip), log);
  }
  if (installed("bsdtar")) {
    expectSucceeds("LC_ALL=C.UTF-8 bsdtar -tf " + quoted(zip), log);
    std::string expected;
    for (const ZipMember& member : members) {
      expected += member.name + "\n";
    }
    EXPECT_EQ(readFile(log), expected) << "bsdtar -tf " << utf8String(zip);
  }
#endif
}

std::optional<std::vector<std::string>> xmllintChildren(const fs::path& dir,
                                                        const std::string& document,
                                                        const std::string& childrenXPath,
                                                        const fs::path& schema) {
#ifndef _WIN32
  if (!installed("xmllint")) {
    return std::nullopt;
  }
  const fs::path file = dir / "document.xml";
  const fs::path log = dir / "xmllint.log";
  writeFile(file, document);
  expectSucceeds("xmllint --noout " + quoted(file), log);
  if (!schema.empty()) {
    expectSucceeds("xmllint --noout --schema " + quoted(schema) + " " + quoted(file), log);
  }
  // An empty selection is an exit status of its own, and no names.
  const fs::path out = dir / "xpath.out";
  (void)std::system(("xmllint --xpath \"" + childrenXPath + "\" " + quoted(file) + " >" +
                     quoted(out) + " 2>/dev/null")
                        .c_str());
  static const std::regex opening(R"(<([A-Za-z:]+)[ >])");
  std::vector<std::string> names;
  const std::string listed = readFile(out);
  for (auto it = std::sregex_iterator(listed.begin(), listed.end(), opening);
       it != std::sregex_iterator(); ++it) {
    names.push_back((*it)[1]);
  }
  return names;
#else
  (void)dir, (void)document, (void)childrenXPath, (void)schema;
  return std::nullopt;
#endif
}

}  // namespace kzb::testing
