// Shortcut worms: they hide the user's files and folders on a stick and put
// shortcuts of the same names at its root that start a command interpreter
// or script host, or a program on the stick, on a file of the stick. The
// decoys are found by what they start, whatever their names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "detect/detect_context.h"
#include "findings/shortcut_recovery.h"

namespace kestrix {

inline constexpr std::int32_t kDecoyCategory = 1;
inline constexpr std::int32_t kDecoyPayloadCategory = 0;

// The shortcuts at the drive's root, and in its hidden folders, that start
// an interpreter on a file of the drive or a program of the drive, where a
// worm's hiding shows (what they run is hidden and system, lies in a hidden
// folder with a worm's name, or was named by the rules or the Autorun.inf
// before; or they are named like an entry beside them that a worm hid), are
// listed as decoys, and each file of the drive they would run as a virus;
// so are programs at the root posing as the folders a worm hid there, or as
// the volume (`volumeLabel`). The drive's decoys and the entries they hid
// (the entries of each decoy's name, with or without an extension, the
// hidden folders they open, and hidden folders whose names are blank) are
// noted in `recovery`. The drive is only read: no mark is changed. Only
// removable and remote drives are looked at: shortcut worms spread on sticks
// and shares, and a fixed drive's shortcuts are the user's own.
void FindShortcutDecoys(const DetectContext& context, std::string_view driveRoot, DriveType type,
                        std::string_view volumeLabel, ShortcutRecovery* recovery);

}  // namespace kestrix
