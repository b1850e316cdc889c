#include "command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <memory>

#include "epub.h"
#include "files_from.h"

namespace kzb::tool {
namespace {

constexpr std::string_view kTopFooter =
    "list, extract, test and cat take --include GLOB and --exclude GLOB (* ? [...]),\n"
    "matched against the whole stored name. Exit status: 0 everything worked, 1 a\n"
    "container or an entry failed, 2 a usage error. 'kzb COMMAND --help' tells more.";

// The top line of kzb --help shows the command before its options and operands.
// CLI11's help, with the usage line as kzb takes its operands (CLI11 would mark them
// optional, since they are checked here rather than by it), and each option shown with its
// value's name alone.
class Formatter : public CLI::Formatter {
 public:
  std::string make_usage(const CLI::App* app, std::string name) const override {
    if (app->get_parent() == nullptr) {
      return "Usage: kzb COMMAND [OPTIONS] CONTAINER...\n";
    }
    const bool names = app->get_option_no_throw("NAME") != nullptr;
    return "Usage: " + name + " [OPTIONS] " + (names ? "CONTAINER [NAME...]" : "CONTAINER...") +
           "\n";
  }
  std::string make_option_opts(const CLI::Option* option) const override {
    return option->get_type_name().empty() ? "" : " " + option->get_type_name();
  }
};

// What each command's help says beyond its options.
std::string footerOf(const Command& command) {
  std::string footer;
  if (command.name == "info") {
    footer =
        "The report is kzb-extract's, byte for byte. --comicinfo, --comicbookinfo and\n"
        "--opf take one container.";
  } else if (command.name == "list") {
    footer = "Names are escaped as in the report; --json writes UTF-8 with JSON escapes.";
  } else if (command.name == "extract") {
    footer =
        "Without -C, into the working directory; several containers without --each share\n"
        "it, later entries rewriting earlier ones. --beside: DIR (default: .) is taken\n"
        "from each container's own folder. A link at a folder's name is never followed.";
  } else if (command.name == "test") {
    footer = "Prints 'C: ok (N files)' or 'C: N problems'; each problem is a line on stderr.";
  } else if (command.name == "cat") {
    footer = "Entries go out in the order of the file table, as stored.";
  } else if (command.name == "convert") {
    footer =
        "Writes DIR/<container name without extension>.cbz, or OUT for one container. It\n"
        "appears only when complete; entries that fail are left out, the rest written.\n"
        "--beside: DIR (default: .) is taken from each container's own folder.";
  }
  if ((command.options & kFilesFromOptions) != 0) {
    footer +=
        "\n--files-from: after any CONTAINERs, each name in FILE up to its newline (a CR\n"
        "before it stays) or, with --null, its NUL, byte for byte; empty names skipped.";
  }
  if ((command.options & kFilterOptions) != 0) {
    footer += "\nGLOB: * ? [...] matched against the whole stored name, case-sensitively.";
  }
  return footer + "\nExit status: 0 everything worked, 1 a container or an entry failed, 2 usage.";
}

std::string_view documentOption(InfoDocument document) {
  switch (document) {
    case InfoDocument::comicInfo:
      return "--comicinfo";
    case InfoDocument::comicBookInfo:
      return "--comicbookinfo";
    case InfoDocument::opf:
      return "--opf";
    case InfoDocument::report:
      break;
  }
  return "";
}

// The usage error's line, pointing to the help that would have told.
Invocation usageError(std::string_view problem, const Command* command) {
  Invocation invocation;
  invocation.kind = Invocation::Kind::usageError;
  invocation.command = command;
  const std::string help =
      command == nullptr ? "kzb --help" : "kzb " + std::string(command->name) + " --help";
  invocation.text = std::string(problem) + " (see '" + help + "')";
  return invocation;
}

// -j's count: decimal digits alone, 1 to 4096; 0 for anything else.
unsigned jobCount(std::string_view text) {
  constexpr unsigned kMostJobs = 4096;
  if (text.empty() || text.size() > 4) {
    return 0;
  }
  unsigned count = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return 0;
    }
    count = count * 10 + static_cast<unsigned>(c - '0');
  }
  return count <= kMostJobs ? count : 0;
}

