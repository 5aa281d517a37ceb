#include "findings/protected_list.h"

#include <algorithm>
#include <array>

#include "platform/common/case_text.h"
#include "platform/common/windows_path.h"

namespace kestrix {

namespace {

// On the drive root of the Windows directory.
constexpr std::array<std::string_view, 8> kRootFiles = {
    "boot.ini", "boot.bin", "bootfont.bin", "hiberfil.sys", "NTDETECT.COM", "ntldr", "OSLDR", "pagefile.sys",
};

// In the Windows directory.
constexpr std::array<std::string_view, 17> kWindowsFiles = {
    "win.ini",
    "regedit.exe",
    "explorer.exe",
    "TASKMAN.EXE",
    "hh.exe",
    "winhelp.exe",
    "winhlp32.exe",
    "system32\\ntsd.exe",
    "system32\\mmc.exe",
    "system32\\ntdll.dll",
    "system32\\ntoskrnl.exe",
    "system32\\ntvdm.exe",
    "system32\\rundll32.exe",
    "system32\\regedt32.exe",
    "system32\\taskmgr.exe",
    "system32\\user.exe",
    "system32\\userinit.exe",
};

}  // namespace

void ProtectedList::BuildProtectedList(std::string_view directory) {
  if (directory.size() <= 3) return;
  // "C:/WINDOWS" names the same folder as "C:\WINDOWS\" and must protect the same files.
  const std::string windowsDirectory = NormalizePathSpelling(directory);
  if (windowsDirectory.size() <= 3) return;
  const std::string root = windowsDirectory.substr(0, 3);
  paths_.clear();
  for (const std::string_view name : kRootFiles)
    paths_.push_back(ComparableSpelling(root + std::string(name)));
  for (const std::string_view name : kWindowsFiles) {
    paths_.push_back(ComparableSpelling(windowsDirectory + "\\" + std::string(name)));
  }
}

std::string ProtectedList::ComparableSpelling(std::string_view path) const {
  return LowerText(folding_, NormalizePathSpelling(path));
}

bool ProtectedList::IsProtected(std::string_view path) const {
  if (std::ranges::find(paths_, ComparableSpelling(files_.FullPathName(path))) != paths_.end()) return true;
  const auto identity = files_.IdentifyFile(path);
  return identity && std::ranges::any_of(paths_, [&](const std::string& protectedPath) {
           return files_.IdentifyFile(protectedPath) == identity;
         });
}

}  // namespace kestrix
