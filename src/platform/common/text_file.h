// How a text file's bytes become lines, the same on every backend.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrix {

// Turns ANSI bytes (no NUL among them) into UTF-8.
using AnsiDecoder = std::function<std::string(std::string_view)>;

// Text files are ANSI text, except that a file that starts with a UTF-8
// byte-order mark, or is valid UTF-8 throughout, is UTF-8. A NUL byte ends
// the text; CR LF, CR and LF end a line.
std::vector<std::string> TextFileLines(std::string_view bytes, const AnsiDecoder& decodeAnsi);

bool IsValidUtf8(std::string_view bytes);

// Splits at CR LF, CR or LF. A final line end does not start another line;
// an empty text has no lines.
std::vector<std::string> SplitLines(std::string_view text);

}  // namespace kestrix
