// A path from the engine in the form the system calls take: UTF-16, in
// full, short names spelled out, without a length limit. For the backend's
// own sources only.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrix::win32 {

// A path with a NUL in it would name the shorter path before the NUL: a
// different file from the one the caller means.
std::optional<std::wstring> WidePath(std::string_view path);

// Absolute, with ".", "..", doubled separators and trailing dots and blanks
// resolved; empty when the path cannot be completed.
std::wstring FullWidePath(const std::wstring& path);

// Short names (EXPLOR~1.EXE) in their long form; the path as given when it
// names nothing that exists.
std::wstring LongWidePath(const std::wstring& path);

// The path as the system calls take it: in full, short names spelled out,
// and in the form without a length limit; empty when it cannot be completed.
std::wstring SystemPath(std::string_view path);

// The drive letter a path names, also behind the prefixes Windows accepts
// before it (\\?\E:\x, \\.\E:\x, \??\E:\x); none for UNC and relative paths.
std::optional<wchar_t> NamedDriveLetter(std::wstring_view path);

}  // namespace kestrix::win32
