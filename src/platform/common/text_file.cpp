#include "platform/common/text_file.h"

#include <utf8.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/common/case_text.h"

namespace kestrix {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
constexpr std::string_view kUtf16BeBom = "\xFE\xFF";
constexpr std::size_t kChunkBytes = 64 * 1024;

enum class Encoding { kAnsi, kUtf8, kUtf16Le, kUtf16Be };

// What the engine is given is UTF-8 whatever the decoder made of the bytes:
// iconv's UTF-8 to UTF-8 passes code points beyond U+10FFFF through.
std::string ValidUtf8(std::string text) {
  if (IsValidUtf8(text)) return text;
  std::string repaired;
  utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(repaired));
  return repaired;
}

// A line cut at the length bound must not end inside a UTF-8 sequence.
void CutToCharacter(std::string& line) {
  std::size_t end = line.size();
  std::size_t back = 0;
  while (end > 0 && back < 3 && (static_cast<unsigned char>(line[end - 1]) & 0xC0) == 0x80) {
    --end;
    ++back;
  }
  if (end == 0) return;
  const auto lead = static_cast<unsigned char>(line[end - 1]);
  const std::size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : 4;
  if (lead >= 0xC0 && length > back + 1) line.resize(end - 1);
}

// Collects the bytes of one line at a time and hands each on, decoded.
class LineSplitter {
 public:
  LineSplitter(Encoding encoding, const AnsiDecoder& decodeAnsi, const TextLineSink& onLine)
      : encoding_(encoding), decodeAnsi_(decodeAnsi), onLine_(onLine) {}

  // False once a NUL has ended the text.
  bool Feed(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const char c = bytes[i];
      if (c == '\0') {
        Finish();
        return false;
      }
      if (afterCr_ && c == '\n') {
        afterCr_ = false;
        continue;
      }
      afterCr_ = false;
      if (c == '\r' || c == '\n') {
        Emit();
        afterCr_ = c == '\r';
        continue;
      }
      // Plain bytes up to the next line end, NUL or the length bound go in at once.
      const auto isEnd = [](char b) { return b == '\r' || b == '\n' || b == '\0'; };
      const auto end = static_cast<std::size_t>(std::find_if(bytes.begin() + i, bytes.end(), isEnd) - bytes.begin());
      const std::size_t room = kMaxTextLineBytes - std::min(line_.size(), kMaxTextLineBytes);
      line_.append(bytes.substr(i, std::min(end - i, room)));
      i = end - 1;
    }
    return true;
  }

  // The last line, when the text does not end with a line end.
  void Finish() {
    if (!line_.empty()) Emit();
  }

 private:
  void Emit() {
    ++number_;
    if (encoding_ != Encoding::kAnsi) {
      if (line_.size() >= kMaxTextLineBytes) CutToCharacter(line_);
      onLine_(ValidUtf8(std::move(line_)), number_);
    } else if (IsAscii(line_)) {
      // Every ANSI code page reads ASCII as itself.
      onLine_(line_, number_);
    } else {
      // Windows reads a file without a byte-order mark as ANSI. A user's
      // own file saved as UTF-8 without one (as Notepad saves) should
      // still mean what it says, so a line that is also valid UTF-8 is
      // given in that reading too, after the ANSI one, unless both read
      // the same. Each line is judged alone.
      const std::string ansi = ValidUtf8(decodeAnsi_(line_));
      onLine_(ansi, number_);
      if (IsValidUtf8(line_) && line_ != ansi) onLine_(line_, number_);
    }
    line_.clear();
  }

  Encoding encoding_;
  const AnsiDecoder& decodeAnsi_;
  const TextLineSink& onLine_;
  std::string line_;
  bool afterCr_ = false;
  std::size_t number_ = 0;
};

// Turns UTF-16 into UTF-8 a chunk at a time: a code unit or a surrogate pair
// may be split between chunks. A lone surrogate becomes U+FFFD.
class Utf16Converter {
 public:
  explicit Utf16Converter(bool bigEndian) : bigEndian_(bigEndian) {}

  // Appends the UTF-8 of `bytes`; at a NUL code unit, a NUL and false.
  bool Convert(std::string_view bytes, std::string& out) {
    for (const char c : bytes) {
      const auto byte = static_cast<unsigned char>(c);
      if (oddByte_ < 0) {
        oddByte_ = byte;
        continue;
      }
      const auto first = static_cast<unsigned>(oddByte_);
      const auto unit = static_cast<char16_t>(bigEndian_ ? (first << 8) | byte : (unsigned{byte} << 8) | first);
      oddByte_ = -1;
      if (unit == 0) {
        Flush(out);
        out += '\0';  // the end of the text, for the line splitter too
        return false;
      }
      Take(unit, out);
    }
    return true;
  }

