// Lays a shortcut worm's stick out on a drive, as the worm leaves it on
// Windows: the user's folders hidden and marked as system files, one decoy
// shortcut per command interpreter or script host, written by the shell's
// own IShellLinkW, each with its payload on the stick; the user's files
// moved into a folder named by a no-break space; and two harmless
// shortcuts, to a program and to a document of drive C:.
//   make_shortcut_stick.exe E:\   (prints what it made; 1 on any failure)
#include <windows.h>

#include <objbase.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool failed = false;

void Check(bool ok, const wchar_t* what, const std::wstring& path) {
  if (!ok) {
    std::fwprintf(stderr, L"make_shortcut_stick: cannot %ls %ls (error %lu)\n", what, path.c_str(), ::GetLastError());
    failed = true;
  }
}

void WriteFile(const std::wstring& path, const char* text) {
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  Check(file != INVALID_HANDLE_VALUE && ::WriteFile(file, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr),
        L"write", path);
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
}

void MakeFolder(const std::wstring& path) {
  Check(::CreateDirectoryW(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS, L"make", path);
}

void Hide(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  Check(attributes != INVALID_FILE_ATTRIBUTES &&
            ::SetFileAttributesW(path.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
        L"hide", path);
}

void WriteShortcut(const std::wstring& path, const std::wstring& target, const std::wstring& arguments,
                   const std::wstring& workingDirectory = L"") {
  IShellLinkW* link = nullptr;
  IPersistFile* file = nullptr;
  const bool ok =
      SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&link))) &&
      SUCCEEDED(link->SetPath(target.c_str())) && SUCCEEDED(link->SetArguments(arguments.c_str())) &&
      SUCCEEDED(link->SetWorkingDirectory(workingDirectory.c_str())) &&
      SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
      SUCCEEDED(file->Save(path.c_str(), TRUE));
  if (file != nullptr) file->Release();
  if (link != nullptr) link->Release();
  Check(ok, L"write the shortcut", path);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fwprintf(stderr, L"usage: make_shortcut_stick DRIVE_ROOT\n");
    return 2;
  }
  std::wstring root = argv[1];
  if (!root.ends_with(L'\\')) root += L'\\';
  if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  wchar_t system[MAX_PATH] = {};
  ::GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring system32 = std::wstring(system) + L"\\";

  // The worm's own folder and files, hidden.
  MakeFolder(root + L"_");
  WriteFile(root + L"_\\run.bat", "@start explorer %1\r\n");
  WriteFile(root + L"_\\w.vbs", "WScript.Echo 1\r\n");
  WriteFile(root + L"_\\c.js", "WScript.Echo(1);\r\n");
  WriteFile(root + L"_\\m.hta", "<html></html>\r\n");
  WriteFile(root + L"_\\p.ps1", "Write-Host 1\r\n");
  WriteFile(root + L"~$WQWDW.FAT32", "MZ\r\n");
  Hide(root + L"_");
  Hide(root + L"~$WQWDW.FAT32");

  // One decoy per interpreter, each standing for a folder of the user's.
  struct Decoy {
    const wchar_t* folder;
    std::wstring target;
    const wchar_t* arguments;
  };
  const Decoy decoys[] = {
      {L"Photos", system32 + L"cmd.exe", L"/c start _\\run.bat Photos&exit"},
      {L"Work", system32 + L"WScript.exe", L"//B _\\w.vbs"},
      {L"Music", system32 + L"CSCRIPT.EXE", L"//nologo \"_\\c.js\""},
      {L"Games", system32 + L"RuNdLl32.eXe", L"~$WQWDW.FAT32,_dll1"},
      {L"Papers", system32 + L"mshta.exe", L".\\_\\m.hta"},
      {L"Tools", system32 + L"WindowsPowerShell\\v1.0\\powershell.exe", L"-ExecutionPolicy Bypass -File _\\p.ps1"},
  };
  for (const Decoy& decoy : decoys) {
    const std::wstring folder = root + decoy.folder;
    MakeFolder(folder);
    WriteFile(folder + L"\\notes.txt", "the user's\r\n");
    Hide(folder);
    WriteShortcut(folder + L".lnk", decoy.target, decoy.arguments, root);
  }

  // The user's loose files, moved into a folder whose name shows as nothing.
  const std::wstring blank = root + L"\u00A0";
  MakeFolder(blank);
  WriteFile(blank + L"\\essay.doc", "the user's\r\n");
  Hide(blank);

  // What the user made: shortcuts to a program and a document elsewhere.
  wchar_t windows[MAX_PATH] = {};
  ::GetWindowsDirectoryW(windows, MAX_PATH);
  WriteShortcut(root + L"Notepad.lnk", std::wstring(windows) + L"\\notepad.exe", root + L"todo.txt");
  WriteShortcut(root + L"Settings.lnk", std::wstring(windows) + L"\\win.ini", L"");
  WriteFile(root + L"todo.txt", "milk\r\n");

  ::CoUninitialize();
  std::wprintf(L"made a shortcut worm's stick on %ls\n", root.c_str());
  return failed ? 1 : 0;
}
