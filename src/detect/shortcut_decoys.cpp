#include "detect/shortcut_decoys.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

#include "detect/command_line.h"
#include "detect/file_tests.h"
#include "platform/common/case_text.h"
#include "platform/common/windows_path.h"

namespace kestrix {

namespace {

// What Windows runs rather than opens: programs and the script hosts' files.
constexpr std::array<std::string_view, 16> kRunnableExtensions = {
    ".exe", ".com", ".scr", ".pif", ".bat", ".cmd", ".vbs", ".vbe",
    ".js",  ".jse", ".wsf", ".wsh", ".hta", ".ps1", ".cpl", ".dll"};
// cmd's own separators between commands and redirections.
constexpr std::string_view kCommandOperators = "&|<>()";

std::string_view FileName(std::string_view path) { return path.substr(path.find_last_of("\\/") + 1); }

std::string_view Extension(std::string_view name) {
  const auto dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot);
}

bool HasRunnableExtension(const CaseFolding& folding, std::string_view path) {
  const std::string extension = LowerText(folding, Extension(FileName(path)));
  return std::ranges::find(kRunnableExtensions, extension) != kRunnableExtensions.end();
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

struct Decoy {
  std::string path;
  std::string command;  // the target's name and the arguments, for the reason
  std::vector<std::pair<std::string, std::string>> payloads;  // path, why
};

// What a shortcut would run on the drive, when it is a decoy.
std::optional<Decoy> ExamineShortcut(const DetectContext& context, std::string_view driveRoot,
                                     const std::string& path, const std::string& folder,
                                     const std::string& hiddenEntry) {
  const auto link = context.files.ReadShortcut(path);
  if (!link) return std::nullopt;
  const CaseFolding& folding = context.folding;
  Decoy decoy{path, {}, {}};
  const auto addPayload = [&](const std::string& file, std::string why) {
    if (EqualNoCase(folding, file, hiddenEntry) || EqualNoCase(folding, file, path)) return;
    const bool known = std::ranges::any_of(
        decoy.payloads, [&](const auto& payload) { return EqualNoCase(folding, payload.first, file); });
    if (!known && context.files.FileExists(file)) decoy.payloads.emplace_back(file, std::move(why));
  };

  const std::string target(TrimControls(link->target));
  const bool interpreter = InterpreterOf(folding, target) != Interpreter::kNone;
  // Programs of the drive run whatever they are given; so do interpreters.
  bool runsOnDrive = false;
  if (!interpreter && HasRunnableExtension(folding, target)) {
    if (const auto onDrive = OnDrive(folding, target, folder, driveRoot);
        onDrive && context.files.FileExists(*onDrive)) {
      runsOnDrive = true;
      addPayload(*onDrive, "the target of the shortcut " + path);
    }
  }
  if (!interpreter && !runsOnDrive) return std::nullopt;

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

  std::string arguments = link->arguments;
  if (LowerText(folding, FileName(target)).starts_with("cmd")) {
    std::ranges::replace_if(
        arguments, [](char c) { return kCommandOperators.find(c) != std::string_view::npos; }, ' ');
  }
  for (const std::string& argument : SplitArguments(arguments)) {
    if (argument.empty() || argument.starts_with('/') || argument.starts_with('-')) continue;
    // rundll32 takes "file,entry".
    std::vector<std::string> names{argument};
    if (const auto comma = argument.find(','); comma != std::string::npos && comma > 0) {
      names.push_back(argument.substr(0, comma));
    }
    for (const std::string& name : names) {
      for (const std::string& base : bases) {
        const auto file = OnDrive(folding, name, base, driveRoot);
        if (file && context.files.FileExists(*file)) {
          addPayload(*file, "started by the shortcut " + path + ", argument \"" + argument + "\"");
          break;
        }
      }
    }
  }
  if (decoy.payloads.empty()) return std::nullopt;
  decoy.command = std::string(FileName(target));
  if (!link->arguments.empty()) decoy.command.append(" ").append(link->arguments);
  constexpr std::size_t kShownCommand = 200;
  if (decoy.command.size() > kShownCommand) {
    std::size_t cut = kShownCommand;
    while (cut > 0 && (static_cast<unsigned char>(decoy.command[cut]) & 0xC0) == 0x80) --cut;
    decoy.command.resize(cut);
  }
  return decoy;
}

std::string Child(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!path.ends_with('\\')) path += '\\';
  return path.append(name);
}

}  // namespace

