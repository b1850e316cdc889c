// kzb-mount SOURCE MOUNTPOINT [OPTIONS]: a library of containers as a read-only file system
// (library.h says what it shows), through libfuse 3's high-level API. Its command line is
// parsed as kzb's is (CLI11, the same conventions). It detaches once the mount is ready,
// unless -f; `fusermount3 -u MOUNTPOINT` ends it (or a signal with -f).
#include <fuse.h>

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "epub.h"
#include "library.h"

namespace kzb::mount {
namespace {

// The exit statuses, as kzb's: the manual's EXIT STATUS section says the same.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;  // SOURCE cannot be read, or the mount could not be made
constexpr int kExitUsage = 2;    // the command line, or a mount that would show itself

Library& library() {
  return *static_cast<Library*>(fuse_get_context()->private_data);
}

int fail(const std::error_code& error) {
  return error.category() == std::generic_category() || error.category() == std::system_category()
             ? -error.value()
             : -EIO;
}

void fill(const Node& node, struct stat& out) {
  out = {};
  const auto seconds = static_cast<time_t>(node.stat.modifiedSeconds);
  const auto nanoseconds = static_cast<long>(node.stat.modifiedNanoseconds);
  out.st_mtim = {seconds, nanoseconds};
  out.st_ctim = out.st_mtim;
  out.st_atim = out.st_mtim;
  out.st_uid = node.stat.owner;  // a container's views and files are its owner's
  out.st_gid = node.stat.group;
  const auto readOnly = static_cast<mode_t>(node.stat.permissions & ~0222u);
  switch (node.kind) {
    case Node::Kind::directory:
      out.st_mode = S_IFDIR | readOnly;
      out.st_nlink = 2;
      break;
    case Node::Kind::containerFolder:
      out.st_mode = S_IFDIR | 0555;
      out.st_nlink = 2;
      break;
    case Node::Kind::link:
      out.st_mode = S_IFLNK | 0777;
      out.st_nlink = 1;
      out.st_size = static_cast<off_t>(node.stat.size);
      break;
    case Node::Kind::file:
      out.st_mode = S_IFREG | readOnly;
      out.st_nlink = 1;
      out.st_size = static_cast<off_t>(node.size);
      break;
    case Node::Kind::entry:
    case Node::Kind::book:
      out.st_mode = S_IFREG | 0444;
      out.st_nlink = 1;
      out.st_size = static_cast<off_t>(node.size);
      break;
  }
  out.st_blksize = 65536;
  out.st_blocks = (out.st_size + 511) / 512;
}

// The kernel's open and release cost a round trip each, but only an open file can keep the
// container it was opened on: reads by path would read whatever the path shows now.
// FUSE_CAP_NO_OPEN_SUPPORT is therefore left unused.
void* init(fuse_conn_info* /*connection*/, fuse_config* config) {
  // Times and sizes are looked at again after a second, so a container replaced shows.
  config->entry_timeout = 1;
  config->attr_timeout = 1;
  config->negative_timeout = 1;
  return fuse_get_context()->private_data;
}

// The files open by each path of the mount. The kernel keeps one cache of pages per path,
// shared by every file open on it: a file opened on another container than one still open at
// its path (the container was replaced in between) reads past that cache, so neither file
// sees the other's bytes.
class OpenPaths {
 public:
  // Whether `file`, about to be opened at `path`, must bypass the kernel's cache.
  bool add(const std::string& path, OpenFile* file) {
    const std::lock_guard lock(mutex_);
    std::vector<OpenFile*>& open = byPath_[path];
    const bool differs = std::any_of(open.begin(), open.end(), [&](const OpenFile* other) {
      return !sameContainer(other->node(), file->node());
    });
    open.push_back(file);
    return differs;
  }
  // A file open at `path` on the container `node` stands for as it was before it changed in
  // place (the same file, another size or time), if any: while it is open, the path keeps its
  // attributes, since the kernel's one size for the path would otherwise cut the open file's
  // reads short where it should read on, or fail.
  const OpenFile* changedInPlace(const std::string& path, const Node& node) {
    const std::lock_guard lock(mutex_);
    const auto found = byPath_.find(path);
    if (found == byPath_.end()) {
      return nullptr;
    }
    for (const OpenFile* open : found->second) {
      if (open->node().stat.identity == node.stat.identity && !sameContainer(open->node(), node)) {
        return open;
      }
    }
    return nullptr;
  }
  void remove(const std::string& path, OpenFile* file) {
    const std::lock_guard lock(mutex_);
    const auto found = byPath_.find(path);
    if (found == byPath_.end()) {
      return;
    }
    std::erase(found->second, file);
    if (found->second.empty()) {
      byPath_.erase(found);
    }
  }

