// Every start rewrites the disk-drive device class key with a fixed set of
// values, so that a worm's or a broken installer's changes to it (a missing
// or bad UpperFilters hides every disk) are undone.
#pragma once

#include <string_view>

#include "platform/platform.h"

namespace kestrix {

inline constexpr std::string_view kDiskClassKey =
    "\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E967-E325-11CE-BFC1-08002BE10318}";

// Writes the eight values, in order, each as REG_SZ, into the key, creating
// it if missing. A key that can be neither opened nor created is skipped; a
// refused write raises RegistryError and leaves the rest unwritten.
// Returns false when the key could not be opened.
bool RepairDiskClassKey(Registry& registry);

}  // namespace kestrix
