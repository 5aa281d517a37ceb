#include "detect/shortcut_decoys.h"

#include <algorithm>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>

#include "detect/file_tests.h"
#include "detect/launched_files.h"
#include "platform/common/case_text.h"
#include "platform/common/windows_path.h"

namespace kestrix {

namespace {

std::string_view FileName(std::string_view path) { return path.substr(path.find_last_of("\\/") + 1); }

std::string_view Extension(std::string_view name) {
  const auto dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot);
}

// A name that shows as nothing: blanks, controls, no-break and zero-width
// spaces, fillers. Worms move the user's files into such a folder.
bool IsBlankName(std::string_view name) {
  for (std::size_t i = 0; i < name.size();) {
    const auto lead = static_cast<unsigned char>(name[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || i + length > name.size() || lead >= 0xF0) return false;
    char32_t c = length == 1 ? lead : length == 2 ? lead & 0x1F : lead & 0x0F;
    for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(name[i + k]) & 0x3F);
    const bool blank = c <= 0x20 || c == 0x7F || c == 0xA0 || c == 0xAD || c == 0x115F || c == 0x1160 ||
                       (c >= 0x2000 && c <= 0x200F) || (c >= 0x2028 && c <= 0x202F) ||
                       (c >= 0x205F && c <= 0x206F) || c == 0x3000 || c == 0x3164 || c == 0xFEFF ||
                       c == 0xFFA0;
    if (!blank) return false;
    i += length;
  }
  return true;
}

// A path on `driveRoot`'s drive, spelled in full; nullopt for one elsewhere.
// A relative one lies below `base`.
std::optional<std::string> OnDrive(const CaseFolding& folding, std::string_view path, std::string_view base,
                                   std::string_view driveRoot) {
  const auto full = ParseDrivePath(path, base);
  if (!full) return std::nullopt;
  const std::string text = full->Text();
  if (!EqualNoCase(folding, text.substr(0, 2), driveRoot.substr(0, 2))) return std::nullopt;
  return text;
}

std::string Child(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!path.ends_with('\\')) path += '\\';
  return path.append(name);
}

constexpr std::uint32_t kWormMarks = kAttributeHidden | kAttributeSystem;

bool IsShortcut(const CaseFolding& folding, const FolderEntry& entry) {
  return !entry.folder && LowerText(folding, Extension(entry.name)) == ".lnk";
}

// The folders and shortcuts of the drive's root and of its hidden folders,
// listed once, by folder as spelled here; the folders also by their paths.
class Listings {
 public:
  Listings(Files& files, const CaseFolding& folding) : files_(files), folding_(folding) {}
  void Add(const std::string& folder, std::vector<FolderEntry> entries) {
    // A stick's root may hold thousands of other files, of no interest here.
    std::erase_if(entries,
                  [&](const FolderEntry& entry) { return !entry.folder && !IsShortcut(folding_, entry); });
    // Listing order differs between file systems; the list must not.
    std::ranges::sort(entries, {}, &FolderEntry::name);
    for (const FolderEntry& entry : entries) {
      if (entry.folder)
        folderMarks_.try_emplace(LowerText(folding_, Child(folder, entry.name)), entry.attributes);
    }
    byFolder_[folder] = std::move(entries);
  }
  const std::vector<FolderEntry>& In(const std::string& folder) const {
    static const std::vector<FolderEntry> kNone;
    const auto found = byFolder_.find(folder);
    return found == byFolder_.end() ? kNone : found->second;
  }
  // The attribute bits of what a path in a listed folder names, as they are
  // now: a folder's as listed.
  std::optional<std::uint32_t> Marks(std::string_view path) const {
    const auto folder = folderMarks_.find(LowerText(folding_, path));
    if (folder != folderMarks_.end()) return folder->second;
    return files_.CurrentAttributes(path);
  }

 private:
  Files& files_;
  const CaseFolding& folding_;
  std::map<std::string, std::vector<FolderEntry>> byFolder_;
  std::unordered_map<std::string, std::uint32_t> folderMarks_;
};

struct Decoy {
  std::string path;
  std::string command;  // the target's name and the arguments, for the reason
  std::vector<LaunchedFile> payloads;
};

