// Stands in for a running worm that keeps its own file open: opens the file
// for writing with the sharing asked for, runs the command line that
// follows while it holds it, and ends with the command's exit code.
//   hold_file.exe FILE read|none COMMAND [ARGUMENTS...]
//   (read: others may still read the file; none: nobody may open its data)
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    std::fwprintf(stderr, L"usage: hold_file FILE read|none COMMAND [ARGUMENTS...]\n");
    return 2;
  }
  const DWORD sharing = std::wcscmp(argv[2], L"read") == 0 ? FILE_SHARE_READ : 0;
  const HANDLE held = ::CreateFileW(argv[1], GENERIC_WRITE, sharing, nullptr, OPEN_EXISTING, 0, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    std::fwprintf(stderr, L"hold_file: cannot open %ls (error %lu)\n", argv[1], ::GetLastError());
    return 2;
  }
  // The rest of this program's own command line, as it was written.
  std::wstring command;
  for (int i = 3; i < argc; ++i) command.append(i > 3 ? L" \"" : L"\"").append(argv[i]).append(L"\"");
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
    std::fwprintf(stderr, L"hold_file: cannot run %ls (error %lu)\n", command.c_str(), ::GetLastError());
    return 2;
  }
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 2;
  ::GetExitCodeProcess(process.hProcess, &exitCode);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  ::CloseHandle(held);
  return static_cast<int>(exitCode);
}
