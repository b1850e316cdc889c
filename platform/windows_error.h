// What the Windows platform files share: <windows.h> as they all include it, how a Win32
// error code becomes one of the tool's error codes and a UTF-8 path a wide one (implemented
// in input_file_windows.cpp), and opening a name relative to an open directory (implemented
// in directory_windows.cpp).
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <string_view>
#include <system_error>

namespace kzb {

// An error that has a POSIX counterpart becomes it (std::generic_category), so that it
// compares and reads as it does on Linux; any other stays a Win32 error
// (std::system_category), with the system's own message.
std::error_code fromWin32Error(unsigned long code);  // a DWORD

// The calling thread's last Win32 error, translated. Called after a call that failed, so it
// is never empty: a call that failed without saying why gives std::errc::io_error.
std::error_code lastWin32Error();

// `path` (UTF-8) as the wide calls take it; text that is not UTF-8 names no file.
std::error_code widenPath(const std::string& path, std::wstring& wide);

// How a name is opened relative to a directory handle: NtCreateFile's own terms.
struct RelativeOpen {
  ACCESS_MASK access = 0;
  ULONG share = 0;
  ULONG disposition = 0;  // kOpenExisting or kCreateNew
  ULONG options = 0;      // kNonDirectory, kOpenReparsePoint, kDeleteOnClose, ...
};
inline constexpr ULONG kOpenExisting = 1;             // FILE_OPEN
inline constexpr ULONG kCreateNew = 2;                // FILE_CREATE
inline constexpr ULONG kNonDirectory = 0x40;          // FILE_NON_DIRECTORY_FILE
inline constexpr ULONG kSynchronousIo = 0x20;         // FILE_SYNCHRONOUS_IO_NONALERT
inline constexpr ULONG kDeleteOnClose = 0x1000;       // FILE_DELETE_ON_CLOSE
inline constexpr ULONG kBackupIntent = 0x4000;        // FILE_OPEN_FOR_BACKUP_INTENT
inline constexpr ULONG kOpenReparsePoint = 0x200000;  // FILE_OPEN_REPARSE_POINT

// Opens `name`, one component, in the directory `root`, as Windows looks names up (without
// regard to case). The name is never resolved through the process's working directory or a
// path, so a directory swapped in under the root's path changes nothing. On failure returns
// INVALID_HANDLE_VALUE and sets the thread's last Win32 error.
HANDLE openRelative(HANDLE root, std::wstring_view name, const RelativeOpen& how);

// Renames the open `file` to `name`, one component, in the directory `root`, replacing what
// stands there only when `replace`. False on failure, with the thread's last Win32 error set.
bool renameRelative(HANDLE file, HANDLE root, std::wstring_view name, bool replace);

}  // namespace kzb