 private:
  static bool sameContainer(const Node& a, const Node& b) {
    return a.stat.identity == b.stat.identity && a.stat.size == b.stat.size &&
           a.stat.modifiedSeconds == b.stat.modifiedSeconds &&
           a.stat.modifiedNanoseconds == b.stat.modifiedNanoseconds;
  }
  std::mutex mutex_;
  std::map<std::string, std::vector<OpenFile*>> byPath_;
};

OpenPaths& openPaths() {
  static OpenPaths paths;
  return paths;
}

// libfuse keeps each open file's handle as an integer; it is the OpenFile open() made.
OpenFile* openFile(const fuse_file_info* file) {
  return reinterpret_cast<OpenFile*>(  // NOLINT(performance-no-int-to-ptr)
      static_cast<std::uintptr_t>(file->fh));
}

// An open file's attributes are those it was opened with: the kernel asks for them with the
// file's handle before reading on (to learn whether its cache still holds), and a path that
// now shows another container must not cut the open file short or drop its cached pages.
int getattr(const char* path, struct stat* out, fuse_file_info* file) {
  if (file != nullptr && file->fh != 0) {
    fill(openFile(file)->node(), *out);
    return 0;
  }
  Node node;
  if (const std::error_code error = library().resolve(path, node)) {
    return fail(error);
  }
  const OpenFile* open = openPaths().changedInPlace(path, node);
  fill(open != nullptr ? open->node() : node, *out);
  return 0;
}

int readlink(const char* path, char* buffer, size_t size) {
  Node node;
  if (const std::error_code error = library().resolve(path, node)) {
    return fail(error);
  }
  if (node.kind != Node::Kind::link || size == 0) {
    return -EINVAL;
  }
  std::string target;
  if (const std::error_code error = readSourceLink(node.source, target)) {
    return fail(error);
  }
  const std::size_t length = std::min(target.size(), size - 1);
  std::memcpy(buffer, target.data(), length);
  buffer[length] = '\0';
  return 0;
}

// Each name comes with its attributes: the kernel takes them as it would a lookup of each
// (readdirplus), and a listing costs no round trip per entry.
int readdir(const char* path, void* buffer, fuse_fill_dir_t filler, off_t /*offset*/,
            fuse_file_info* /*file*/, fuse_readdir_flags flags) {
  Node node;
  if (const std::error_code error = library().resolve(path, node)) {
    return fail(error);
  }
  std::vector<Library::Listed> entries;
  if (const std::error_code error = library().list(node, entries)) {
    return fail(error);
  }
  const auto plus = (flags & FUSE_READDIR_PLUS) != 0 ? FUSE_FILL_DIR_PLUS : fuse_fill_dir_flags{};
  filler(buffer, ".", nullptr, 0, fuse_fill_dir_flags{});
  filler(buffer, "..", nullptr, 0, fuse_fill_dir_flags{});
  for (const Library::Listed& entry : entries) {
    struct stat attributes {};
    fill(entry.node, attributes);
    if (filler(buffer, entry.name.c_str(), &attributes, 0, plus) != 0) {
      break;
    }
  }
  return 0;
}

int open(const char* path, fuse_file_info* file) {
  if ((file->flags & O_ACCMODE) != O_RDONLY) {
    return -EROFS;
  }
  Node node;
  if (const std::error_code error = library().resolve(path, node)) {
    return fail(error);
  }
  std::unique_ptr<OpenFile> opened;
  if (const std::error_code error = library().open(node, opened)) {
    return fail(error);
  }
  if (openPaths().add(path, opened.get())) {
    file->direct_io = 1;
  }
  file->fh = reinterpret_cast<std::uintptr_t>(opened.release());
  return 0;
}

// Reads the container the file was opened on. Where its bytes are gone, the read fails as a
// whole: a reader never gets a short read, or bytes of two containers.
int read(const char* /*path*/, char* buffer, size_t size, off_t offset, fuse_file_info* file) {
  if (file->fh == 0) {
    return -EBADF;
  }
  std::error_code error;
  const std::size_t got =
      openFile(file)->read(static_cast<std::uint64_t>(offset),
                           std::span(reinterpret_cast<std::byte*>(buffer), size), error);
  if (error) {
    return fail(error);
  }
  return static_cast<int>(got);
}

int release(const char* path, fuse_file_info* file) {
  OpenFile* opened = openFile(file);
  openPaths().remove(path, opened);
  delete opened;
  return 0;
}

fuse_operations operations() {
  fuse_operations ops{};
  ops.init = init;
  ops.getattr = getattr;
  ops.readlink = readlink;
  ops.readdir = readdir;
  ops.open = open;
  ops.read = read;
  ops.release = release;
  return ops;
}

struct Arguments {
  std::string source;
  std::string mountpoint;
  View view = View::folders;
  bool foreground = false;
  bool renumber = false;
  std::string language = "und";
  std::size_t cacheEntries = 256;
  std::size_t cacheMebibytes = 32;
};

// The usage line as kzb-mount takes its operands, and each option with its value's name alone.
class Formatter : public CLI::Formatter {
 public:
  std::string make_usage(const CLI::App* /*app*/, std::string /*name*/) const override {
    return "Usage: kzb-mount [OPTIONS] SOURCE MOUNTPOINT\n";
  }
  std::string make_option_opts(const CLI::Option* option) const override {
    return option->get_type_name().empty() ? "" : " " + option->get_type_name();
  }
};

// A count: decimal digits alone, 1 to `most`; 0 for anything else.
std::size_t countOf(std::string_view text, std::size_t most) {
  if (text.empty() || text.size() > 9) {
    return 0;
  }
  std::size_t count = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return 0;
    }
    count = count * 10 + static_cast<std::size_t>(c - '0');
  }
  return count <= most ? count : 0;
}

