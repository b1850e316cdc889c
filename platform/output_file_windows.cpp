// The output unit on Windows. A file is written into a temporary created under a hidden
// unique name and held open with no sharing at all, so that no other process can open it.
// From the moment it exists it is marked for deletion: however the process ends before the
// file is placed, closing its handles removes the temporary. It is put in place by renaming
// the open handle, which acts on the name itself: a symbolic link at the name is replaced,
// and whatever it points to is untouched. A file that replaces another is flushed to the
// disk (FlushFileBuffers) before the rename.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <utility>

#include "output_file.h"
#include "utf8.h"
#include "windows_error.h"

namespace kzb {
namespace {

using Outcome = OutputFile::Outcome;
using Placement = OutputFile::Placement;
using Committed = OutputFile::Committed;

HANDLE handleOf(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Held, shared, while a temporary exists without its mark for deletion: between its creation
// and its marking, and while it is being put in place; threads that write files at once
// (kzb -j) each hold it so. The console handler takes it exclusively and never gives it back,
// so the process then ends only while every temporary of every thread is marked, and the
// system removes them when it closes the process's handles.
SRWLOCK unmarkedTemporary = SRWLOCK_INIT;

class UnmarkedWindow {
 public:
  UnmarkedWindow() { AcquireSRWLockShared(&unmarkedTemporary); }
  ~UnmarkedWindow() { ReleaseSRWLockShared(&unmarkedTemporary); }
  UnmarkedWindow(const UnmarkedWindow&) = delete;
  UnmarkedWindow& operator=(const UnmarkedWindow&) = delete;
};

BOOL WINAPI endWithoutTemporaries(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    AcquireSRWLockExclusive(&unmarkedTemporary);
  }
  return FALSE;  // on to the next handler: in the end the system's, which ends the process
}

// Removes the temporary by its name when its handle could not be marked.
void deleteRelative(HANDLE directory, const std::wstring& name) {
  const HANDLE handle = openRelative(
      directory, name, {DELETE, kShareAll, kOpenExisting, kNonDirectory | kDeleteOnClose});
  if (handle != INVALID_HANDLE_VALUE) {
    static_cast<void>(CloseHandle(handle));
  }
}

bool markForDeletion(HANDLE handle, bool remove) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = remove ? TRUE : FALSE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                    sizeof disposition) != 0;
}

// ".kzb-extract-<16 hex digits>.tmp": hidden from a listing that skips dot names, and unique
// enough that a clash only costs a retry.
std::wstring hiddenUniqueName() {
  // One generator a thread: threads write files at once (kzb -j).
  thread_local std::mt19937_64 generator{(std::uint64_t{std::random_device{}()} << 32) ^
                                         GetCurrentProcessId() ^ GetCurrentThreadId() ^
                                         GetTickCount64()};
  const std::uint64_t value = generator();
  std::wstring name = L".kzb-extract-";
  for (int shift = 60; shift >= 0; shift -= 4) {
    name += L"0123456789abcdef"[(value >> shift) & 0xFu];
  }
  return name + L".tmp";
}

// The name as Windows takes it, well-formed as on POSIX: one stored name, one file name.
std::wstring wideName(std::u16string_view name) {
  const std::u16string formed = wellFormed(name);
  return {formed.begin(), formed.end()};
}

FileIdentity identityOf(const BY_HANDLE_FILE_INFORMATION& information) {
  return {information.dwVolumeSerialNumber,
          (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
}

// What stands at a name, as itself: a link at the name is looked at, not followed.
enum class Standing {
  nothing,
  directory,      // a directory, or a directory reparse point that stands for no other name
  directoryLink,  // a symbolic link to a directory, or a junction
  protectedFile,
  other,       // anything else, including something that is there but will not be looked at
  unnameable,  // the name can hold nothing (error says why)
};
struct Look {
  Standing standing = Standing::nothing;
  FileIdentity identity;
  bool identified = false;  // whether identity was read
  std::error_code error;
};

// Open and look, or why not: something there that cannot be opened still occupies the name.
bool occupiesUnopened(DWORD code) {
  return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION ||
         code == ERROR_DELETE_PENDING || code == ERROR_LOCK_VIOLATION;
}

Standing directoryKind(HANDLE handle, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return Standing::directory;
  }
  FILE_ATTRIBUTE_TAG_INFO tag{};
  const bool known =
      GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) != 0;
  // Only a reparse point that stands for another name is a link; a cloud folder, say, is
  // a directory of its own.
  return known && IsReparseTagNameSurrogate(tag.ReparseTag) ? Standing::directoryLink
                                                            : Standing::directory;
}

