// The container on Windows: one handle that shares reading, writing and deletion with every
// other process, read with positioned ReadFile calls, so the handle's own file pointer never
// matters. Also home to the Win32 error translation that the Windows files share.

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>

#include "input_file.h"
#include "windows_error.h"

namespace kzb {
namespace {

struct Win32ToErrno {
  DWORD win32;
  int error;
};

// The Win32 errors that say what a POSIX errno says. Where the C runtime's message for the
// errno would mislead (ENOMEM reads "Not enough space" there), the Win32 error keeps its own.
constexpr auto kErrnoOf = std::to_array<Win32ToErrno>({
    {ERROR_FILE_NOT_FOUND, ENOENT},
    {ERROR_PATH_NOT_FOUND, ENOENT},
    {ERROR_INVALID_DRIVE, ENOENT},
    {ERROR_BAD_NETPATH, ENOENT},
    {ERROR_BAD_NET_NAME, ENOENT},
    {ERROR_BAD_PATHNAME, ENOENT},
    {ERROR_ACCESS_DENIED, EACCES},
    {ERROR_CURRENT_DIRECTORY, EACCES},
    {ERROR_NETWORK_ACCESS_DENIED, EACCES},
    {ERROR_CANNOT_MAKE, EACCES},
    {ERROR_PRIVILEGE_NOT_HELD, EPERM},
    {ERROR_WRITE_PROTECT, EROFS},
    {ERROR_DISK_FULL, ENOSPC},
    {ERROR_HANDLE_DISK_FULL, ENOSPC},
    {ERROR_FILE_TOO_LARGE, EFBIG},
    {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
    {ERROR_BROKEN_PIPE, EPIPE},
    {ERROR_NO_DATA, EPIPE},
    {ERROR_PIPE_NOT_CONNECTED, EPIPE},
    {ERROR_INVALID_HANDLE, EBADF},
    {ERROR_INVALID_TARGET_HANDLE, EBADF},
    {ERROR_DIRECT_ACCESS_HANDLE, EBADF},
    {ERROR_TOO_MANY_OPEN_FILES, EMFILE},
    {ERROR_CRC, EIO},
    {ERROR_IO_DEVICE, EIO},
    {ERROR_READ_FAULT, EIO},
    {ERROR_WRITE_FAULT, EIO},
    {ERROR_GEN_FAILURE, EIO},
    {ERROR_SECTOR_NOT_FOUND, EIO},
    {ERROR_FILE_CORRUPT, EIO},
    {ERROR_DISK_CORRUPT, EIO},
    {ERROR_ALREADY_EXISTS, EEXIST},
    {ERROR_FILE_EXISTS, EEXIST},
    {ERROR_INVALID_NAME, EINVAL},
    {ERROR_DIRECTORY, ENOTDIR},
    {ERROR_DIR_NOT_EMPTY, ENOTEMPTY},
});

HANDLE handleOf(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// The path as the wide calls take it. Text that is not UTF-8 names no file.
bool widen(const std::string& path, std::wstring& wide, std::error_code& error) {
  wide.clear();
  if (path.empty()) {
    return true;  // opening it fails as an empty path does anywhere
  }
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(),
                                         static_cast<int>(path.size()), nullptr, 0);
  if (length > 0) {
    wide.resize(static_cast<std::size_t>(length));
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(),
                            static_cast<int>(path.size()), wide.data(), length) == length) {
      return true;
    }
  }
  error = lastWin32Error();
  return false;
}

// Why CreateFileW refused `path`. A directory cannot be opened as a file, and says only
// "access denied" when it is tried; a pipe whose instances are all taken is still a pipe.
std::error_code openFailure(const std::wstring& path) {
  const DWORD code = GetLastError();
  if (code == ERROR_PIPE_BUSY) {
    return InputRefusal::pipe;
  }
  if (code == ERROR_ACCESS_DENIED) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return std::make_error_code(std::errc::is_a_directory);
    }
  }
  return fromWin32Error(code);
}

// What the walk and the extraction need: bytes on a disk that can be read again at any
// offset. Volumes and disks are "disk" handles too, but they answer no question about a file.
std::error_code refusalOf(HANDLE handle, BY_HANDLE_FILE_INFORMATION& information) {
  SetLastError(ERROR_SUCCESS);
  switch (GetFileType(handle)) {
    case FILE_TYPE_DISK:
      break;
    case FILE_TYPE_PIPE:
      return InputRefusal::pipe;
    case FILE_TYPE_CHAR:
      return InputRefusal::characterDevice;
    default:
      return GetLastError() != ERROR_SUCCESS ? lastWin32Error()
                                             : make_error_code(InputRefusal::otherKind);
  }
  if (GetFileInformationByHandle(handle, &information) == 0) {
    const DWORD code = GetLastError();
    return code == ERROR_INVALID_FUNCTION || code == ERROR_INVALID_PARAMETER
               ? make_error_code(InputRefusal::otherKind)
               : fromWin32Error(code);
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return std::make_error_code(std::errc::is_a_directory);
  }
  return {};
}

