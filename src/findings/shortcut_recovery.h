// The user's files and folders that a shortcut worm hid on a drive, and
// their giving back once the worm's shortcuts are gone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kestrix {

// An entry a worm hid, with its attribute bits as the sweep saw them.
struct HiddenEntry {
  std::string path;
  std::uint32_t attributes = 0;
};

// What Windows and this program keep hidden on purpose, whatever a decoy is
// named or opens: a volume's own folders and the vaccine at a drive's root,
// and a folder's settings and thumbnails anywhere.
bool KeptHiddenOnPurpose(std::string_view path);

class ShortcutRecovery {
 public:
  // Forgets every drive; a sweep starts with this.
  void Clear();

  // Notes a drive's decoy shortcuts and the entries the worm hid there.
  void Note(std::vector<std::string> decoys, std::vector<HiddenEntry> hidden);

  // For each noted drive whose decoys no longer exist, clears the hidden and
  // system marks of the entries noted with them (never of what is kept
  // hidden on purpose), and forgets the drive.
  // Returns the entries made visible now, and adds them to Recovered().
  std::vector<std::string> Recover(Files& files);

  // Every entry made visible since the last Clear, in order.
  const std::vector<std::string>& Recovered() const { return recovered_; }

 private:
  struct Drive {
    std::vector<std::string> decoys;
    std::vector<HiddenEntry> hidden;
  };
  std::vector<Drive> drives_;
  std::vector<std::string> recovered_;
};

}  // namespace kestrix
