// The destination directory on Windows: a directory handle, the root that every name of the
// output unit is opened under (NtCreateFile and NtSetInformationFile with a root directory).
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <new>
#include <utility>
#include <vector>

#include "directory.h"
#include "windows_error.h"

// After <windows.h>, whose types it uses.
#include <winternl.h>

namespace kzb {
namespace {

HANDLE handleOf(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

using NtCreateFileCall = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                          PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                          ULONG, PVOID, ULONG);
using NtSetInformationFileCall = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                                  FILE_INFORMATION_CLASS);
using StatusToErrorCall = ULONG(NTAPI*)(NTSTATUS);

// ntdll is in every process; asking it by name keeps the executable's import list as it is.
template <typename Call>
Call fromNtdll(const char* name) {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll == nullptr
             ? nullptr
             : reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(ntdll, name)));
}

constexpr ULONG kCaseInsensitive = 0x40;  // OBJ_CASE_INSENSITIVE, as CreateFileW looks names up
constexpr auto kFileRenameInformation = static_cast<FILE_INFORMATION_CLASS>(10);

// FILE_RENAME_INFORMATION, which winternl.h does not declare.
struct RenameInformation {
  BOOLEAN replaceIfExists;
  HANDLE rootDirectory;
  ULONG fileNameLength;
  WCHAR fileName[1];
};

bool failWith(NTSTATUS result) {
  static const auto toError = fromNtdll<StatusToErrorCall>("RtlNtStatusToDosError");
  SetLastError(toError != nullptr ? toError(result) : ERROR_GEN_FAILURE);
  return false;
}

}  // namespace

// The Win32 SetFileInformationByHandle resolves a rename's name as a path of its own, not
// under the root directory it is given (wine's does), so the system's call is made here.
bool renameRelative(HANDLE file, HANDLE root, std::wstring_view name, bool replace) {
  static const auto setInformation = fromNtdll<NtSetInformationFileCall>("NtSetInformationFile");
  if (setInformation == nullptr) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return false;
  }
  const std::size_t nameBytes = name.size() * sizeof(wchar_t);
  const std::size_t size =
      std::max(sizeof(RenameInformation),
               offsetof(RenameInformation, fileName) + nameBytes + sizeof(wchar_t));
  std::vector<std::byte> storage(size);
  auto* rename = new (storage.data()) RenameInformation{};
  rename->replaceIfExists = replace ? TRUE : FALSE;
  rename->rootDirectory = root;
  rename->fileNameLength = static_cast<ULONG>(nameBytes);
  std::memcpy(&rename->fileName[0], name.data(), nameBytes);
  IO_STATUS_BLOCK status{};
  const NTSTATUS result =
      setInformation(file, &status, rename, static_cast<ULONG>(size), kFileRenameInformation);
  return result >= 0 || failWith(result);
}

HANDLE openRelative(HANDLE root, std::wstring_view name, const RelativeOpen& how) {
  static const auto create = fromNtdll<NtCreateFileCall>("NtCreateFile");
  if (create == nullptr) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return INVALID_HANDLE_VALUE;
  }
  constexpr std::size_t kMostUnits = 0x7fff;  // a UNICODE_STRING counts bytes in 16 bits
  if (name.size() > kMostUnits) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return INVALID_HANDLE_VALUE;
  }
  std::wstring text(name);
  UNICODE_STRING objectName{};
  objectName.Buffer = text.data();
  objectName.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
  objectName.MaximumLength = objectName.Length;
  OBJECT_ATTRIBUTES attributes{};
  attributes.Length = sizeof attributes;
  attributes.RootDirectory = root;
  attributes.ObjectName = &objectName;
  attributes.Attributes = kCaseInsensitive;
  IO_STATUS_BLOCK status{};
  HANDLE handle = INVALID_HANDLE_VALUE;
  const NTSTATUS result = create(&handle, how.access | SYNCHRONIZE, &attributes, &status, nullptr,
                                 FILE_ATTRIBUTE_NORMAL, how.share, how.disposition,
                                 how.options | kSynchronousIo, nullptr, 0);
  if (result < 0) {
    failWith(result);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

Directory::~Directory() {
  close();
}

Directory::Directory(Directory&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}

Directory& Directory::operator=(Directory&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, kNone);
  }
  return *this;
}

void Directory::close() {
  if (handle_ != kNone) {
    static_cast<void>(CloseHandle(handleOf(handle_)));
    handle_ = kNone;
  }
}

// A directory handle opened for listing cannot be flushed on Windows; each file's own flush
// (OutputFile::flushToDisk) is what the platform offers.
std::error_code Directory::flushToDisk() const {
  return {};
}

std::error_code Directory::openWorking() {
  return open(".", false);
}

std::error_code Directory::open(const std::string& path, bool create) {
  close();
  std::wstring wide;
  if (const std::error_code error = widenPath(path, wide)) {
    return error;
  }
  if (create) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(wide), error);
    if (error && error != std::errc::file_exists) {
      return error;
    }
  }
  const HANDLE handle =
      CreateFileW(wide.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return lastWin32Error();
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileInformationByHandle(handle, &information) == 0 ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    static_cast<void>(CloseHandle(handle));
    return std::make_error_code(std::errc::not_a_directory);
  }
  handle_ = reinterpret_cast<std::intptr_t>(handle);
  return {};
}

std::error_code Directory::openChild(const Directory& parent, const std::string& name) {
  close();
  std::wstring wide;
  if (const std::error_code error = widenPath(name, wide)) {
    return error;
  }
  constexpr ULONG kOpenIf = 3;           // FILE_OPEN_IF: made where missing
  constexpr ULONG kDirectoryFile = 0x1;  // FILE_DIRECTORY_FILE
  const RelativeOpen how{FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, kOpenIf,
                         kDirectoryFile | kOpenReparsePoint | kBackupIntent};
  const HANDLE handle = openRelative(handleOf(parent.handle_), wide, how);
  if (handle == INVALID_HANDLE_VALUE) {
    return lastWin32Error();
  }
  // Opened as itself, a link or a junction shows its reparse point: it is not followed.
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileInformationByHandle(handle, &information) == 0) {
    const std::error_code error = lastWin32Error();
    static_cast<void>(CloseHandle(handle));
    return error;
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    static_cast<void>(CloseHandle(handle));
    return std::make_error_code(std::errc::too_many_symbolic_link_levels);
  }
  handle_ = reinterpret_cast<std::intptr_t>(handle);
  return {};
}

FileIdentity Directory::identity() const {
  BY_HANDLE_FILE_INFORMATION information{};
  if (handle_ == kNone || GetFileInformationByHandle(handleOf(handle_), &information) == 0) {
    return {};
  }
  return {
      information.dwVolumeSerialNumber,
      (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
}

// NTFS, FAT and exFAT give every file an index of its own.
bool Directory::identitiesAreTrusted() const {
  return true;
}

}  // namespace kzb