std::uint64_t joined(DWORD high, DWORD low) {
  return (std::uint64_t{high} << 32) | low;
}

}  // namespace

std::error_code widenPath(const std::string& path, std::wstring& wide) {
  std::error_code error;
  static_cast<void>(widen(path, wide, error));
  return error;
}

std::error_code fromWin32Error(unsigned long code) {
  const auto* match =
      std::find_if(kErrnoOf.begin(), kErrnoOf.end(),
                   [code](const Win32ToErrno& entry) { return entry.win32 == code; });
  if (match != kErrnoOf.end()) {
    return {match->error, std::generic_category()};
  }
  return {static_cast<int>(code), std::system_category()};
}

std::error_code lastWin32Error() {
  const DWORD code = GetLastError();
  return code != ERROR_SUCCESS ? fromWin32Error(code) : std::make_error_code(std::errc::io_error);
}

InputFile::~InputFile() {
  close();
}

std::error_code InputFile::open(const std::string& path) {
  close();
  std::error_code error;
  std::wstring wide;
  if (!widen(path, wide, error)) {
    return error;
  }
  // Anonymous: should the path name a pipe, its server cannot act as this process. Opening
  // a pipe never waits: with every instance taken, the call fails at once.
  const HANDLE handle = CreateFileW(
      wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return openFailure(wide);
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (const std::error_code refusal = refusalOf(handle, information)) {
    static_cast<void>(CloseHandle(handle));
    return refusal;
  }
  handle_ = reinterpret_cast<std::intptr_t>(handle);
  // The size comes with the identity: one call fewer than asking for it apart.
  size_ = joined(information.nFileSizeHigh, information.nFileSizeLow);
  // A FILETIME counts 100 ns since 1601-01-01 UTC.
  constexpr std::int64_t kTicksPerSecond = 10'000'000;
  constexpr std::int64_t kSecondsFrom1601To1970 = 11'644'473'600;
  modifiedTime_ = static_cast<std::int64_t>(joined(information.ftLastWriteTime.dwHighDateTime,
                                                   information.ftLastWriteTime.dwLowDateTime)) /
                      kTicksPerSecond -
                  kSecondsFrom1601To1970;
  identity_ = {information.dwVolumeSerialNumber,
               joined(information.nFileIndexHigh, information.nFileIndexLow)};
  return {};
}

bool InputFile::isOpen() const {
  return handle_ != -1;
}

void InputFile::close() {
  if (handle_ != -1) {
    static_cast<void>(CloseHandle(handleOf(handle_)));  // read-only: nothing is lost
    handle_ = -1;
  }
  size_ = 0;
  identity_ = {};
  modifiedTime_ = 0;
}

// A handle's access pattern is fixed when it is opened (FILE_FLAG_SEQUENTIAL_SCAN), and the
// cache manager notices sequential reads by itself; nothing to add afterwards.
void InputFile::expectSequentialReads() const {}

// Windows reads ahead for a handle read in order by itself; it takes no hint of a range.
void InputFile::willNeed(std::uint64_t /*offset*/, std::uint64_t /*length*/) const {}

std::size_t InputFile::readAt(std::uint64_t offset, std::span<std::byte> out,
                              std::error_code& error) const {
  // ReadFile counts in a DWORD; a larger request takes several calls.
  constexpr std::size_t kMostPerCall = std::size_t{1} << 30;
  std::size_t done = 0;
  while (done < out.size()) {
    const std::uint64_t at = offset + done;
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    position.OffsetHigh = static_cast<DWORD>(at >> 32);
    const auto wanted = static_cast<DWORD>(std::min(out.size() - done, kMostPerCall));
    DWORD got = 0;
    if (ReadFile(handleOf(handle_), out.data() + done, wanted, &got, &position) == 0) {
      if (GetLastError() != ERROR_HANDLE_EOF) {
        error = lastWin32Error();
      }
      break;
    }
    if (got == 0) {
      break;  // the end of the file
    }
    done += got;
  }
  return done;
}

}  // namespace kzb
