// kzb cat: the stored bytes of the entries named, in the order of the file table, to
// standard output exactly as stored. Without names, every entry the filters take.
#include <algorithm>

#include "archive_reader.h"
#include "command_output.h"
#include "commands.h"
#include "diagnostics.h"
#include "glob.h"
#include "stored_bytes.h"
#include "utf8.h"

namespace kzb::tool {

int runCat(const Options& options, Context& context) {
  const std::string& container = options.containers.front();
  ArchiveReader reader(container);
  int status = diagnoseWalk(context, container, reader.walk()) ? kExitSuccess : kExitFailure;

  const NameFilter filter(options.includes, options.excludes);
  std::vector<bool> found(options.names.size(), false);
  for (std::size_t index = 0; index < reader.entries().size(); ++index) {
    const FileEntry& entry = reader.entries()[index];
    if (!filter.passes(entry.name)) {
      continue;
    }
    if (!options.names.empty()) {
      const std::string name = toUtf8(untilFirstZero(entry.name));
      const auto given = std::find(options.names.begin(), options.names.end(), name);
      if (given == options.names.end()) {
        continue;
      }
      // Every argument of this name is satisfied: a name given twice is written once per entry.
      for (std::size_t k = 0; k < options.names.size(); ++k) {
        found[k] = found[k] || options.names[k] == name;
      }
    }
    const StoredBytes read =
        readStoredFile(reader.input(), entry, [&](std::span<const std::byte> bytes) {
          context.out.write(reinterpret_cast<const char*>(bytes.data()),
                            static_cast<std::streamsize>(bytes.size()));
        });
    if (read.status != StoredRead::complete) {
      diagnose(context, entryLabel(entry, index), describe(read));
      status = kExitFailure;
    }
    if (outputFailed(context)) {
      return status;  // nobody takes the rest; the caller says why, if it is worth saying
    }
  }
  for (std::size_t k = 0; k < options.names.size(); ++k) {
    if (!found[k]) {
      diagnose(context, options.names[k], "no entry of this name");
      status = kExitFailure;
    }
  }
  return status;
}

}  // namespace kzb::tool
