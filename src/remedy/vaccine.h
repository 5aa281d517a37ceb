// The vaccine: a drive's Autorun.inf made a folder, so that no worm can
// write the file Windows reads from there. The folder is read-only, hidden
// and system and holds a subfolder with a note in it, so that a plain
// RemoveDirectory fails on it; the note tells the folder as Kestrix's own,
// and only what Kestrix made is ever taken away again.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kestrix {

// Below the drive's Autorun.inf folder; the note's bytes are always these.
inline constexpr std::string_view kVaccineNotePath = "Kestrix\\Vaccine.txt";
inline constexpr std::string_view kVaccineNote =
    "Kestrix made this folder so that no worm can write an Autorun.inf file to this drive.\r\n"
    "It is taken away by: kestrix-scan --unimmunize, with this drive's letter.\r\n";

struct VaccineResult {
  bool done = false;  // the drive is immunized, or for Unimmunize no longer
  std::string path;   // the drive's Autorun.inf
  std::string note;   // what was done or found; why not, when not done
};

// The letter (upper case) of "E", "e:" or "E:\"; nullopt for anything else.
std::optional<char> VaccineDriveLetter(std::string_view text);

// Makes the folder, or finds it made. A drive that holds an Autorun.inf
// file is refused and the file left alone, and so are CD-ROM drives and a
// drive that cannot be written. An Autorun.inf folder Kestrix did not make
// is left as it is and not counted as done. What was made before a failure
// is removed.
VaccineResult Immunize(Files& files, Volumes& volumes, char letter);

// Removes exactly what Immunize made: the note, the subfolder and the
// folder, and only when nothing else was put into them; otherwise all stays.
VaccineResult Unimmunize(Files& files, Volumes& volumes, char letter);

}  // namespace kestrix
