// Stick layouts of the shortcut gallery (tests/support/shortcut_gallery.txt):
// what a worm or a user left on a stick, and what a sweep and a clean must
// make of it. Read by the native tests and by the Wine layout maker alike.
//
//   layout worm|user ID        starts a layout; the "#" lines after it name
//                              the family or the usage it reconstructs
//   label TEXT                 the volume's label
//   folder PATH | MARKS
//   file PATH | MARKS | BYTES  (BYTES as text; "\r\n" is a line break)
//   link PATH | MARKS | TARGET | WORKING-FOLDER | ARGUMENTS
//   expect PATH | CATEGORY     an entry the sweep lists, with its category
//   recover PATH               an entry that is visible after cleaning
//
// PATHs are drive-relative and '\'-separated; MARKS holds h (hidden), s
// (system) and r (read-only); "<U+00A0>" in any field is that character;
// %SYSTEM% and %WINDOWS% in a TARGET are the system and Windows folders.
// The last field of a line takes the rest of it, '|' included.
#pragma once

#include <cstdint>
#include <istream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrix::testing {

struct StickEntry {
  enum class Kind { kFolder, kFile, kLink };
  Kind kind = Kind::kFile;
  std::string path{};
  bool hidden = false;
  bool system = false;
  bool readOnly = false;
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

// "<U+XXXX>" as UTF-8 (below U+10000).
inline std::string DecodeStickText(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text.substr(i, 3) == "<U+" && i + 8 <= text.size() && text[i + 7] == '>') {
      const auto c = static_cast<std::uint32_t>(std::stoul(std::string(text.substr(i + 3, 4)), nullptr, 16));
      if (c < 0x80) {
        out += static_cast<char>(c);
      } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
      } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
      }
      i += 8;
    } else {
      out += text[i++];
    }
  }
  return out;
}

// `text` with each `from` replaced by `to`.
inline std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

inline std::vector<StickLayout> ReadStickLayouts(std::istream& in) {
  const auto trim = [](std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
      text.remove_suffix(1);
    return text;
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
    // The fields after the keyword; the last takes the rest of the line.
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
      const auto f = fields(keyword == "link" ? 5 : keyword == "file" ? 3 : 2);
      StickEntry entry{.kind = keyword == "folder" ? StickEntry::Kind::kFolder
                               : keyword == "file" ? StickEntry::Kind::kFile
                                                   : StickEntry::Kind::kLink,
                       .path = f[0]};
      if (entry.path.empty() || f[1].find_first_not_of("hsr") != std::string::npos) fail("bad path or marks");
      entry.hidden = f[1].find('h') != std::string::npos;
      entry.system = f[1].find('s') != std::string::npos;
      entry.readOnly = f[1].find('r') != std::string::npos;
      if (entry.kind == StickEntry::Kind::kFile)
        entry.bytes = f[2].empty() ? "the bytes of " + entry.path : ReplaceAll(f[2], "\\r\\n", "\r\n");
      if (entry.kind == StickEntry::Kind::kLink) {
        entry.target = f[2];
        entry.workingFolder = f[3];
        entry.arguments = f[4];
        if (entry.target.empty()) fail("a shortcut needs a target");
      }
      layout.entries.push_back(std::move(entry));
    } else {
      fail("unknown keyword " + std::string(keyword));
    }
  }
  return layouts;
}

}  // namespace kestrix::testing
