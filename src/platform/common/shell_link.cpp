#include "platform/common/shell_link.h"

#include <array>
#include <cstdint>
#include <string>

#include "platform/common/case_text.h"

namespace kestrix {

namespace {

constexpr std::uint32_t kHeaderSize = 0x4C;
constexpr std::array<unsigned char, 16> kLinkClassId = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                        0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

// Link flags.
constexpr std::uint32_t kHasItemList = 0x1;
constexpr std::uint32_t kHasLocation = 0x2;
constexpr std::uint32_t kHasName = 0x4;
constexpr std::uint32_t kHasRelativePath = 0x8;
constexpr std::uint32_t kHasWorkingDirectory = 0x10;
constexpr std::uint32_t kHasArguments = 0x20;
constexpr std::uint32_t kHasIconLocation = 0x40;
constexpr std::uint32_t kIsUnicode = 0x80;
constexpr std::uint32_t kHasEnvironmentTarget = 0x200;

constexpr std::uint32_t kEnvironmentBlockSignature = 0xA0000001;
constexpr std::size_t kEnvironmentBlockSize = 0x314;

// A window on the bytes; every read outside it answers nullopt.
class Bytes {
 public:
  explicit Bytes(std::string_view bytes) : bytes_(bytes) {}
  std::size_t Size() const { return bytes_.size(); }

  std::optional<std::uint32_t> Read(std::size_t at, std::size_t width) const {
    if (at > bytes_.size() || width > bytes_.size() - at) return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t i = width; i-- > 0;) value = (value << 8) | static_cast<unsigned char>(bytes_[at + i]);
    return value;
  }
  std::optional<Bytes> Slice(std::size_t at, std::size_t size) const {
    if (at > bytes_.size() || size > bytes_.size() - at) return std::nullopt;
    return Bytes(bytes_.substr(at, size));
  }
  // The bytes from `at` up to the first NUL (or the end).
  std::string_view AnsiAt(std::size_t at) const {
    if (at >= bytes_.size()) return {};
    const std::string_view rest = bytes_.substr(at);
    return rest.substr(0, rest.find('\0'));
  }
  // UTF-16 LE units from `at` up to the first NUL unit (or the end).
  std::string_view WideAt(std::size_t at) const {
    if (at >= bytes_.size()) return {};
    const std::string_view rest = bytes_.substr(at);
    std::size_t length = 0;
    while (length + 1 < rest.size() && (rest[length] != '\0' || rest[length + 1] != '\0')) length += 2;
    return rest.substr(0, length);
  }
  std::string_view Text() const { return bytes_; }

 private:
  std::string_view bytes_;
};

// UTF-16 LE to UTF-8; an unpaired surrogate becomes U+FFFD, an odd last byte is dropped.
std::string Utf16ToUtf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size() / 2);
  const auto unit = [&](std::size_t i) -> char32_t {
    return static_cast<unsigned char>(bytes[i]) |
           (static_cast<char32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8);
  };
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const char32_t first = unit(i);
    if (first >= 0xD800 && first <= 0xDBFF && i + 3 < bytes.size()) {
      const char32_t second = unit(i + 2);
      if (second >= 0xDC00 && second <= 0xDFFF) {
        AppendUtf8(text, 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00));
        i += 2;
        continue;
      }
    }
    AppendUtf8(text, first >= 0xD800 && first <= 0xDFFF ? char32_t{0xFFFD} : first);
  }
  return text;
}

std::string Ansi(std::string_view bytes, const AnsiDecoder& decodeAnsi) {
  return bytes.empty() ? std::string() : decodeAnsi(bytes);
}

// The long name a file item keeps in its extension record, whose place the
// item's last two bytes give; empty when it has none that can be read.
std::string LongItemName(const Bytes& item) {
  if (item.Size() < 2) return {};
  const std::size_t end = item.Size() - 2;
  const std::uint32_t start = *item.Read(end, 2);
  if (start > end) return {};
  const Bytes record = *item.Slice(start, end - start);
  const auto version = record.Read(2, 2);
  const auto signature = record.Read(4, 4);
  if (!version || !signature || (*signature & 0xFFFF0000u) != 0xBEEF0000u || *version < 3) return {};
  std::size_t at = 18;
  if (*version >= 7) at += 18;
  at += 2;
  if (*version >= 9) at += 4;
  if (*version >= 8) at += 4;
  return Utf16ToUtf8(record.WideAt(at));
}

// The path an item list spells: a drive item, then one file item per name.
std::string ItemListPath(const Bytes& list, const AnsiDecoder& decodeAnsi) {
  std::string path;
  std::size_t at = 0;
  while (const auto size = list.Read(at, 2)) {
    if (*size < 3) break;
    const auto item = list.Slice(at, *size);
    if (!item) break;
    at += *size;
    const std::uint32_t type = *item->Read(2, 1);
    if ((type & 0x70) == 0x20) {  // a volume: "C:\"
      path = Ansi(item->AnsiAt(3), decodeAnsi);
      if (!path.empty() && !path.ends_with('\\')) path += '\\';
    } else if ((type & 0x70) == 0x30 && !path.empty()) {  // a folder or file below it
      std::string name = LongItemName(*item);
      if (name.empty()) {
        name = (type & 0x04) != 0 ? Utf16ToUtf8(item->WideAt(14)) : Ansi(item->AnsiAt(14), decodeAnsi);
      }
      if (name.empty()) break;
      if (!path.ends_with('\\')) path += '\\';
      path += name;
    }
  }
  return path;
}

