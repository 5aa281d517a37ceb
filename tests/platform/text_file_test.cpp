#include "platform/common/text_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/common/case_text.h"

namespace kestrix {
namespace {

using Lines = std::vector<std::string>;

// Reads bytes as Latin-1 and marks what went through the ANSI decoder, so a
// test sees which path a text took.
std::string MarkAnsi(std::string_view bytes) {
  std::string text = "<";
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      text += c;
    } else {
      text += static_cast<char>(0xC0 | (byte >> 6));
      text += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return text + ">";
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
      {"ok\0\xE9"s, {"ok"}},  // what follows the NUL cannot make the text ANSI
      {bom + "café\r\nx", {"café", "x"}},
      {"café", {"café"}},
      {"caf\xE9\r\nx", {"<café>", "<x>"}},  // split, then decoded a line at a time
      {bom + "a\xE9", {"a\uFFFD"}},          // a mark means UTF-8 even when broken
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TextFileLines(c.bytes, MarkAnsi), c.lines) << testing::PrintToString(c.bytes);
  }
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
