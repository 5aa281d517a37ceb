// kestrix-scan: one sweep from the command line, over directory trees
// that stand in for drive letters.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "app/scan_report.h"
#include "detect/drive_sweep.h"
#include "detect/file_tests.h"
#include "detect/rule_database.h"
#include "platform/posix/posix_machine.h"

namespace kestrix {
namespace {

// The main window's banner and list, as a terminal shows them: a progress
// line on stderr when stderr is a terminal, nothing otherwise.
class ConsoleView final : public SweepView, public SuspectListView, public MessagePump {
 public:
  explicit ConsoleView(bool showProgress) : showProgress_(showProgress) {}
  ~ConsoleView() override { EndProgress(); }

  void SetCurrentVirus(std::string_view text) override {
    current_ = text;
    Draw();
  }
  void SetTotalProgress(int position) override {
    position_ = position;
    Draw();
  }
  void SetKillVirusEnabled(bool) override {}
  void ListCleared() override {}
  void ListAppended(const SuspectEntry&) override {}
  void ListDeleted(std::size_t) override {}
  void SetTotalNumber(std::string_view) override {}
  void ShowMainWindow() override {}
  void PumpMessages() override {}

  void EndProgress() {
    if (drawn_) std::fputs("\r\033[K", stderr);
    drawn_ = false;
  }

 private:
  void Draw() {
    if (!showProgress_) return;
    constexpr int kWidth = 30;
    const int filled = std::clamp(position_, 0, 100) * kWidth / 100;
    std::fprintf(stderr, "\r\033[K[%s%s] %3d%% %s", std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, ' ').c_str(), position_, current_.c_str());
    std::fflush(stderr);
    drawn_ = true;
  }

  bool showProgress_;
  bool drawn_ = false;
  int position_ = 0;
  std::string current_;
};

std::string DefaultRulesPath() {
  std::error_code error;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  return (error ? std::filesystem::path(kRuleDatabaseName) : executable.parent_path() / kRuleDatabaseName).string();
}

int Run(int argc, char** argv) {
  CLI::App app{"Sweeps directory trees mapped as drive letters for what autorun worms plant.", "kestrix-scan"};
  std::vector<std::string> driveSpecs;
  std::string windowsDirectory = "C:\\WINDOWS";
  std::optional<std::string> tempDirectory;
  std::string programFiles;
  std::string rulesPath = DefaultRulesPath();
  bool floppies = false;
  bool json = false;
  int codePage = 1252;
  app.add_option("--drive", driveSpecs, "Map a drive letter: L=TYPE[@N]:DIR, TYPE one of removable, fixed, "
                                        "remote, cdrom, ramdisk, unknown; N the first extent's length")
      ->type_name("L=TYPE[@N]:DIR");
  app.add_option("--windows", windowsDirectory, "The Windows directory, a Windows path")->capture_default_str();
  app.add_option("--temp", tempDirectory, "The temporary directory (default: the Windows directory's TEMP)");
  app.add_option("--program-files", programFiles, "The Program Files directory (default: none set)");
  app.add_option("--rules", rulesPath, "The rule database")->capture_default_str();
  app.add_option("--codepage", codePage, "ANSI code page of text files that are not UTF-8")->capture_default_str();
  app.add_flag("--floppies", floppies, "Sweep from A: instead of C:");
  app.add_flag("--json", json, "Print the result as JSON");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : kUsageExitStatus;
  }

  posix::DriveMap drives;
  for (const std::string& spec : driveSpecs) {
    std::string error;
    auto drive = posix::ParseDriveSpec(spec, error);
    if (!drive) {
      std::cerr << "kestrix-scan: --drive " << spec << ": " << error << "\n";
      return kUsageExitStatus;
    }
    drives.Map(drive->first, std::move(drive->second));
  }
  posix::PosixMachine machine(std::move(drives), codePage);
  machine.SetWindowsDirectory(windowsDirectory);
  if (tempDirectory) machine.SetTempDirectory(*tempDirectory);

  ConsoleView view(isatty(STDERR_FILENO) != 0);
  SuspectList list(machine, machine, view);
  ProtectedList protectedList(machine);

  SweepSettings settings{.skipFloppies = !floppies, .programFilesDirectory = programFiles,
                         .ruleDatabasePath = rulesPath};
  if (!ExistsAndClearAttributes(machine, settings.ruleDatabasePath)) {
    std::cerr << "kestrix-scan: no rule database at " << settings.ruleDatabasePath
              << "; sweeping without rules\n";
    settings.ruleDatabasePath.clear();
  }

  DriveSweep sweep({machine, machine, machine, view}, std::move(settings), view, list, protectedList);
  ScanOutcome outcome;
  try {
    sweep.RequestSweep();
  } catch (const FileOpenError& error) {
    outcome.error = error.what();
  }
  view.EndProgress();
  outcome.entries = list.Entries();
  std::cout << (json ? FormatJsonReport(outcome) : FormatTextReport(outcome));
  if (outcome.error && !json) std::cerr << "kestrix-scan: " << *outcome.error << "\n";
  return ScanExitStatus(outcome);
}

}  // namespace
}  // namespace kestrix

int main(int argc, char** argv) { return kestrix::Run(argc, argv); }
