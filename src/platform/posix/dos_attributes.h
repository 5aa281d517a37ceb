// The DOS attribute bits (read-only, hidden, system, archive) of files on
// drives that are host directories: FAT keeps them itself, other file
// systems keep read-only as the owner's write permission and hidden and
// system in the user.DOSATTRIB extended attribute, as Wine and Samba do.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/platform.h"
#include "platform/posix/posix_files.h"

namespace kestrix::posix {

// Which devices hold FAT, which keeps attribute bits of its own; each
// device is asked once.
class FatDevices {
 public:
  // Whether `device`, on which `fd` is open, holds FAT.
  bool IsFat(dev_t device, int fd);
  // The answer already known for `device`; nullopt before it was asked.
  std::optional<bool> Known(dev_t device) const;

 private:
  std::map<dev_t, bool> devices_;
};

// An entry of a folder held open, itself held by an O_PATH descriptor.
struct OpenedEntry {
  int folder;
  const std::string& name;  // as spelled on disk
  int file;
  const struct stat& info;  // as it was opened
};

class DosAttributes {
 public:
  explicit DosAttributes(FatDevices& fat) : fat_(fat) {}

  // The bits of an entry of `folder`: read-only from the owner's write
  // permission (files only); hidden and system from FAT, or from
  // user.DOSATTRIB elsewhere.
  std::uint32_t Read(int folder, const std::string& name, const struct stat& info) const;
  // The bits the file had before they were first set, else its own.
  std::uint32_t Original(const OpenedEntry& entry) const;
  // Sets the bits, remembering the file's first ones.
  bool Apply(const OpenedEntry& entry, std::uint32_t attributes);
  // True when a file has no bits to reset, told from its status without
  // opening it: writable, on a device known not to be FAT and without
  // user.DOSATTRIB. Its first bits are then noted as none.
  bool NothingToReset(int folder, const std::string& name, const struct stat& info);

 private:
  FatDevices& fat_;
  std::unordered_map<FileIdentity, std::uint32_t, FileIdentityHash> original_;  // before the first change
};

}  // namespace kestrix::posix
