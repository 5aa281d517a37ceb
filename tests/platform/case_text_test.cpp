#include "platform/common/case_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>
#include <utility>

namespace kestrix {
namespace {

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
