// kzb-verb.exe: what Explorer's verbs on a container run, in place of kzb.exe itself.
//
// A console program started from Explorer gets a console window of its own, which flashes
// and vanishes with whatever it said. This one is a GUI program, so no window opens for it:
// it runs kzb.exe from its own folder with its own arguments, unchanged, without a console
// (both of kzb's streams into one pipe), and waits for it. When kzb's exit status is 0 nothing
// is shown. Otherwise kzb's lines are shown in a window that stays until it is closed. Either
// way the exit status is kzb's, or 1 when kzb could not be started.
//
// Test hook: when the environment variable KZB_VERB_WINDOW_TEXT names a file, the window's
// text is written there (UTF-8) instead of being shown, so that a test reads what the user
// would have read.
#include <windows.h>

#include <string>
#include <string_view>

namespace {

constexpr std::size_t kShownLines = 40;  // a window a screen can hold; the rest are counted

std::wstring widened(std::string_view utf8) {
  if (utf8.empty()) {
    return {};
  }
  const int size = static_cast<int>(utf8.size());
  std::wstring wide(
      static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0)),
      L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), static_cast<int>(wide.size()));
  return wide;
}

std::string narrowed(std::wstring_view wide) {
  if (wide.empty()) {
    return {};
  }
  const int size = static_cast<int>(wide.size());
  std::string utf8(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, wide.data(), size,
                                                                nullptr, 0, nullptr, nullptr)),
                   '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), static_cast<int>(utf8.size()),
                      nullptr, nullptr);
  return utf8;
}

std::wstring systemMessage(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = length == 0 ? L"error " + std::to_wstring(error) : text;
  LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r')) {
    message.pop_back();
  }
  return message;
}

// The arguments of this process's command line as Windows received it: everything after the
// program's own name, which Explorer may or may not have quoted.
std::wstring_view argumentsOf(std::wstring_view line) {
  std::size_t at = 0;
  if (!line.empty() && line[0] == L'"') {
    const std::size_t close = line.find(L'"', 1);
    at = close == std::wstring_view::npos ? line.size() : close + 1;
  } else {
    while (at < line.size() && line[at] != L' ' && line[at] != L'\t') {
      ++at;
    }
  }
  while (at < line.size() && (line[at] == L' ' || line[at] == L'\t')) {
    ++at;
  }
  return line.substr(at);
}

// kzb.exe beside this program.
std::wstring kzbBesideMe() {
  std::wstring self(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    if (length < self.size()) {
      self.resize(length);
      break;
    }
    self.resize(self.size() * 2);
  }
  return self.substr(0, self.find_last_of(L"\\/") + 1) + L"kzb.exe";
}

struct Finished {
  DWORD status = 1;
  std::string output;  // both streams, as kzb wrote them (UTF-8)
};

Finished runHidden(const std::wstring& program, std::wstring_view arguments) {
  Finished finished;
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
    finished.output = narrowed(L"kzb-verb: cannot make a pipe: " + systemMessage(GetLastError()));
    return finished;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE nothing = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inheritable, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nothing;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  std::wstring line = L"\"" + program + L"\" " + std::wstring(arguments);
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
  const DWORD startError = GetLastError();
  CloseHandle(writeEnd);  // the pipe ends when kzb's copies of it close
  if (nothing != INVALID_HANDLE_VALUE) {
    CloseHandle(nothing);
  }
  if (!started) {
    CloseHandle(readEnd);
    finished.output =
        narrowed(L"kzb-verb: cannot start " + program + L": " + systemMessage(startError));
    return finished;
  }
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(readEnd, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    finished.output.append(buffer, got);
  }
  CloseHandle(readEnd);
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &finished.status);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return finished;
}

// What the window says: kzb's lines, up to a screenful, then the exit status.
std::string windowText(const Finished& finished) {
  std::string shown;
  std::size_t lines = 0;
  std::size_t at = 0;
  while (at < finished.output.size()) {
    std::size_t end = finished.output.find('\n', at);
    end = end == std::string::npos ? finished.output.size() : end + 1;
    if (lines < kShownLines) {
      shown.append(finished.output, at, end - at);
    }
    ++lines;
    at = end;
  }
  if (!shown.empty() && shown.back() != '\n') {
    shown += '\n';
  }
  if (lines > kShownLines) {
    shown += "... and " + std::to_string(lines - kShownLines) + " more lines\n";
  }
  return shown + "\nkzb ended with exit status " + std::to_string(finished.status) + ".";
}

void show(const std::string& text) {
  wchar_t hook[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"KZB_VERB_WINDOW_TEXT", hook, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    HANDLE file =
        CreateFileW(hook, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
      CloseHandle(file);
    }
    return;
  }
  std::wstring wide = widened(text);
  std::wstring withReturns;  // the window breaks lines at CR LF
  for (const wchar_t c : wide) {
    if (c == L'\n') {
      withReturns += L'\r';
    }
    withReturns += c;
  }
  MessageBoxW(nullptr, withReturns.c_str(), L"kzb", MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const Finished finished = runHidden(kzbBesideMe(), argumentsOf(GetCommandLineW()));
  if (finished.status != 0) {
    show(windowText(finished));
  }
  return static_cast<int>(finished.status);
}
