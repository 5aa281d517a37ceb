// The main window's logic: every event handler of the window, its tray
// icon and its timers, written once and portable. The Windows program
// turns messages into calls on this class and draws what it is told.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "app/timers.h"
#include "app/tray_icon.h"
#include "app/vaccine_menu.h"
#include "app/window_layout.h"
#include "detect/drive_sweep.h"
#include "findings/protected_list.h"
#include "findings/listed_files.h"
#include "platform/platform.h"
#include "remedy/event_reports.h"
#include "remedy/quarantine.h"
#include "remedy/removal.h"
#include "settings/flat_check_box.h"
#include "settings/options_dialog.h"
#include "settings/scan_settings.h"

namespace kestrix {

inline constexpr std::string_view kApplicationTitle = "Kestrix";
inline constexpr std::string_view kMissingRulesTitle = "Kestrix [无病毒库：Kestrix.dat]";
inline constexpr std::string_view kHelpFile = "Kestrix.CHM";
inline constexpr std::string_view kWindowClass = "Tconsole";
inline constexpr std::string_view kUpdateAddress = "https://kestrix.example.org/download";
inline constexpr std::string_view kOwnershipNotice = "Kestrix © 2026 the Kestrix developers. Free software.";

inline constexpr int kScanDispachTimer = 1;
inline constexpr int kFreshOneTimeTimer = 2;

inline constexpr std::uint32_t kDeviceArrival = 0x8000;

// The longest row tip, in characters: a tooltip stays readable, and even
// characters of two UTF-16 units each fit the 1024 units Windows gives an
// info tip.
inline constexpr std::size_t kRowTipLimit = 500;

// The main window as the logic sees it.
class ConsoleView : public SweepView {
 public:
  virtual void SetCaption(std::string_view caption) = 0;
  virtual void ListCleared() = 0;
  virtual void ListAppended(const SuspectEntry& entry) = 0;
  virtual void ListDeleted(std::size_t index) = 0;
  virtual void ListChanged(std::size_t index, const SuspectEntry& entry) = 0;
  virtual void SetTotalNumber(std::string_view caption) = 0;
  virtual void SetAutoKillChecked(bool checked) = 0;
  // Greys the auto-clean box out when the administrator manages it.
  virtual void SetAutoKillEnabled(bool enabled) = 0;
  virtual void ApplyLayout(const MainWindowPlaces& places) = 0;
};

// The application around the windows.
class Application {
 public:
  virtual ~Application() = default;
  // Ends the message loop after the current message.
  virtual void Terminate() = 0;
  // The standard error box: a stop icon, the application's title as caption.
  virtual void ShowError(std::string_view message, std::string_view caption) = 0;
  // The system's About box with the program's icon.
  virtual void ShowAbout(std::string_view title, std::string_view notice) = 0;
  // Opens a document or web address with the shell.
  virtual void OpenDocument(std::string_view address) = 0;
  // The full path of the running executable.
  virtual std::string ExecutablePath() = 0;
  // Now, in the system's short date and long time format: "2026/12/7 20:49:03".
  virtual std::string Now() = 0;
};

struct ConsoleServices {
  Files& files;
  Volumes& volumes;
  const CaseFolding& folding;
  MessagePump& pump;
  MessageBoxes& boxes;
  Shell& shell;
  ProcessTable& processes;
  Registry& registry;
  Application& application;
  Timers& timers;
  NotificationArea& notificationArea;
  TrayWindow& trayWindow;
  // Keeps every file the removals delete; null deletes outright. kestrix.exe
  // keeps them in %ProgramData%\Kestrix\Quarantine, within the limit that
  // ReadQuarantineLimit reads.
  Quarantine* quarantine = nullptr;
  // Where sweeps that find something, removals and errors that end a sweep
  // are recorded; null records nothing.
  EventLog* eventLog = nullptr;
};

// The WM_COPYDATA record a second start sends to wake the running one.
struct WakeUpMessage {
  std::uintptr_t dwData = 0;
  std::uint32_t cbData = 0;
  std::string data;  // cbData bytes: the text and its NUL
};
WakeUpMessage MakeWakeUpMessage();

// Whether a top-level window is a running Kestrix: its class, and a title
// that begins with "Kestrix", so that an instance that started without its
// rule database is found as well.
bool IsRunningInstance(std::string_view windowClass, std::string_view title);

class Tconsole final : private SuspectListView, private RemovalView {
 public:
  Tconsole(ConsoleServices services, ConsoleView& view);
  Tconsole(const Tconsole&) = delete;
  Tconsole& operator=(const Tconsole&) = delete;

