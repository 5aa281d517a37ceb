// The drive letters of a machine made of directory trees: each letter maps
// to a directory with a drive type, a first-extent length and a label.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/platform.h"

namespace kestrix::posix {

struct MappedDrive {
  DriveType type = DriveType::kNoRootDir;
  std::int64_t extentLength = 0;
  std::filesystem::path directory;
  std::string label{};
};

// A drive whose directory holds a host path: its letter and its directory,
// canonical.
struct HoldingDrive {
  char letter = 0;
  std::filesystem::path root;
};

// Drive letters 'A' to 'Z'; an unmapped letter has no root directory.
class DriveMap {
 public:
  void Map(char letter, MappedDrive drive);
  const MappedDrive* Find(char letter) const;
  // The drive whose existing directory holds `file` (absolute and
  // canonical); of nested drive directories the deepest wins. nullopt when
  // no drive holds it.
  std::optional<HoldingDrive> DriveHolding(const std::filesystem::path& file) const;

 private:
  std::array<std::optional<MappedDrive>, 26> drives_;
};

// Parses "L=TYPE[@N][#LABEL]:DIR" (TYPE one of removable, fixed, remote,
// cdrom, ramdisk, unknown; N the first extent's length in bytes, positive
// when omitted; LABEL the volume's label, none when omitted). nullopt with
// a message in `error` when malformed.
std::optional<std::pair<char, MappedDrive>> ParseDriveMapping(std::string_view mapping, std::string& error);

// Where an absolute host path lies below a drive's directory, as written or
// canonical: the rest of it, relative; nullopt when it lies elsewhere.
std::optional<std::string> BelowDrive(const MappedDrive& drive, const std::string& hostPath);

}  // namespace kestrix::posix