void addOptions(CLI::App& app, const Command& command, Options& options) {
  if ((command.options & kEntryNameOperands) != 0) {
    app.add_option_function<std::string>(
           "CONTAINER", [&options](const std::string& path) { options.containers = {path}; },
           "the container")
        ->type_name("");
    app.add_option("NAME", options.names, "entries of this name (default: every entry)")
        ->type_name("");
  } else {
    app.add_option("CONTAINER", options.containers, "the containers, one or more")->type_name("");
  }
  if ((command.options & kListingOptions) != 0) {
    CLI::Option* longListing =
        app.add_flag("-l", options.longListing, "size and CRC-32 before each name, and a total");
    app.add_flag("--json", options.json, "one JSON object a line per container")
        ->excludes(longListing);
  }
  if ((command.options & kExtractionOptions) != 0) {
    app.add_option("-C,--directory", options.directory,
                   "extract into DIR, made with its parents if missing")
        ->type_name("DIR");
    app.add_flag("--each", options.each, "each container into a folder named after its file");
    app.add_flag("--beside", options.beside, "DIR from each container's folder, not from here");
    app.add_flag("--skip-existing", options.skipExisting,
                 "leave whatever already stands at a name as it is");
    app.add_flag("-v,--verbose", options.verbose, "each name on standard output as it is placed");
    app.add_flag("--sync", options.sync, "every file on the disk before exit, never one partial");
    CLI::Option* on = app.add_flag_callback(
        "--progress", [&options] { options.progress = ProgressMode::always; },
        "a progress line on standard error, even if not a terminal");
    app.add_flag_callback(
           "--no-progress", [&options] { options.progress = ProgressMode::never; },
           "no progress line")
        ->excludes(on);
  }
  if ((command.options & kDocumentOptions) != 0) {
    CLI::Option* comicInfo = app.add_flag_callback(
        "--comicinfo", [&options] { options.document = InfoDocument::comicInfo; },
        "print ComicInfo.xml, as convert writes it, instead");
    CLI::Option* comicBookInfo =
        app.add_flag_callback(
               "--comicbookinfo", [&options] { options.document = InfoDocument::comicBookInfo; },
               "print the ZIP comment (ComicBookInfo JSON) convert writes")
            ->excludes(comicInfo);
    app.add_flag_callback(
           "--opf", [&options] { options.document = InfoDocument::opf; },
           "print an OPF package document of the metadata instead")
        ->excludes(comicInfo)
        ->excludes(comicBookInfo);
  }
  if ((command.options & kConversionOptions) != 0) {
    CLI::Option* output =
        app.add_option("-o,--output", options.output, "write the one container's ZIP to OUT")
            ->type_name("OUT");
    app.add_option("-C,--directory", options.directory,
                   "write into DIR, made with its parents if missing")
        ->type_name("DIR")
        ->excludes(output);
    app.add_flag("--beside", options.beside, "DIR from each container's folder, not from here")
        ->excludes(output);
    app.add_flag("--renumber", options.renumber,
                 "prefix each name with its position, as wide as the count");
    app.add_flag("--deflate", options.deflate, "compress the entries (default: stored)");
    app.add_option_function<std::string>(
           "--to",
           [&options](const std::string& format) {
             if (format != "cbz" && format != "epub") {
               throw CLI::ValidationError("--to", "takes cbz or epub, not '" + format + "'");
             }
             options.toEpub = format == "epub";
           },
           "cbz (the default) or epub, an EPUB 3 book")
        ->type_name("FORMAT")
        ->allow_extra_args(false);
    app.add_option_function<std::string>(
           "--language",
           [&options](const std::string& tag) {
             if (!isLanguageTag(tag)) {
               throw CLI::ValidationError("--language", "takes a BCP 47 tag such as ko or en-US, not '" + tag + "'");
             }
             options.language = tag;
           },
           "the EPUB's language, a BCP 47 tag (default: und)")
        ->type_name("TAG")
        ->allow_extra_args(false);
  }
  if ((command.options & kJobOptions) != 0) {
    app.add_option_function<std::string>(
           "-j,--jobs",
           [&options](const std::string& count) {
             options.jobs = jobCount(count);
             if (options.jobs == 0) {
               throw CLI::ValidationError("-j", "takes a count of 1 to 4096, not '" + count + "'");
             }
           },
           "up to N at once (1 to 4096; default: one per core)")
        ->type_name("N")
        ->allow_extra_args(false);
  }
  if ((command.options & kFilesFromOptions) != 0) {
    CLI::Option* list = app.add_option("--files-from", options.filesFrom,
                                       "also the containers FILE names, one a line (-: stdin)")
                            ->type_name("FILE")
                            ->allow_extra_args(false);
    app.add_flag("--null", options.null, "FILE's names end in NUL, not newline")->needs(list);
  }
  if ((command.options & kFilterOptions) != 0) {
    // One pattern an option: the argument after it is a container again.
    app.add_option("--include", options.includes,
                   "only entries whose name GLOB matches (repeatable)")
        ->type_name("GLOB")
        ->allow_extra_args(false);
    app.add_option("--exclude", options.excludes, "no entry whose name GLOB matches (repeatable)")
        ->type_name("GLOB")
        ->allow_extra_args(false);
  }
}

