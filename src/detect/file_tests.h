// The two tests every detection step is made of, and the one error that
// ends a sweep.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/handler_error.h"
#include "platform/platform.h"

namespace kestrix {

// 1-based byte position of the first occurrence of `pattern` in `text`,
// ignoring letter case and nothing else; 0 when absent. A test seam: the
// rules match through FindNoCase, which this shows the folding of.
std::size_t PosNoCase(const CaseFolding& folding, std::string_view pattern, std::string_view text);

// True when the path names an existing file (not a directory) whose
// attributes could be reset to normal. Resetting them is the point: every
// file a sweep tests loses its read-only, hidden and system marks, and a
// file whose marks cannot be cleared counts as absent.
bool ExistsAndClearAttributes(Files& files, std::string_view path);

// A file that exists but cannot be read. It ends the running sweep.
class FileOpenError : public HandlerError {
 public:
  FileOpenError(std::string_view path, std::string_view reason);
};

// Hands the file's lines to `onLine` one at a time, or raises FileOpenError.
void ReadTextFile(Files& files, std::string_view path, const TextLineSink& onLine);

// A line of a text file and its number in the file.
struct TextLine {
  std::string text;
  std::size_t number = 0;  // 0 where the line comes from no file

  TextLine(std::string lineText, std::size_t lineNumber = 0) : text(std::move(lineText)), number(lineNumber) {}
  TextLine(const char* lineText) : text(lineText) {}
  bool operator==(const TextLine& other) const { return text == other.text; }
  bool operator==(std::string_view other) const { return text == other; }
};

}  // namespace kestrix
