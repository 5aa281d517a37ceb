// Case-insensitive text operations on UTF-8, folding letters through the
// platform's CaseFolding one code point at a time. Bytes that are not valid
// UTF-8 stand for themselves and never fold.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kestrix {

std::string LowerText(const CaseFolding& folding, std::string_view text);

// Appends a code point as UTF-8.
void AppendUtf8(std::string& out, char32_t cp);

// True when every byte is below 0x80. Between ASCII texts, folding is
// ASCII's own, byte for byte.
bool IsAscii(std::string_view text);
inline char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }
inline char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c; }
// Both texts compared whole, ASCII letters in either case.
inline bool EqualAsciiNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return AsciiUpper(x) == AsciiUpper(y); });
}

// Both texts lower-cased and compared whole.
bool EqualNoCase(const CaseFolding& folding, std::string_view a, std::string_view b);

struct TextMatch {
  std::size_t begin = 0;  // byte offsets into the searched text
  std::size_t end = 0;
};

// The first occurrence of `pattern` in `text` at or after byte `from`,
// ignoring letter case. Linear in the text for the short patterns used here.
std::optional<TextMatch> FindNoCase(const CaseFolding& folding, std::string_view text,
                                    std::string_view pattern, std::size_t from = 0);

// Every occurrence of `pattern` replaced, ignoring case; the replacement is
// not searched again.
std::string ReplaceAllNoCase(const CaseFolding& folding, std::string_view text, std::string_view pattern,
                             std::string_view replacement);

// Without leading and trailing characters of code 32 or below (blanks and
// control characters).
std::string_view TrimControls(std::string_view text);

}  // namespace kestrix