constexpr std::string_view kFooter =
    "fusermount3 -u MOUNTPOINT unmounts. Exit status: 0 mounted and later unmounted, 1 SOURCE\n"
    "cannot be read or the mount failed, 2 usage (a MOUNTPOINT inside SOURCE included).";

struct Parsed {
  enum class Kind { run, help, version, usageError } kind = Kind::usageError;
  std::string text;
};

Parsed parseCommandLine(int argc, char** argv, Arguments& arguments) {
  CLI::App app{"Show SOURCE (a KZB container or a directory of them) read-only at MOUNTPOINT.",
               "kzb-mount"};
  auto formatter = std::make_shared<Formatter>();
  formatter->column_width(24);
  app.formatter(formatter);
  app.set_help_flag("-h,--help", "print this help and exit");
  app.allow_windows_style_options(false);
  app.footer(std::string(kFooter));
  CLI::Option* version = app.add_flag("--version")->description("print the version and exit");
  app.add_option("SOURCE", arguments.source, "a container, or a directory of them")
      ->type_name("")
      ->required();
  app.add_option("MOUNTPOINT", arguments.mountpoint, "an existing directory outside SOURCE")
      ->type_name("")
      ->required();
  app.add_option_function<std::string>(
         "--as",
         [&arguments](const std::string& view) {
           if (view != "folders" && view != "cbz" && view != "epub") {
             throw CLI::ValidationError("--as", "takes folders, cbz or epub, not '" + view + "'");
           }
           arguments.view = view == "cbz" ? View::cbz : view == "epub" ? View::epub : View::folders;
         },
         "folders (the default), cbz or epub")
      ->type_name("VIEW")
      ->allow_extra_args(false);
  app.add_flag("-f,--foreground", arguments.foreground,
               "stay in the foreground, telling on standard error");
  app.add_flag("--renumber", arguments.renumber,
               "number names (cbz) or labels (epub) as kzb convert --renumber");
  app.add_option_function<std::string>(
         "--language",
         [&arguments](const std::string& tag) {
           if (!isLanguageTag(tag)) {
             throw CLI::ValidationError(
                 "--language", "takes a BCP 47 tag such as ko or en-US, not '" + tag + "'");
           }
           arguments.language = tag;
         },
         "epub: the book's language, as kzb convert --language (und)")
      ->type_name("TAG")
      ->allow_extra_args(false);
  app.add_option_function<std::string>(
         "--cache",
         [&arguments](const std::string& count) {
           arguments.cacheEntries = countOf(count, 1000000);
           if (arguments.cacheEntries == 0) {
             throw CLI::ValidationError(
                 "--cache", "takes a count of containers, 1 or more, not '" + count + "'");
           }
         },
         "keep at most N parsed containers (256)")
      ->type_name("N")
      ->allow_extra_args(false);
  app.add_option_function<std::string>(
         "--cache-size",
         [&arguments](const std::string& size) {
           arguments.cacheMebibytes = countOf(size, 1 << 20);
           if (arguments.cacheMebibytes == 0) {
             throw CLI::ValidationError("--cache-size",
                                        "takes a size in MiB, 1 or more, not '" + size + "'");
           }
         },
         "keep parsed containers of at most MIB MiB in all (32)")
      ->type_name("MIB")
      ->allow_extra_args(false);

  std::vector<std::string> reversed;  // CLI11 takes the arguments last first
  for (int i = argc - 1; i > 0; --i) {
    reversed.emplace_back(argv[i]);
  }
  Parsed parsed;
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    return {Parsed::Kind::help, app.help()};
  } catch (const CLI::ParseError& error) {
    if (version->count() > 0) {
      return {Parsed::Kind::version, "kzb-mount " KZB_VERSION "\n"};
    }
    std::string text = error.what();
    std::replace(text.begin(), text.end(), '\n', ' ');
    return {Parsed::Kind::usageError, text};
  }
  if (version->count() > 0) {
    return {Parsed::Kind::version, "kzb-mount " KZB_VERSION "\n"};
  }
  return {Parsed::Kind::run, {}};
}