  // What is left at the end of the text.
  void Flush(std::string& out) {
    if (high_ != 0 || oddByte_ >= 0) Append(kReplacement, out);
    high_ = 0;
    oddByte_ = -1;
  }

 private:
  static constexpr char32_t kReplacement = 0xFFFD;

  static bool IsHigh(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
  static bool IsLow(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
  static void Append(char32_t codePoint, std::string& out) { utf8::append(codePoint, std::back_inserter(out)); }

  void Take(char16_t unit, std::string& out) {
    if (high_ != 0 && IsLow(unit)) {
      Append(0x10000 + ((char32_t{high_} - 0xD800) << 10) + (unit - 0xDC00), out);
      high_ = 0;
      return;
    }
    if (high_ != 0) Append(kReplacement, out);
    high_ = IsHigh(unit) ? unit : 0;
    if (high_ == 0) Append(IsLow(unit) ? kReplacement : char32_t{unit}, out);
  }

  bool bigEndian_;
  int oddByte_ = -1;    // the first byte of a code unit split between chunks
  char16_t high_ = 0;   // a high surrogate waiting for its low one
};

// A byte-order mark decides the encoding; without one the text is ANSI.
std::pair<Encoding, std::size_t> EncodingOf(std::string_view start) {
  if (start.starts_with(kUtf8Bom)) return {Encoding::kUtf8, kUtf8Bom.size()};
  if (start.starts_with(kUtf16LeBom)) return {Encoding::kUtf16Le, kUtf16LeBom.size()};
  if (start.starts_with(kUtf16BeBom)) return {Encoding::kUtf16Be, kUtf16BeBom.size()};
  return {Encoding::kAnsi, 0};
}

}  // namespace

std::optional<std::size_t> MemoryByteReader::Read(std::span<char> buffer, std::string& /*reason*/) {
  const std::size_t count = std::min(buffer.size(), bytes_.size() - position_);
  std::memcpy(buffer.data(), bytes_.data() + position_, count);
  position_ += count;
  return count;
}

bool ReadUpTo(ByteReader& reader, std::size_t bound, std::string& bytes, std::string& reason) {
  std::array<char, 4096> chunk;
  while (bytes.size() < bound) {
    const auto got = reader.Read(chunk, reason);
    if (!got) return false;
    if (*got == 0) break;
    bytes.append(chunk.data(), *got);
  }
  return true;
}

bool IsValidUtf8(std::string_view bytes) { return utf8::is_valid(bytes.begin(), bytes.end()); }

bool ReadTextLines(ByteReader& reader, const AnsiDecoder& decodeAnsi, const TextLineSink& onLine,
                   std::string& reason) {
  std::array<char, kChunkBytes> chunk;
  // The start of the file, until it is long enough to show a mark.
  std::string start;
  bool ended = false;
  while (start.size() < kUtf8Bom.size() && !ended) {
    const auto got = reader.Read(std::span(chunk).first(kUtf8Bom.size() - start.size()), reason);
    if (!got) return false;
    start.append(chunk.data(), *got);
    ended = *got == 0;
  }
  const auto [encoding, markSize] = EncodingOf(start);
  LineSplitter splitter(encoding, decodeAnsi, onLine);
  const bool isUtf16 = encoding == Encoding::kUtf16Le || encoding == Encoding::kUtf16Be;
  Utf16Converter utf16(encoding == Encoding::kUtf16Be);
  std::string converted;
  // False once a NUL has ended the text.
  const auto feed = [&](std::string_view bytes) {
    if (!isUtf16) return splitter.Feed(bytes);
    converted.clear();
    const bool more = utf16.Convert(bytes, converted);
    return splitter.Feed(converted) && more;
  };

  bool more = feed(std::string_view(start).substr(markSize));
  while (more && !ended) {
    const auto got = reader.Read(chunk, reason);
    if (!got) return false;
    ended = *got == 0;
    more = feed(std::string_view(chunk.data(), *got));
  }
  if (more) {
    if (isUtf16) {
      converted.clear();
      utf16.Flush(converted);
      splitter.Feed(converted);
    }
    splitter.Finish();
  }
  return true;
}

std::vector<std::string> TextFileLines(std::string_view bytes, const AnsiDecoder& decodeAnsi) {
  std::vector<std::string> lines;
  MemoryByteReader reader(bytes);
  std::string reason;
  ReadTextLines(
      reader, decodeAnsi, [&](std::string_view line, std::size_t) { lines.emplace_back(line); }, reason);
  return lines;
}

}  // namespace kestrix
