#include "remedy/protected_list.h"

#include <algorithm>
#include <array>

#include "platform/common/case_text.h"

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
  const std::string_view root = directory.substr(0, 3);
  paths_.clear();
  for (const std::string_view name : kRootFiles)
    paths_.push_back(LowerText(folding_, std::string(root) += name));
  for (const std::string_view name : kWindowsFiles) {
    paths_.push_back(LowerText(folding_, std::string(directory) += name));
  }
}

bool ProtectedList::IsProtected(std::string_view path) const {
  return std::ranges::find(paths_, LowerText(folding_, path)) != paths_.end();
}

}  // namespace kestrix
