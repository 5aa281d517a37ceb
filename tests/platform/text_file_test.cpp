#include "platform/common/text_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <vector>

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

// Fills `chunks` buffers, then fails.
struct FailingAfter final : ByteReader {
  std::optional<std::size_t> Read(std::span<char> buffer, std::string& reason) override {
    if (chunks-- == 0) {
      reason = "gone";
      return std::nullopt;
    }
    std::ranges::fill(buffer, 'x');
    return buffer.size();
  }
  int chunks;
};

TEST(ReadUpTo, ReadsToTheEndOrPastTheBoundAndFailsOnAFailedRead) {
  const struct {
    std::size_t size;
    int failAfter;  // chunks given before a read fails; -1: `size` bytes, then the end
    std::size_t bound;
    std::optional<std::size_t> held;  // nullopt: ReadUpTo fails
  } cases[] = {
      {0, -1, 10, 0},
      {3, -1, 10, 3},
      {10000, -1, 4096, 4096},
      {10000, -1, 4097, 8192},
      {10000, -1, 20000, 10000},
      {0, 2, 4097, 8192},
      {0, 0, 10, std::nullopt},
  };
  for (const auto& c : cases) {
    const std::string bytes(c.size, 'x');
    MemoryByteReader memory(bytes);
    FailingAfter failing;
    failing.chunks = c.failAfter;
    ByteReader& reader = c.failAfter < 0 ? static_cast<ByteReader&>(memory) : failing;
    std::string held;
    std::string reason;
    const bool read = ReadUpTo(reader, c.bound, held, reason);
    EXPECT_EQ(read ? std::optional(held.size()) : std::nullopt, c.held) << c.size << " up to " << c.bound;
  }
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

}  // namespace
}  // namespace kestrix
