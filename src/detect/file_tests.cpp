#include "detect/file_tests.h"

#include "platform/common/case_text.h"

namespace kestrix {

std::size_t PosNoCase(const CaseFolding& folding, std::string_view pattern, std::string_view text) {
  const auto match = FindNoCase(folding, text, pattern);
  return match ? match->begin + 1 : 0;
}

bool ExistsAndClearAttributes(Files& files, std::string_view path) {
  return files.FileExists(path) && files.ResetAttributes(path);
}

namespace {
std::string OpenErrorText(std::string_view path, std::string_view reason) {
  std::string text = "Cannot open file \"";
  text.append(path).append("\". ").append(reason);
  return text;
}
}  // namespace

FileOpenError::FileOpenError(std::string_view path, std::string_view reason)
    : HandlerError(OpenErrorText(path, reason)) {}

void ReadTextFile(Files& files, std::string_view path, const TextLineSink& onLine) {
  std::string reason;
  if (!files.ReadTextLines(path, onLine, reason)) throw FileOpenError(path, reason);
}

}  // namespace kestrix