// CLI11 words a parse error as one line; it names the argument or the option.
std::string problemOf(const CLI::ParseError& error) {
  std::string text = error.what();
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

}  // namespace

Invocation parseCommandLine(const std::vector<std::string>& arguments) {
  if (arguments.size() < 2) {
    return usageError("no command given", nullptr);
  }
  // An unknown word in the command's place is named as such, not as a missing command.
  const std::string& first = arguments[1];
  const auto known = [](std::string_view name) {
    return std::any_of(kCommands.begin(), kCommands.end(),
                       [&](const Command& command) { return command.name == name; });
  };
  if (first.empty() || (first[0] != '-' && !known(first))) {
    return usageError("unknown command '" + first + "'", nullptr);
  }

  Invocation invocation;
  CLI::App app{"List, test, print, extract and convert the files of KZB containers.", "kzb"};
  auto formatter = std::make_shared<Formatter>();
  formatter->label("SUBCOMMAND", "COMMAND");
  formatter->label("Subcommands", "Commands");
  formatter->column_width(22);
  app.formatter(formatter);  // before the commands are added: they take the same
  app.set_help_flag("-h,--help", "print this help and exit");
  // An argument that starts with '/' is a path on every platform: Windows takes rooted paths
  // with forward slashes, which CLI11 would otherwise read as /option there. The commands
  // inherit this when they are added.
  app.allow_windows_style_options(false);
  app.require_subcommand(1);
  app.footer(std::string(kTopFooter));
  CLI::Option* version = app.add_flag("--version")->description("print the version and exit");
  std::vector<std::pair<CLI::App*, const Command*>> commands;
  for (const Command& command : kCommands) {
    CLI::App* sub = app.add_subcommand(std::string(command.name), std::string(command.summary));
    sub->group("Commands");
    sub->footer(footerOf(command));
    sub->set_help_flag("-h,--help", "print this help and exit");
    addOptions(*sub, command, invocation.options);
    commands.emplace_back(sub, &command);
  }
  const auto chosen = [&]() -> std::pair<CLI::App*, const Command*> {
    for (const auto& [sub, command] : commands) {
      if (sub->parsed()) {
        return {sub, command};
      }
    }
    return {nullptr, nullptr};
  };

  // CLI11 takes the arguments last first, without the program's name.
  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend() - 1);
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    const auto [sub, command] = chosen();
    invocation.kind = Invocation::Kind::help;
    invocation.text = sub == nullptr ? app.help() : sub->help("kzb");
    return invocation;
  } catch (const CLI::ParseError& error) {
    if (version->count() > 0 && chosen().first == nullptr) {
      invocation.kind = Invocation::Kind::version;
      invocation.text = "kzb " KZB_VERSION "\n";
      return invocation;
    }
    return usageError(problemOf(error), chosen().second);
  }
  const auto [sub, command] = chosen();
  if (version->count() > 0) {
    invocation.kind = Invocation::Kind::version;
    invocation.text = "kzb " KZB_VERSION "\n";
    return invocation;
  }
  invocation.command = command;
  Options& options = invocation.options;
  if (const CLI::Option* list = sub->get_option_no_throw("--files-from");
      list != nullptr && list->count() > 0) {
    if (std::string problem =
            addContainersFrom(options.filesFrom, options.null, options.containers);
        !problem.empty()) {
      return usageError(problem, command);
    }
  }
  if (options.containers.empty()) {
    return usageError("no container given", command);
  }
  if (options.containers.size() > 1 && options.document != InfoDocument::report) {
    return usageError(std::string(documentOption(options.document)) + " takes one container",
                      command);
  }
  if (const CLI::Option* output = sub->get_option_no_throw("--output");
      output != nullptr && output->count() > 0 && options.output.empty()) {
    return usageError("-o needs the name of a file", command);
  }
  if (options.containers.size() > 1 && !options.output.empty()) {
    return usageError("-o names the file of one container; for several, use -C", command);
  }
  invocation.kind = Invocation::Kind::run;
  return invocation;
}

}  // namespace kzb::tool
