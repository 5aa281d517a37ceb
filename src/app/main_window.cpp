#include "app/main_window.h"

#include <algorithm>

#include "detect/file_tests.h"
#include "detect/rule_database.h"
#include "platform/common/case_text.h"
#include "platform/common/format_text.h"
#include "platform/common/handler_error.h"
#include "remedy/list_actions.h"
#include "repair/disk_class_repair.h"
#include "settings/registry_values.h"

namespace kestrix {

namespace {

constexpr std::string_view kDesignHint = "Kestrix(隨身碟病毒清除工具)";
constexpr std::string_view kCloseQuestion = "還有 %d 個可疑檔案,要略過嗎？";
constexpr std::string_view kCloseCaption = "是否略過";
constexpr std::string_view kExitQuestion = "還有 %d 個可疑檔案,是否在離開前刪除？";
constexpr int kScanDispachInterval = 100;
constexpr int kFreshOneTimeInterval = 50;
constexpr std::string_view kKeptLine = "已將 %d 個檔案保存在隔離區，可以從「隔離區」還原。";

// The folder of a Windows path, with its trailing backslash.
std::string_view FolderOf(std::string_view path) {
  const auto slash = path.find_last_of("\\/");
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
}

// What the removals and sweeps write to the event log, when there is one.
std::optional<EventReports> EventReportsOf(const ConsoleServices& services) {
  if (services.eventLog == nullptr) return std::nullopt;
  return EventReports(*services.eventLog,
                      services.quarantine != nullptr ? services.quarantine->StoreLocation() : std::string());
}

// The first `limit` characters of UTF-8 text and an ellipsis, or all of
// it when it is no longer; never ends inside a character.
std::string CutToCharacters(std::string_view text, std::size_t limit) {
  std::size_t characters = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool startsCharacter = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    if (startsCharacter && characters++ == limit) return std::string(text.substr(0, i)) + "…";
  }
  return std::string(text);
}

}  // namespace

WakeUpMessage MakeWakeUpMessage() {
  std::string data = "ShowKestrix";
  data.push_back('\0');
  return {.dwData = 0, .cbData = static_cast<std::uint32_t>(data.size()), .data = std::move(data)};
}

bool IsRunningInstance(std::string_view windowClass, std::string_view title) {
  return windowClass == kWindowClass && title.starts_with(kApplicationTitle);
}

Tconsole::Tconsole(ConsoleServices services, ConsoleView& view)
    : CoolTrayIcon1(services.notificationArea, services.trayWindow),
      services_(services),
      view_(view),
      list_(services.files, services.folding, *this),
      protectedList_(services.files, services.folding),
      sweep_({services.files, services.volumes, services.folding, services.pump}, sweepSettings_, view, list_,
             protectedList_),
      reports_(EventReportsOf(services)),
      removal_({services.files, services.folding, services.pump, CoolTrayIcon1, services.boxes,
                services.processes, services.quarantine, &shortcutRecovery_, reports_ ? &*reports_ : nullptr,
                kKeptAsAnswered, kKeptLine},
               list_, protectedList_, *this, title_),
      scanDispach_(services.timers, kScanDispachTimer, kScanDispachInterval, true),
      freshonetime_(services.timers, kFreshOneTimeTimer, kFreshOneTimeInterval, true) {
  sweep_.SetShortcutRecovery(&shortcutRecovery_);
  autokillv.OnClick = [this] { autokillvClick(); };
  autokillv.OnPaint = [this](bool checked) { view_.SetAutoKillChecked(checked); };
  autokillv.OnEnable = [this](bool enabled) { view_.SetAutoKillEnabled(enabled); };
  CoolTrayIcon1.OnDblClick = [this] { CoolTrayIcon1DblClick(); };
  CoolTrayIcon1.OnStartup = [this](bool& showMainForm) { CoolTrayIcon1Startup(showMainForm); };
  sweep_.SetFinishedHandler([this] { SweepFinished(); });
}

