// An entry's stored file read as it stands in the container, for the commands that read
// without writing files (test, cat).
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <system_error>

#include "archive.h"
#include "container_input.h"

namespace kzb::tool {

enum class StoredRead {
  complete,      // every byte of the entry's size was read
  notFileChunk,  // no "FILE" chunk of the entry's size at its position; nothing was read
  truncated,     // the container ends inside the bytes: those present were handed on
  readFailed,    // the system could not read them (error): those before were handed on
};

struct StoredBytes {
  StoredRead status = StoredRead::complete;
  std::error_code error;
};

// Hands `entry`'s stored bytes to `sink` in order, a block at a time, whatever the block
// size; the input is left wherever the last read ended.
StoredBytes readStoredFile(ContainerInput& input, const FileEntry& entry,
                           const std::function<void(std::span<const std::byte>)>& sink);

// Why the bytes were not all read, in the words extraction uses for the same fault.
std::string describe(const StoredBytes& read);

}  // namespace kzb::tool
