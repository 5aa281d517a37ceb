#include "remedy/vaccine.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "platform/common/case_text.h"

namespace kestrix {

namespace {

constexpr std::uint32_t kVaccineMarks = kAttributeReadOnly | kAttributeHidden | kAttributeSystem;

struct VaccinePaths {
  std::string root;       // "E:\"
  std::string autorun;    // "E:\Autorun.inf"
  std::string subfolder;  // "E:\Autorun.inf\Kestrix"
  std::string note;       // "E:\Autorun.inf\Kestrix\Vaccine.txt"

  explicit VaccinePaths(char letter)
      : root(std::string(1, letter) + ":\\"),
        autorun(root + "Autorun.inf"),
        subfolder(autorun + "\\" + std::string(kVaccineNotePath.substr(0, kVaccineNotePath.find('\\')))),
        note(autorun + "\\" + std::string(kVaccineNotePath)) {}
};

struct NoteReader final : ByteReader {
  std::string_view rest = kVaccineNote;
  std::optional<std::size_t> Read(std::span<char> buffer, std::string&) override {
    const std::size_t count = std::min(buffer.size(), rest.size());
    rest.copy(buffer.data(), count);
    rest.remove_prefix(count);
    return count;
  }
};

// Whether the folder holds Kestrix's note, byte for byte.
bool HoldsOurNote(Files& files, const VaccinePaths& paths) {
  if (!files.FileExists(paths.note)) return false;
  std::string reason;
  const auto reader = files.OpenForReading(paths.note, reason);
  if (!reader) return false;
  std::string content;
  std::array<char, 512> chunk;
  while (content.size() <= kVaccineNote.size()) {
    const auto got = reader->Read(chunk, reason);
    if (!got) return false;
    if (*got == 0) break;
    content.append(chunk.data(), *got);
  }
  return content == kVaccineNote;
}

bool MarkAll(Files& files, const VaccinePaths& paths, std::uint32_t marks) {
  // The folders last when marking, first when clearing: on some systems a
  // read-only folder keeps its entries as they are.
  if (marks == 0) {
    return files.SetAttributes(paths.autorun, 0) & files.SetAttributes(paths.subfolder, 0) &
           files.SetAttributes(paths.note, 0);
  }
  return files.SetAttributes(paths.note, marks) && files.SetAttributes(paths.subfolder, marks) &&
         files.SetAttributes(paths.autorun, marks);
}

bool SameAsciiName(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, {}, AsciiLower, AsciiLower);
}

// What the folders hold besides the subfolder and the note, said as
// "E:\Autorun.inf holds mine.txt"; nullopt when they hold nothing else.
std::optional<std::string> InTheWay(Files& files, const VaccinePaths& paths) {
  std::string said;
  const auto look = [&](const std::string& folder, std::string_view ours) {
    std::vector<std::string> others;
    bool found = false;
    for (FolderEntry& entry : files.ListFolder(folder)) {
      if (SameAsciiName(entry.name, ours)) {
        found = true;
      } else {
        others.push_back(std::move(entry.name));
      }
    }
    if (found && others.empty()) return;
    said.append(said.empty() ? "" : "; ").append(folder);
    if (others.empty()) {
      said += " cannot be listed";
      return;
    }
    std::ranges::sort(others);
    constexpr std::size_t kNamed = 3;
    said += " holds ";
    for (std::size_t i = 0; i < others.size() && i < kNamed; ++i)
      said.append(i == 0 ? "" : ", ").append(others[i]);
    if (others.size() > kNamed) said += " and " + std::to_string(others.size() - kNamed) + " more";
  };
  const std::string_view noteName = kVaccineNotePath.substr(kVaccineNotePath.find('\\') + 1);
  look(paths.subfolder, noteName);
  look(paths.autorun, kVaccineNotePath.substr(0, kVaccineNotePath.find('\\')));
  if (said.empty()) return std::nullopt;
  return said;
}

// Why the drive is no place for the vaccine; nullopt when it is.
std::optional<std::pair<VaccineStatus, std::string>> RefusedDrive(Volumes& volumes,
                                                                  const VaccinePaths& paths) {
  const std::string drive = paths.root.substr(0, 2);
  switch (volumes.QueryDriveType(paths.root)) {
    case DriveType::kNoRootDir:
      return std::pair(VaccineStatus::kNoDrive, "there is no drive " + drive);
    case DriveType::kCdRom:
      return std::pair(VaccineStatus::kCdRom, drive + " is a CD-ROM drive, whose disc cannot be changed");
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<char> VaccineDriveLetter(std::string_view text) {
  if (text.empty() || text.size() > 3) return std::nullopt;
  const char letter = AsciiUpper(text[0]);
  if (letter < 'A' || letter > 'Z') return std::nullopt;
  if (text.size() >= 2 && text[1] != ':') return std::nullopt;
  if (text.size() == 3 && text[2] != '\\' && text[2] != '/') return std::nullopt;
  return letter;
}

bool IsImmunized(Files& files, char letter) {
  const VaccinePaths paths(letter);
  return !files.FileExists(paths.autorun) && files.QueryFileSize(paths.autorun) >= 0 &&
         HoldsOurNote(files, paths);
}

VaccineResult Immunize(Files& files, Volumes& volumes, char letter) {
  const VaccinePaths paths(letter);
  VaccineResult result{.done = false, .path = paths.autorun, .note = {}};
  if (auto refused = RefusedDrive(volumes, paths)) {
    result.status = refused->first;
    result.note = std::move(refused->second);
    return result;
  }
  if (files.FileExists(paths.autorun)) {
    result.status = VaccineStatus::kAutorunFile;
    result.note = paths.autorun +
                  " is a file, which a worm may have written; left as it is: sweep and clean "
                  "the drive first";
    return result;
  }
  if (files.QueryFileSize(paths.autorun) >= 0) {
    if (!HoldsOurNote(files, paths)) {
      result.status = VaccineStatus::kForeignFolder;
      result.note =
          paths.autorun + " is a folder Kestrix did not make, which keeps worms out as well; left as it is";
      return result;
    }
    result.done = MarkAll(files, paths, kVaccineMarks);
    result.status = result.done ? VaccineStatus::kAlready : VaccineStatus::kMarksNotSet;
    result.note = result.done ? "already immunized: " + paths.autorun + " is Kestrix's folder"
                              : "the marks of " + paths.autorun + " could not be set";
    return result;
  }
  NoteReader note;
  std::string reason;
  if (!files.WriteNewFile(paths.note, note, false, reason)) {
    // Whatever folder was made before the failure goes again.
    files.RemoveFolder(paths.subfolder);
    files.RemoveFolder(paths.autorun);
    result.status = VaccineStatus::kNotWritable;
    result.note = paths.root.substr(0, 2) + " cannot be written (" + reason +
                  "); a read-only or write-protected drive cannot be immunized";
    return result;
  }
  result.done = MarkAll(files, paths, kVaccineMarks);
  result.status = result.done ? VaccineStatus::kMade : VaccineStatus::kMarksNotSet;
  result.note = result.done ? "made " + paths.autorun + ", a read-only, hidden, system folder"
                            : "made " + paths.autorun + ", but its marks could not be set";
  return result;
}

VaccineResult Unimmunize(Files& files, Volumes& volumes, char letter) {
  const VaccinePaths paths(letter);
  VaccineResult result{.done = false, .path = paths.autorun, .note = {}};
  if (auto refused = RefusedDrive(volumes, paths)) {
    result.status = refused->first;
    result.note = std::move(refused->second);
    return result;
  }
  if (files.FileExists(paths.autorun)) {
    result.status = VaccineStatus::kAutorunFile;
    result.note = paths.autorun + " is a file, not Kestrix's folder; left as it is (a sweep lists it)";
    return result;
  }
  if (files.QueryFileSize(paths.autorun) < 0) {
    result.done = true;
    result.status = VaccineStatus::kNotImmunized;
    result.note = "not immunized: there is no " + paths.autorun;
    return result;
  }
  if (!HoldsOurNote(files, paths)) {
    result.status = VaccineStatus::kForeignFolder;
    result.note = paths.autorun + " is a folder Kestrix did not make; left as it is";
    return result;
  }
  // Whatever else the user put into the folders keeps them, note and all.
  if (auto inTheWay = InTheWay(files, paths)) {
    result.status = VaccineStatus::kInTheWay;
    result.note = *inTheWay + ", which Kestrix did not put there; " + paths.autorun + " left as it is";
    return result;
  }
  MarkAll(files, paths, 0);
  if (!files.RemoveFile(paths.note)) {
    MarkAll(files, paths, kVaccineMarks);
    result.status = VaccineStatus::kNoteNotRemoved;
    result.note = paths.note + " could not be removed; " + paths.autorun + " left as it was";
    return result;
  }
  for (const std::string* folder : {&paths.subfolder, &paths.autorun}) {
    if (!files.RemoveFolder(*folder)) {
      result.status = VaccineStatus::kFolderLeft;
      result.note =
          "removed Kestrix's note; left " + *folder + ", which holds files Kestrix did not put there";
      return result;
    }
  }
  result.done = true;
  result.status = VaccineStatus::kRemoved;
  result.note = "removed " + paths.autorun + ", Kestrix's folder";
  return result;
}

}  // namespace kestrix
