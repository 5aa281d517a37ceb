#include "platform/common/text_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/common/case_text.h"

namespace kestrix {
namespace {

using Lines = std::vector<std::string>;

// Reads bytes as Latin-1, standing in for the ANSI code page.
std::string Latin1(std::string_view bytes) {
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      text += c;
    } else {
      text += static_cast<char>(0xC0 | (byte >> 6));
      text += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return text;
}

// UTF-16 bytes with their byte-order mark.
std::string Utf16(std::u16string_view text, bool bigEndian) {
  std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (const char16_t unit : text) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    bytes += bigEndian ? high : low;
    bytes += bigEndian ? low : high;
  }
  return bytes;
}

TEST(TextFileLines, SplitsDecodesAndStopsAtNul) {
  using namespace std::string_literals;
  const std::string bom = "\xEF\xBB\xBF";
  const struct {
    std::string bytes;
    Lines lines;
  } cases[] = {
      {"a\r\nb\rc\nd", {"a", "b", "c", "d"}},
      {"a\n\nb\n", {"a", "", "b"}},
      {"\r\n\r\n", {"", ""}},
      {"a\n\r", {"a", ""}},  // LF CR is two line ends, not one
      {"", {}},
      {"ab\0cd\nef"s, {"ab"}},
      {bom + "café\r\nx", {"café", "x"}},
      {bom + "a\xE9", {"a\uFFFD"}},  // a mark means UTF-8 even when broken
      // Without a mark, ANSI; a line that is UTF-8 as well is read both ways,
      // the ANSI reading first, and no line changes how another one reads.
      {"caf\xE9\r\nx", {"café", "x"}},
      {"café", {"cafÃ©", "café"}},
      {"café\r\n# \xE9", {"cafÃ©", "café", "# é"}},
      {Utf16(u"open=路.exe\r\n[x]", false), {"open=路.exe", "[x]"}},
      {Utf16(u"open=路.exe\r\n[x]", true), {"open=路.exe", "[x]"}},
      {Utf16(u"a\U0001F600\nb", false), {"a\U0001F600", "b"}},  // a surrogate pair
      {Utf16(u"a\xD800z\nb\0c"s, false), {"a\uFFFDz", "b"}},   // a lone surrogate; NUL ends
      {Utf16(u"ab", false) + "x", {"ab\uFFFD"}},                // an odd byte at the end
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TextFileLines(c.bytes, Latin1), c.lines) << testing::PrintToString(c.bytes);
  }
  // Whatever the decoder gives, the lines are UTF-8.
  const Lines repaired = TextFileLines("\xF5\x83", [](std::string_view bytes) { return std::string(bytes); });
  ASSERT_EQ(repaired.size(), 1u);
  EXPECT_TRUE(IsValidUtf8(repaired[0]));
}

// Folds Latin-1 capitals and the Kelvin sign, whose lower case is shorter in UTF-8.
struct LatinFolding final : CaseFolding {
  char32_t ToLower(char32_t c) const override {
    if (c == 0x212A) return U'k';
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
    return c;
  }
};

TEST(FindNoCase, FoldsNonAsciiAndAnswersByteOffsetsOfTheText) {
  const LatinFolding folding;
  const struct {
    std::string_view text, pattern;
    std::size_t from;
    std::optional<std::pair<std::size_t, std::size_t>> match;
  } cases[] = {
      {"xÉcole", "éCOLE", 0, {{1, 7}}},  {"été", "ÉTÉ", 0, {{0, 5}}}, {"abÉ abé", "ABé", 1, {{5, 9}}},
      {"\u212Aey", "KEY", 0, {{0, 5}}},   // Kelvin sign: 3 bytes for one 'k'
      {"café", "cafe", 0, std::nullopt},  // folding case keeps accents
      {"ab\xE9", "é", 0, std::nullopt},   // a stray byte is no letter
  };
  for (const auto& c : cases) {
    const auto found = FindNoCase(folding, c.text, c.pattern, c.from);
    ASSERT_EQ(found.has_value(), c.match.has_value()) << c.text;
    if (found) {
      EXPECT_EQ(found->begin, c.match->first) << c.text;
      EXPECT_EQ(found->end, c.match->second) << c.text;
    }
  }
}

}  // namespace
}  // namespace kestrix
