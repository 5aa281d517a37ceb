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

// What Immunize or Unimmunize found or did, for callers that word it
// themselves; the note says the same in English.
enum class VaccineStatus {
  kMade,            // Immunize made the folder
  kAlready,         // Immunize found Kestrix's folder
  kRemoved,         // Unimmunize took the folder away
  kNotImmunized,    // Unimmunize found no Autorun.inf
  kNoDrive,         // there is no such drive
  kCdRom,           // a CD-ROM drive, whose disc cannot be changed
  kAutorunFile,     // Autorun.inf is a file: left alone
  kForeignFolder,   // Autorun.inf is a folder Kestrix did not make: left alone
  kNotWritable,     // the drive cannot be written
  kMarksNotSet,     // the folder's read-only, hidden and system marks could not be set
  kInTheWay,        // the folder holds what Kestrix did not put there: left as it is
  kNoteNotRemoved,  // Kestrix's note could not be removed
  kFolderLeft,      // the note went, a folder could not
};

struct VaccineResult {
  bool done = false;  // the drive is immunized, or for Unimmunize no longer
  std::string path;   // the drive's Autorun.inf
  std::string note;   // what was done or found; why not, when not done
  VaccineStatus status = VaccineStatus::kNoDrive;
};

// The letter (upper case) of "E", "e:" or "E:\"; nullopt for anything else.
std::optional<char> VaccineDriveLetter(std::string_view text);

// Whether the drive's Autorun.inf is Kestrix's folder, the one Unimmunize
// would take away: a folder that holds Kestrix's note.
bool IsImmunized(Files& files, char letter);

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