// Opens what stands at `name` itself: a link there is opened, not followed.
HANDLE openStanding(HANDLE directory, const std::wstring& name, ACCESS_MASK access) {
  return openRelative(directory, name,
                      {access, kShareAll, kOpenExisting, kOpenReparsePoint | kBackupIntent});
}

Look whatStandsAt(HANDLE directory, const std::wstring& name, const FileIdentity& protect) {
  const HANDLE handle = openStanding(directory, name, FILE_READ_ATTRIBUTES);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
      return {};
    }
    if (occupiesUnopened(code)) {
      return {Standing::other, {}, false, {}};
    }
    return {Standing::unnameable, {}, false, fromWin32Error(code)};
  }
  Look look{Standing::other, {}, false, {}};
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileInformationByHandle(handle, &information) != 0) {
    look.identity = identityOf(information);
    look.identified = true;
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      look.standing = directoryKind(handle, information.dwFileAttributes);
    } else if (look.identity == protect) {
      look.standing = Standing::protectedFile;
    }
  }
  static_cast<void>(CloseHandle(handle));
  return look;
}

// A directory link takes no rename over it: it goes first, the link itself and not what it
// points to. Only the link that was looked at goes; whatever has taken its place since is
// left to the rename.
std::error_code removeDirectoryLink(HANDLE directory, const std::wstring& name,
                                    const FileIdentity& seen) {
  const HANDLE handle = openStanding(directory, name, DELETE | FILE_READ_ATTRIBUTES);
  if (handle == INVALID_HANDLE_VALUE) {
    return lastWin32Error();
  }
  std::error_code error;
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileInformationByHandle(handle, &information) == 0) {
    error = lastWin32Error();
  } else if (identityOf(information) == seen && !markForDeletion(handle, true)) {
    error = lastWin32Error();
  }
  static_cast<void>(CloseHandle(handle));  // a link marked for deletion goes with its handle
  return error;
}

// The temporary was just made in this directory, so a name that cannot be found or taken
// here is one the file system cannot store.
bool refusesTheName(DWORD code) {
  return code == ERROR_INVALID_NAME || code == ERROR_BAD_PATHNAME ||
         code == ERROR_FILENAME_EXCED_RANGE || code == ERROR_PATH_NOT_FOUND ||
         code == ERROR_FILE_NOT_FOUND || code == ERROR_DIRECTORY;
}

bool isDirectoryAt(HANDLE directory, const std::wstring& name) {
  const Look look = whatStandsAt(directory, name, {});
  return look.standing == Standing::directory || look.standing == Standing::directoryLink;
}

// The one step in which the temporary is not marked: a placed file must not go when its
// handle closes. On failure the mark is set again before the window closes.
Committed putInPlace(HANDLE handle, HANDLE directory, const std::wstring& name,
                     Placement placement) {
  const UnmarkedWindow window;
  if (!markForDeletion(handle, false)) {
    return {Outcome::cannotPlace, lastWin32Error()};
  }
  if (renameRelative(handle, directory, name, placement == Placement::replaceExisting)) {
    return {Outcome::placed, {}};
  }
  const DWORD code = GetLastError();
  static_cast<void>(markForDeletion(handle, true));  // abandon() deals with a failure here
  if (placement == Placement::keepExisting &&
      (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS)) {
    return {Outcome::keptExisting, {}};  // it appeared after the look
  }
  if (code == ERROR_ACCESS_DENIED && isDirectoryAt(directory, name)) {
    return {Outcome::cannotPlace, std::make_error_code(std::errc::is_a_directory)};
  }
  return {refusesTheName(code) ? Outcome::nameRefused : Outcome::cannotPlace, fromWin32Error(code)};
}

// The file placed earlier in this run, under another name, that the look found at the name.
// The same name again is no collision: a later row of that name rewrites its file.
const PlacedFile* earlierFileAt(const Look& look, std::u16string_view entryName,
                                const PlacedFiles& placed) {
  if (!look.identified || placed.byName(entryName) != nullptr) {
    return nullptr;
  }
  return placed.byIdentity(look.identity);
}