int run(int argc, char** argv) {
  Arguments arguments;
  const Parsed parsed = parseCommandLine(argc, argv, arguments);
  switch (parsed.kind) {
    case Parsed::Kind::help:
    case Parsed::Kind::version:
      static_cast<void>(std::fputs(parsed.text.c_str(), stdout));
      return kExitSuccess;
    case Parsed::Kind::usageError:
      static_cast<void>(
          std::fprintf(stderr, "kzb-mount: %s (see 'kzb-mount --help')\n", parsed.text.c_str()));
      return kExitUsage;
    case Parsed::Kind::run:
      break;
  }
  std::error_code error;
  const std::string given = arguments.source;
  arguments.source = std::filesystem::canonical(given, error).string();
  if (error) {
    static_cast<void>(
        std::fprintf(stderr, "kzb-mount: %s: %s\n", given.c_str(), error.message().c_str()));
    return kExitFailure;
  }
  // A mount that shows itself would wait on itself for good at the first look.
  if (const std::optional<std::string> why =
          mountWouldShowItself(arguments.source, arguments.mountpoint)) {
    static_cast<void>(std::fprintf(stderr,
                                   "kzb-mount: %s: %s; the mount would show itself, refused\n",
                                   arguments.mountpoint.c_str(), why->c_str()));
    return kExitUsage;
  }
  LibraryOptions options;
  options.view = arguments.view;
  options.cacheEntries = arguments.cacheEntries;
  options.cacheBytes = arguments.cacheMebibytes << 20;
  options.renumber = arguments.renumber;
  options.language = arguments.language;
  options.mountPoint = std::filesystem::weakly_canonical(arguments.mountpoint, error).string();
  options.toSystemLog = !arguments.foreground;
  options.application = "kzb/" KZB_VERSION;  // the CBZ is the one kzb convert writes
  Library shown(arguments.source, options);

  // max_idle_threads given: libfuse 3.14 warns of its own default otherwise.
  std::string fsname;  // libfuse's options take a backslash before a comma or a backslash
  for (const char c : arguments.source) {
    fsname += c == ',' || c == '\\' ? std::string{'\\', c} : std::string(1, c);
  }
  const std::string mountOptions = "ro,fsname=" + fsname + ",subtype=kzb,max_idle_threads=10";
  std::vector<std::string> fuseArguments = {"kzb-mount", arguments.mountpoint, "-o", mountOptions};
  if (arguments.foreground) {
    fuseArguments.emplace_back("-f");
  }
  std::vector<char*> fuseArgv;
  fuseArgv.reserve(fuseArguments.size() + 1);
  for (std::string& argument : fuseArguments) {
    fuseArgv.push_back(argument.data());
  }
  fuseArgv.push_back(nullptr);
  const fuse_operations ops = operations();
  return fuse_main(static_cast<int>(fuseArguments.size()), fuseArgv.data(), &ops, &shown) == 0
             ? kExitSuccess
             : kExitFailure;
}

}  // namespace
}  // namespace kzb::mount

int main(int argc, char** argv) {
  return kzb::mount::run(argc, argv);
}
