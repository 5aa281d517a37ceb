// Shortcut (.lnk) files as Windows writes them, built byte by byte for the
// tests that read them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrix::testing {

struct LinkFields {
  std::string target{};             // in the location record, as ANSI text
  std::string unicodeTarget{};      // in the location record's UTF-16 field as well
  std::string itemTarget{};         // "C:\dir\file.exe" as an item list: a drive item and file items
  std::string environmentTarget{};  // "%windir%\system32\cmd.exe" in an environment-variable block
  std::string arguments{};
  std::string workingDirectory{};
  bool unicode = true;  // string data in UTF-16
};

inline void PutLe(std::string& bytes, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// UTF-8 text (below U+10000) as UTF-16 LE.
inline std::string Utf16(std::string_view text) {
  std::string wide;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : 3;
    std::uint32_t c = length == 1 ? lead : length == 2 ? lead & 0x1F : lead & 0x0F;
    for (std::size_t k = 1; k < length && i + k < text.size(); ++k) c = (c << 6) | (text[i + k] & 0x3F);
    PutLe(wide, c, 2);
    i += length;
  }
  return wide;
}

inline std::string ShellLinkBytes(const LinkFields& fields) {
  std::uint32_t flags = 0;
  if (!fields.itemTarget.empty()) flags |= 0x1;
  if (!fields.target.empty()) flags |= 0x2;
  if (!fields.workingDirectory.empty()) flags |= 0x10;
  if (!fields.arguments.empty()) flags |= 0x20;
  if (fields.unicode) flags |= 0x80;
  if (!fields.environmentTarget.empty()) flags |= 0x200;

  std::string bytes;
  PutLe(bytes, 0x4C, 4);
  bytes += std::string("\x01\x14\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46", 16);
  PutLe(bytes, flags, 4);
  bytes.resize(0x4C, '\0');

  if (!fields.itemTarget.empty()) {
    std::string list;
    std::string root = std::string("\x1F\x50", 2) +
                       std::string("\xE0\x4F\xD0\x20\xEA\x3A\x69\x10\xA2\xD8\x08\x00\x2B\x30\x30\x9D", 16);
    PutLe(list, static_cast<std::uint32_t>(root.size() + 2), 2);
    list += root;
    const std::string_view path = fields.itemTarget;
    std::string drive = "\x2F" + std::string(path.substr(0, 3)) + std::string(19, '\0');
    PutLe(list, static_cast<std::uint32_t>(drive.size() + 2), 2);
    list += drive;
    for (std::size_t start = 3; start < path.size();) {
      const std::size_t end = std::min(path.find('\\', start), path.size());
      const std::string name(path.substr(start, end - start));
      // A file item with a short ANSI name and an extension record holding
      // the long name, as Windows 7 writes them.
      std::string item = std::string(1, end == path.size() ? '\x32' : '\x31') + std::string(11, '\0') + "X~1";
      item += '\0';
      if (item.size() % 2 == 1) item += '\0';
      const std::size_t recordAt = item.size() + 2;
      std::string record;
      PutLe(record, 0, 2);  // size, filled below
      PutLe(record, 9, 2);
      PutLe(record, 0xBEEF0004u, 4);
      record.resize(46, '\0');
      record += Utf16(name) + std::string(2, '\0');
      PutLe(record, static_cast<std::uint32_t>(recordAt), 2);
      record[0] = static_cast<char>(record.size() & 0xFF);
      record[1] = static_cast<char>(record.size() >> 8);
      item += record;
      PutLe(list, static_cast<std::uint32_t>(item.size() + 2), 2);
      list += item;
      start = end + 1;
    }
    PutLe(list, 0, 2);
    PutLe(bytes, static_cast<std::uint32_t>(list.size()), 2);
    bytes += list;
  }

  if (!fields.target.empty()) {
    const bool wide = !fields.unicodeTarget.empty();
    const std::uint32_t headerSize = wide ? 0x24 : 0x1C;
    std::string volume;
    PutLe(volume, 0x11, 4);  // size
    PutLe(volume, 3, 4);     // fixed drive
    PutLe(volume, 0x1234, 4);
    PutLe(volume, 0x10, 4);
    volume += '\0';
    const std::uint32_t volumeAt = headerSize;
    const std::uint32_t baseAt = volumeAt + static_cast<std::uint32_t>(volume.size());
    const std::uint32_t suffixAt = baseAt + static_cast<std::uint32_t>(fields.target.size()) + 1;
    const std::uint32_t wideAt = suffixAt + 1;
    std::string info;
    PutLe(info, 0, 4);  // size, filled below
    PutLe(info, headerSize, 4);
    PutLe(info, 1, 4);
    PutLe(info, volumeAt, 4);
    PutLe(info, baseAt, 4);
    PutLe(info, 0, 4);
    PutLe(info, suffixAt, 4);
    if (wide) {
      PutLe(info, wideAt, 4);
      PutLe(info, wideAt + static_cast<std::uint32_t>(Utf16(fields.unicodeTarget).size()) + 2, 4);
    }
    info += volume + fields.target + '\0' + '\0';
    if (wide) info += Utf16(fields.unicodeTarget) + std::string(4, '\0');
    for (int i = 0; i < 4; ++i) info[i] = static_cast<char>((info.size() >> (8 * i)) & 0xFF);
    bytes += info;
  }

  const auto putString = [&](const std::string& text) {
    if (text.empty()) return;
    const std::string stored = fields.unicode ? Utf16(text) : text;
    PutLe(bytes, static_cast<std::uint32_t>(fields.unicode ? stored.size() / 2 : stored.size()), 2);
    bytes += stored;
  };
  putString(fields.workingDirectory);
  putString(fields.arguments);

  if (!fields.environmentTarget.empty()) {
    std::string block;
    PutLe(block, 0x314, 4);
    PutLe(block, 0xA0000001u, 4);
    std::string ansi = fields.environmentTarget;
    ansi.resize(260, '\0');
    std::string wide = Utf16(fields.environmentTarget);
    wide.resize(520, '\0');
    bytes += block + ansi + wide;
  }
  PutLe(bytes, 0, 4);
  return bytes;
}

}  // namespace kestrix::testing