// The target a location record gives: a local path, or a share's name, each
// with the common suffix.
std::string LocationPath(const Bytes& location, const AnsiDecoder& decodeAnsi) {
  const auto headerSize = location.Read(4, 4);
  const auto flags = location.Read(8, 4);
  if (!headerSize || !flags) return {};
  const bool wide = *headerSize >= 0x24;
  const auto text = [&](std::size_t ansiField, std::size_t wideField) -> std::string {
    if (wide) {
      if (const auto offset = location.Read(wideField, 4); offset && *offset != 0) {
        return Utf16ToUtf8(location.WideAt(*offset));
      }
    }
    const auto offset = location.Read(ansiField, 4);
    return offset && *offset != 0 ? Ansi(location.AnsiAt(*offset), decodeAnsi) : std::string();
  };
  const std::string suffix = text(24, 32);
  if ((*flags & 0x1) != 0) {
    const std::string base = text(16, 28);
    if (!base.empty()) return base + suffix;
  }
  if ((*flags & 0x2) != 0) {
    const auto offset = location.Read(20, 4);
    const auto share = offset && *offset <= location.Size()
                           ? location.Slice(*offset, location.Size() - *offset)
                           : std::nullopt;
    const auto nameOffset = share ? share->Read(8, 4) : std::nullopt;
    if (nameOffset) {
      std::string name = Ansi(share->AnsiAt(*nameOffset), decodeAnsi);
      if (!name.empty()) return suffix.empty() ? name : name + "\\" + suffix;
    }
  }
  return {};
}

}  // namespace

std::optional<ShellLink> ParseShellLink(std::string_view text, const AnsiDecoder& decodeAnsi) {
  const Bytes bytes(text.substr(0, kMaxShellLinkBytes));
  if (bytes.Read(0, 4) != kHeaderSize || bytes.Size() < kHeaderSize) return std::nullopt;
  for (std::size_t i = 0; i < kLinkClassId.size(); ++i) {
    if (bytes.Read(4 + i, 1) != kLinkClassId[i]) return std::nullopt;
  }
  const std::uint32_t flags = *bytes.Read(20, 4);
  std::size_t at = kHeaderSize;
  ShellLink link;

  std::string itemPath;
  if ((flags & kHasItemList) != 0) {
    const auto size = bytes.Read(at, 2);
    const auto list = size ? bytes.Slice(at + 2, *size) : std::nullopt;
    if (!list) return std::nullopt;
    itemPath = ItemListPath(*list, decodeAnsi);
    at += 2 + *size;
  }
  std::string locationPath;
  if ((flags & kHasLocation) != 0) {
    const auto size = bytes.Read(at, 4);
    const auto location = size && *size >= 4 ? bytes.Slice(at, *size) : std::nullopt;
    if (!location) return std::nullopt;
    locationPath = LocationPath(*location, decodeAnsi);
    at += *size;
  }

  const auto readString = [&]() -> std::optional<std::string> {
    const auto count = bytes.Read(at, 2);
    if (!count) return std::nullopt;
    const std::size_t length = (flags & kIsUnicode) != 0 ? std::size_t{*count} * 2 : *count;
    const auto value = bytes.Slice(at + 2, length);
    if (!value) return std::nullopt;
    at += 2 + length;
    // Wine counts the terminating NUL as well; the text ends there.
    return (flags & kIsUnicode) != 0 ? Utf16ToUtf8(value->WideAt(0)) : Ansi(value->AnsiAt(0), decodeAnsi);
  };
  for (const std::uint32_t field :
       {kHasName, kHasRelativePath, kHasWorkingDirectory, kHasArguments, kHasIconLocation}) {
    if ((flags & field) == 0) continue;
    auto value = readString();
    if (!value) return std::nullopt;
    if (field == kHasWorkingDirectory) link.workingDirectory = std::move(*value);
    if (field == kHasArguments) link.arguments = std::move(*value);
  }

  std::string environmentPath;
  while ((flags & kHasEnvironmentTarget) != 0) {
    const auto size = bytes.Read(at, 4);
    if (!size || *size < 8) break;
    const auto block = bytes.Slice(at, *size);
    if (!block) break;
    at += *size;
    if (block->Read(4, 4) != kEnvironmentBlockSignature || *size < kEnvironmentBlockSize) continue;
    environmentPath = Utf16ToUtf8(block->Slice(268, 520)->WideAt(0));
    if (environmentPath.empty()) environmentPath = Ansi(block->Slice(8, 260)->AnsiAt(0), decodeAnsi);
    break;
  }

  link.target = !environmentPath.empty() ? environmentPath : !locationPath.empty() ? locationPath : itemPath;
  return link;
}

std::optional<ShellLink> ReadShellLink(ByteReader& reader, const AnsiDecoder& decodeAnsi) {
  std::string bytes;
  std::array<char, 4096> chunk;
  std::string reason;
  while (bytes.size() < kMaxShellLinkBytes) {
    const auto got = reader.Read(chunk, reason);
    if (!got) return std::nullopt;
    if (*got == 0) break;
    bytes.append(chunk.data(), *got);
  }
  return ParseShellLink(bytes, decodeAnsi);
}

}  // namespace kestrix
