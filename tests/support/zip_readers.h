// Readers of ZIP and XML that the project did not write, run on what the tests write: Python's
// zipfile, Info-ZIP's unzip, 7-Zip, libarchive's bsdtar, and xmllint. Each runs where it is
// installed, on Linux; a test that wanted one that is missing says so at its end
// (SKIP_IF_A_READER_IS_MISSING) rather than pass. Under wine none runs: the tests there compare
// what they write with files that these readers accepted on Linux.
#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kzb::testing {

struct ZipMember {
  std::string name;  // UTF-8
  std::string bytes;
};

// Every reader that is installed checks `zip`, which must hold `members` in this order, each
// name with the UTF-8 flag (`time`: their time as "YYYY-MM-DD hh:mm:ss", or "-" for any), and
// the ZIP's comment `comment` where one is given. Failures are test failures that show the
// reader's own words. Nothing is written beside `zip`.
void checkWithZipReaders(const std::filesystem::path& zip, const std::vector<ZipMember>& members,
                         const std::string& time = "-",
                         const std::optional<std::string>& comment = std::nullopt);

// Parses the document with xmllint, checks it against `schema` where one is given, and
// returns the names of the elements `childrenXPath` selects, in order; nothing where xmllint
// does not run.
std::optional<std::vector<std::string>> xmllintChildren(const std::filesystem::path& dir,
                                                        const std::string& document,
                                                        const std::string& childrenXPath,
                                                        const std::filesystem::path& schema = {});

// The readers that were wanted and are not installed.
std::set<std::string>& missingReaders();

}  // namespace kzb::testing

// Written at the end of a test that read ZIPs back: a reader that is not installed did not
// check them, and the test says so rather than pass.
#define SKIP_IF_A_READER_IS_MISSING()                                    \
  do {                                                                   \
    if (!::kzb::testing::missingReaders().empty()) {                     \
      std::string names;                                                 \
      for (const std::string& tool : ::kzb::testing::missingReaders()) { \
        names += " " + tool;                                             \
      }                                                                  \
      GTEST_SKIP() << "not read back by (not installed):" << names;      \
    }                                                                    \
  } while (false)
