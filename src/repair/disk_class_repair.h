// Every start mends the disk-drive device class key where a worm or a
// broken installer damaged it: an UpperFilters list without the partition
// manager, or naming a driver that is gone, hides every disk. The list
// belongs to the drivers' installers (disk encryption and backup software
// add their filters to it), so it is mended, never replaced: whatever is
// not certainly broken stays, in its order. What a repair changes is saved
// first, so that it can be put back.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kestrix {

inline constexpr std::string_view kDiskClassKey =
    "\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E967-E325-11CE-BFC1-08002BE10318}";
inline constexpr std::string_view kServicesKey = "\\SYSTEM\\CurrentControlSet\\Services";
// Holds exact copies (type and bytes) of the values repairs changed, each
// as it was before the latest repair that changed it, and kAbsentValues.
inline constexpr std::string_view kDiskClassBackupKey = "\\Software\\Halvorn\\DiskClassBackup";
// In the backup key: the names of the values that were not there before, as
// a multi-string. Written last: a backup without it is not complete.
inline constexpr std::string_view kAbsentValues = "AbsentValues";
// In the backup key once the user put the saved values back: a repair then
// leaves them as they are until the key changes again.
inline constexpr std::string_view kRestoredMark = "PutBack";

// Reads the key and changes only what needs changing: UpperFilters becomes
// a multi-string that holds the partition manager, without the entries whose
// driver service or image is certainly missing; each of the other values is
// written as REG_SZ where it differs. When nothing needs changing, nothing
// is written. Before the first change the values about to change are saved
// below kDiskClassBackupKey. A key that cannot be read, or opened for
// writing when it must change, is skipped (false); a refused write raises
// RegistryError and leaves the rest unwritten.
bool RepairDiskClassKey(Registry& registry, Files& files, Volumes& volumes);

// What putting back the saved values did.
struct DiskClassRestore {
  bool backupFound = false;
  bool keyOpened = false;
  std::vector<std::string> restored;  // put back with the type and data they had
  std::vector<std::string> deleted;   // had not been there before the repair
  std::vector<std::string> failed;    // could not be put back
};

// Puts the values repairs changed back exactly as they were and deletes
// those they added. The backup stays, so doing it again does the same,
// and later repairs leave those values alone while they are unchanged.
DiskClassRestore RestoreDiskClassKey(Registry& registry);

}  // namespace kestrix
