// The one unit that writes into the working directory. Every extracted file is made here, and
// nothing else in the tool creates, renames or removes a file (one implementation per
// platform: output_file_posix.cpp, output_file_windows.cpp).
//
// What holds, whatever another process does to the directory meanwhile:
//  - Nothing that stands at a name is opened, followed or written through. The bytes go to a
//    temporary in the working directory that no other process can have opened, and the
//    temporary is put in place by name at the end: linked in where the name is free, renamed
//    over what stands there otherwise, so a symbolic link, a hard link, a FIFO, a device or a
//    socket at the name is replaced and whatever it pointed to is untouched. A directory at
//    the name stays, and the file is not placed (std::errc::is_a_directory).
//  - A name shows only a complete file: until commit() has placed it, nothing of the file is
//    under its name, and an existing file is replaced only by a complete one.
//  - A file that is abandoned (a failed write, an error while reading its bytes, the object
//    going away before commit) leaves nothing of its own behind.
//  - A termination signal (see removeTemporariesOnTermination) removes the temporary before
//    the process ends as that signal would have ended it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>
#include <system_error>
#include <vector>

#include "input_file.h"

namespace kzb {

class OutputFile {
 public:
  // How commit() treats something that already stands at the name.
  enum class Placement {
    replaceExisting,  // put the file there in its place (what a complete file does)
    keepExisting,     // leave it as it is and drop this file (what a cut-short file does)
  };
  enum class Outcome {
    placed,        // the file now stands under its name
    keptExisting,  // keepExisting, and something stood at the name: it stays, this file is gone
    isProtected,   // the protected file stands at the name: it stays, this file is gone
    writeFailed,   // the bytes did not all reach the file: nothing placed (error says why)
    cannotPlace,   // the name cannot take the file, e.g. a directory stands there (error says why)
  };
  struct Committed {
    Outcome outcome = Outcome::placed;
    std::error_code error;
  };

  OutputFile() = default;
  ~OutputFile();  // abandons a file not yet committed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Starts an empty file that is to be called `name`: one component, checked safe by the
  // caller, in the working directory. New files get the permissions the platform gives a new
  // file (0666 less the umask on POSIX), never those of a file they replace.
  std::error_code create(std::u16string_view name);
  // Appends `bytes`. Writes are buffered, so a failure may show only at a later write or at
  // commit(); after a failure, the file can only be abandoned.
  std::error_code write(std::span<const std::byte> bytes);
  // Appends up to `count` bytes of `source` from `offset`, copied by the system from file to
  // file without passing through this process, where the platform and both files allow it.
  // What is buffered is written first, so the bytes keep their order. Returns how many bytes
  // were appended; fewer than `count` (none, on a platform without such a copy) when the copy
  // cannot go on, for whatever reason: the files are on two file systems that do not copy
  // between them, `source` ends (bytes past its size at opening count as absent, as for its
  // reads), or an error that does not say whether reading or writing failed. The caller then
  // goes on from there with write(), and its own reads find the cause.
  std::uint64_t appendCopy(const InputFile& source, std::uint64_t offset, std::uint64_t count);
  // Writes out what is buffered and puts the file under its name. Whatever the outcome, the
  // object is then free for the next create(). When what stands at the name is the file
  // `protect` (the container being read), it stays and the outcome is isProtected.
  Committed commit(Placement placement, const FileIdentity& protect);
  // Drops the file: its temporary is gone, and the name was never touched.
  void abandon();

  bool isOpen() const { return handle_ != -1; }

  // Makes SIGINT, SIGTERM and SIGHUP (on Windows: Ctrl-C, Ctrl-Break and closing the
  // console) remove the temporary of the file being written before the process ends as the
  // signal would end it. Files already placed stay. A signal that the process was started
  // with ignored stays ignored.
  static void removeTemporariesOnTermination();

 private:
  bool flush(std::error_code& error);  // output_file.cpp: the buffering is the same everywhere
  // The platform's one way of writing to the temporary: all of `bytes`, or an error.
  static bool writeAll(std::intptr_t handle, std::span<const std::byte> bytes,
                       std::error_code& error);
  // The platform's copy inside the system, at the temporary's current end: how many bytes it
  // appended before the first refusal, error or end of `source`.
  static std::uint64_t copyInSystem(std::intptr_t handle, const InputFile& source,
                                    std::uint64_t offset, std::uint64_t count);

  std::intptr_t handle_ = -1;        // the temporary: a file descriptor, or a HANDLE on Windows
  std::filesystem::path name_;       // the name it is to take, in the platform's encoding
  std::filesystem::path temporary_;  // the temporary's own name; empty while it has none
  std::vector<std::byte> buffer_;
  std::size_t buffered_ = 0;
  std::error_code failure_;  // the first write failure, kept until commit or abandon
};

// Whether this platform also refuses the names that Windows cannot take as they stand
// (see windowsNameProblem in entry_name.h).
bool platformRefusesWindowsNames();

}  // namespace kzb
