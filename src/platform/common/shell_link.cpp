#include "platform/common/shell_link.h"

#include <array>
#include <cstdint>
#include <string>

#include "platform/common/case_text.h"
#include "platform/common/debug_assert.h"

namespace kestrix {

namespace {

// A field of a record: where it starts, and its width in bytes.
struct Field {
  std::size_t at;
  std::size_t width;
};

// The header: its own size first, then the class id and the link flags.
constexpr std::uint32_t kHeaderSize = 0x4C;
constexpr Field kHeaderSizeField{0, 4};
constexpr std::size_t kClassIdAt = 4;
constexpr std::array<unsigned char, 16> kLinkClassId = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                        0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr Field kLinkFlagsField{20, 4};

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

// What follows the header, in this order: the item list (its size in the
// first 2 bytes, not counting them), the location record (its size in the
// first 4, counting them), counted strings (2 bytes of count, in characters)
// and extra blocks (their size in the first 4 bytes, counting them).
constexpr std::size_t kItemListSizeWidth = 2;
constexpr std::size_t kLocationSizeWidth = 4;
constexpr std::size_t kStringCountWidth = 2;
constexpr std::size_t kBlockSizeWidth = 4;

// An item of the item list: its size (counting it), then its type.
constexpr std::size_t kItemSizeWidth = 2;
constexpr std::size_t kMinItemSize = 3;
constexpr Field kItemTypeField{2, 1};
constexpr std::uint32_t kItemClassMask = 0x70;
constexpr std::uint32_t kVolumeItem = 0x20;  // its path ("C:\") at kVolumePathAt
constexpr std::uint32_t kFileItem = 0x30;    // its short name at kFileNameAt
constexpr std::uint32_t kFileItemWideName = 0x04;
constexpr std::size_t kVolumePathAt = 3;
constexpr std::size_t kFileNameAt = 14;

// A file item's extension record, whose start its last 2 bytes give: a
// version and a signature, then fields that grow with the version, then the
// long name. Its place: the fields every version has, 18 more bytes from
// version 7, a 2-byte field, then 4 bytes each from versions 9 and 8.
constexpr std::size_t kExtensionPlaceWidth = 2;
constexpr Field kExtensionVersionField{2, 2};
constexpr Field kExtensionSignatureField{4, 4};
constexpr std::uint32_t kExtensionSignatureMask = 0xFFFF0000u;
constexpr std::uint32_t kExtensionSignature = 0xBEEF0000u;
constexpr std::uint32_t kMinExtensionVersion = 3;
constexpr std::size_t kExtensionFieldsSize = 18;
constexpr std::size_t kExtensionVersion7Size = 18;
constexpr std::size_t kExtensionBeforeNameSize = 2;
constexpr std::size_t kExtensionVersion8Size = 4;
constexpr std::size_t kExtensionVersion9Size = 4;

// The location record: the offsets of its texts, from its start. A header
// of kWideLocationHeaderSize or more has UTF-16 texts besides the ANSI ones.
constexpr Field kLocationHeaderSizeField{4, 4};
constexpr Field kLocationFlagsField{8, 4};
constexpr Field kLocalBasePathField{16, 4};
constexpr Field kNetworkLinkField{20, 4};
constexpr Field kPathSuffixField{24, 4};
constexpr Field kWideLocalBasePathField{28, 4};
constexpr Field kWidePathSuffixField{32, 4};
constexpr std::uint32_t kWideLocationHeaderSize = 0x24;
constexpr std::uint32_t kHasLocalBasePath = 0x1;
constexpr std::uint32_t kHasNetworkLink = 0x2;
// The network link: the offset of the share's name, from its start.
constexpr Field kShareNameField{8, 4};

// The environment-variable target block: a fixed size, its ANSI and its
// UTF-16 target in fixed fields.
constexpr std::size_t kMinBlockSize = 8;
constexpr Field kBlockSignatureField{4, 4};
constexpr std::uint32_t kEnvironmentBlockSignature = 0xA0000001;
constexpr std::size_t kEnvironmentBlockSize = 0x314;
constexpr Field kEnvironmentTargetField{8, 260};
constexpr Field kWideEnvironmentTargetField{268, 520};
static_assert(kWideEnvironmentTargetField.at + kWideEnvironmentTargetField.width <= kEnvironmentBlockSize);

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
  std::optional<std::uint32_t> Read(Field field) const { return Read(field.at, field.width); }
  std::optional<Bytes> Slice(std::size_t at, std::size_t size) const {
    if (at > bytes_.size() || size > bytes_.size() - at) return std::nullopt;
    return Bytes(bytes_.substr(at, size));
  }
  std::optional<Bytes> Slice(Field field) const { return Slice(field.at, field.width); }
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
  if (item.Size() < kExtensionPlaceWidth) return {};
  const std::size_t end = item.Size() - kExtensionPlaceWidth;
  const auto start = item.Read(end, kExtensionPlaceWidth);
  KESTRIX_ASSERT(start);  // the item holds its last 2 bytes
  if (*start > end) return {};
  const auto record = item.Slice(*start, end - *start);
  KESTRIX_ASSERT(record);  // it starts and ends within the item
  const auto version = record->Read(kExtensionVersionField);
  const auto signature = record->Read(kExtensionSignatureField);
  if (!version || !signature || (*signature & kExtensionSignatureMask) != kExtensionSignature ||
      *version < kMinExtensionVersion) {
    return {};
  }
  std::size_t at = kExtensionFieldsSize;
  if (*version >= 7) at += kExtensionVersion7Size;
  at += kExtensionBeforeNameSize;
  if (*version >= 9) at += kExtensionVersion9Size;
  if (*version >= 8) at += kExtensionVersion8Size;
  return Utf16ToUtf8(record->WideAt(at));
}

// The path an item list spells: a drive item, then one file item per name.
std::string ItemListPath(const Bytes& list, const AnsiDecoder& decodeAnsi) {
  std::string path;
  std::size_t at = 0;
  while (const auto size = list.Read(at, kItemSizeWidth)) {
    if (*size < kMinItemSize) break;
    const auto item = list.Slice(at, *size);
    if (!item) break;
    at += *size;
    const auto typeField = item->Read(kItemTypeField);
    KESTRIX_ASSERT(typeField);  // the item holds kMinItemSize bytes
    const std::uint32_t type = *typeField;
    if ((type & kItemClassMask) == kVolumeItem) {
      path = Ansi(item->AnsiAt(kVolumePathAt), decodeAnsi);
      if (!path.empty() && !path.ends_with('\\')) path += '\\';
    } else if ((type & kItemClassMask) == kFileItem && !path.empty()) {  // a folder or file below it
      std::string name = LongItemName(*item);
      if (name.empty()) {
        name = (type & kFileItemWideName) != 0 ? Utf16ToUtf8(item->WideAt(kFileNameAt))
                                               : Ansi(item->AnsiAt(kFileNameAt), decodeAnsi);
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
  const auto headerSize = location.Read(kLocationHeaderSizeField);
  const auto flags = location.Read(kLocationFlagsField);
  if (!headerSize || !flags) return {};
  const bool wide = *headerSize >= kWideLocationHeaderSize;
  const auto text = [&](Field ansiField, Field wideField) -> std::string {
    if (wide) {
      if (const auto offset = location.Read(wideField); offset && *offset != 0) {
        return Utf16ToUtf8(location.WideAt(*offset));
      }
    }
    const auto offset = location.Read(ansiField);
    return offset && *offset != 0 ? Ansi(location.AnsiAt(*offset), decodeAnsi) : std::string();
  };
  const std::string suffix = text(kPathSuffixField, kWidePathSuffixField);
  if ((*flags & kHasLocalBasePath) != 0) {
    const std::string base = text(kLocalBasePathField, kWideLocalBasePathField);
    if (!base.empty()) return base + suffix;
  }
  if ((*flags & kHasNetworkLink) != 0) {
    const auto offset = location.Read(kNetworkLinkField);
    const auto share = offset && *offset <= location.Size()
                           ? location.Slice(*offset, location.Size() - *offset)
                           : std::nullopt;
    const auto nameOffset = share ? share->Read(kShareNameField) : std::nullopt;
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
  if (bytes.Read(kHeaderSizeField) != kHeaderSize || bytes.Size() < kHeaderSize) return std::nullopt;
  for (std::size_t i = 0; i < kLinkClassId.size(); ++i) {
    if (bytes.Read(kClassIdAt + i, 1) != kLinkClassId[i]) return std::nullopt;
  }
  const auto flagsField = bytes.Read(kLinkFlagsField);
  KESTRIX_ASSERT(flagsField);  // the header is whole
  const std::uint32_t flags = *flagsField;
  std::size_t at = kHeaderSize;
  ShellLink link;

  std::string itemPath;
  if ((flags & kHasItemList) != 0) {
    const auto size = bytes.Read(at, kItemListSizeWidth);
    const auto list = size ? bytes.Slice(at + kItemListSizeWidth, *size) : std::nullopt;
    if (!list) return std::nullopt;
    itemPath = ItemListPath(*list, decodeAnsi);
    at += kItemListSizeWidth + *size;
  }
  std::string locationPath;
  if ((flags & kHasLocation) != 0) {
    const auto size = bytes.Read(at, kLocationSizeWidth);
    const auto location = size && *size >= kLocationSizeWidth ? bytes.Slice(at, *size) : std::nullopt;
    if (!location) return std::nullopt;
    locationPath = LocationPath(*location, decodeAnsi);
    at += *size;
  }

  const auto readString = [&]() -> std::optional<std::string> {
    const auto count = bytes.Read(at, kStringCountWidth);
    if (!count) return std::nullopt;
    const std::size_t length = (flags & kIsUnicode) != 0 ? std::size_t{*count} * 2 : *count;
    const auto value = bytes.Slice(at + kStringCountWidth, length);
    if (!value) return std::nullopt;
    at += kStringCountWidth + length;
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
    const auto size = bytes.Read(at, kBlockSizeWidth);
    if (!size || *size < kMinBlockSize) break;
    const auto block = bytes.Slice(at, *size);
    if (!block) break;
    at += *size;
    if (block->Read(kBlockSignatureField) != kEnvironmentBlockSignature || *size < kEnvironmentBlockSize)
      continue;
    const auto wideTarget = block->Slice(kWideEnvironmentTargetField);
    const auto ansiTarget = block->Slice(kEnvironmentTargetField);
    KESTRIX_ASSERT(wideTarget && ansiTarget);  // the block holds kEnvironmentBlockSize bytes
    environmentPath = Utf16ToUtf8(wideTarget->WideAt(0));
    if (environmentPath.empty()) environmentPath = Ansi(ansiTarget->AnsiAt(0), decodeAnsi);
    break;
  }

  link.target = !environmentPath.empty() ? environmentPath : !locationPath.empty() ? locationPath : itemPath;
  return link;
}

std::optional<ShellLink> ReadShellLink(ByteReader& reader, const AnsiDecoder& decodeAnsi) {
  std::string bytes;
  std::string reason;
  if (!ReadUpTo(reader, kMaxShellLinkBytes, bytes, reason)) return std::nullopt;
  return ParseShellLink(bytes, decodeAnsi);
}

}  // namespace kestrix