// What a shortcut would run on the drive, when it is a decoy: it starts a
// program of the drive, or an interpreter on a file of the drive, and what
// it runs, or the user's entry of its name, was hidden as worms hide them.
// Anything else, a user's own shortcut to a program on a stick among them,
// is no decoy.
std::optional<Decoy> ExamineShortcut(const DetectContext& context, std::string_view driveRoot,
                                     const Listings& listings, const std::string& path, const std::string& folder,
                                     const std::string& namesake) {
  const auto link = context.files.ReadShortcut(path);
  if (!link) return std::nullopt;
  const CaseFolding& folding = context.folding;
  const std::string target(TrimControls(link->target));
  if (target.empty()) return std::nullopt;

  // Relative names are looked for where the program starts, then beside
  // the shortcut, then at the drive's root.
  std::vector<std::string> bases;
  const std::string workingDirectory(TrimControls(link->workingDirectory));
  if (const auto onDrive = OnDrive(folding, workingDirectory, folder, driveRoot);
      onDrive && !workingDirectory.empty()) {
    bases.push_back(*onDrive);
  }
  bases.push_back(folder);
  bases.emplace_back(driveRoot);
  // The target as a program of the drive is found below the shortcut's folder.
  const std::string program = OnDrive(folding, target, folder, driveRoot).value_or(target);
  std::string commandLine = "\"" + program + "\" " + link->arguments;
  std::vector<LaunchedFile> payloads =
      FindLaunches(context, commandLine, driveRoot, bases, {.withProgram = true, .resetMarks = false}).files;
  // The user's entry of the decoy's name is opened by it, never run.
  std::erase_if(payloads, [&](const LaunchedFile& file) {
    return EqualNoCase(folding, file.path, namesake) || EqualNoCase(folding, file.path, path);
  });
  if (payloads.empty()) return std::nullopt;

  const auto hidden = [&](std::string_view entry) {
    return (listings.Marks(entry).value_or(0) & kWormMarks) != 0;
  };
  const auto concealed = [&](const LaunchedFile& file) {
    // Its marks as they were before the sweep cleared them, or a hidden folder
    // at the root that holds it.
    const auto original = context.files.OriginalAttributes(file.path);
    const std::size_t below = file.path.find('\\', driveRoot.size());
    return (original && (*original & kWormMarks) != 0) ||
           (below != std::string::npos && hidden(std::string_view(file.path).substr(0, below)));
  };
  if (!hidden(namesake) && std::ranges::none_of(payloads, concealed)) return std::nullopt;

  Decoy decoy{path, std::string(FileName(target)), std::move(payloads)};
  if (!link->arguments.empty()) decoy.command.append(" ").append(link->arguments);
  constexpr std::size_t kShownCommand = 200;
  if (decoy.command.size() > kShownCommand) {
    std::size_t cut = kShownCommand;
    while (cut > 0 && (static_cast<unsigned char>(decoy.command[cut]) & 0xC0) == 0x80) --cut;
    decoy.command.resize(cut);
  }
  return decoy;
}

}  // namespace

void FindShortcutDecoys(const DetectContext& context, std::string_view driveRoot, DriveType type,
                        ShortcutRecovery* recovery) {
  if (type != DriveType::kRemovable && type != DriveType::kRemote) return;
  const CaseFolding& folding = context.folding;
  const std::string root(driveRoot);
  Listings listings(context.files, folding);
  listings.Add(root, context.files.ListFolder(root));
  const auto hidden = [](const FolderEntry& entry) { return (entry.attributes & kAttributeHidden) != 0; };
  for (const FolderEntry& entry : listings.In(root)) {
    if (!entry.folder || !hidden(entry)) continue;
    context.pump.PumpMessages();
    listings.Add(Child(root, entry.name), context.files.ListFolder(Child(root, entry.name)));
  }

  // Each shortcut at the root and in its hidden folders, with the entry of its own name there.
  std::vector<std::string> folders{root};
  for (const FolderEntry& entry : listings.In(root)) {
    if (entry.folder && hidden(entry)) folders.push_back(Child(root, entry.name));
  }
  std::vector<std::string> decoys;
  std::vector<HiddenEntry> victims;
  for (const std::string& folder : folders) {
    for (const FolderEntry& entry : listings.In(folder)) {
      if (!IsShortcut(folding, entry)) continue;
      context.pump.PumpMessages();
      const std::string path = Child(folder, entry.name);
      const std::string namesake = Child(folder, std::string_view(entry.name).substr(0, entry.name.rfind('.')));
      const auto decoy = ExamineShortcut(context, driveRoot, listings, path, folder, namesake);
      if (!decoy) continue;
      if (ExistsAndClearAttributes(context.files, decoy->path)) {
        context.list.AddVirus(decoy->path, kDecoyCategory, "a shortcut that starts " + decoy->command);
      }
      for (const LaunchedFile& payload : decoy->payloads) {
        context.list.AddVirus(payload.path, kDecoyPayloadCategory,
                              "started by the shortcut " + decoy->path + ", argument \"" + payload.argument + "\"");
      }
      decoys.push_back(decoy->path);
      // The entry the worm hid under the decoy's name.
      if (const auto marks = listings.Marks(namesake); marks && (*marks & kWormMarks) != 0) {
        victims.push_back({namesake, *marks});
      }
    }
  }
  if (decoys.empty()) return;

  // And hidden folders at the root whose names show as nothing.
  for (const FolderEntry& entry : listings.In(root)) {
    if (entry.folder && hidden(entry) && IsBlankName(entry.name))
      victims.push_back({Child(root, entry.name), entry.attributes});
  }
  if (recovery != nullptr) recovery->Note(std::move(decoys), std::move(victims));
}

}  // namespace kestrix
