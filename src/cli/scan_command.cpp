#include "cli/scan_command.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>

#include "cli/scan_report.h"
#include "detect/drive_sweep.h"
#include "detect/file_tests.h"
#include "remedy/removal.h"

namespace kestrix {
namespace {

constexpr std::string_view kScanTitle = "Kestrix";

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

// The machine's files, keeping a note of every file deleted and, once
// cleaning has begun, of why a file could not be.
class RecordingFiles final : public Files {
 public:
  explicit RecordingFiles(Files& files) : files_(files) {}
  bool FileExists(std::string_view path) override { return files_.FileExists(path); }
  bool ResetAttributes(std::string_view path) override {
    return Note(files_.ResetAttributes(path), path, "its attributes could not be cleared");
  }
  bool ReadTextLines(std::string_view path, const TextLineSink& onLine, std::string& reason) override {
    return files_.ReadTextLines(path, onLine, reason);
  }
  std::int32_t QueryFileSize(std::string_view path) override { return files_.QueryFileSize(path); }
  bool RemoveFile(std::string_view path) override {
    if (!Note(files_.RemoveFile(path), path, "it could not be deleted; it may be in use")) return false;
    removed.emplace_back(path);
    return true;
  }
  std::string FullPathName(std::string_view path) override { return files_.FullPathName(path); }
  std::optional<FileIdentity> IdentifyFile(std::string_view path) override { return files_.IdentifyFile(path); }
  std::unique_ptr<ByteReader> OpenForReading(std::string_view path, std::string& reason) override {
    return files_.OpenForReading(path, reason);
  }
  std::optional<std::uint32_t> OriginalAttributes(std::string_view path) override {
    return files_.OriginalAttributes(path);
  }
  bool SetAttributes(std::string_view path, std::uint32_t attributes) override {
    return files_.SetAttributes(path, attributes);
  }
  bool WriteNewFile(std::string_view path, ByteReader& source, bool replace, std::string& reason) override {
    return files_.WriteNewFile(path, source, replace, reason);
  }

  bool cleaning = false;
  std::vector<std::string> removed;
  std::map<std::string, std::string, std::less<>> failures;  // path: why it stayed, the latest try

 private:
  bool Note(bool done, std::string_view path, std::string_view failure) {
    if (cleaning && !done) failures[std::string(path)] = failure;
    return done;
  }

  Files& files_;
};

// Why each listed file is still there after cleaning: it stayed listed
// because deleting it failed, or it left the list as a protected file kept.
std::vector<KeptFile> KeptFiles(const std::vector<SuspectEntry>& before, const SuspectList& after,
                                const RecordingFiles& files, std::string_view protectedReason) {
  std::vector<KeptFile> kept;
  for (const SuspectEntry& entry : before) {
    if (std::ranges::find(files.removed, entry.path) != files.removed.end()) continue;
    const bool listed = std::ranges::any_of(after.Entries(), [&](const SuspectEntry& left) {
      return left.path == entry.path;
    });
    const auto failure = files.failures.find(entry.path);
    std::string reason = !listed                        ? std::string(protectedReason)
                         : failure != files.failures.end() ? failure->second
                                                           : "it could not be deleted";
    kept.push_back({entry.path, std::move(reason)});
  }
  return kept;
}

// Asks on the terminal whether to keep a protected file; Enter keeps it.
std::optional<bool> AskKeepOnTerminal(bool terminal, std::string_view question) {
  if (!terminal) return std::nullopt;
  std::string text(question);
  for (char& c : text) c = c == '\r' ? '\n' : c;
  std::cerr << text << " [Y/n] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return std::nullopt;
  return !(answer.starts_with('n') || answer.starts_with('N') || answer.starts_with("否"));
}

}  // namespace

void AddScanOptions(CLI::App& app, ScanOptions& options) {
  app.add_option("--program-files", options.programFiles, "The Program Files directory");
  app.add_option("--rules", options.rulesPath, "The rule database")->capture_default_str();
  app.add_flag("--floppies", options.floppies, "Sweep from A: instead of C:");
  app.add_flag("--json", options.json, "Print the result as JSON");
  app.add_flag("--clean", options.clean, "Delete what the sweep found");
  app.add_option("--protected", options.protectedAnswer, "With --clean: keep or delete Windows files, or ask")
      ->transform(CLI::CheckedTransformer(
          std::map<std::string, ProtectedAnswer>{{"ask", ProtectedAnswer::kAsk},
                                                 {"keep", ProtectedAnswer::kKeep},
                                                 {"delete", ProtectedAnswer::kDelete}}))
      ->default_str("ask");
  app.add_flag("--terminate", options.terminate,
               "With --clean: end the processes that run files left over, and try again");
}

int RunScan(const ScanOptions& options, const ScanMachine& machine, ScanTerminal terminal) {
  ConsoleView view(terminal.progress);
  RecordingFiles files(machine.files);
  SuspectList list(files, machine.folding, view);
  ProtectedList protectedList(files, machine.folding);

  SweepSettings settings{.skipFloppies = !options.floppies,
                         .programFilesDirectory = options.programFiles,
                         .ruleDatabasePath = options.rulesPath};
  if (!ExistsAndClearAttributes(files, settings.ruleDatabasePath)) {
    std::cerr << "kestrix-scan: no rule database at " << settings.ruleDatabasePath
              << "; sweeping without rules\n";
    settings.ruleDatabasePath.clear();
  }

  DriveSweep sweep({files, machine.volumes, machine.folding, view}, settings, view, list, protectedList);
  ScanOutcome outcome;
  try {
    sweep.RequestSweep();
  } catch (const HandlerError& error) {
    outcome.error = error.what();
  }
  view.EndProgress();

  // Only a finished sweep's list is cleaned: a cut-short one may be partial.
  if (options.clean && !outcome.error) {
    if (!options.json)
      std::cout << FormatTextReport({.entries = list.Entries(), .error = {}, .clean = {}}) << std::flush;
    ScanAnswers answers(
        options.protectedAnswer, options.terminate, list, options.json ? stderr : stdout,
        [&](std::string_view question) { return AskKeepOnTerminal(terminal.input, question); });
    const std::string title(kScanTitle);
    Removal removal({files, machine.folding, view, answers, answers, machine.processes}, list, protectedList,
                    answers, title);
    const std::vector<SuspectEntry> listed = list.Entries();
    files.cleaning = true;
    removal.KillVirusClick(Sender::kNone);
    const std::string_view protectedReason =
        options.protectedAnswer == ProtectedAnswer::kKeep ? "a protected Windows file; --protected=keep"
        : terminal.input ? "a protected Windows file, kept as answered"
                         : "a protected Windows file; no terminal to ask whether to delete it";
    outcome.clean = CleanOutcome{files.removed, answers.Balloons(), KeptFiles(listed, list, files, protectedReason)};
  }
  outcome.entries = list.Entries();
  std::cout << (options.json ? FormatJsonReport(outcome) : FormatTextReport(outcome));
  if (outcome.error && !options.json) std::cerr << "kestrix-scan: " << *outcome.error << "\n";
  return ScanExitStatus(outcome);
}

}  // namespace kestrix
