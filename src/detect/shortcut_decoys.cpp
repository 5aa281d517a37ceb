#include "detect/shortcut_decoys.h"

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

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

// The name without its last extension.
std::string_view Stem(std::string_view name) { return name.substr(0, name.rfind('.')); }

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

// A name worms give the folder they hide files in: blank, underscores only,
// or a recycle bin's that is not the volume's own ($RECYCLE.BIN).
bool IsWormFolderName(const CaseFolding& folding, std::string_view name) {
  if (IsBlankName(name) || name.find_first_not_of('_') == std::string_view::npos) return true;
  std::string folded = LowerText(folding, name);
  std::erase(folded, ' ');
  return folded != "$recycle.bin" && (folded.starts_with("recycle") || folded.starts_with("$recycle"));
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

// Hidden and system together: what worms set, and what Explorer offers no
// user to set.
bool WormHidden(std::uint32_t marks) { return (marks & kWormMarks) == kWormMarks; }

bool IsShortcut(const CaseFolding& folding, std::string_view name) {
  return LowerText(folding, Extension(name)) == ".lnk";
}

// What a worm leaves at a root to be taken for a folder or the drive.
bool IsProgramDecoyType(const CaseFolding& folding, std::string_view name) {
  static constexpr std::array<std::string_view, 4> kExtensions = {".exe", ".scr", ".com", ".pif"};
  return std::ranges::find(kExtensions, LowerText(folding, Extension(name))) != kExtensions.end();
}

struct Entry {
  std::string name;
  std::string key;      // the name lower-cased
  std::string stemKey;  // without its last extension
  bool folder = false;
  std::uint32_t marks = 0;  // as they are now
};

// The folders, shortcuts and programs of the drive's root and of its hidden
// folders, and the files named like a shortcut beside it, listed once with
// their marks, by folder as spelled here. Only reading: nothing is changed.
class Listings {
 public:
  Listings(Files& files, const CaseFolding& folding) : files_(files), folding_(folding) {}
  void Add(const std::string& folder, const std::vector<FolderEntry>& listed) {
    std::unordered_set<std::string> stems;
    for (const FolderEntry& entry : listed) {
      if (!entry.folder && IsShortcut(folding_, entry.name))
        stems.insert(LowerText(folding_, Stem(entry.name)));
    }
    std::vector<Entry>& entries = byFolder_[folder];
    for (const FolderEntry& entry : listed) {
      std::string key = LowerText(folding_, entry.name);
      std::string stemKey(Stem(key));
      // A stick's root may hold thousands of other files, of no interest here.
      if (!entry.folder && !IsShortcut(folding_, key) && !IsProgramDecoyType(folding_, key) &&
          !stems.contains(key) && !stems.contains(stemKey)) {
        continue;
      }
      const std::string path = Child(folder, entry.name);
      const std::uint32_t marks =
          entry.folder ? entry.attributes : files_.CurrentAttributes(path).value_or(0);
      marks_.try_emplace(LowerText(folding_, path), marks);
      entries.push_back({entry.name, std::move(key), std::move(stemKey), entry.folder, marks});
    }
    // Listing order differs between file systems; the list must not.
    std::ranges::sort(entries, {}, &Entry::name);
    std::unordered_map<std::string, std::vector<std::size_t>>& byName = names_[folder];
    for (std::size_t i = 0; i < entries.size(); ++i) {
      byName[entries[i].stemKey].push_back(i);
      if (entries[i].key != entries[i].stemKey) byName[entries[i].key].push_back(i);
    }
  }
  const std::vector<Entry>& In(const std::string& folder) const {
    static const std::vector<Entry> kNone;
    const auto found = byFolder_.find(folder);
    return found == byFolder_.end() ? kNone : found->second;
  }
  // The entries of a folder whose lower-cased names, whole or without their
  // last extension, are `key`.
  std::vector<const Entry*> Named(const std::string& folder, const std::string& key) const {
    std::vector<const Entry*> found;
    const auto names = names_.find(folder);
    if (names == names_.end()) return found;
    const auto indexes = names->second.find(key);
    if (indexes == names->second.end()) return found;
    for (const std::size_t i : indexes->second) found.push_back(&In(folder)[i]);
    return found;
  }
  // The marks of what a path names, as they are now.
  std::optional<std::uint32_t> Marks(std::string_view path) const {
    const auto listed = marks_.find(LowerText(folding_, path));
    if (listed != marks_.end()) return listed->second;
    return files_.CurrentAttributes(path);
  }

 private:
  Files& files_;
  const CaseFolding& folding_;
  std::map<std::string, std::vector<Entry>> byFolder_;
  std::map<std::string, std::unordered_map<std::string, std::vector<std::size_t>>> names_;
  std::unordered_map<std::string, std::uint32_t> marks_;
};

struct Decoy {
  std::string command;  // the target's name and the arguments, for the reason
  Launches launches;
};

// True when a file a shortcut runs was hidden as worms hide theirs: it, or a
// folder it lies in, is hidden and system (its own marks as they were
// before anything of this program reset them), or it lies in a hidden
// folder of the root with a worm's name.
bool Concealed(const DetectContext& context, const Listings& listings, std::string_view driveRoot,
               std::string_view path) {
  if (WormHidden(context.files.OriginalAttributes(path).value_or(0))) return true;
  for (std::size_t end = path.find('\\', driveRoot.size()); end != std::string_view::npos;
       end = path.find('\\', end + 1)) {
    const std::string_view folder = path.substr(0, end);
    const std::uint32_t marks = listings.Marks(folder).value_or(0);
    const bool atRoot = end == path.find('\\', driveRoot.size());
    if (WormHidden(marks) ||
        (atRoot && (marks & kAttributeHidden) != 0 && IsWormFolderName(context.folding, FileName(folder)))) {
      return true;
    }
  }
  return false;
}

// What a shortcut would do on the drive, when it is a decoy: it starts a
// program of the drive, or an interpreter on a file of the drive, and what
// it runs was hidden as worms hide theirs, or it is named like an entry
// hidden beside it. Hidden alone is no evidence: Explorer lets any user
// hide a folder and start its program from a shortcut at the root.
std::optional<Decoy> ExamineShortcut(const DetectContext& context, std::string_view driveRoot,
                                     const Listings& listings, const std::string& path,
                                     const std::string& folder, std::span<const std::string> namesakes) {
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
  const std::string commandLine = "\"" + program + "\" " + link->arguments;
  Launches launches =
      FindLaunches(context, commandLine, driveRoot, bases, {.withProgram = true, .resetMarks = false});
  // The user's entry of the decoy's name is opened by it, never run.
  std::erase_if(launches.files, [&](const LaunchedFile& file) {
    return (!namesakes.empty() && EqualNoCase(folding, file.path, namesakes.front())) ||
           EqualNoCase(folding, file.path, path);
  });
  if (launches.files.empty()) return std::nullopt;

  const auto runs = [&](std::string_view entry) {
    return std::ranges::any_of(
        launches.files, [&](const LaunchedFile& file) { return EqualNoCase(folding, file.path, entry); });
  };
  // Explorer lets any user hide an entry, but not mark it system: a
  // shortcut named like an entry hidden only is a decoy only when what it
  // runs hides itself too. What Windows keeps hidden is no user's entry.
  const bool runsHidden = std::ranges::any_of(launches.files, [&](const LaunchedFile& file) {
    return (context.files.OriginalAttributes(file.path).value_or(0) & kAttributeHidden) != 0;
  });
  const auto namedLikeHidden = [&](const std::string& entry) {
    const auto marks = listings.Marks(entry);
    if (!marks || (*marks & kAttributeHidden) == 0 || runs(entry) || KeptHiddenOnPurpose(entry)) return false;
    return WormHidden(*marks) || runsHidden;
  };
  // A file the rules or the drive's Autorun.inf named already is a worm's,
  // whatever its marks now: those passes reset them.
  const auto known = [&](const LaunchedFile& file) {
    return context.list.Contains(file.path) || Concealed(context, listings, driveRoot, file.path);
  };
  if (std::ranges::none_of(namesakes, namedLikeHidden) && std::ranges::none_of(launches.files, known)) {
    return std::nullopt;
  }

  Decoy decoy{std::string(FileName(target)), std::move(launches)};
  if (!link->arguments.empty()) decoy.command.append(" ").append(link->arguments);
  constexpr std::size_t kShownCommand = 200;
  if (decoy.command.size() > kShownCommand) {
    std::size_t cut = kShownCommand;
    while (cut > 0 && (static_cast<unsigned char>(decoy.command[cut]) & 0xC0) == 0x80) --cut;
    decoy.command.resize(cut);
  }
  return decoy;
}

// True when a lower-cased name is the volume's label, or, for a volume
// without one, a name Windows shows for such a stick.
bool IsVolumeName(std::string_view name, std::string_view label) {
  static constexpr std::array<std::string_view, 6> kUnlabelled = {
      "usb drive", "removable disk", "usb 磁碟機", "卸除式磁碟", "u 盘", "可移动磁盘"};
  name = TrimControls(name);
  return label.empty() ? std::ranges::find(kUnlabelled, name) != kUnlabelled.end() : name == label;
}

// The entries of a folder named like one of its shortcuts: exactly without
// the shortcut's extension first (Photos for Photos.lnk), then those whose
// own extension the shortcut's name leaves out (Report 2023.docx for
// Report 2023.lnk).
std::vector<std::string> Namesakes(const Listings& listings, const std::string& folder,
                                   const Entry& shortcut) {
  // ".lnk" and "...lnk" stand for no entry: "." is the folder itself.
  if (shortcut.stemKey.find_first_not_of(". ") == std::string::npos) return {};
  std::vector<std::string> namesakes{Child(folder, Stem(shortcut.name))};
  for (const Entry* entry : listings.Named(folder, shortcut.stemKey)) {
    if (entry->stemKey == shortcut.stemKey && entry->key != shortcut.stemKey &&
        entry->key.size() > entry->stemKey.size() + 1 && !entry->key.ends_with(".lnk")) {
      namesakes.push_back(Child(folder, entry->name));
    }
  }
  return namesakes;
}

}  // namespace

