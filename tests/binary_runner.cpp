#include "binary_runner.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/wait.h>
#endif

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "temp_dir.h"

namespace kzb::testing {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32

struct HandleCloser {
  void operator()(HANDLE handle) const { static_cast<void>(::CloseHandle(handle)); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

[[noreturn]] void throwLastError(const std::string& what) {
  throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), what);
}

std::wstring wide(std::string_view utf8) {
  if (utf8.empty()) {
    return {};
  }
  const int length = static_cast<int>(utf8.size());
  const int size =
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
  if (size <= 0) {
    throw std::invalid_argument("not UTF-8: " + std::string(utf8));
  }
  std::wstring text(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, text.data(), size);
  return text;
}

// One argument as the C runtime reads it back from the command line: quoted when it is empty or
// holds a blank or a quote; backslashes are doubled only where a quote follows them.
std::wstring argumentQuoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    out += c;
    backslashes = 0;
  }
  out.append(2 * backslashes, L'\\');
  return out + L'"';
}

// A cross build records the host's path of the binary, which names no drive. The test program
// was built into the same tree, so the drive it was started from holds the binary too.
fs::path binaryPath(const std::string& built) {
  const fs::path binary = utf8Path(built);
  if (binary.has_root_name()) {
    return binary;
  }
  std::wstring self(32768, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
  if (length == 0 || length == self.size()) {
    throwLastError("cannot find the test program's own path");
  }
  self.resize(length);
  return fs::path(self).root_name() / binary;
}

Handle inheritable(const fs::path& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{static_cast<DWORD>(sizeof(inherit)), nullptr, TRUE};
  HANDLE handle =
      ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    &inherit, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    throwLastError("cannot open " + path.string());
  }
  return Handle(handle);
}

// CreateProcessW with the standard handles on files: there is no shell to redirect them.
int runWithOutputIn(const std::string& built, const fs::path& dir,
                    const std::vector<std::string>& args, const Launch& launch, const fs::path& in,
                    const fs::path& out, const fs::path& err) {
  if (!launch.prelude.empty() || !launch.wrapper.empty()) {
    throw std::logic_error("a shell prelude or wrapper needs POSIX");
  }
  const fs::path program = binaryPath(built);
  std::wstring commandLine = argumentQuoted(program.wstring());
  for (const std::string& arg : args) {
    commandLine += L' ';
    commandLine += argumentQuoted(wide(arg));
  }
  const Handle input = inheritable(in.empty() ? fs::path("NUL") : in, GENERIC_READ, OPEN_EXISTING);
  const Handle output = inheritable(out, GENERIC_WRITE, CREATE_ALWAYS);
  const Handle error =
      launch.errorsIntoOutput ? nullptr : inheritable(err, GENERIC_WRITE, CREATE_ALWAYS);

  STARTUPINFOW startup{};
  startup.cb = static_cast<DWORD>(sizeof(startup));
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.get();
  startup.hStdOutput = output.get();
  startup.hStdError = launch.errorsIntoOutput ? output.get() : error.get();
  PROCESS_INFORMATION started{};
  const std::wstring directory = dir.wstring();
  if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        directory.c_str(), &startup, &started)) {
    throwLastError("cannot start " + program.string());
  }
  const Handle process(started.hProcess);
  const Handle thread(started.hThread);
  DWORD status = 0;
  if (::WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 ||
      !::GetExitCodeProcess(process.get(), &status)) {
    throwLastError("cannot wait for " + program.string());
  }
  return static_cast<int>(status);
}

#else

std::string shellQuoted(std::string_view text) {
  std::string out = "'";
  for (const char c : text) {
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return out + "'";
}

// Through the shell, which does the redirections and runs the prelude and the wrapper.
int runWithOutputIn(const std::string& built, const fs::path& dir,
                    const std::vector<std::string>& args, const Launch& launch, const fs::path& in,
                    const fs::path& out, const fs::path& err) {
  std::string command = "cd " + shellQuoted(dir.string()) + " && " + launch.prelude +
                        (launch.prelude.empty() ? "" : "; ") + "exec " + launch.wrapper + " " +
                        shellQuoted(built);
  for (const std::string& arg : args) {
    command += " " + shellQuoted(arg);
  }
  if (!in.empty()) {
    command += " <" + shellQuoted(in.string());
  }
  command += " >" + shellQuoted(out.string()) +
             (launch.errorsIntoOutput ? " 2>&1" : " 2>" + shellQuoted(err.string()));
  const int raw = std::system(command.c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

#endif

}  // namespace

Outcome runBinary(const fs::path& dir, const std::vector<std::string>& args, const Launch& launch) {
  return runProgram(KZB_EXTRACT_BINARY, dir, args, launch);
}

Outcome runProgram(const std::string& program, const fs::path& dir,
                   const std::vector<std::string>& args, const Launch& launch,
                   const fs::path& input) {
  const fs::path out = dir.parent_path() / "stdout";
  const fs::path err = dir.parent_path() / "stderr";
  writeFile(err, "");
  const int status = runWithOutputIn(program, dir, args, launch, input, out, err);
  return {status, readFile(out), readFile(err)};
}

}  // namespace kzb::testing
