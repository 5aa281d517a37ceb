// ANSI text (a Windows code page) to UTF-8 on a POSIX system.
#pragma once

#include <string>
#include <string_view>

namespace kestrix::posix {

// Decodes `bytes` from Windows code page `codePage` (1252, 936, 950, ...).
// A byte that does not decode becomes U+FFFD and decoding resumes at the
// next byte (the five bytes code page 1252 leaves undefined read as the C1
// controls of the same value, as on Windows); a code page this system cannot decode is read
// as 1252. Never throws on any input and takes time linear in its size.
std::string DecodeAnsi(std::string_view bytes, int codePage);

}  // namespace kestrix::posix
