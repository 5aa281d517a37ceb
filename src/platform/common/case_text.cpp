#include "platform/common/case_text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace kestrix {

namespace {

struct Decoded {
  char32_t codePoint;
  std::size_t length;
};

constexpr Decoded Stray(unsigned char byte) { return {char32_t{0xDC00} + byte, 1}; }

// One code point of UTF-8 at `at`; an invalid byte decodes to a value no
// letter has (0xDC00 + byte), of length 1.
Decoded DecodeAt(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return {lead, 1};
  std::size_t length = 0;
  char32_t cp = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    cp = lead & 0x07;
  } else {
    return Stray(lead);
  }
  if (at + length > text.size()) return Stray(lead);
  for (std::size_t i = 1; i < length; ++i) {
    const auto b = static_cast<unsigned char>(text[at + i]);
    if ((b & 0xC0) != 0x80) return Stray(lead);
    cp = (cp << 6) | (b & 0x3F);
  }
  static constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return Stray(lead);
  return {cp, length};
}

char32_t Fold(const CaseFolding& folding, char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
  if (c >= 0xDC00 && c <= 0xDFFF) return c;  // an undecodable byte
  return folding.ToLower(c);
}

}  // namespace

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool IsAscii(std::string_view text) {
  // Eight bytes at a time: every rule line and path is asked.
  std::size_t at = 0;
  std::uint64_t high = 0;
  for (; at + 8 <= text.size(); at += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, text.data() + at, 8);
    high |= word;
  }
  for (; at < text.size(); ++at) high |= static_cast<unsigned char>(text[at]);
  return (high & 0x8080808080808080ULL) == 0;
}

std::string LowerText(const CaseFolding& folding, std::string_view text) {
  // Nearly every text is ASCII, lowered in place.
  std::string lower(text);
  bool ascii = true;
  for (char& c : lower) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      ascii = false;
      break;
    }
    c = AsciiLower(c);
  }
  if (ascii) return lower;
  lower.clear();
  for (std::size_t at = 0; at < text.size();) {
    const auto [cp, length] = DecodeAt(text, at);
    const char32_t folded = Fold(folding, cp);
    if (folded == cp) {
      lower.append(text.substr(at, length));
    } else {
      AppendUtf8(lower, folded);
    }
    at += length;
  }
  return lower;
}

bool EqualNoCase(const CaseFolding& folding, std::string_view a, std::string_view b) {
  return LowerText(folding, a) == LowerText(folding, b);
}

std::optional<TextMatch> FindNoCase(const CaseFolding& folding, std::string_view text,
                                    std::string_view pattern, std::size_t from) {
  // Nearly every search is between ASCII texts.
  if (from <= text.size() && IsAscii(pattern) && IsAscii(text.substr(from))) {
    const std::string_view rest = text.substr(from);
    const auto equal = [](char a, char b) { return AsciiLower(a) == AsciiLower(b); };
    const auto found = std::search(rest.begin(), rest.end(), pattern.begin(), pattern.end(), equal);
    if (found == rest.end() && !pattern.empty()) return std::nullopt;
    const std::size_t begin = from + static_cast<std::size_t>(found - rest.begin());
    return TextMatch{begin, begin + pattern.size()};
  }
  std::u32string folded;
  for (std::size_t at = 0; at < pattern.size();) {
    const auto [cp, length] = DecodeAt(pattern, at);
    folded += Fold(folding, cp);
    at += length;
  }
  if (folded.empty()) return from <= text.size() ? std::optional(TextMatch{from, from}) : std::nullopt;
  for (std::size_t at = from; at < text.size();) {
    const auto first = DecodeAt(text, at);
    if (Fold(folding, first.codePoint) == folded[0]) {
      std::size_t end = at + first.length;
      std::size_t matched = 1;
      while (matched < folded.size() && end < text.size()) {
        const auto next = DecodeAt(text, end);
        if (Fold(folding, next.codePoint) != folded[matched]) break;
        end += next.length;
        ++matched;
      }
      if (matched == folded.size()) return TextMatch{at, end};
    }
    at += first.length;
  }
  return std::nullopt;
}

std::string ReplaceAllNoCase(const CaseFolding& folding, std::string_view text, std::string_view pattern,
                             std::string_view replacement) {
  if (pattern.empty()) return std::string(text);
  std::string result;
  result.reserve(text.size());
  std::size_t copied = 0;
  while (const auto match = FindNoCase(folding, text, pattern, copied)) {
    result.append(text.substr(copied, match->begin - copied));
    result.append(replacement);
    copied = match->end;
  }
  result.append(text.substr(copied));
  return result;
}

std::string_view TrimControls(std::string_view text) {
  const auto isControl = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  while (!text.empty() && isControl(text.front())) text.remove_prefix(1);
  while (!text.empty() && isControl(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace kestrix
