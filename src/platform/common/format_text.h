#pragma once

#include <string>
#include <string_view>

namespace kestrix {

// The format with its one "%s" or "%d" replaced by `value`.
inline std::string FormatText(std::string_view format, std::string_view value) {
  for (const std::string_view conversion : {"%s", "%d"}) {
    if (const auto at = format.find(conversion); at != std::string_view::npos) {
      std::string text(format.substr(0, at));
      return text.append(value).append(format.substr(at + 2));
    }
  }
  return std::string(format);
}

inline std::string FormatText(std::string_view format, long long value) {
  return FormatText(format, std::to_string(value));
}

}  // namespace kestrix
