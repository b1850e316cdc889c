// Parses one container as kzb-mount does for a view, without FUSE, and prints what that costs
// in memory: the heap the parse left held (what the cache keeps of it, per entry), the peak
// of the heap during the parse, and the process's peak RSS:
//
//   parse-memory CONTAINER folders|cbz|epub [read]
//
// With `read`, the view's book is then read whole, as a reader of the mount does, so that
// what reading adds (the CRC-32s worked out and kept) is counted too. The peaks come from
// glibc's mallinfo2, polled by a thread every millisecond, so a peak that lasts less may be
// missed; the peak RSS is the kernel's, exact. For the mount benchmark (mount.sh) and for
// finding where memory goes without heaptrack.
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "archive_reader.h"
#include "library.h"

namespace {

std::size_t heapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

}  // namespace

int main(int argc, char** argv) {
  using kzb::mount::View;
  if (argc < 3 || argc > 4 || (argc == 4 && std::string_view(argv[3]) != "read")) {
    static_cast<void>(std::fprintf(stderr, "usage: parse-memory CONTAINER folders|cbz|epub [read]\n"));
    return 2;
  }
  const std::string path = argv[1];
  const std::string_view viewName = argv[2];
  kzb::mount::LibraryOptions options;
  if (viewName == "cbz") {
    options.view = View::cbz;
  } else if (viewName == "epub") {
    options.view = View::epub;
  } else if (viewName != "folders") {
    static_cast<void>(std::fprintf(stderr, "parse-memory: no view %s\n", argv[2]));
    return 2;
  }
  std::size_t entries = 0;
  {
    kzb::ArchiveReader reader(path);
    entries = reader.entries().size();
  }
  kzb::mount::Library library(path, options);
  const std::size_t before = heapInUse();
  std::atomic<bool> done{false};
  std::atomic<std::size_t> peak{before};
  std::thread poller([&] {
    while (!done) {
      peak = std::max<std::size_t>(peak, heapInUse());
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  // Listing the root parses the container, as a look at the mount does.
  kzb::mount::Node root;
  std::vector<kzb::mount::Library::Listed> listed;
  const bool shown = !library.resolve("/", root) && !library.list(root, listed) && listed.size() == 1;
  done = true;
  poller.join();
  if (!shown) {
    static_cast<void>(std::fprintf(stderr, "parse-memory: %s shows no view\n", path.c_str()));
    return 1;
  }
  const kzb::mount::Node& node = listed.front().node;
  if (argc == 4 && node.kind == kzb::mount::Node::Kind::book) {
    std::unique_ptr<kzb::mount::OpenFile> file;
    if (library.open(node, file)) {
      static_cast<void>(std::fprintf(stderr, "parse-memory: cannot open the book\n"));
      return 1;
    }
    std::vector<std::byte> buffer(std::size_t{128} * 1024);
    std::uint64_t offset = 0;
    std::error_code readError;
    while (const std::size_t got = file->read(offset, buffer, readError)) {
      offset += got;
    }
    if (readError || offset != node.size) {
      static_cast<void>(std::fprintf(stderr, "parse-memory: the book reads short\n"));
      return 1;
    }
  }
  listed.clear();
  listed.shrink_to_fit();
  const std::size_t held = heapInUse() - std::min(heapInUse(), before);
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  static_cast<void>(std::printf(
      "%-7s %zu entries: held %.1f MiB (%.0f bytes per entry), heap peak during the parse "
      "%.1f MiB, peak RSS %.1f MiB\n",
      std::string(viewName).c_str(), entries, static_cast<double>(held) / 1048576.0,
      entries == 0 ? 0.0 : static_cast<double>(held) / static_cast<double>(entries),
      static_cast<double>(peak - std::min<std::size_t>(peak, before)) / 1048576.0,
      static_cast<double>(usage.ru_maxrss) / 1024.0));
  return 0;
}