  // Builds the window as the program starts: the tray icon with its tip
  // and start-up event, then FormCreate.
  void Create();
  // The options dialog, created right after the main window.
  void AttachOptionsDialog(TConfigKestrix& dialog) { dialog_ = &dialog; }

  // Runs an event handler. An error that ends it (a file that cannot be
  // read, a registry value of the wrong type) goes to the error box.
  void Dispatch(const std::function<void()>& handler);

  void FormCreate();
  void FormDestroy();
  // The client area's new size, at the window's pixels per inch.
  void FormResize(int clientWidth, int clientHeight, int dpi);
  // Always false: closing only hides the window.
  bool FormCloseQuery();
  void CoolTrayIcon1Startup(bool& showMainForm);
  void CoolTrayIcon1DblClick();
  void ShowMainClick();
  void SkipVirusClick();
  void exitappClick();
  void updateappClick();
  void KestrixAboutClick();
  void ConfigappClick();
  void startsearchClick();
  void ScanDispachTimer();
  void freshonetimeTimer();
  void autokillvClick();
  void KillVirusClick(Sender sender);
  void KillSelectedClick();
  void passitClick();
  void thisattrClick();
  // The tray menu's 保護隨身碟 submenu, asked each time the menu opens.
  std::vector<VaccineDrive> VaccineMenuDrives();
  // A drive of the submenu was chosen: a drive Kestrix immunized is
  // immunized no longer, any other is immunized; a balloon says what was
  // done or why not.
  void VaccineDriveClick(char letter);
  // A timer of this window ticked.
  void TimerTick(int id);
  // The tip of a row of the list: why its entry is listed, cut to
  // kRowTipLimit characters with an ellipsis. Empty when the row has no
  // reason or does not exist: such a row shows no tip.
  std::string RowTip(std::size_t index) const;

  // WM_DEVICECHANGE: a volume's arrival starts a sweep.
  void WmDeviceChange(std::uint32_t event);
  // WM_QUERYENDSESSION: Windows may always log off; the answer is non-zero.
  std::intptr_t WmQueryEndSession();
  // WM_COPYDATA: a second start wakes this one, whatever it sent.
  void WmCopyData();

  TCoolTrayIcon CoolTrayIcon1;
  FlatCheckBox autokillv{false};
  SuspectList& VirusList() { return list_; }
  const std::string& Title() const { return title_; }
  const ScanSettings& Settings() const { return scanSettings_; }
  const SweepSettings& SweepSetup() const { return sweepSettings_; }
  bool SweepRunning() const { return sweep_.Running(); }
  const OneShotTimer& ScanDispach() const { return scanDispach_; }

 private:
  // SuspectListView: the list goes to the view, the first hit brings the
  // window up through the tray icon.
  void ListCleared() override { view_.ListCleared(); }
  void ListAppended(const SuspectEntry& entry) override { view_.ListAppended(entry); }
  void ListDeleted(std::size_t index) override { view_.ListDeleted(index); }
  void ListChanged(std::size_t index, const SuspectEntry& entry) override { view_.ListChanged(index, entry); }
  void SetTotalNumber(std::string_view caption) override { view_.SetTotalNumber(caption); }
  void ShowMainWindow() override { CoolTrayIcon1.ShowMainWindow(); }
  // RemovalView: the clean button emptied the list.
  void RequestClose() override { FormCloseQuery(); }
  // The end of a sweep: the automatic cleaning and immunizing.
  void SweepFinished();

  ConsoleServices services_;
  ConsoleView& view_;
  std::string title_{kApplicationTitle};
  ScanSettings scanSettings_;
  std::string executablePath_;
  SweepSettings sweepSettings_;
  SuspectList list_;
  ProtectedList protectedList_;
  ShortcutRecovery shortcutRecovery_;
  DriveSweep sweep_;
  std::optional<EventReports> reports_;
  Removal removal_;
  OneShotTimer scanDispach_;
  OneShotTimer freshonetime_;
  TConfigKestrix* dialog_ = nullptr;
  std::set<std::string> unimmunized_;  // volumes the user took the vaccine from
};

}  // namespace kestrix
