// The one unit that writes into the destination directory. Every extracted file is made here,
// and nothing else in the tool creates, renames or removes a file (one implementation per
// platform: output_file_posix.cpp, output_file_windows.cpp). Every name is taken relative to
// the open directory it is given (see directory.h).
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
//  - A file placed earlier in the run is never replaced by one whose name differs from its
//    own: where the file system takes the two names for one file (case folding, Unicode
//    normalization), the later file is not placed (Outcome::sameFileAsEarlier). What tells
//    is the file's identity, never a comparison of names made here.
//  - A file that replaces an existing one is on the disk before the rename that puts it
//    there, so after a power loss at any moment that name holds the old file or the complete
//    new one. A file under a name that was free is not flushed: a power loss soon after may
//    leave it empty or short, as it may any file just written.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "directory.h"
#include "input_file.h"
#include "placed_files.h"

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
    nameRefused,   // the file system cannot store this name (error: the system's words)
    sameFileAsEarlier,  // the name stands for a file placed earlier under another name (earlier)
  };
  struct Committed {
    Committed() = default;
    Committed(Outcome what, std::error_code why, std::u16string earlierName = {})
        : outcome(what), error(why), earlier(std::move(earlierName)) {}

    Outcome outcome = Outcome::placed;
    std::error_code error;
    std::u16string earlier;  // sameFileAsEarlier: the name the earlier file was placed under
  };

  OutputFile() = default;
  ~OutputFile();  // abandons a file not yet committed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Starts an empty file that is to be called `name`: one component, checked safe by the
  // caller, in `into`, which must stay open until the file is committed or abandoned. New
  // files get the permissions the platform gives a new file (0666 less the umask on POSIX),
  // never those of a file they replace.
  std::error_code create(const Directory& into, std::u16string_view name);
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
  // `protect` (the container being read), it stays and the outcome is isProtected. `placed`
  // holds the files placed before in this directory; a placed file is added to it.
  Committed commit(Placement placement, const FileIdentity& protect, PlacedFiles& placed);
  // Drops the file: its temporary is gone, and the name was never touched.
  void abandon();
  // Where no close can report a write error (local file systems), commit() leaves the placed
  // file open, to be closed here, or by the next create() or the destructor: the close then
  // costs the thread that makes files, not the one that places them.
  void releasePlaced();

  bool isOpen() const { return handle_ != -1; }

  // For files whose bytes are written out of order (a ZIP's headers are completed once its
  // data is known). size() counts every byte written so far, buffered or not; overwrite()
  // replaces bytes already written; truncate() drops every byte from `size` on, and writing
  // goes on from there. Each writes out what is buffered first.
  std::uint64_t size() const { return written_ + buffered_; }
  std::error_code overwrite(std::uint64_t offset, std::span<const std::byte> bytes);
  std::error_code truncate(std::uint64_t size);

  // Writes out what is buffered, so that the file's bytes are all with the system, and lets
  // the buffer go, since the file may wait long; the file stays open, and not placed, until
  // commit() or abandon().
  // With `startWriteback`, the system is also asked to begin writing the bytes to the disk
  // now (sync_file_range on Linux; elsewhere nothing), so that a later flushToDisk() finds
  // most of them there already.
  std::error_code finishWriting(bool startWriteback = false);
  // Makes the bytes of every file given reach the disk: as few flushes as the platform
  // allows (one syncfs() of the file system on Linux, fdatasync() of each file elsewhere on
  // POSIX, FlushFileBuffers() of each on Windows). Each must have finished writing.
  static std::error_code flushToDisk(std::span<OutputFile* const> files);
  // How many output files may wait, written and unplaced, at one time.
  // Each holds a descriptor or handle open (console::prepareProcess raises a low limit).
  static constexpr std::size_t kMostPending = 1024;

  // Whether `directory` is the directory at `other` (a path, as the process resolves it), for
  // the file systems whose identities cannot tell (Directory::identitiesAreTrusted): a hidden
  // empty file is made in `directory`, looked for under `other`, and removed, as a
  // temporary is (a termination signal removes it too).
  static bool showsTheSameDirectory(const Directory& directory, const std::filesystem::path& other);

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
  // The platform's positioned write and its cut of the file's end, which also moves the
  // position that writeAll() writes at to the new end.
  static bool writeAllAt(std::intptr_t handle, std::uint64_t offset,
                         std::span<const std::byte> bytes, std::error_code& error);
  static bool cutAt(std::intptr_t handle, std::uint64_t size, std::error_code& error);
  // The platform's look at a written file, its identity and size, kept for commit() so that
  // placing asks the system nothing more; false where commit() looks itself (Windows).
  static bool identify(std::intptr_t handle, FileIdentity& identity, std::uint64_t& size);
  // The platform's request to start writing a file's bytes to the disk, without waiting.
  static void beginWriteback(std::intptr_t handle);
  // The platform's copy inside the system, at the temporary's current end: how many bytes it
  // appended before the first refusal, error or end of `source`.
  static std::uint64_t copyInSystem(std::intptr_t handle, const InputFile& source,
                                    std::uint64_t offset, std::uint64_t count);

  std::intptr_t handle_ = -1;        // the temporary: a file descriptor, or a HANDLE on Windows
  std::intptr_t directory_ = -1;     // the directory it is in, as Directory::handle() gives it
  std::u16string entryName_;         // the name it is to take, as the entry gives it
  std::filesystem::path name_;       // the same, in the platform's encoding
  std::filesystem::path temporary_;  // the temporary's own name; empty while it has none
  // Allocated at the first write, and let go by finishWriting(); never filled with zeros first,
  // since a file of a few bytes would pay for all of it.
  std::unique_ptr<std::byte[]> buffer_;
  std::size_t buffered_ = 0;
  std::uint64_t written_ = 0;  // bytes handed to the system so far
  std::error_code failure_;    // the first write failure, kept until commit or abandon
  bool identified_ = false;    // finishWriting() found what follows
  FileIdentity identity_;
  std::uint64_t identifiedSize_ = 0;
  int signalSlot_ = -1;        // POSIX: where the signal handler finds the temporary's name
  bool closeLater_ = false;    // commit() leaves the placed file open (see releasePlaced)
  std::intptr_t placedHandle_ = -1;
};

// Whether this platform also refuses the names that Windows cannot take as they stand
// (see windowsNameProblem in entry_name.h).
bool platformRefusesWindowsNames();

// Whether `name` (a stored name up to its first zero unit) is too long for one file name on
// this platform: over 255 bytes of UTF-8 on POSIX systems, 255 UTF-16 units on Windows, the
// most that their file systems take.
bool fileNameTooLong(std::u16string_view name);

}  // namespace kzb
