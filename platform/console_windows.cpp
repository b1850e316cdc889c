// The standard streams on Windows. A console takes UTF-16 through WriteConsoleW, so text
// shows the same whatever the console's code page; anything else (a file, a pipe) gets the
// bytes exactly as on POSIX: UTF-8, lines ending in LF.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cwchar>
#include <initializer_list>

#include "console.h"
#include "windows_error.h"

// Needs <windows.h> first, which windows_error.h brings.
#include <shellapi.h>

namespace kzb::console {
namespace {

bool isMissing(HANDLE handle) {
  return handle == nullptr || handle == INVALID_HANDLE_VALUE;
}

HANDLE handleOf(Stream stream) {
  return GetStdHandle(stream == Stream::output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

// A standard handle that names no open handle of this process (a parent can pass any
// value) is a number that a handle opened later may take: the report would go into it.
bool namesNoHandle(HANDLE handle) {
  SetLastError(ERROR_SUCCESS);
  return GetFileType(handle) == FILE_TYPE_UNKNOWN && GetLastError() == ERROR_INVALID_HANDLE;
}

std::string toUtf8(const wchar_t* wide) {
  const auto length = static_cast<int>(std::wcslen(wide));  // a command line is short
  if (length == 0) {
    return {};
  }
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(std::max(size, 0)), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, wide, length, text.data(), size, nullptr, nullptr);
  }
  return text;
}

// How many bytes at the end of `bytes` begin a UTF-8 sequence that lacks its last bytes.
std::size_t incompleteTail(std::string_view bytes) {
  const std::size_t reach = std::min<std::size_t>(bytes.size(), 3);
  for (std::size_t back = 1; back <= reach; ++back) {
    const auto unit = static_cast<unsigned char>(bytes[bytes.size() - back]);
    if ((unit & 0xC0) == 0x80) {
      continue;  // a continuation byte: its lead is further back
    }
    std::size_t length = 0;
    if (unit >= 0xC2 && unit <= 0xDF) {
      length = 2;
    } else if (unit >= 0xE0 && unit <= 0xEF) {
      length = 3;
    } else if (unit >= 0xF0 && unit <= 0xF4) {
      length = 4;
    }
    return length > back ? back : 0;
  }
  return 0;
}

std::error_code writeFile(HANDLE handle, std::string_view bytes) {
  constexpr std::size_t kMostPerCall = std::size_t{1} << 30;  // WriteFile counts in a DWORD
  while (!bytes.empty()) {
    const auto wanted = static_cast<DWORD>(std::min(bytes.size(), kMostPerCall));
    DWORD written = 0;
    if (WriteFile(handle, bytes.data(), wanted, &written, nullptr) == 0) {
      return lastWin32Error();  // a reader that went away: std::errc::broken_pipe
    }
    if (written == 0) {
      return std::make_error_code(std::errc::io_error);
    }
    bytes.remove_prefix(written);
  }
  return {};
}

std::error_code writeWide(HANDLE handle, const wchar_t* text, DWORD length) {
  while (length > 0) {
    DWORD written = 0;
    if (WriteConsoleW(handle, text, length, &written, nullptr) == 0) {
      return lastWin32Error();
    }
    if (written == 0) {
      return std::make_error_code(std::errc::io_error);
    }
    text += written;
    length -= std::min(written, length);
  }
  return {};
}

// Writes whole UTF-8 sequences to a console as UTF-16, a bounded piece per call (a console
// takes only so much at once). Pieces end between sequences, so no surrogate pair is split
// between calls; a byte that is not UTF-8 shows as U+FFFD.
std::error_code writeConsole(HANDLE handle, std::string_view text) {
  constexpr std::size_t kPiece = 8 * 1024;
  std::array<wchar_t, kPiece> wide{};
  while (!text.empty()) {
    std::string_view piece = text.substr(0, kPiece);
    if (piece.size() < text.size()) {
      piece.remove_suffix(incompleteTail(piece));
    }
    // UTF-8 never takes more UTF-16 units than it has bytes.
    const int length = MultiByteToWideChar(CP_UTF8, 0, piece.data(), static_cast<int>(piece.size()),
                                           wide.data(), static_cast<int>(wide.size()));
    if (length <= 0) {
      return lastWin32Error();
    }
    if (const std::error_code error = writeWide(handle, wide.data(), static_cast<DWORD>(length))) {
      return error;
    }
    text.remove_prefix(piece.size());
  }
  return {};
}

// ReadFile to the end. A pipe whose writer has closed it ends with ERROR_BROKEN_PIPE: its end,
// not a failure.
std::error_code readAll(HANDLE handle, std::string& bytes) {
  std::array<char, std::size_t{64} * 1024> block{};
  for (;;) {
    DWORD got = 0;
    if (ReadFile(handle, block.data(), static_cast<DWORD>(block.size()), &got, nullptr) == 0) {
      const DWORD code = GetLastError();
      return code == ERROR_BROKEN_PIPE ? std::error_code{} : fromWin32Error(code);
    }
    if (got == 0) {
      return {};
    }
    bytes.append(block.data(), got);
  }
}

}  // namespace

void prepareProcess() {
  // A missing disk is an error to report, not a dialog box that waits for someone.
  SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE handle = GetStdHandle(which);
    if (!isMissing(handle) && namesNoHandle(handle)) {
      static_cast<void>(SetStdHandle(which, nullptr));  // writing to it fails as to a missing one
    }
  }
}

std::vector<std::string> arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) {
    return {argv, argv + argc};  // the runtime's reading, in the ANSI code page
  }
  std::vector<std::string> result;
  result.reserve(static_cast<std::size_t>(std::max(count, 0)));
  for (int i = 0; i < count; ++i) {
    result.push_back(toUtf8(wide[i]));
  }
  static_cast<void>(LocalFree(wide));
  return result;
}

bool isTerminal(Stream stream) {
  DWORD mode = 0;
  const HANDLE handle = handleOf(stream);
  return !isMissing(handle) && GetConsoleMode(handle, &mode) != 0;
}

std::uint64_t openFileLimit() {
  return 0;
}

unsigned usableProcessors() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) == 0 || process == 0) {
    return 1;
  }
  unsigned count = 0;
  for (; process != 0; process &= process - 1) {
    ++count;
  }
  return count;
}

std::error_code readStandardInput(std::string& bytes) {
  const HANDLE handle = GetStdHandle(STD_INPUT_HANDLE);
  return isMissing(handle) ? std::error_code{} : readAll(handle, bytes);
}

std::error_code readWholeFile(const std::string& path, std::string& bytes) {
  std::wstring wide;
  if (const std::error_code error = widenPath(path, wide)) {
    return error;
  }
  const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return lastWin32Error();
  }
  const std::error_code error = readAll(handle, bytes);
  static_cast<void>(CloseHandle(handle));
  return error;
}

std::error_code StandardStream::writeOut(std::string_view bytes) {
  const HANDLE handle = handleOf(stream_);
  if (isMissing(handle)) {
    return std::make_error_code(std::errc::bad_file_descriptor);
  }
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode) == 0) {
    return writeFile(handle, bytes);
  }
  // A sequence cut by the end of the buffer waits for the rest of its bytes.
  std::string text = std::move(pending_);
  text.append(bytes);
  const std::size_t held = incompleteTail(text);
  pending_.assign(text, text.size() - held, held);
  text.resize(text.size() - held);
  return writeConsole(handle, text);
}

}  // namespace kzb::console