Committed place(HANDLE handle, HANDLE directory, const std::wstring& name,
                std::u16string_view entryName, Placement placement, const FileIdentity& protect,
                const PlacedFiles& placed) {
  const Look look = whatStandsAt(directory, name, protect);
  switch (look.standing) {
    case Standing::protectedFile:
      return {Outcome::isProtected, {}, {}};
    case Standing::directory:
      return {Outcome::cannotPlace, std::make_error_code(std::errc::is_a_directory), {}};
    case Standing::unnameable:
      return {Outcome::nameRefused, look.error, {}};
    default:
      break;
  }
  if (const PlacedFile* earlier = earlierFileAt(look, entryName, placed)) {
    return {Outcome::sameFileAsEarlier, {}, earlier->name};
  }
  if (placement == Placement::keepExisting && look.standing != Standing::nothing) {
    return {Outcome::keptExisting, {}, {}};
  }
  if (look.standing == Standing::directoryLink) {
    if (const std::error_code error = removeDirectoryLink(directory, name, look.identity)) {
      return {Outcome::cannotPlace, error, {}};
    }
  }
  // A power loss after the rename must find the complete new file in the old one's place.
  if (look.standing != Standing::nothing && FlushFileBuffers(handle) == 0) {
    return {Outcome::writeFailed, lastWin32Error(), {}};
  }
  return putInPlace(handle, directory, name, placement);
}

}  // namespace

bool platformRefusesWindowsNames() {
  return true;
}

bool fileNameTooLong(std::u16string_view name) {
  constexpr std::size_t kLongestName = 255;  // UTF-16 units, as NTFS and the API take them
  return name.size() > kLongestName;
}

// Every temporary is marked for deletion whenever this process can end, so the system
// removes it with the handles of a process that is ended in any way. What the handler adds
// is the wait for a placement under way. A process started with Ctrl-C ignored is not
// called for it, so that stays ignored.
void OutputFile::removeTemporariesOnTermination() {
  static const bool registered = SetConsoleCtrlHandler(endWithoutTemporaries, TRUE) != 0;
  static_cast<void>(registered);  // without it, the marks alone remove the temporaries
}

std::error_code OutputFile::flushToDisk(std::span<OutputFile* const> files) {
  for (const OutputFile* file : files) {
    if (FlushFileBuffers(handleOf(file->handle_)) == 0) {
      return lastWin32Error();
    }
  }
  return {};
}

// Windows has no copy from one open file to another that keeps to the temporary's handle
// (CopyFile2 copies whole files by name), so the bytes go through the process.
std::uint64_t OutputFile::copyInSystem(std::intptr_t /*handle*/, const InputFile& /*source*/,
                                       std::uint64_t /*offset*/, std::uint64_t /*count*/) {
  return 0;
}

// Windows has no request to start writing a file's bytes without waiting for them; its
// FlushFileBuffers at the batch's end writes them all.
bool OutputFile::identify(std::intptr_t /*handle*/, FileIdentity& /*identity*/,
                          std::uint64_t& /*size*/) {
  return false;  // commit() looks once the file is placed
}

void OutputFile::beginWriteback(std::intptr_t /*handle*/) {}

// Every file system Windows mounts gives each directory an identity of its own
// (Directory::identitiesAreTrusted), so nothing needs the probe here.
bool OutputFile::showsTheSameDirectory(const Directory& /*directory*/,
                                       const std::filesystem::path& /*other*/) {
  return false;
}

OutputFile::~OutputFile() {
  abandon();
}

void OutputFile::releasePlaced() {}  // commit() has closed every handle

std::error_code OutputFile::create(const Directory& into, std::u16string_view name) {
  abandon();
  const HANDLE directory = handleOf(into.handle());
  constexpr int kAttempts = 64;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::wstring temporary = hiddenUniqueName();
    const UnmarkedWindow window;
    const HANDLE handle =
        openRelative(directory, temporary, {GENERIC_WRITE | DELETE, 0, kCreateNew, kNonDirectory});
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) {
        continue;
      }
      return fromWin32Error(code);
    }
    if (!markForDeletion(handle, true)) {
      const std::error_code error = lastWin32Error();
      static_cast<void>(CloseHandle(handle));
      deleteRelative(directory, temporary);
      return error;
    }
    handle_ = reinterpret_cast<std::intptr_t>(handle);
    directory_ = into.handle();
    temporary_ = std::move(temporary);
    entryName_ = name;
    name_ = wideName(name);
    return {};
  }
  return std::make_error_code(std::errc::file_exists);
}

