// What went wrong, in the words both programs use on standard error:
//   <program>: <container>: <what happened to the container>
//   <program>: <entry name>: <what happened to the entry>
// One place turns each typed result into its words.
#pragma once

#include <cstddef>
#include <string>

#include "archive.h"
#include "extract.h"

namespace kzb {

// Why a container was not read whole ("cannot open: …", "read error: …", "truncated or
// malformed container"). Only for a walk that did not read it whole.
std::string describe(const Walk& walk);

// Why an entry was not extracted, for an extraction that did not succeed.
std::string describe(const Extraction& extraction);

// An entry as a diagnostic names it: its name, escaped for the terminal, or "entry N"
// (counted from 1) when it has none.
std::string entryLabel(const FileEntry& entry, std::size_t index);

}  // namespace kzb
