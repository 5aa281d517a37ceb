#include "repair/disk_class_repair.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

#include "platform/common/case_text.h"
#include "settings/registry_values.h"

namespace kestrix {

namespace {

constexpr std::string_view kUpperFilters = "UpperFilters";
constexpr std::string_view kPartitionManager = "PartMgr";

// "@" is a value of that name, not the key's default value.
constexpr std::array<std::pair<std::string_view, std::string_view>, 7> kDiskClassValues = {{
    {"Class", "DiskDrive"},
    {"@", "磁碟磁碟機"},
    {"Installer32", "StorProp.Dll,DiskClassInstaller"},
    {"SilentInstall", "1"},
    {"NoInstallClass", "1"},
    {"TroubleShooter-0", "hcp://help/tshoot/tsdrive.htm"},
    {"Icon", "-53"},
}};

std::vector<std::string_view> RepairedNames() {
  std::vector<std::string_view> names{kUpperFilters};
  for (const auto& [name, data] : kDiskClassValues) names.push_back(name);
  return names;
}

// Service names are ASCII; letter case does not count in them.
bool SameName(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameName(text.substr(0, prefix.size()), prefix);
}

// A driver's ImagePath as a Win32 path: "\SystemRoot\System32\drivers\x.sys",
// "%SystemRoot%\...", "System32\drivers\x.sys" (relative to the Windows
// folder), "\??\C:\..." or "C:\...". Any other form is not understood.
std::optional<std::string> ResolveImagePath(std::string_view image, const std::string& windows) {
  if (windows.empty()) return std::nullopt;
  std::string path;
  for (const std::string_view root : {"\\SystemRoot\\", "%SystemRoot%\\", "%windir%\\"}) {
    if (StartsWithNoCase(image, root)) path = windows + "\\" + std::string(image.substr(root.size()));
  }
  for (const std::string_view prefix : {"\\?"
                                        "?\\",
                                        "\\\\?\\"}) {
    if (path.empty() && image.starts_with(prefix)) path = image.substr(prefix.size());
  }
  const auto absolute = [](std::string_view p) { return p.size() > 2 && p[1] == ':' && p[2] == '\\'; };
  if (path.empty() && absolute(image)) path = image;
  if (path.empty() && !image.empty() && image.find_first_of(":%\"") == std::string_view::npos &&
      !image.starts_with('\\')) {
    path = windows + "\\" + std::string(image);
  }
  if (!absolute(path) || path.find('%') != std::string::npos) return std::nullopt;
  return path;
}

// Decides which filters' drivers are certainly gone. Every doubt keeps the
// filter: removing a disk-encryption filter that is still needed leaves the
// disks unreadable and Windows unbootable.
class FilterCheck {
 public:
  FilterCheck(Registry& registry, Files& files, Volumes& volumes)
      : registry_(registry), files_(files), windows_(volumes.WindowsDirectory()) {
    // Trust a missing image only where the partition manager's own image is
    // seen: a 32-bit program on 64-bit Windows, say, sees another System32.
    const auto partitionManager = ImageOf(kPartitionManager);
    imagesSeen_ = partitionManager && files_.FileExists(*partitionManager);
  }

  bool DriverMissing(std::string_view name) {
    if (name.empty() || name.find('\\') != std::string_view::npos || SameName(name, kPartitionManager)) {
      return false;
    }
    const auto exists = registry_.KeyExists(ServiceKey(name));
    if (!exists) return false;
    if (!*exists) return true;
    if (!imagesSeen_) return false;
    const auto image = ImageOf(name);
    return image && CertainlyAbsent(*image);
  }

 private:
  static std::string ServiceKey(std::string_view name) {
    return std::string(kServicesKey) + "\\" + std::string(name);
  }

  // Not there, as its folder's listing shows: a file that cannot be looked
  // at (its folder refuses this user, say) is no missing file.
  bool CertainlyAbsent(const std::string& path) {
    if (files_.FileExists(path)) return false;
    const std::size_t separator = path.rfind('\\');
    const std::vector<FolderEntry> entries = files_.ListFolder(path.substr(0, separator));
    const std::string_view name = std::string_view(path).substr(separator + 1);
    return !entries.empty() && std::ranges::none_of(entries, [&](const FolderEntry& entry) {
      return SameName(entry.name, name);
    });
  }

  // The image the service loads; nullopt when that cannot be told.
  std::optional<std::string> ImageOf(std::string_view name) {
    const auto service = registry_.OpenKey(ServiceKey(name));
    if (!service) return std::nullopt;
    const auto image = service->ReadText("ImagePath");
    if (!image) return std::nullopt;
    if (image->empty()) {
      if (windows_.empty()) return std::nullopt;
      return windows_ + "\\System32\\drivers\\" + std::string(name) + ".sys";
    }
    return ResolveImagePath(*image, windows_);
  }

