// kestrix-scan: one sweep from the command line, and on request the
// removal of what it found. Each platform's main supplies the machine.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/scan_answers.h"
#include "platform/platform.h"
#include "remedy/quarantine.h"

namespace kestrix {

struct ScanOptions {
  std::string rulesPath;     // Kestrix.dat beside the program unless given
  std::string programFiles;  // empty: C:\Program Files beside the Windows directory
  bool floppies = false;
  bool json = false;
  bool clean = false;
  bool terminate = false;
  ProtectedAnswer protectedAnswer = ProtectedAnswer::kAsk;
  std::string quarantineFolder;  // each platform's main sets its default before parsing
  std::uint64_t quarantineLimit = kDefaultQuarantineLimit;
  bool noQuarantine = false;
  bool quarantineList = false;
  std::optional<std::string> restore;    // a record's id, or "all"
  std::optional<std::string> restoreTo;  // a Windows folder
  bool force = false;
  std::optional<std::string> purge;  // a record's id, or "all"
  std::vector<std::string> immunize;    // drive letters, "E:"
  std::vector<std::string> unimmunize;  // drive letters, "E:"
};

// The options every build of kestrix-scan has.
void AddScanOptions(CLI::App& app, ScanOptions& options);

struct ScanMachine {
  Files& files;
  Volumes& volumes;
  const CaseFolding& folding;
  ProcessTable& processes;
  StoreFolder& store;  // the quarantine's, at options.quarantineFolder
  Hashing& hashing;
  // Another store this user may read (on Windows, the machine's or this
  // user's own, whichever the program does not keep in): listed too.
  StoreFolder* otherStore = nullptr;
  // Where sweeps that find something, removals and restores are recorded.
  EventLog* eventLog = nullptr;
};

struct ScanTerminal {
  bool progress = false;  // stderr is a terminal: draw a progress line
  bool input = false;     // stdin is a terminal: ask there
  bool escapes = true;    // the terminal erases a line's end on ESC[K
};

// Sweeps, prints the result and cleans when asked, or lists, restores or
// purges kept files, or immunizes drives or takes their vaccine away;
// returns the exit status.
int RunScan(const ScanOptions& options, const ScanMachine& machine, ScanTerminal terminal);

// --restore-disk-class (Windows): puts back the disk-drive class values the
// start-up repair of kestrix.exe changed, and says what it did, as text or
// JSON; 0 when everything saved was put back, 1 when there was nothing to
// put back or something could not be.
int RunDiskClassRestore(Registry& registry, bool json);

}  // namespace kestrix
