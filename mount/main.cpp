// kzb-mount SOURCE MOUNTPOINT [--as folders|cbz] [-f] [--cache N]: a library of containers as
// a read-only file system (library.h says what it shows), through libfuse 3's high-level API.
// It detaches once the mount is ready, unless -f; `fusermount3 -u MOUNTPOINT` ends it (or a
// signal with -f).
#include <fuse.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "library.h"

namespace kzb::mount {
namespace {

constexpr std::string_view kUsage =
    "usage: kzb-mount SOURCE MOUNTPOINT [--as folders|cbz] [-f] [--cache N]\n"
    "Shows SOURCE (a container or a directory of them) read-only at MOUNTPOINT: each X.kzb as\n"
    "a folder X of its files (--as folders, the default) or as X.cbz, the ZIP kzb convert\n"
    "writes (--as cbz). -f stays in the foreground; --cache N keeps at most N parsed\n"
    "containers (256). fusermount3 -u MOUNTPOINT unmounts.\n";

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
    case Node::Kind::cbz:
      out.st_mode = S_IFREG | 0444;
      out.st_nlink = 1;
      out.st_size = static_cast<off_t>(node.size);
      break;
  }
  out.st_blksize = 65536;
  out.st_blocks = (out.st_size + 511) / 512;
}

// Set where the kernel can do without open and release: each costs a round trip to this
// process, and for a page of 100 KiB those two were most of the work. Reads then come with
// their path and open the file for themselves (Library::open: no more than an open() of the
// container beside work kept in the cache). Set once, in init(), before any request.
bool readsByPath = false;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

void* init(fuse_conn_info* connection, fuse_config* config) {
  readsByPath = (connection->capable & FUSE_CAP_NO_OPEN_SUPPORT) != 0;
  // Times and sizes are looked at again after a second, so a container replaced shows.
  config->entry_timeout = 1;
  config->attr_timeout = 1;
  config->negative_timeout = 1;
  return fuse_get_context()->private_data;
}

int getattr(const char* path, struct stat* out, fuse_file_info* /*file*/) {
  Node node;
  if (const std::error_code error = library().resolve(path, node)) {
    return fail(error);
  }
  fill(node, *out);
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

// libfuse keeps each open file's handle as an integer; it is the OpenFile open() made.
OpenFile* openFile(const fuse_file_info* file) {
  return reinterpret_cast<OpenFile*>(  // NOLINT(performance-no-int-to-ptr)
      static_cast<std::uintptr_t>(file->fh));
}

int open(const char* path, fuse_file_info* file) {
  if ((file->flags & O_ACCMODE) != O_RDONLY) {
    return -EROFS;
  }
  if (readsByPath) {
    return -ENOSYS;  // the kernel takes it as success, and sends no more opens
  }
  Node node;
  if (const std::error_code error = library().resolve(path, node)) {
    return fail(error);
  }
  std::unique_ptr<OpenFile> opened;
  if (const std::error_code error = library().open(node, opened)) {
    return fail(error);
  }
  file->fh = reinterpret_cast<std::uintptr_t>(opened.release());
  return 0;
}

int read(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info* file) {
  std::unique_ptr<OpenFile> byPath;
  if (file->fh == 0) {
    Node node;
    if (const std::error_code error = library().resolve(path, node)) {
      return fail(error);
    }
    if (const std::error_code error = library().open(node, byPath)) {
      return fail(error);
    }
  }
  OpenFile* opened = byPath ? byPath.get() : openFile(file);
  std::error_code error;
  const std::size_t got =
      opened->read(static_cast<std::uint64_t>(offset),
                   std::span(reinterpret_cast<std::byte*>(buffer), size), error);
  if (error && got == 0) {
    return fail(error);
  }
  return static_cast<int>(got);
}

int release(const char* /*path*/, fuse_file_info* file) {
  delete openFile(file);
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
  std::size_t cacheEntries = 256;
};

// Nothing where the arguments say no run: the usage or the fault is printed.
bool parse(int argc, char** argv, Arguments& arguments, int& status) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    const bool hasValue = i + 1 < argc;
    if (argument == "-h" || argument == "--help") {
      static_cast<void>(std::fputs(kUsage.data(), stdout));
      status = 0;
      return false;
    }
    if (argument == "-f") {
      arguments.foreground = true;
    } else if (argument == "--as" && hasValue) {
      const std::string_view value = argv[++i];
      if (value != "folders" && value != "cbz") {
        static_cast<void>(
            std::fprintf(stderr, "kzb-mount: --as takes folders or cbz, not %s\n", argv[i]));
        status = 2;
        return false;
      }
      arguments.view = value == "cbz" ? View::cbz : View::folders;
    } else if (argument == "--cache" && hasValue) {
      try {
        arguments.cacheEntries = std::stoul(argv[++i]);
      } catch (const std::exception&) {
        static_cast<void>(
            std::fprintf(stderr, "kzb-mount: --cache takes a number of containers\n"));
        status = 2;
        return false;
      }
    } else if (!argument.empty() && argument.front() == '-') {
      static_cast<void>(
          std::fprintf(stderr, "kzb-mount: unknown option %s\n%s", argv[i], kUsage.data()));
      status = 2;
      return false;
    } else {
      positional.emplace_back(argument);
    }
  }
  if (positional.size() != 2) {
    static_cast<void>(std::fputs(kUsage.data(), stderr));
    status = 2;
    return false;
  }
  std::error_code error;
  arguments.source = std::filesystem::canonical(positional[0], error).string();
  if (error) {
    static_cast<void>(std::fprintf(stderr, "kzb-mount: %s: %s\n", positional[0].c_str(),
                                   error.message().c_str()));
    status = 1;
    return false;
  }
  arguments.mountpoint = positional[1];
  return true;
}

int run(int argc, char** argv) {
  Arguments arguments;
  int status = 0;
  if (!parse(argc, argv, arguments, status)) {
    return status;
  }
  LibraryOptions options;
  options.view = arguments.view;
  options.cacheEntries = arguments.cacheEntries;
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
  return fuse_main(static_cast<int>(fuseArguments.size()), fuseArgv.data(), &ops, &shown);
}

}  // namespace
}  // namespace kzb::mount

int main(int argc, char** argv) {
  return kzb::mount::run(argc, argv);
}
