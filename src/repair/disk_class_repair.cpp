#include "repair/disk_class_repair.h"

#include <array>
#include <utility>

#include "settings/registry_values.h"

namespace kestrix {

namespace {

// "@" is a value of that name, not the key's default value.
constexpr std::array<std::pair<std::string_view, std::string_view>, 8> kDiskClassValues = {{
    {"UpperFilters", "PartMgr"},
    {"Class", "DiskDrive"},
    {"@", "磁碟磁碟機"},
    {"Installer32", "StorProp.Dll,DiskClassInstaller"},
    {"SilentInstall", "1"},
    {"NoInstallClass", "1"},
    {"TroubleShooter-0", "hcp://help/tshoot/tsdrive.htm"},
    {"Icon", "-53"},
}};

}  // namespace

bool RepairDiskClassKey(Registry& registry) {
  const auto key = registry.OpenOrCreateKey(kDiskClassKey);
  if (!key) return false;
  for (const auto& [name, data] : kDiskClassValues) WriteTextValue(*key, name, data);
  return true;
}

}  // namespace kestrix
