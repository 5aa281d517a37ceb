#include "platform/posix/drive_map.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include "platform/common/case_text.h"

namespace kestrix::posix {

namespace fs = std::filesystem;

namespace {

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

struct DriveTypeName {
  std::string_view name;
  DriveType type;
};

constexpr std::array<DriveTypeName, 6> kDriveTypeNames = {{
    {"removable", DriveType::kRemovable},
    {"fixed", DriveType::kFixed},
    {"remote", DriveType::kRemote},
    {"cdrom", DriveType::kCdRom},
    {"ramdisk", DriveType::kRamDisk},
    {"unknown", DriveType::kUnknown},
}};

// True when `inner` is `outer` or lies below it; both canonical.
bool IsWithin(const fs::path& inner, const fs::path& outer) {
  return std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end()).first == outer.end();
}

}  // namespace

void DriveMap::Map(char letter, MappedDrive drive) {
  if (!IsAsciiLetter(letter)) throw std::invalid_argument("not a drive letter: " + std::string(1, letter));
  drives_[AsciiUpper(letter) - 'A'] = std::move(drive);
}

const MappedDrive* DriveMap::Find(char letter) const {
  if (!IsAsciiLetter(letter)) return nullptr;
  const auto& drive = drives_[AsciiUpper(letter) - 'A'];
  return drive ? &*drive : nullptr;
}

std::optional<HoldingDrive> DriveMap::DriveHolding(const fs::path& file) const {
  std::optional<HoldingDrive> best;
  std::size_t bestDepth = 0;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    const MappedDrive* drive = Find(letter);
    if (drive == nullptr) continue;
    std::error_code error;
    fs::path root = fs::canonical(drive->directory, error);
    if (error || !fs::is_directory(root, error) || !IsWithin(file, root)) continue;
    const auto depth = static_cast<std::size_t>(std::distance(root.begin(), root.end()));
    if (!best || depth > bestDepth) {
      best = HoldingDrive{letter, std::move(root)};
      bestDepth = depth;
    }
  }
  return best;
}

std::optional<std::pair<char, MappedDrive>> ParseDriveMapping(std::string_view mapping, std::string& error) {
  const auto fail = [&](std::string_view message) {
    error = "drive \"" + std::string(mapping) + "\": " + std::string(message);
    return std::nullopt;
  };
  if (mapping.size() < 2 || mapping[1] != '=')
    return fail("expected L=TYPE[@N]:DIR, e.g. E=removable:/mnt/stick");
  if (!IsAsciiLetter(mapping[0])) return fail("the drive letter must be A to Z");
  const std::string_view rest = mapping.substr(2);
  const std::size_t colon = rest.find(':');
  if (colon == std::string_view::npos) return fail("expected ':' and a directory after the drive type");
  const std::size_t hash = rest.substr(0, colon).find('#');
  const std::string_view head = rest.substr(0, std::min(colon, hash));
  const std::string_view directory = rest.substr(colon + 1);

  const std::size_t at = head.find('@');
  const std::string_view typeName = head.substr(0, at);
  const auto known =
      std::find_if(kDriveTypeNames.begin(), kDriveTypeNames.end(),
                   [&](const DriveTypeName& entry) { return EqualAsciiNoCase(entry.name, typeName); });
  if (known == kDriveTypeNames.end()) {
    return fail("unknown drive type \"" + std::string(typeName) +
                "\" (removable, fixed, remote, cdrom, ramdisk or unknown)");
  }

  MappedDrive drive{.type = known->type, .extentLength = 1, .directory = {}};
  if (at != std::string_view::npos) {
    const std::string_view digits = head.substr(at + 1);
    const bool allDigits = !digits.empty() && std::all_of(digits.begin(), digits.end(),
                                                          [](char c) { return c >= '0' && c <= '9'; });
    const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), drive.extentLength);
    if (!allDigits || parsed.ec != std::errc()) {
      return fail("the extent length after '@' must be a whole number of bytes, not \"" +
                  std::string(digits) + "\"");
    }
  }
  if (hash != std::string_view::npos) drive.label = rest.substr(hash + 1, colon - hash - 1);
  if (directory.empty()) return fail("no directory after ':'");
  drive.directory = fs::path(std::string(directory));
  return std::pair{AsciiUpper(mapping[0]), std::move(drive)};
}

std::optional<std::string> BelowDrive(const MappedDrive& drive, const std::string& hostPath) {
  const fs::path target = fs::path(hostPath).lexically_normal();
  std::error_code error;
  for (const fs::path& root : {drive.directory.lexically_normal(), fs::canonical(drive.directory, error)}) {
    if (root.empty() || !root.is_absolute()) continue;
    const fs::path rest = target.lexically_relative(root);
    if (!rest.empty() && *rest.begin() != "..") return rest.string();
  }
  return std::nullopt;
}

}  // namespace kestrix::posix