// Automatic cleaning and immunizing follow the dialog's boxes as they are
// now, not the start-up settings.
void Tconsole::SweepFinished() {
  if (reports_) reports_->SweepFound(list_.Entries());
  std::vector<char> clean;
  if (dialog_ != nullptr && dialog_->autoimmunize.Checked()) {
    for (const char letter : RemovableDrives(services_.volumes, sweepSettings_.skipFloppies)) {
      const bool listed = std::ranges::any_of(list_.Entries(), [&](const SuspectEntry& entry) {
        return entry.path.size() >= 2 && entry.path[1] == ':' && AsciiUpper(entry.path[0]) == letter;
      });
      if (!listed) clean.push_back(letter);
    }
  }
  // Cleaning a list always ends in a balloon, which the vaccine's must not cover.
  const bool cleaning = dialog_ != nullptr && dialog_->autokill.Checked() && list_.Count() > 0;
  if (dialog_ != nullptr && dialog_->autokill.Checked()) removal_.KillVirusClick(Sender::kNone);

  std::vector<char> immunized;
  for (const char letter : clean) {
    // A drive immunized already is left as it is, and so is one the user
    // took the vaccine from.
    if (IsImmunized(services_.files, letter)) continue;
    if (const auto volume = services_.volumes.VolumeIdentity(letter);
        volume && unimmunized_.contains(*volume))
      continue;
    if (Immunize(services_.files, services_.volumes, letter).done) immunized.push_back(letter);
  }
  if (!immunized.empty() && !cleaning)
    CoolTrayIcon1.ShowBalloon(title_, SayAutoImmunized(immunized), BalloonKind::kInfo, kBalloonSeconds);
}

void Tconsole::Create() {
  CoolTrayIcon1.SetHint(kDesignHint);
  CoolTrayIcon1.SetIconVisible(true);
  CoolTrayIcon1.Startup();
  Dispatch([this] { FormCreate(); });
}

void Tconsole::Dispatch(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const HandlerError& error) {
    services_.application.ShowError(error.what(), title_);
  }
}

void Tconsole::FormCreate() {
  executablePath_ = services_.application.ExecutablePath();
  sweepSettings_.ruleDatabasePath = std::string(FolderOf(executablePath_)) + std::string(kRuleDatabaseName);
  scanSettings_ =
      ScanSettings{.startWithWindows = false, .autoClean = false, .skipFloppies = true, .policy = {}};
  sweepSettings_.skipFloppies = scanSettings_.skipFloppies;
  if (!ExistsAndClearAttributes(services_.files, sweepSettings_.ruleDatabasePath)) {
    sweepSettings_.ruleDatabasePath.clear();
    title_ = kMissingRulesTitle;
    view_.SetCaption(title_);
  }
  CoolTrayIcon1.SetHint(title_ + "\r狀態：正在監控\r開始：" + services_.application.Now());

  // A registry error ends this handler; the flags read before it count.
  try {
    ReadScanSettings(services_.registry, services_.files, services_.folding, executablePath_, scanSettings_,
                     sweepSettings_.programFilesDirectory);
  } catch (const HandlerError&) {
    sweepSettings_.skipFloppies = scanSettings_.skipFloppies;
    throw;
  }
  sweepSettings_.skipFloppies = scanSettings_.skipFloppies;
  RepairDiskClassKey(services_.registry, services_.files, services_.volumes);
}

void Tconsole::FormDestroy() { CoolTrayIcon1.SetIconVisible(false); }

void Tconsole::FormResize(int clientWidth, int clientHeight, int dpi) {
  view_.ApplyLayout(PlaceMainWindow(clientWidth, clientHeight, dpi));
}

bool Tconsole::FormCloseQuery() {
  if (list_.Count() == 0) {
    CoolTrayIcon1.HideMainWindow();
  } else if (services_.boxes.ShowMessage(FormatText(kCloseQuestion, static_cast<long long>(list_.Count())),
                                         kCloseCaption, kQuestionYesNoDefaultNo) == kAnswerYes) {
    CoolTrayIcon1.HideMainWindow();
  }
  return false;
}

void Tconsole::CoolTrayIcon1Startup(bool& showMainForm) {
  CoolTrayIcon1.ShowBalloon(title_, title_ + "成功執行，開始保護你的電腦。", BalloonKind::kInfo,
                            kBalloonSeconds);
  showMainForm = false;
}

void Tconsole::CoolTrayIcon1DblClick() { CoolTrayIcon1.ShowMainWindow(); }

void Tconsole::ShowMainClick() { CoolTrayIcon1.ShowMainWindow(); }

void Tconsole::SkipVirusClick() { CoolTrayIcon1.HideMainWindow(); }

void Tconsole::exitappClick() {
  if (list_.Count() > 0) {
    CoolTrayIcon1.ShowMainWindow();
    const std::string question = FormatText(kExitQuestion, static_cast<long long>(list_.Count()));
    if (services_.boxes.ShowMessage(question, title_, kQuestionYesNo) == kAnswerYes) {
      // Cleans and stays: a further Exit with an empty list ends the program.
      removal_.KillVirusClick(Sender::kMenuItem);
      return;
    }
  }
  CoolTrayIcon1.SetIconVisible(false);
  services_.application.Terminate();
}

