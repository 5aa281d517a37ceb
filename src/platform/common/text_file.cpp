#include "platform/common/text_file.h"

#include <utf8.h>

namespace kestrix {

namespace {
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
}  // namespace

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

std::vector<std::string> TextFileLines(std::string_view bytes, const AnsiDecoder& decodeAnsi) {
  if (const auto nul = bytes.find('\0'); nul != std::string_view::npos) bytes = bytes.substr(0, nul);
  if (bytes.starts_with(kUtf8Bom)) {
    bytes.remove_prefix(kUtf8Bom.size());
    if (IsValidUtf8(bytes)) return SplitLines(bytes);
    // A mark followed by broken UTF-8: keep what decodes, mark the rest.
    std::string repaired;
    utf8::replace_invalid(bytes.begin(), bytes.end(), std::back_inserter(repaired));
    return SplitLines(repaired);
  }
  if (IsValidUtf8(bytes)) return SplitLines(bytes);
  return SplitLines(decodeAnsi(bytes));
}

}  // namespace kestrix
