// kzb-run-verb VERB CONTAINER: what Explorer does when the user picks VERB on CONTAINER's
// right-click menu. It reads the command that the file type of ".kzb" registers for the verb
// (HKCU\Software\Classes\<type>\shell\VERB\command), puts the container's path for %1, and
// starts that command line as it stands, in the container's folder; it waits, and exits with
// the command's exit status (100 when no command is registered, 101 when it cannot start).
// packaging/check.sh runs the installed verbs through it under wine.
#include <windows.h>

#include <string>

namespace {

std::wstring registered(const std::wstring& key) {
  DWORD size = 0;
  if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, nullptr,
                   &size) != ERROR_SUCCESS) {
    return {};
  }
  std::wstring value(size / sizeof(wchar_t), L'\0');
  if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value.data(),
                   &size) != ERROR_SUCCESS) {
    return {};
  }
  value.resize(size / sizeof(wchar_t));
  while (!value.empty() && value.back() == L'\0') {
    value.pop_back();
  }
  return value;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    return 2;
  }
  const std::wstring verb = argv[1];
  const std::wstring container = argv[2];
  const std::wstring type = registered(L"Software\\Classes\\.kzb");
  std::wstring line =
      registered(L"Software\\Classes\\" + type + L"\\shell\\" + verb + L"\\command");
  if (type.empty() || line.empty()) {
    return 100;
  }
  for (std::size_t at = line.find(L"%1"); at != std::wstring::npos;
       at = line.find(L"%1", at + container.size())) {
    line.replace(at, 2, container);
  }
  const std::wstring folder = container.substr(0, container.find_last_of(L"\\/"));
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                      &startup, &process)) {
    return 101;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 1;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return static_cast<int>(status);
}
