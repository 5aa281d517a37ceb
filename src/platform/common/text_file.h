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

// An open file, read from its start in chunks.
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  // Fills up to the whole buffer; 0 at the end of the file, nullopt on an
  // error with the system's reason in `reason`.
  virtual std::optional<std::size_t> Read(std::span<char> buffer, std::string& reason) = 0;
  // Goes back to the first byte; false on an error.
  virtual bool Rewind(std::string& reason) = 0;
};

// Bytes held in memory.
class MemoryByteReader final : public ByteReader {
 public:
  explicit MemoryByteReader(std::string_view bytes) : bytes_(bytes) {}
  std::optional<std::size_t> Read(std::span<char> buffer, std::string& reason) override;
  bool Rewind(std::string& reason) override;

 private:
  std::string_view bytes_;
  std::size_t position_ = 0;
};

// Text files are ANSI text, except that a file that starts with a UTF-8
// byte-order mark, or is valid UTF-8 throughout, is UTF-8. A NUL byte ends
// the text; CR LF, CR and LF end a line; a line longer than
// kMaxTextLineBytes keeps only its first part. The file is read twice, once
// to tell its encoding and once for its lines, in memory bounded by the
// longest kept line whatever the file's size. False when reading fails.
bool ReadTextLines(ByteReader& reader, const AnsiDecoder& decodeAnsi, const TextLineSink& onLine,
                   std::string& reason);

// The lines of bytes held in memory, as ReadTextLines gives them.
std::vector<std::string> TextFileLines(std::string_view bytes, const AnsiDecoder& decodeAnsi);

bool IsValidUtf8(std::string_view bytes);

// Splits at CR LF, CR or LF. A final line end does not start another line;
// an empty text has no lines.
std::vector<std::string> SplitLines(std::string_view text);

}  // namespace kestrix