bool OutputFile::writeAll(std::intptr_t handle, std::span<const std::byte> bytes,
                          std::error_code& error) {
  constexpr std::size_t kMostPerCall = std::size_t{1} << 30;  // WriteFile counts in a DWORD
  while (!bytes.empty()) {
    const auto wanted = static_cast<DWORD>(std::min(bytes.size(), kMostPerCall));
    DWORD written = 0;
    if (WriteFile(handleOf(handle), bytes.data(), wanted, &written, nullptr) == 0) {
      error = lastWin32Error();
      return false;
    }
    if (written == 0) {
      error = std::make_error_code(std::errc::io_error);
      return false;
    }
    bytes = bytes.subspan(written);
  }
  return true;
}

bool OutputFile::writeAllAt(std::intptr_t handle, std::uint64_t offset,
                            std::span<const std::byte> bytes, std::error_code& error) {
  constexpr std::size_t kMostPerCall = std::size_t{1} << 30;  // WriteFile counts in a DWORD
  while (!bytes.empty()) {
    const auto wanted = static_cast<DWORD>(std::min(bytes.size(), kMostPerCall));
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    if (WriteFile(handleOf(handle), bytes.data(), wanted, &written, &at) == 0) {
      error = lastWin32Error();
      return false;
    }
    if (written == 0) {
      error = std::make_error_code(std::errc::io_error);
      return false;
    }
    bytes = bytes.subspan(written);
    offset += written;
  }
  // A positioned WriteFile moves the file pointer too: back to the end for writeAll().
  LARGE_INTEGER end{};
  if (SetFilePointerEx(handleOf(handle), end, nullptr, FILE_END) == 0) {
    error = lastWin32Error();
    return false;
  }
  return true;
}

bool OutputFile::cutAt(std::intptr_t handle, std::uint64_t size, std::error_code& error) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  LARGE_INTEGER position{};
  position.QuadPart = static_cast<LONGLONG>(size);
  if (SetFileInformationByHandle(handleOf(handle), FileEndOfFileInfo, &end, sizeof end) == 0 ||
      SetFilePointerEx(handleOf(handle), position, nullptr, FILE_BEGIN) == 0) {
    error = lastWin32Error();
    return false;
  }
  return true;
}

void OutputFile::abandon() {
  if (handle_ != -1) {
    const HANDLE handle = handleOf(std::exchange(handle_, -1));
    // Marked already, unless a placement that failed could not mark it again.
    const bool marked = markForDeletion(handle, true);
    static_cast<void>(CloseHandle(handle));
    if (!marked) {
      deleteRelative(handleOf(directory_), temporary_.native());
    }
  }
  temporary_.clear();
  entryName_.clear();
  name_.clear();
  buffered_ = 0;
  written_ = 0;
  failure_.clear();
}

OutputFile::Committed OutputFile::commit(Placement placement, const FileIdentity& protect,
                                         PlacedFiles& placed) {
  if (handle_ == -1) {
    return {Outcome::writeFailed, std::make_error_code(std::errc::bad_file_descriptor)};
  }
  std::error_code error;
  if (!flush(error)) {
    abandon();
    return {Outcome::writeFailed, error};
  }
  const Committed committed = place(handleOf(handle_), handleOf(directory_), name_.native(),
                                    entryName_, placement, protect, placed);
  if (committed.outcome == Outcome::placed) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileInformationByHandle(handleOf(handle_), &information) != 0) {
      placed.record({entryName_, identityOf(information),
                     (std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow});
    }
    // No longer marked: the file stays when its handle closes. What WriteFile took is the
    // system's to write, so the close has nothing left to report.
    static_cast<void>(CloseHandle(handleOf(std::exchange(handle_, -1))));
  }
  abandon();  // anything not placed goes with its handle
  return committed;
}

}  // namespace kzb
