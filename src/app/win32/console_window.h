// The main window "Tconsole" on Windows: its controls and menus, and the
// desktop services the portable logic asks for. Messages become calls on
// Tconsole; Tconsole's requests become Win32 calls.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <optional>
#include <string>

#include "app/main_window.h"
#include "app/win32/list_tips.h"
#include "app/win32/tray_handler_window.h"
#include "platform/win32/win32_machine.h"

namespace kestrix {
class QuarantineWindow;
}

namespace kestrix::win32 {

class ConsoleWindow final : public ConsoleView,
                            public TrayWindow,
                            public MessageBoxes,
                            public Shell,
                            public Application,
                            public Timers {
 public:
  explicit ConsoleWindow(HINSTANCE instance);
  ~ConsoleWindow() override;
  ConsoleWindow(const ConsoleWindow&) = delete;
  ConsoleWindow& operator=(const ConsoleWindow&) = delete;

  // Creates the logic on the finished window; nothing runs yet.
  void Start(Win32Machine& machine, Win32ProcessTable& processes, Win32Registry& registry,
             Quarantine& quarantine, EventLog& eventLog);
  // The window the tray menu's and the list menu's 隔離區 entries show.
  void AttachQuarantine(kestrix::QuarantineWindow& quarantine);
  // Runs the logic's start-up: the tray icon, the settings, the repairs. An
  // error box it shows runs the timers, so the options dialog must exist.
  void Create();
  Tconsole& Logic() { return *logic_; }
  HWND Handle() const { return window_; }
  HICON BigIcon() const { return bigIcon_; }
  HICON SmallIcon() const { return smallIcon_; }

  // ConsoleView
  void SetCurrentVirus(std::string_view text) override;
  void SetTotalProgress(int position) override;
  void SetKillVirusEnabled(bool enabled) override;
  void SetCaption(std::string_view caption) override;
  void ListCleared() override;
  void ListAppended(const SuspectEntry& entry) override;
  void ListDeleted(std::size_t index) override;
  void ListChanged(std::size_t index, const SuspectEntry& entry) override;
  void SetTotalNumber(std::string_view caption) override;
  void SetAutoKillChecked(bool checked) override;
  void SetAutoKillEnabled(bool enabled) override;
  void ApplyLayout(const MainWindowPlaces& places) override;

  // TrayWindow
  bool Exists() const override { return window_ != nullptr; }
  bool IsMinimized() const override { return IsIconic(window_) != 0; }
  void Restore() override;
  void Show() override;
  void BringToFront() override;
  void Hide() override;

  // MessageBoxes and Shell
  int ShowMessage(std::string_view text, std::string_view caption, unsigned style) override;
  void ShowProperties(std::string_view path) override;

  // Application
  void Terminate() override;
  void ShowError(std::string_view message, std::string_view caption) override;
  void ShowAbout(std::string_view title, std::string_view notice) override;
  void OpenDocument(std::string_view address) override;
  std::string ExecutablePath() override;
  std::string Now() override;

  // Timers
  void StartTimer(int id, int intervalMilliseconds) override;
  void StopTimer(int id) override;

 private:
  LRESULT OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void CreateControls();
  // Fonts, images and sizes at the window's pixels per inch.
  void CreateFonts();
  SIZE DesignOuterSize() const;
  void LoadImages();
  void LayOut();
  void OnDpiChanged(int dpi, const RECT& suggested);
  HWND Control(int id) const { return GetDlgItem(window_, id); }
  void Command(int id);
  void FocusControl();
  LRESULT OnNotify(const NMHDR& header);
  // At `at` on the screen; without it, at the mouse pointer.
  void PopUpMenu(HMENU menu, HWND owner, std::optional<POINT> at = std::nullopt);
  void PopUpTrayMenu();
  void Dispatch(const std::function<void()>& handler);

  HINSTANCE instance_;
  HWND window_ = nullptr;
  ListTips tips_;
  HWND focus_ = nullptr;
  HFONT font_ = nullptr;
  HFONT boldFont_ = nullptr;
  HICON smallIcon_ = nullptr;
  HICON bigIcon_ = nullptr;
  HIMAGELIST categoryImages_ = nullptr;
  HIMAGELIST glyphImages_ = nullptr;
  HICON bannerIcon_ = nullptr;
  int dpi_ = kDesignDpi;
  HMENU trayMenu_ = nullptr;
  HMENU listMenu_ = nullptr;
  HMENU vaccineMenu_ = nullptr;
  bool shownOnce_ = false;
  // Made with the window; the logic keeps it as its notification area.
  std::optional<TrayHandlerWindow> tray_;
  std::optional<Tconsole> logic_;
  kestrix::QuarantineWindow* quarantine_ = nullptr;
};

}  // namespace kestrix::win32
