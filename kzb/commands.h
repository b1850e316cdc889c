// kzb's commands. Each is a function from the parsed options to an exit status, in a file of
// its own (info.cpp, list.cpp, extract.cpp, test.cpp, cat.cpp, convert.cpp); kCommands is the one
// table that names them, and the command line (command_line.cpp) is parsed from it. No command sees
// the arguments themselves.
#pragma once

#include <array>
#include <chrono>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace kzb::tool {

inline constexpr int kExitSuccess = 0;  // everything worked
inline constexpr int kExitFailure = 1;  // a container or an entry failed
inline constexpr int kExitUsage = 2;    // the command line asked for nothing this tool does

enum class ProgressMode { automatic, always, never };

// What info prints of a container.
enum class InfoDocument {
  report,     // kzb-extract's report
  comicInfo,      // --comicinfo: ComicInfo.xml
  comicBookInfo,  // --comicbookinfo: the ComicBookInfo JSON of a CBZ's comment
  opf,            // --opf: an OPF package document holding the metadata
};

// Everything the command line says, for whichever command it names.
struct Options {
  std::vector<std::string> containers;  // as given, UTF-8
  std::vector<std::string> names;       // cat: the entry names after its container
  std::vector<std::string> includes;    // --include, in order
  std::vector<std::string> excludes;    // --exclude, in order
  bool longListing = false;             // list -l
  bool json = false;                    // list --json
  std::string directory;                // extract and convert -C; empty for the working directory
  bool each = false;                    // extract --each
  bool beside = false;                  // extract and convert --beside: -C from each container
  bool skipExisting = false;            // extract --skip-existing
  bool verbose = false;                 // extract -v
  bool sync = false;                    // extract --sync
  ProgressMode progress = ProgressMode::automatic;
  InfoDocument document = InfoDocument::report;  // info --comicinfo, --comicbookinfo, --opf
  std::string output;                            // convert -o; empty for DIR/<name>.cbz
  bool renumber = false;                         // convert --renumber
  bool deflate = false;                          // convert --deflate
  bool toEpub = false;                           // convert --to epub (a CBZ otherwise)
  std::string language = "und";                  // convert --language, for an EPUB
  unsigned jobs = 0;  // -j: containers at once; 0 for as many as the cores the process may use
  std::string filesFrom;  // --files-from: a list of further containers; "-" for standard input
  bool null = false;      // --null: the list's names end in NUL rather than newline
};

// Where a command writes, and what it knows of the process's surroundings.
struct Context {
  std::ostream& out;
  std::ostream& err;
  bool errorIsTerminal = false;
  // How long a run lasts before its progress shows, where it shows.
  std::chrono::milliseconds progressDelay{1000};
};

// The options a command takes besides its containers; a bit set in Command::options.
enum OptionGroup : unsigned {
  kFilterOptions = 1u << 0,      // --include, --exclude
  kListingOptions = 1u << 1,     // -l, --json
  kExtractionOptions = 1u << 2,  // -C, --each, --beside, --skip-existing, -v, --sync, progress
  kEntryNameOperands = 1u << 3,  // one container, then entry names
  kDocumentOptions = 1u << 4,    // --comicinfo, --comicbookinfo, --opf: one container
  kConversionOptions = 1u << 5,  // -o, -C, --beside, --renumber, --deflate
  kJobOptions = 1u << 6,         // -j: several containers at once
  kFilesFromOptions = 1u << 7,   // --files-from, --null: containers from a list
};

struct Command {
  std::string_view name;
  std::string_view summary;  // its line in kzb --help
  unsigned options;          // OptionGroup bits
  int (*run)(const Options& options, Context& context);
};

int runInfo(const Options& options, Context& context);
int runList(const Options& options, Context& context);
int runExtract(const Options& options, Context& context);
int runTest(const Options& options, Context& context);
int runCat(const Options& options, Context& context);
int runConvert(const Options& options, Context& context);

inline constexpr std::array<Command, 6> kCommands{{
    {"info", "print the report, or the metadata as readers import it",
     kDocumentOptions, runInfo},
    {"list", "list the entries; -l: size and CRC-32, --json: JSON Lines",
     kFilterOptions | kListingOptions | kJobOptions | kFilesFromOptions, runList},
    {"extract", "extract the entries, where -C or --each says",
     kFilterOptions | kExtractionOptions | kJobOptions | kFilesFromOptions, runExtract},
    {"test", "check every entry against its CRC-32; write nothing",
     kFilterOptions | kJobOptions | kFilesFromOptions, runTest},
    {"cat", "write the entries named to standard output", kFilterOptions | kEntryNameOperands,
     runCat},
    {"convert", "write each container as a CBZ (ZIP) with ComicInfo.xml",
     kConversionOptions | kJobOptions | kFilesFromOptions, runConvert},
}};

}  // namespace kzb::tool
