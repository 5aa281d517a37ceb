#include "platform/common/text_file.h"

#include <utf8.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace kestrix {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::size_t kChunkBytes = 64 * 1024;

// Checks UTF-8 a byte at a time, so a file can be checked in chunks:
// overlong forms, surrogates and code points beyond U+10FFFF are invalid.
class Utf8Checker {
 public:
  void Feed(unsigned char byte) {
    if (!valid_) return;
    if (pending_ == 0) {
      Start(byte);
      return;
    }
    if (byte < low_ || byte > high_) {
      valid_ = false;
      return;
    }
    low_ = 0x80;
    high_ = 0xBF;
    --pending_;
  }
  bool Valid() const { return valid_ && pending_ == 0; }

 private:
  void Start(unsigned char byte) {
    if (byte < 0x80) return;
    low_ = 0x80;
    high_ = 0xBF;
    if (byte >= 0xC2 && byte <= 0xDF) {
      pending_ = 1;
    } else if (byte >= 0xE0 && byte <= 0xEF) {
      pending_ = 2;
      if (byte == 0xE0) low_ = 0xA0;
      if (byte == 0xED) high_ = 0x9F;
    } else if (byte >= 0xF0 && byte <= 0xF4) {
      pending_ = 3;
      if (byte == 0xF0) low_ = 0x90;
      if (byte == 0xF4) high_ = 0x8F;
    } else {
      valid_ = false;
    }
  }

  bool valid_ = true;
  int pending_ = 0;
  unsigned char low_ = 0x80;
  unsigned char high_ = 0xBF;
};

enum class Encoding { kUtf8WithMark, kUtf8, kAnsi };

// The first reading: how the text up to its first NUL is encoded.
std::optional<Encoding> DetectEncoding(ByteReader& reader, std::string& reason) {
  std::array<char, kChunkBytes> chunk;
  Utf8Checker checker;
  std::string head;  // enough of the start to see a byte-order mark
  for (;;) {
    const auto got = reader.Read(chunk, reason);
    if (!got) return std::nullopt;
    if (*got == 0) break;
    const std::string_view bytes(chunk.data(), *got);
    const std::size_t nul = bytes.find('\0');
    const std::string_view text = bytes.substr(0, nul);
    if (head.size() < kUtf8Bom.size()) head.append(text.substr(0, kUtf8Bom.size() - head.size()));
    for (const char c : text) checker.Feed(static_cast<unsigned char>(c));
    if (nul != std::string_view::npos) break;
  }
  if (head.starts_with(kUtf8Bom)) return Encoding::kUtf8WithMark;
  return checker.Valid() ? Encoding::kUtf8 : Encoding::kAnsi;
}

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
      const std::size_t end = std::min(bytes.find_first_of(std::string_view("\r\n\0", 3), i), bytes.size());
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
    if (line_.size() >= kMaxTextLineBytes && encoding_ != Encoding::kAnsi) CutToCharacter(line_);
    switch (encoding_) {
      case Encoding::kUtf8:
        onLine_(line_);
        break;
      case Encoding::kUtf8WithMark:
        // A mark followed by broken UTF-8: keep what decodes, mark the rest.
        onLine_(ValidUtf8(line_));
        break;
      case Encoding::kAnsi:
        onLine_(ValidUtf8(decodeAnsi_(line_)));
        break;
    }
    line_.clear();
  }

  Encoding encoding_;
  const AnsiDecoder& decodeAnsi_;
  const TextLineSink& onLine_;
  std::string line_;
  bool afterCr_ = false;
};

}  // namespace

std::optional<std::size_t> MemoryByteReader::Read(std::span<char> buffer, std::string& /*reason*/) {
  const std::size_t count = std::min(buffer.size(), bytes_.size() - position_);
  std::memcpy(buffer.data(), bytes_.data() + position_, count);
  position_ += count;
  return count;
}

bool MemoryByteReader::Rewind(std::string& /*reason*/) {
  position_ = 0;
  return true;
}

bool IsValidUtf8(std::string_view bytes) { return utf8::is_valid(bytes.begin(), bytes.end()); }

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\r' && c != '\n') continue;
    lines.emplace_back(text.substr(start, i - start));
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

bool ReadTextLines(ByteReader& reader, const AnsiDecoder& decodeAnsi, const TextLineSink& onLine,
                   std::string& reason) {
  const auto encoding = DetectEncoding(reader, reason);
  if (!encoding || !reader.Rewind(reason)) return false;

  LineSplitter splitter(*encoding, decodeAnsi, onLine);
  std::array<char, kChunkBytes> chunk;
  std::size_t skip = *encoding == Encoding::kUtf8WithMark ? kUtf8Bom.size() : 0;
  for (;;) {
    const auto got = reader.Read(chunk, reason);
    if (!got) return false;
    if (*got == 0) break;
    std::string_view bytes(chunk.data(), *got);
    const std::size_t skipped = std::min(skip, bytes.size());
    bytes.remove_prefix(skipped);
    skip -= skipped;
    if (!splitter.Feed(bytes)) return true;
  }
  splitter.Finish();
  return true;
}

std::vector<std::string> TextFileLines(std::string_view bytes, const AnsiDecoder& decodeAnsi) {
  std::vector<std::string> lines;
  MemoryByteReader reader(bytes);
  std::string reason;
  ReadTextLines(
      reader, decodeAnsi, [&](std::string_view line) { lines.emplace_back(line); }, reason);
  return lines;
}

}  // namespace kestrix
