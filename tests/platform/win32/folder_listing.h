// The names in a folder as Windows lists them, for the Win32 tests.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/win32/win32_machine.h"

namespace kestrix::win32 {

// The names in a folder, hidden ones too, sorted.
inline std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW(Widen(folder + "\\*").c_str(), &found);
  for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(search, &found)) {
    const std::string name = Narrow(found.cFileName);
    if (name != "." && name != "..") names.push_back(name);
  }
  if (search != INVALID_HANDLE_VALUE) ::FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace kestrix::win32
