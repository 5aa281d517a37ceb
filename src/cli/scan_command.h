// kestrix-scan: one sweep from the command line, and on request the
// removal of what it found. Each platform's main supplies the machine.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "cli/scan_answers.h"
#include "platform/platform.h"

namespace kestrix {

struct ScanOptions {
  std::string rulesPath;     // Kestrix.dat beside the program unless given
  std::string programFiles;  // empty: C:\Program Files beside the Windows directory
  bool floppies = false;
  bool json = false;
  bool clean = false;
  bool terminate = false;
  ProtectedAnswer protectedAnswer = ProtectedAnswer::kAsk;
};

// The options every build of kestrix-scan has.
void AddScanOptions(CLI::App& app, ScanOptions& options);

struct ScanMachine {
  Files& files;
  Volumes& volumes;
  const CaseFolding& folding;
  ProcessTable& processes;
};

struct ScanTerminal {
  bool progress = false;  // stderr is a terminal: draw a progress line
  bool input = false;     // stdin is a terminal: ask there
};

// Sweeps, prints the result and cleans when asked; returns the exit status.
int RunScan(const ScanOptions& options, const ScanMachine& machine, ScanTerminal terminal);

}  // namespace kestrix
