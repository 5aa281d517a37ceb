// kestrix-scan: one sweep from the command line, over directory trees
// that stand in for drive letters.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "app/scan_answers.h"
#include "app/scan_report.h"
#include "detect/drive_sweep.h"
#include "detect/file_tests.h"
#include "detect/rule_database.h"
#include "platform/posix/posix_machine.h"
#include "platform/posix/posix_processes.h"
#include "remedy/removal.h"

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

// The machine's files, keeping a note of every file deleted.
class RecordingFiles final : public Files {
 public:
  explicit RecordingFiles(Files& files) : files_(files) {}
  bool FileExists(std::string_view path) override { return files_.FileExists(path); }
  bool ResetAttributes(std::string_view path) override { return files_.ResetAttributes(path); }
  std::optional<std::vector<std::string>> ReadTextLines(std::string_view path, std::string& reason) override {
    return files_.ReadTextLines(path, reason);
  }
  std::int32_t QueryFileSize(std::string_view path) override { return files_.QueryFileSize(path); }
  bool RemoveFile(std::string_view path) override {
    if (!files_.RemoveFile(path)) return false;
    removed.emplace_back(path);
    return true;
  }
  std::vector<std::string> removed;

 private:
  Files& files_;
};

// Asks on the terminal whether to keep a protected file; Enter keeps it.
std::optional<bool> AskKeepOnTerminal(std::string_view question) {
  if (isatty(STDIN_FILENO) == 0) return std::nullopt;
  std::string text(question);
  for (char& c : text) c = c == '\r' ? '\n' : c;
  std::cerr << text << " [Y/n] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return std::nullopt;
  return !(answer.starts_with('n') || answer.starts_with('N') || answer.starts_with("否"));
}

std::string DefaultRulesPath() {
  std::error_code error;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  return (error ? std::filesystem::path(kRuleDatabaseName) : executable.parent_path() / kRuleDatabaseName)
      .string();
}

int Run(int argc, char** argv) {
  CLI::App app{"Sweeps directory trees mapped as drive letters for what autorun worms plant.",
               "kestrix-scan"};
  std::vector<std::string> driveMappings;
  std::string windowsDirectory = "C:\\WINDOWS";
  std::optional<std::string> tempDirectory;
  std::string programFiles;
  std::string rulesPath = DefaultRulesPath();
  bool floppies = false;
  bool json = false;
  bool clean = false;
  bool terminate = false;
  ProtectedAnswer protectedAnswer = ProtectedAnswer::kAsk;
  int codePage = 1252;
  app.add_option("--drive", driveMappings,
                 "Map a drive letter: L=TYPE[@N]:DIR, TYPE one of removable, fixed, "
                 "remote, cdrom, ramdisk, unknown; N the first extent's length")
      ->type_name("L=TYPE[@N]:DIR");
  app.add_option("--windows", windowsDirectory, "The Windows directory, a Windows path")
      ->capture_default_str();
  app.add_option("--temp", tempDirectory, "The temporary directory (default: the Windows directory's TEMP)");
  app.add_option("--program-files", programFiles, "The Program Files directory (default: none set)");
  app.add_option("--rules", rulesPath, "The rule database")->capture_default_str();
  app.add_option("--codepage", codePage, "ANSI code page of text files that are not UTF-8")
      ->capture_default_str();
  app.add_flag("--floppies", floppies, "Sweep from A: instead of C:");
  app.add_flag("--json", json, "Print the result as JSON");
  app.add_flag("--clean", clean, "Delete what the sweep found");
  app.add_option("--protected", protectedAnswer, "With --clean: keep or delete Windows files, or ask")
      ->transform(CLI::CheckedTransformer(
          std::map<std::string, ProtectedAnswer>{{"ask", ProtectedAnswer::kAsk},
                                                 {"keep", ProtectedAnswer::kKeep},
                                                 {"delete", ProtectedAnswer::kDelete}}))
      ->default_str("ask");
  app.add_flag("--terminate", terminate,
               "With --clean: end the processes that run files left over, and try again");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : kUsageExitStatus;
  }

  posix::DriveMap drives;
  for (const std::string& mapping : driveMappings) {
    std::string error;
    auto drive = posix::ParseDriveMapping(mapping, error);
    if (!drive) {
      std::cerr << "kestrix-scan: --drive " << mapping << ": " << error << "\n";
      return kUsageExitStatus;
    }
    drives.Map(drive->first, std::move(drive->second));
  }
  posix::PosixMachine machine(std::move(drives), codePage);
  machine.SetWindowsDirectory(windowsDirectory);
  if (tempDirectory) machine.SetTempDirectory(*tempDirectory);

  ConsoleView view(isatty(STDERR_FILENO) != 0);
  RecordingFiles files(machine);
  SuspectList list(files, machine, view);
  ProtectedList protectedList(machine);

  SweepSettings settings{
      .skipFloppies = !floppies, .programFilesDirectory = programFiles, .ruleDatabasePath = rulesPath};
  if (!ExistsAndClearAttributes(machine, settings.ruleDatabasePath)) {
    std::cerr << "kestrix-scan: no rule database at " << settings.ruleDatabasePath
              << "; sweeping without rules\n";
    settings.ruleDatabasePath.clear();
  }

  DriveSweep sweep({files, machine, machine, view}, settings, view, list, protectedList);
  ScanOutcome outcome;
  try {
    sweep.RequestSweep();
  } catch (const FileOpenError& error) {
    outcome.error = error.what();
  }
  view.EndProgress();

  // Only a finished sweep's list is cleaned: a cut-short one may be partial.
  if (clean && !outcome.error) {
    if (!json)
      std::cout << FormatTextReport({.entries = list.Entries(), .error = {}, .clean = {}}) << std::flush;
    posix::PosixProcessTable processes(machine);
    ScanAnswers answers(protectedAnswer, terminate, list, json ? stderr : stdout, AskKeepOnTerminal);
    const std::string title = "Kestrix";
    Removal removal({files, machine, view, answers, answers, processes}, list, protectedList, answers, title);
    removal.KillVirusClick(Sender::kNone);
    outcome.clean = CleanOutcome{files.removed, answers.Balloons()};
  }
  outcome.entries = list.Entries();
  std::cout << (json ? FormatJsonReport(outcome) : FormatTextReport(outcome));
  if (outcome.error && !json) std::cerr << "kestrix-scan: " << *outcome.error << "\n";
  return ScanExitStatus(outcome);
}

}  // namespace
}  // namespace kestrix

int main(int argc, char** argv) { return kestrix::Run(argc, argv); }
