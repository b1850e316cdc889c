// What the Windows platform files share: <windows.h> as they all include it, and how a
// Win32 error code becomes one of the tool's error codes (implemented in
// input_file_windows.cpp).
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <system_error>

namespace kzb {

// An error that has a POSIX counterpart becomes it (std::generic_category), so that it
// compares and reads as it does on Linux; any other stays a Win32 error
// (std::system_category), with the system's own message.
std::error_code fromWin32Error(unsigned long code);  // a DWORD

// The calling thread's last Win32 error, translated. Called after a call that failed, so it
// is never empty: a call that failed without saying why gives std::errc::io_error.
std::error_code lastWin32Error();

}  // namespace kzb
