#include "platform/common/windows_path.h"

#include <algorithm>

#include "platform/common/case_text.h"

namespace kestrix {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool HasDriveLetter(std::string_view path) { return path.size() >= 2 && path[1] == ':' && IsAsciiLetter(path[0]); }

// Appends the names of `rest` to `names`. Windows ignores trailing dots and
// blanks of a name ("x.exe. " is "x.exe"), so a worm cannot hide a file
// behind them.
void AppendNames(std::string_view rest, std::vector<std::string>& names) {
  names.reserve(names.size() + static_cast<std::size_t>(std::ranges::count_if(rest, IsSeparator)) + 1);
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = start;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    std::string_view name = rest.substr(start, end - start);
    start = end + 1;
    if (name == "..") {
      if (!names.empty()) names.pop_back();
      continue;
    }
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.remove_suffix(1);
    if (!name.empty()) names.emplace_back(name);
  }
}

}  // namespace

std::string DrivePath::Text() const {
  std::string text{drive, ':', '\\'};
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += '\\';
    text += names[i];
  }
  return text;
}

std::optional<DrivePath> ParseDrivePath(std::string_view path, std::string_view currentDirectory) {
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
  if (HasDriveLetter(path) && path.size() >= 3 && IsSeparator(path[2])) {
    DrivePath full{.drive = AsciiUpper(path[0]), .names = {}};
    AppendNames(path.substr(3), full.names);
    return full;
  }
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return std::nullopt;  // UNC or device

  // Everything else depends on the current directory.
  std::optional<DrivePath> current;
  if (HasDriveLetter(currentDirectory) && currentDirectory.find('\0') == std::string_view::npos &&
      (currentDirectory.size() == 2 || IsSeparator(currentDirectory[2]))) {
    current = DrivePath{.drive = AsciiUpper(currentDirectory[0]), .names = {}};
    AppendNames(currentDirectory.substr(2), current->names);
  }
  if (HasDriveLetter(path)) {
    // "E:x": below the current directory when it is on E:, else below E:'s root.
    DrivePath full{.drive = AsciiUpper(path[0]), .names = {}};
    if (current && current->drive == full.drive) full.names = current->names;
    AppendNames(path.substr(2), full.names);
    return full;
  }
  if (!current) return std::nullopt;
  if (!path.empty() && IsSeparator(path[0])) current->names.clear();
  AppendNames(path, current->names);
  return current;
}

std::string NormalizePathSpelling(std::string_view path, std::string_view currentDirectory) {
  const auto full = ParseDrivePath(path, currentDirectory);
  return full ? full->Text() : std::string(path);
}

}  // namespace kestrix