void FindShortcutDecoys(const DetectContext& context, std::string_view driveRoot, DriveType type,
                        ShortcutRecovery* recovery) {
  if (type != DriveType::kRemovable && type != DriveType::kRemote) return;
  const CaseFolding& folding = context.folding;
  std::vector<FolderEntry> root = context.files.ListFolder(driveRoot);
  // Listing order differs between file systems; the list must not.
  std::ranges::sort(root, {}, &FolderEntry::name);
  const auto isShortcut = [&](const FolderEntry& entry) {
    return !entry.folder && LowerText(folding, Extension(entry.name)) == ".lnk";
  };
  const auto hidden = [](const FolderEntry& entry) { return (entry.attributes & kAttributeHidden) != 0; };

  // Each shortcut with the folder it lies in and the entry of its own name there.
  struct Candidate {
    std::string path;
    std::string folder;
    std::string namesake;
  };
  std::vector<Candidate> candidates;
  const auto collect = [&](std::string_view folder, const std::vector<FolderEntry>& entries) {
    for (const FolderEntry& entry : entries) {
      if (!isShortcut(entry)) continue;
      const std::string_view stem = std::string_view(entry.name).substr(0, entry.name.rfind('.'));
      candidates.push_back({Child(folder, entry.name), std::string(folder), Child(folder, stem)});
    }
  };
  collect(driveRoot, root);
  for (const FolderEntry& entry : root) {
    if (!entry.folder || !hidden(entry)) continue;
    context.pump.PumpMessages();
    std::vector<FolderEntry> inside = context.files.ListFolder(Child(driveRoot, entry.name));
    std::ranges::sort(inside, {}, &FolderEntry::name);
    collect(Child(driveRoot, entry.name), inside);
  }

  std::vector<std::string> decoys;
  std::vector<std::string> hiddenEntries;
  for (const Candidate& candidate : candidates) {
    context.pump.PumpMessages();
    const auto decoy =
        ExamineShortcut(context, driveRoot, candidate.path, candidate.folder, candidate.namesake);
    if (!decoy) continue;
    if (ExistsAndClearAttributes(context.files, decoy->path)) {
      context.list.AddVirus(decoy->path, kDecoyCategory, "a shortcut that starts " + decoy->command);
    }
    for (const auto& [payload, why] : decoy->payloads) {
      if (ExistsAndClearAttributes(context.files, payload))
        context.list.AddVirus(payload, kDecoyPayloadCategory, why);
    }
    decoys.push_back(decoy->path);
    hiddenEntries.push_back(candidate.namesake);
  }
  if (decoys.empty()) return;

  // The entries the worm hid: the namesakes of its decoys that are hidden,
  // and hidden folders at the root whose names show as nothing.
  std::vector<HiddenEntry> victims;
  for (const std::string& path : hiddenEntries) {
    const std::string_view folder = std::string_view(path).substr(0, path.rfind('\\') + 1);
    for (const FolderEntry& entry : context.files.ListFolder(folder)) {
      if (EqualNoCase(folding, Child(folder, entry.name), path) &&
          (entry.attributes & (kAttributeHidden | kAttributeSystem)) != 0) {
        victims.push_back({path, entry.attributes});
      }
    }
  }
  for (const FolderEntry& entry : root) {
    if (entry.folder && hidden(entry) && IsBlankName(entry.name))
      victims.push_back({Child(driveRoot, entry.name), entry.attributes});
  }
  if (recovery != nullptr) recovery->Note(std::move(decoys), std::move(victims));
}

}  // namespace kestrix
