#include "findings/shortcut_recovery.h"

#include <algorithm>
#include <array>

#include "platform/common/case_text.h"

namespace kestrix {

bool KeptHiddenOnPurpose(std::string_view path) {
  static constexpr std::array<std::string_view, 3> kAtRoot = {"System Volume Information", "$RECYCLE.BIN",
                                                              "Autorun.inf"};
  static constexpr std::array<std::string_view, 2> kAnywhere = {"desktop.ini", "Thumbs.db"};
  const std::size_t slash = path.find_last_of('\\');
  const std::string_view name = path.substr(slash + 1);
  const auto named = [&](std::string_view kept) { return EqualAsciiNoCase(name, kept); };
  return std::ranges::any_of(kAnywhere, named) ||
         (slash == path.find('\\') && std::ranges::any_of(kAtRoot, named));
}

void ShortcutRecovery::Clear() {
  drives_.clear();
  recovered_.clear();
}

void ShortcutRecovery::Note(std::vector<std::string> decoys, std::vector<HiddenEntry> hidden) {
  if (decoys.empty()) return;
  drives_.push_back({std::move(decoys), std::move(hidden)});
}

std::vector<std::string> ShortcutRecovery::Recover(Files& files) {
  std::vector<std::string> recovered;
  // A decoy left on the drive would hide nothing once the files are shown:
  // the user would open the shortcut. The drive waits until all are gone.
  std::erase_if(drives_, [&](const Drive& drive) {
    if (std::ranges::any_of(drive.decoys,
                            [&](const std::string& decoy) { return files.FileExists(decoy); })) {
      return false;
    }
    for (const HiddenEntry& entry : drive.hidden) {
      if (KeptHiddenOnPurpose(entry.path)) continue;
      if (files.SetAttributes(entry.path, entry.attributes & ~(kAttributeHidden | kAttributeSystem))) {
        recovered.push_back(entry.path);
      }
    }
    return true;
  });
  recovered_.insert(recovered_.end(), recovered.begin(), recovered.end());
  return recovered;
}

}  // namespace kestrix
