// The vaccine as the tray program offers it: the submenu that lists the
// removable drives, checked where Kestrix's Autorun.inf folder is, and the
// balloons that say what choosing one did, or what the sweep's automatic
// immunizing did.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "remedy/vaccine.h"

namespace kestrix {

inline constexpr std::string_view kVaccineMenuCaption = "保護隨身碟(&V)";
inline constexpr std::string_view kNoVaccineDrive = "(沒有隨身碟)";

// A drive as the submenu shows it.
struct VaccineDrive {
  char letter = 'A';
  std::string caption;  // "E: LABEL", or "E:" without a label; "&" doubled, as menus want it
  bool immunized = false;

  bool operator==(const VaccineDrive&) const = default;
};

// The drives a sweep looks at as removable, in letter order: of the
// removable type, with a volume behind the letter (an empty card reader has
// none), from C: on when A: and B: are skipped.
std::vector<char> RemovableDrives(Volumes& volumes, bool skipFloppies);

// The submenu's drives, as they are now.
std::vector<VaccineDrive> VaccineDrives(Files& files, Volumes& volumes, bool skipFloppies);

// What choosing a drive did, said for a balloon.
struct VaccineBalloon {
  std::string text;
  BalloonKind kind = BalloonKind::kInfo;
};
// `immunizing`: the choice was to immunize the drive, not to take the
// vaccine away.
VaccineBalloon SayVaccineResult(bool immunizing, char letter, const VaccineResult& result);

// The balloon after a sweep immunized the drives by itself.
std::string SayAutoImmunized(const std::vector<char>& letters);

}  // namespace kestrix
