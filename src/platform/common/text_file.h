// How a text file's bytes become lines, the same on every backend.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kestrix {

// Turns ANSI bytes (no NUL among them) into UTF-8.
using AnsiDecoder = std::function<std::string(std::string_view)>;

// Bytes held in memory.
class MemoryByteReader final : public ByteReader {
 public:
  explicit MemoryByteReader(std::string_view bytes) : bytes_(bytes) {}
  std::optional<std::size_t> Read(std::span<char> buffer, std::string& reason) override;

 private:
  std::string_view bytes_;
  std::size_t position_ = 0;
};

// Reads `reader` to its end, or until `bound` bytes or more are held (the
// last chunk read may take them past it), appending to `bytes`. False when a
// read fails, with its reason.
bool ReadUpTo(ByteReader& reader, std::size_t bound, std::string& bytes, std::string& reason);

// How Windows reads a text file: a byte-order mark (UTF-8, UTF-16 LE or BE)
// decides; without one the text is ANSI, and a line that is valid UTF-8 as
// well is given in both readings, the ANSI one first (once where they read
// the same). Whatever the decoder does, the lines are valid UTF-8. A NUL
// ends the text; CR LF, CR and LF end a line; a line longer than
// kMaxTextLineBytes keeps only its first part. The file is read once, in
// memory bounded by the longest kept line whatever its size. False when
// reading fails.
bool ReadTextLines(ByteReader& reader, const AnsiDecoder& decodeAnsi, const TextLineSink& onLine,
                   std::string& reason);

// The lines of bytes held in memory, as ReadTextLines gives them.
std::vector<std::string> TextFileLines(std::string_view bytes, const AnsiDecoder& decodeAnsi);

bool IsValidUtf8(std::string_view bytes);

}  // namespace kestrix
