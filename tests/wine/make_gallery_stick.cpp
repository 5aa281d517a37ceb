// Lays one layout of the shortcut gallery out on a drive as Windows would
// leave it: files and folders by CreateFileW and CreateDirectoryW,
// shortcuts by the shell's own IShellLinkW, marks by SetFileAttributesW and
// the label by SetVolumeLabelW.
//   make_gallery_stick.exe GALLERY ID E:\   (1 on any failure)
#include <windows.h>

#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

#include "support/stick_layout.h"

namespace {

using kestrix::testing::StickEntry;

bool failed = false;

void Check(bool ok, const wchar_t* what, const std::wstring& path) {
  if (!ok) {
    std::fwprintf(stderr, L"make_gallery_stick: cannot %ls %ls (error %lu)\n", what, path.c_str(),
                  ::GetLastError());
    failed = true;
  }
}

std::wstring Wide(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  wide.resize(static_cast<std::size_t>(::MultiByteToWideChar(
      CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), static_cast<int>(wide.size()))));
  return wide;
}

// Each folder of `path` below `root`, made when missing.
void MakeFolders(const std::wstring& root, const std::wstring& path) {
  for (std::size_t at = path.find(L'\\'); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
    const std::wstring folder = root + path.substr(0, at);
    Check(::CreateDirectoryW(folder.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS, L"make",
          folder);
  }
}

void WriteShortcut(const std::wstring& path, const std::wstring& target, const std::wstring& arguments,
                   const std::wstring& workingFolder) {
  IShellLinkW* link = nullptr;
  IPersistFile* file = nullptr;
  const bool ok = SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                               IID_IShellLinkW, reinterpret_cast<void**>(&link))) &&
                  SUCCEEDED(link->SetPath(target.c_str())) &&
                  SUCCEEDED(link->SetArguments(arguments.c_str())) &&
                  SUCCEEDED(link->SetWorkingDirectory(workingFolder.c_str())) &&
                  SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
                  SUCCEEDED(file->Save(path.c_str(), TRUE));
  if (file != nullptr) file->Release();
  if (link != nullptr) link->Release();
  Check(ok, L"write the shortcut", path);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fwprintf(stderr, L"usage: make_gallery_stick GALLERY ID DRIVE_ROOT\n");
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  const auto layouts = kestrix::testing::ReadStickLayouts(file);
  const std::wstring id = argv[2];
  std::wstring root = argv[3];
  if (!root.ends_with(L'\\')) root += L'\\';
  const auto layout = std::ranges::find_if(layouts, [&](const auto& each) { return Wide(each.id) == id; });
  if (layout == layouts.end()) {
    std::fwprintf(stderr, L"make_gallery_stick: no layout %ls\n", id.c_str());
    return 2;
  }
  if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  wchar_t system[MAX_PATH] = {};
  wchar_t windows[MAX_PATH] = {};
  ::GetSystemDirectoryW(system, MAX_PATH);
  ::GetWindowsDirectoryW(windows, MAX_PATH);

  // Folders and files first, so that every shortcut's target exists; marks last.
  for (const int pass : {0, 1, 2}) {
    for (const StickEntry& entry : layout->entries) {
      const std::wstring path = root + Wide(entry.path);
      if (pass == 0)
        MakeFolders(root, Wide(entry.path) + (entry.kind == StickEntry::Kind::kFolder ? L"\\" : L""));
      if (pass == 0 && entry.kind == StickEntry::Kind::kFile) {
        const HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        Check(handle != INVALID_HANDLE_VALUE &&
                  ::WriteFile(handle, entry.bytes.data(), static_cast<DWORD>(entry.bytes.size()), &written,
                              nullptr),
              L"write", path);
        if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
      } else if (pass == 1 && entry.kind == StickEntry::Kind::kLink) {
        WriteShortcut(path, kestrix::testing::ExpandTarget<std::wstring>(Wide(entry.target), system, windows),
                      Wide(entry.arguments), Wide(entry.workingFolder));
      } else if (pass == 2 && entry.marks != 0) {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        Check(attributes != INVALID_FILE_ATTRIBUTES &&
                  ::SetFileAttributesW(path.c_str(), attributes | entry.marks),
              L"mark", path);
      }
    }
  }
  if (!layout->label.empty()) {
    Check(::SetVolumeLabelW(root.c_str(), Wide(layout->label).c_str()), L"label", root);
  }
  ::CoUninitialize();
  std::wprintf(L"laid %ls out on %ls\n", id.c_str(), root.c_str());
  return failed ? 1 : 0;
}