void Tconsole::updateappClick() { services_.application.OpenDocument(kUpdateAddress); }

void Tconsole::KestrixAboutClick() {
  services_.application.ShowAbout(title_ + " 隨身碟掃毒工", kOwnershipNotice);
  if (dialog_ != nullptr && dialog_->Visible()) CoolTrayIcon1.ShowMainWindow();
}

void Tconsole::ConfigappClick() {
  if (dialog_ == nullptr || dialog_->Visible()) return;
  CoolTrayIcon1.ShowMainWindow();
  dialog_->ShowModal();
}

void Tconsole::startsearchClick() { scanDispach_.SetEnabled(true); }

void Tconsole::ScanDispachTimer() {
  scanDispach_.SetEnabled(false);
  try {
    sweep_.RequestSweep();
  } catch (const HandlerError& error) {
    if (reports_) reports_->SweepFailed(error.what());
    throw;
  }
}

void Tconsole::freshonetimeTimer() {
  freshonetime_.SetEnabled(false);
  // Managed boxes are greyed before they take the policy's values.
  const Policy& policy = scanSettings_.policy;
  autokillv.SetEnabled(!policy.autoClean.has_value());
  if (dialog_ != nullptr) dialog_->ApplyPolicy(policy);
  autokillv.SetChecked(scanSettings_.autoClean);
  if (dialog_ == nullptr) return;
  dialog_->autokill.SetChecked(scanSettings_.autoClean);
  dialog_->autostart.SetChecked(scanSettings_.startWithWindows);
  dialog_->SkipFloopy.SetChecked(scanSettings_.skipFloppies);
  dialog_->autoimmunize.SetChecked(scanSettings_.autoImmunize);
}

void Tconsole::autokillvClick() {
  if (dialog_ != nullptr) dialog_->autokill.SetChecked(autokillv.Checked());
  if (!scanSettings_.policy.autoClean.has_value()) {
    ShownOptions shown{.autoClean = autokillv.Checked()};
    if (dialog_ != nullptr) {
      shown.skipFloppies = dialog_->Shown().skipFloppies;
      shown.autoImmunize = dialog_->Shown().autoImmunize;
    } else {
      if (!scanSettings_.policy.skipFloppies.has_value()) shown.skipFloppies = scanSettings_.skipFloppies;
      shown.autoImmunize = scanSettings_.autoImmunize;
    }
    StoreShownOption(services_.registry, shown, kAutoKillValue);
  }
  if (dialog_ != nullptr) dialog_->UpdateOptionStatus();
}

void Tconsole::KillVirusClick(Sender sender) { removal_.KillVirusClick(sender); }

void Tconsole::KillSelectedClick() { removal_.KillSelectedClick(Sender::kMenuItem); }

void Tconsole::passitClick() { kestrix::passitClick(list_, CoolTrayIcon1, title_); }

void Tconsole::thisattrClick() { kestrix::thisattrClick(list_, services_.shell); }

std::vector<VaccineDrive> Tconsole::VaccineMenuDrives() {
  return VaccineDrives(services_.files, services_.volumes, sweepSettings_.skipFloppies);
}

void Tconsole::VaccineDriveClick(char letter) {
  const bool immunizing = !IsImmunized(services_.files, letter);
  const VaccineResult result = immunizing ? Immunize(services_.files, services_.volumes, letter)
                                          : Unimmunize(services_.files, services_.volumes, letter);
  // A volume the user took the vaccine from keeps it off while this program runs.
  if (const auto volume = services_.volumes.VolumeIdentity(letter); volume && result.done) {
    if (immunizing) {
      unimmunized_.erase(*volume);
    } else {
      unimmunized_.insert(*volume);
    }
  }
  const VaccineBalloon said = SayVaccineResult(immunizing, letter, result);
  CoolTrayIcon1.ShowBalloon(title_, said.text, said.kind, kBalloonSeconds);
}

void Tconsole::TimerTick(int id) {
  if (id == kScanDispachTimer) {
    ScanDispachTimer();
  } else if (id == kFreshOneTimeTimer) {
    freshonetimeTimer();
  }
}

std::string Tconsole::RowTip(std::size_t index) const {
  if (index >= list_.Count()) return {};
  return CutToCharacters(list_.Entry(index).reason, kRowTipLimit);
}

void Tconsole::WmDeviceChange(std::uint32_t event) {
  if (event == kDeviceArrival) scanDispach_.SetEnabled(true);
}

std::intptr_t Tconsole::WmQueryEndSession() { return -1; }

void Tconsole::WmCopyData() { CoolTrayIcon1.ShowMainWindow(); }

}  // namespace kestrix
