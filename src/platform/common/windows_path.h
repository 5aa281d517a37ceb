// Windows paths taken apart by text alone, the way Windows itself completes
// and spells them before it looks anything up.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrix {

// A full path on a drive letter: the letter (upper case) and the names
// below its root.
struct DrivePath {
  char drive = 0;
  std::vector<std::string> names;

  // "E:\sub\x.exe"; "E:\" for the root.
  std::string Text() const;
};

// Completes and spells a path as Windows does: either separator, doubled
// separators ignored, "." and ".." applied (never above the root), trailing
// dots and blanks of each name dropped. A rooted path ("\x") lies on the
// drive of `currentDirectory`, a relative one below it; "E:x" lies below the
// current directory when that is on E:, else below E:'s root. nullopt for
// UNC and device paths, for a path with a NUL, and for a rooted or relative
// path when `currentDirectory` is no drive path.
std::optional<DrivePath> ParseDrivePath(std::string_view path, std::string_view currentDirectory = {});

// The path as ParseDrivePath spells it, or as it stands when it names no
// drive path; for comparing paths.
std::string NormalizePathSpelling(std::string_view path, std::string_view currentDirectory = {});

}  // namespace kestrix