  Registry& registry_;
  Files& files_;
  std::string windows_;
  bool imagesSeen_ = false;
};

// The filters as they should be: every entry kept in its order but those
// whose driver is gone, and the partition manager added at the end (above
// the filters already listed, where an encryption filter that it must read
// through belongs) when it is not there.
std::vector<std::string> MendFilters(const std::vector<std::string>& filters, FilterCheck& check) {
  std::vector<std::string> mended;
  for (const std::string& filter : filters) {
    // Windows reads a list only up to its first empty string.
    if (!filter.empty() && !check.DriverMissing(filter)) mended.push_back(filter);
  }
  if (std::ranges::none_of(mended, [](const std::string& f) { return SameName(f, kPartitionManager); })) {
    mended.emplace_back(kPartitionManager);
  }
  return mended;
}

// A value about to change, as it was.
struct Change {
  std::string_view name;
  std::optional<RegistryValue> before;
};

// Saves each value about to change as it is now. What earlier repairs saved
// of other values stays, so that every change Kestrix made can be put back.
void Save(WritableRegistryKey& backup, const std::vector<Change>& changes) {
  // Without its list of absent values a backup was cut short: start afresh.
  std::vector<std::string> absent;
  if (const auto earlier = backup.ReadTextList(kAbsentValues); earlier && backup.ReadValue(kAbsentValues)) {
    absent = *earlier;
  } else {
    for (const std::string_view name : RepairedNames()) {
      if (!backup.DeleteValue(name)) throw RefusedWrite(name);
    }
  }
  // Incomplete again until the list is written back last.
  if (!backup.DeleteValue(kRestoredMark)) throw RefusedWrite(kRestoredMark);
  if (!backup.DeleteValue(kAbsentValues)) throw RefusedWrite(kAbsentValues);
  for (const Change& change : changes) {
    std::erase(absent, change.name);
    if (!backup.DeleteValue(change.name)) throw RefusedWrite(change.name);
    if (!change.before) {
      absent.emplace_back(change.name);
    } else if (!backup.WriteValue(change.name, *change.before)) {
      throw RefusedWrite(change.name);
    }
  }
  if (!backup.WriteTextList(kAbsentValues, absent)) throw RefusedWrite(kAbsentValues);
}

// Whether the user put these very values back from the backup: then they
// are wanted as they are, and stay until the key changes again.
bool PutBackByUser(Registry& registry, const std::vector<Change>& changes) {
  const auto backup = registry.OpenKey(kDiskClassBackupKey);
  if (!backup || !backup->ReadValue(kRestoredMark)) return false;
  const std::vector<std::string> absent =
      backup->ReadTextList(kAbsentValues).value_or(std::vector<std::string>());
  return std::ranges::all_of(changes, [&](const Change& change) {
    if (std::ranges::find(absent, change.name) != absent.end()) return !change.before;
    return change.before && change.before == backup->ReadValue(change.name);
  });
}

}  // namespace

bool RepairDiskClassKey(Registry& registry, Files& files, Volumes& volumes) {
  const auto key = registry.OpenKey(kDiskClassKey);
  // A key that is there but cannot be read is left alone.
  if (!key && registry.KeyExists(kDiskClassKey) != false) return false;
  const auto read = [&](std::string_view name) { return key ? key->ReadValue(name) : std::nullopt; };

  std::vector<Change> changes;
  const auto filtersBefore = read(kUpperFilters);
  // A value of another type than text is damage with no entries to keep.
  const auto filters = key ? key->ReadTextList(kUpperFilters).value_or(std::vector<std::string>())
                           : std::vector<std::string>();
  FilterCheck check(registry, files, volumes);
  const std::vector<std::string> mended = MendFilters(filters, check);
  if (!filtersBefore || filtersBefore->type != kRegMultiSz || mended != filters) {
    changes.push_back({kUpperFilters, filtersBefore});
  }
  for (const auto& [name, data] : kDiskClassValues) {
    const auto before = read(name);
    if (!before || before->type != kRegSz || key->ReadText(name) != data) changes.push_back({name, before});
  }
  if (changes.empty() || PutBackByUser(registry, changes)) return true;

  const auto writable = registry.OpenOrCreateKey(kDiskClassKey);
  if (!writable) return false;
  const auto backup = registry.OpenOrCreateKey(kDiskClassBackupKey);
  if (!backup) return false;
  Save(*backup, changes);
  for (const Change& change : changes) {
    if (change.name == kUpperFilters) {
      if (!writable->WriteTextList(kUpperFilters, mended)) {
        throw RefusedWrite(kUpperFilters);
      }
      continue;
    }
    const auto value =
        std::ranges::find(kDiskClassValues, change.name, [](const auto& v) { return v.first; });
    WriteTextValue(*writable, change.name, value->second);
  }
  return true;
}

DiskClassRestore RestoreDiskClassKey(Registry& registry) {
  DiskClassRestore result;
  const auto backup = registry.OpenKey(kDiskClassBackupKey);
  if (!backup || !backup->ReadValue(kAbsentValues)) return result;
  result.backupFound = true;
  const std::vector<std::string> absent =
      backup->ReadTextList(kAbsentValues).value_or(std::vector<std::string>());
  const auto key = registry.OpenOrCreateKey(kDiskClassKey);
  result.keyOpened = key != nullptr;
  for (const std::string_view name : RepairedNames()) {
    const auto saved = backup->ReadValue(name);
    const bool added = std::ranges::find(absent, name) != absent.end();
    if (!saved && !added) continue;
    const bool done = key && (saved ? key->WriteValue(name, *saved) : key->DeleteValue(name));
    (done ? (saved ? result.restored : result.deleted) : result.failed).emplace_back(name);
  }
  // The next start leaves what was put back alone.
  const auto mark = registry.OpenOrCreateKey(kDiskClassBackupKey);
  if (result.failed.empty() && (!mark || !mark->WriteText(kRestoredMark, "1")))
    result.failed.emplace_back(kRestoredMark);
  return result;
}

}  // namespace kestrix
