// kzb test: reads every entry's stored file and writes nothing. A container passes when it
// was read whole and each entry's stored file stands where its row says, of its size,
// complete, with bytes whose CRC-32 (the one of ZIP and zlib) is the one recorded.
#include <zlib.h>

#include "archive_reader.h"
#include "command_output.h"
#include "commands.h"
#include "diagnostics.h"
#include "glob.h"
#include "jobs.h"
#include "stored_bytes.h"
#include "utf8.h"

namespace kzb::tool {
namespace {

// Each problem of one entry gets its line; the count of problems is returned.
std::size_t testEntry(Context& context, ContainerInput& input, const FileEntry& entry,
                      std::size_t index) {
  uLong crc = crc32(0L, Z_NULL, 0);
  const StoredBytes read = readStoredFile(input, entry, [&](std::span<const std::byte> bytes) {
    crc = crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()));
  });
  if (read.status != StoredRead::complete) {
    diagnose(context, entryLabel(entry, index), describe(read));
    return 1;
  }
  if (static_cast<std::uint32_t>(crc) != entry.crc32) {
    diagnose(context, entryLabel(entry, index),
             "CRC-32 of the stored bytes is " + hexDigits(crc, 8) + ", recorded " +
                 hexDigits(entry.crc32, 8));
    return 1;
  }
  return 0;
}

// One container's lines: a problem a line on standard error, then its verdict.
int testContainer(const std::string& container, const NameFilter& filter, Context& context) {
  ArchiveReader reader(container);
  std::size_t problems = diagnoseWalk(context, container, reader.walk()) ? 0 : 1;
  std::size_t files = 0;
  for (std::size_t index = 0; index < reader.entries().size(); ++index) {
    const FileEntry& entry = reader.entries()[index];
    if (filter.passes(entry.name)) {
      problems += testEntry(context, reader.input(), entry, index);
      ++files;
    }
  }
  context.out << printable(container) << ": ";
  if (problems == 0) {
    context.out << "ok (" << files << (files == 1 ? " file)\n" : " files)\n");
  } else {
    context.out << problems << (problems == 1 ? " problem\n" : " problems\n");
  }
  context.out.flush();
  return problems == 0 ? kExitSuccess : kExitFailure;
}

}  // namespace

int runTest(const Options& options, Context& context) {
  const NameFilter filter(options.includes, options.excludes);
  return runContainers(options, context, {}, [&](std::size_t index, Context& job) {
    return ContainerDone{testContainer(options.containers[index], filter, job)};
  });
}

}  // namespace kzb::tool
