#include "platform/win32/system_path.h"

#include <windows.h>

#include "platform/win32/win32_files.h"
#include "platform/win32/win32_machine.h"

namespace kestrix::win32 {

std::optional<std::wstring> WidePath(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
  return Widen(path);
}

std::wstring FullWidePath(const std::wstring& path) {
  const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return {};
  std::wstring full(needed, L'\0');
  const DWORD length = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return {};
  full.resize(length);
  return full;
}

// The names Windows makes short all hold a tilde, so a path without one is
// left alone: asking costs a directory search per name (under Wine, a tenth
// of a millisecond each).
std::wstring LongWidePath(const std::wstring& path) {
  if (path.find(L'~') == std::wstring::npos) return path;
  const auto expand = [](const std::wstring& shortPath) -> std::optional<std::wstring> {
    const DWORD needed = ::GetLongPathNameW(shortPath.c_str(), nullptr, 0);
    if (needed == 0) return std::nullopt;
    std::wstring expanded(needed, L'\0');
    const DWORD length = ::GetLongPathNameW(shortPath.c_str(), expanded.data(), needed);
    if (length == 0 || length >= needed) return std::nullopt;
    expanded.resize(length);
    return expanded;
  };
  if (auto expanded = expand(path)) return *expanded;
  // A path of MAX_PATH or more is expanded only in its unlimited form.
  if (path.size() < MAX_PATH) return path;
  const auto expanded = expand(ExtendedPath(path));
  return expanded ? PlainPath(*expanded) : path;
}

std::wstring SystemPath(std::string_view path) {
  const auto wide = WidePath(path);
  const std::wstring full = wide ? FullWidePath(*wide) : std::wstring();
  return full.empty() ? full : ExtendedPath(LongWidePath(full));
}

std::optional<wchar_t> NamedDriveLetter(std::wstring_view path) {
  const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  if (path.size() >= 4 && separator(path[0]) && (separator(path[1]) || path[1] == L'?') &&
      (path[2] == L'?' || path[2] == L'.') && separator(path[3])) {
    path.remove_prefix(4);
  }
  if (path.size() < 2 || path[1] != L':') return std::nullopt;
  const wchar_t letter = path[0];
  if ((letter >= L'a' && letter <= L'z') || (letter >= L'A' && letter <= L'Z')) return letter;
  return std::nullopt;
}

}  // namespace kestrix::win32
