#pragma once

#include <string>
#include <string_view>

namespace kestrix {

// The format with its one "%s" or "%d" replaced by `value`.
inline std::string FormatText(std::string_view format, std::string_view value) {
  std::string text(format);
  for (const std::string_view conversion : {"%s", "%d"}) {
    if (const auto at = text.find(conversion); at != std::string::npos) return text.replace(at, 2, value);
  }
  return text;
}

inline std::string FormatText(std::string_view format, long long value) {
  return FormatText(format, std::to_string(value));
}

}  // namespace kestrix
