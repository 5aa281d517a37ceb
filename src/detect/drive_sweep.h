// The drive sweep: every drive letter that holds a removable, fixed, remote
// or RAM drive with a volume of positive extent gets the rule passes and
// the Autorun.inf analysis; then the Windows directory, its system32 and
// system folders and the fixed-path rules get the rule database.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "findings/protected_list.h"
#include "findings/shortcut_recovery.h"
#include "findings/listed_files.h"
#include "platform/platform.h"

namespace kestrix {

// The sweep's progress as the main window's banner shows it.
class SweepView {
 public:
  virtual ~SweepView() = default;
  // The directory being searched, or the closing text.
  virtual void SetCurrentVirus(std::string_view text) = 0;
  // The progress bar, 0 to 100.
  virtual void SetTotalProgress(int position) = 0;
  // The clean button.
  virtual void SetKillVirusEnabled(bool enabled) = 0;
};

// Read once at start-up and kept for the life of the program.
struct SweepSettings {
  bool skipFloppies = false;          // start at C: instead of A:
  std::string programFilesDirectory;  // may be empty
  std::string ruleDatabasePath;       // empty when Kestrix.dat was missing at start-up
};

struct SweepServices {
  Files& files;
  Volumes& volumes;
  const CaseFolding& folding;
  MessagePump& pump;
};

inline constexpr std::string_view kSweepFinished = "尋找完畢.";

class DriveSweep {
 public:
  // The settings are read at every sweep; their owner keeps them.
  DriveSweep(SweepServices services, const SweepSettings& settings, SweepView& view, SuspectList& list,
             ProtectedList& protectedList);

  // Called when a sweep has finished: the removal of everything found when
  // automatic cleaning is ticked.
  void SetFinishedHandler(std::function<void()> handler) { onFinished_ = std::move(handler); }

  // Where each sweep notes what shortcut worms hid, for the removal to show
  // again; emptied when a sweep starts.
  void SetShortcutRecovery(ShortcutRecovery* recovery) { recovery_ = recovery; }

  // One whole sweep. A file that exists but cannot be read ends it with
  // FileOpenError; what was found so far stays listed.
  void SweepDrives();

  // Runs a sweep now, or, when one is running (a request handled while the
  // sweep processes messages), once more after it has ended, so a running
  // sweep never sees the list emptied under it. Several requests during one
  // sweep give one more sweep.
  void RequestSweep();

  bool Running() const { return running_; }
  const SweepSettings& Settings() const { return settings_; }

 private:
  SweepServices services_;
  const SweepSettings& settings_;
  SweepView& view_;
  SuspectList& list_;
  ProtectedList& protectedList_;
  std::function<void()> onFinished_;
  ShortcutRecovery* recovery_ = nullptr;
  bool running_ = false;
  bool requested_ = false;
};

}  // namespace kestrix
