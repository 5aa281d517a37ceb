// Removal: deleting the listed files, all of them or the selected ones.
// Protected Windows files go only when the user says not to keep them;
// files that stay behind are reported, and on request the processes that
// run them are terminated and the pass is tried again.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "findings/protected_list.h"
#include "findings/shortcut_recovery.h"
#include "findings/listed_files.h"
#include "platform/platform.h"
#include "remedy/quarantine.h"

namespace kestrix {

// Who started a pass. Only the flat clean button closes the window when
// the list ends empty; the sweep's automatic cleaning passes no sender.
enum class Sender { kNone, kFlatButton, kMenuItem };

// What a pass asks of the main window.
class RemovalView {
 public:
  virtual ~RemovalView() = default;
  // Asks the main window to close, which hides it to the tray.
  virtual void RequestClose() = 0;
};

// What a pass did with each file, for the machine's records.
class RemovalEvents {
 public:
  virtual ~RemovalEvents() = default;
  // The file was deleted; `kept` is its quarantine record, null when it
  // was deleted without keeping.
  virtual void FileRemoved(const SuspectEntry& entry, const QuarantineRecord* kept) = 0;
  // A file the pass tried and left where it was, once the pass has ended.
  virtual void FileLeftOver(const SuspectEntry& entry, std::string_view reason) = 0;
};

inline constexpr std::string_view kKeptAsAnswered = "a protected Windows file, kept as answered";

struct RemovalServices {
  Files& files;
  const CaseFolding& folding;
  MessagePump& pump;
  Balloons& balloons;
  MessageBoxes& boxes;
  ProcessTable& processes;
  Quarantine* quarantine = nullptr;  // keeps every file before it is deleted; null deletes outright
  ShortcutRecovery* recovery = nullptr;  // shows what shortcut worms hid once their decoys are deleted
  RemovalEvents* events = nullptr;
  // Why a protected Windows file the boxes said to keep is left over.
  std::string_view keptProtectedReason = kKeptAsAnswered;
  // The line the success balloon adds when the pass kept files in the
  // quarantine, "%d" their number; empty adds none.
  std::string_view keptLine = {};
};

inline constexpr int kBalloonSeconds = 10;

// Terminates every running process whose main executable is `path`, with
// the debug privilege raised for the time of the walk. Where the backend
// knows the identity of a process's file, the identity of the file at
// `path` decides; elsewhere the paths are compared (letter case ignored,
// nothing trimmed).
void KillProcessByFile(ProcessTable& processes, Files& files, const CaseFolding& folding, std::string_view path);

class Removal {
 public:
  // `applicationTitle` is read at each use: start-up may still change it.
  Removal(RemovalServices services, SuspectList& list, const ProtectedList& protectedList, RemovalView& view,
          const std::string& applicationTitle);

  // The pass over every entry.
  void KillVirusClick(Sender sender);
  // The pass over the selected entries.
  void KillSelectedClick(Sender sender);

  // Why each file the latest pass failed to delete is still there, as its
  // last try found.
  const std::map<std::string, std::string, std::less<>>& Failures() const { return failures_; }

 private:
  enum class Outcome { kKept, kDeleted, kFailed, kGone };

  // Handles entry `index` whose path was `path` when the pass looked at it:
  // asks about a protected file (`keepCaption`), then deletes the file,
  // dropping the entry when the file is gone.
  // Messages handled meanwhile may change the list: an entry that is no
  // longer the one looked at is left alone (kGone).
  Outcome Remove(std::size_t index, const std::string& path, std::string_view keepCaption);
  bool StillListed(std::size_t index, const std::string& path) const;
  // Clears the file's attributes, keeps it in the quarantine and deletes
  // it; false, with the reason noted, when the file stays.
  bool DeleteListedFile(const SuspectEntry& entry);
  void Pass(bool selectedOnly, Sender sender);
  // Balloon and question about files left over; true when the user wants
  // their processes terminated and the pass repeated.
  bool AskAboutLeftovers(std::string_view balloonFormat, std::string_view questionFormat, int remaining);
  // The success balloon's text, with the line about the files kept.
  std::string WithKeptLine(std::string text) const;
  void TerminateListedProcesses(bool selectedOnly);
  // Tells the events of each file the pass leaves where it was.
  void ReportLeftovers();

  RemovalServices services_;
  SuspectList& list_;
  const ProtectedList& protectedList_;
  RemovalView& view_;
  const std::string& title_;
  std::map<std::string, std::string, std::less<>> failures_;
  std::vector<SuspectEntry> keptProtected_;  // protected files the latest pass was told to keep
  int quarantined_ = 0;                      // files the latest pass kept in the quarantine
};

}  // namespace kestrix
