// Stick layouts of the shortcut gallery (tests/support/shortcut_gallery.txt):
// what a worm or a user left on a stick, and what a sweep and a clean must
// make of it. Read by the native tests and by the Wine layout maker alike.
//
//   layout worm|user ID        starts a layout; the "#" lines after it say
//                              what it reconstructs
//   label TEXT                 the volume's label
//   folder PATH | MARKS
//   file PATH | MARKS | BYTES  (BYTES as text; "\r\n" is a line break)
//   link PATH | MARKS | TARGET | WORKING-FOLDER | ARGUMENTS
//   expect PATH | CATEGORY     an entry the sweep lists, with its category
//   recover PATH               an entry that is visible after cleaning
//
// PATHs are drive-relative and '\'-separated; MARKS holds h (hidden), s
// (system) and r (read-only); "<U+XXXX>" in any field is that character;
// a TARGET may start with %SYSTEM% or %WINDOWS%, the system and Windows
// folders. The last field of a line takes the rest of it, '|' included.
#pragma once

#include <algorithm>
#include <cstdint>
#include <istream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrix::testing {

// The file attribute bits Windows gives these marks.
constexpr std::uint32_t kStickReadOnly = 0x1, kStickHidden = 0x2, kStickSystem = 0x4;

struct StickEntry {
  enum class Kind { kFolder, kFile, kLink };
  Kind kind = Kind::kFile;
  std::string path{};
  std::uint32_t marks = 0;
  std::string bytes{};   // a file's
  std::string target{};  // a shortcut's, with its working folder and arguments
  std::string workingFolder{};
  std::string arguments{};
};

struct StickLayout {
  std::string id{};
  bool worm = false;
  std::string about{};
  std::string label{};
  std::vector<StickEntry> entries{};
  std::vector<std::pair<std::string, std::string>> expected{};  // path, category
  std::vector<std::string> recovered{};
};

// `text` with each `from` replaced by `to`.
inline std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

// A shortcut's target with its leading %SYSTEM% or %WINDOWS% replaced by that folder.
template <class String>
String ExpandTarget(const String& target, const String& system, const String& windows) {
  for (const auto& [name, folder] :
       {std::pair<std::string_view, const String*>{"%SYSTEM%", &system}, {"%WINDOWS%", &windows}}) {
    if (target.size() >= name.size() && std::equal(name.begin(), name.end(), target.begin()))
      return *folder + target.substr(name.size());
  }
  return target;
}

// "<U+XXXX>" (below U+10000) as UTF-8.
inline std::string DecodeStickText(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!text.substr(i).starts_with("<U+") || i + 8 > text.size() || text[i + 7] != '>') {
      out += text[i];
      continue;
    }
    const auto c = static_cast<std::uint32_t>(std::stoul(std::string(text.substr(i + 3, 4)), nullptr, 16));
    if (c < 0x80)
      out += static_cast<char>(c);
    else if (c < 0x800)
      out += {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
    else
      out += {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
              static_cast<char>(0x80 | (c & 0x3F))};
    i += 7;
  }
  return out;
}

inline std::vector<StickLayout> ReadStickLayouts(std::istream& in) {
  const auto trim = [](std::string_view text) {
    text.remove_prefix(std::min(text.find_first_not_of(" \t"), text.size()));
    return text.substr(0, text.find_last_not_of(" \t\r") + 1);
  };
  std::vector<StickLayout> layouts;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const std::string_view text = trim(line);
    const auto fail = [&](const std::string& why) {
      throw std::runtime_error("shortcut gallery line " + std::to_string(number) + ": " + why);
    };
    if (text.empty()) continue;
    if (text.front() == '#') {
      if (!layouts.empty() && layouts.back().entries.empty())
        layouts.back().about += std::string(trim(text.substr(1))) + ' ';
      continue;
    }
    const std::size_t space = text.find(' ');
    const std::string_view keyword = text.substr(0, space);
    const auto fields = [&](std::size_t count) {
      std::vector<std::string> out;
      std::string_view rest = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
      for (std::size_t i = 0; i < count; ++i) {
        const std::size_t bar = i + 1 < count ? rest.find('|') : std::string_view::npos;
        out.push_back(DecodeStickText(trim(rest.substr(0, bar))));
        rest = bar == std::string_view::npos ? std::string_view() : rest.substr(bar + 1);
      }
      return out;
    };
    if (keyword == "layout") {
      const auto head = fields(1)[0];
      const std::size_t gap = head.find(' ');
      const std::string kind = head.substr(0, gap);
      if ((kind != "worm" && kind != "user") || gap == std::string::npos)
        fail("expected layout worm|user ID");
      layouts.push_back({.id = head.substr(gap + 1), .worm = kind == "worm"});
      continue;
    }
    if (layouts.empty()) fail("no layout yet");
    StickLayout& layout = layouts.back();
    if (keyword == "label") {
      layout.label = fields(1)[0];
    } else if (keyword == "expect") {
      const auto f = fields(2);
      if (f[1] != "病毒" && f[1] != "危险") fail("a category is 病毒 or 危险");
      layout.expected.emplace_back(f[0], f[1]);
    } else if (keyword == "recover") {
      layout.recovered.push_back(fields(1)[0]);
    } else if (keyword == "folder" || keyword == "file" || keyword == "link") {
      const StickEntry::Kind kind = keyword == "folder" ? StickEntry::Kind::kFolder
                                    : keyword == "file" ? StickEntry::Kind::kFile
                                                        : StickEntry::Kind::kLink;
      const auto f = fields(kind == StickEntry::Kind::kLink ? 5 : kind == StickEntry::Kind::kFile ? 3 : 2);
      StickEntry entry{.kind = kind, .path = f[0]};
      if (entry.path.empty() || f[1].find_first_not_of("hsr") != std::string::npos) fail("bad path or marks");
      for (const char mark : f[1])
        entry.marks |= mark == 'h' ? kStickHidden : mark == 's' ? kStickSystem : kStickReadOnly;
      if (kind == StickEntry::Kind::kFile)
        entry.bytes = f[2].empty() ? "the bytes of " + entry.path : ReplaceAll(f[2], "\\r\\n", "\r\n");
      if (kind == StickEntry::Kind::kLink) {
        if (f[2].empty()) fail("a shortcut needs a target");
        entry.target = f[2];
        entry.workingFolder = f[3];
        entry.arguments = f[4];
      }
      layout.entries.push_back(std::move(entry));
    } else {
      fail("unknown keyword " + std::string(keyword));
    }
  }
  return layouts;
}

}  // namespace kestrix::testing