void FindShortcutDecoys(const DetectContext& context, std::string_view driveRoot, DriveType type,
                        std::string_view volumeLabel, ShortcutRecovery* recovery) {
  if (type != DriveType::kRemovable && type != DriveType::kRemote) return;
  const CaseFolding& folding = context.folding;
  const std::string root(driveRoot);
  Listings listings(context.files, folding);
  listings.Add(root, context.files.ListFolder(root));
  const auto hidden = [](const Entry& entry) { return (entry.marks & kAttributeHidden) != 0; };
  std::vector<std::string> folders{root};
  for (const Entry& entry : listings.In(root)) {
    if (!entry.folder || !hidden(entry)) continue;
    context.pump.PumpMessages();
    folders.push_back(Child(root, entry.name));
    listings.Add(folders.back(), context.files.ListFolder(folders.back()));
  }

  std::vector<std::string> decoys;
  std::vector<HiddenEntry> victims;
  std::unordered_set<std::string> noted;
  const auto noteVictim = [&](const std::string& path) {
    const auto marks = listings.Marks(path);
    if (marks && (*marks & kWormMarks) != 0 && noted.insert(LowerText(folding, path)).second)
      victims.push_back({path, *marks});
  };

  // Each shortcut at the root and in its hidden folders.
  for (const std::string& folder : folders) {
    for (const Entry& entry : listings.In(folder)) {
      if (entry.folder || !IsShortcut(folding, entry.name)) continue;
      context.pump.PumpMessages();
      const std::string path = Child(folder, entry.name);
      const std::vector<std::string> namesakes = Namesakes(listings, folder, entry);
      const auto decoy = ExamineShortcut(context, driveRoot, listings, path, folder, namesakes);
      if (!decoy) continue;
      context.list.AddVirus(path, kDecoyCategory, "a shortcut that starts " + decoy->command);
      for (const LaunchedFile& payload : decoy->launches.files) {
        context.list.AddVirusAtLeast(
            payload.path, kDecoyPayloadCategory,
            "started by the shortcut " + path + ", argument \"" + payload.argument + "\"");
      }
      decoys.push_back(path);
      // What the worm hid under the decoy's name, and the folders it opens.
      for (const std::string& namesake : namesakes) {
        if (std::ranges::none_of(decoy->launches.files, [&](const LaunchedFile& file) {
              return EqualNoCase(folding, file.path, namesake);
            }))
          noteVictim(namesake);
      }
      for (const std::string& opened : decoy->launches.openedFolders) noteVictim(opened);
    }
  }

  // Programs at the root named like a hidden folder there, or like the
  // volume beside folders a worm hid: they wear a folder's or a drive's icon.
  const auto wormHiddenFolder = [&](const Entry& entry) {
    return entry.folder && !KeptHiddenOnPurpose(Child(root, entry.name)) &&
           (WormHidden(entry.marks) || (hidden(entry) && IsWormFolderName(folding, entry.name)));
  };
  const std::string label = LowerText(folding, TrimControls(volumeLabel));
  const bool wormHidRoot = std::ranges::any_of(listings.In(root), wormHiddenFolder);
  // A user may keep Tool.exe beside a Tool folder hidden in Explorer; a
  // worm hides each folder with a copy of its own beside it.
  std::vector<std::pair<const Entry*, const Entry*>> posing;  // program, folder
  for (const Entry& entry : listings.In(root)) {
    if (entry.folder || !IsProgramDecoyType(folding, entry.key)) continue;
    for (const Entry* other : listings.Named(root, entry.stemKey)) {
      if (other->folder && hidden(*other) && other->key == entry.stemKey) posing.emplace_back(&entry, other);
    }
  }
  std::erase_if(posing,
                [&](const auto& pair) { return posing.size() < 2 && !WormHidden(pair.second->marks); });
  for (const Entry& entry : listings.In(root)) {
    if (entry.folder || !IsProgramDecoyType(folding, entry.key)) continue;
    const auto folder = std::ranges::find(posing, &entry, &std::pair<const Entry*, const Entry*>::first);
    const bool likeVolume = wormHidRoot && IsVolumeName(entry.stemKey, label);
    if (folder == posing.end() && !likeVolume) continue;
    const std::string path = Child(root, entry.name);
    if (folder != posing.end()) {
      context.list.AddVirus(path, kDecoyCategory,
                            "a program named like the hidden folder " + Child(root, folder->second->name));
      noteVictim(Child(root, folder->second->name));
    } else {
      context.list.AddVirus(path, kDecoyCategory,
                            "a program named like the volume, beside folders a worm hid");
      for (const Entry& other : listings.In(root)) {
        if (wormHiddenFolder(other)) noteVictim(Child(root, other.name));
      }
    }
    decoys.push_back(path);
  }
  if (decoys.empty()) return;

  // And hidden folders at the root whose names show as nothing.
  for (const Entry& entry : listings.In(root)) {
    if (entry.folder && hidden(entry) && IsBlankName(entry.name)) noteVictim(Child(root, entry.name));
  }
  if (recovery != nullptr) recovery->Note(std::move(decoys), std::move(victims));
}

}  // namespace kestrix
