// The main window "Tconsole" on Windows: its controls, its tray icon's
// hidden handler window and menus, and every desktop service the portable
// logic asks for. Messages become calls on Tconsole; Tconsole's requests
// become Win32 calls.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <optional>
#include <string>

#include "app/main_window.h"
#include "platform/win32/win32_machine.h"

namespace kestrix::win32 {

class OptionsWindow;
class QuarantineWindow;

class ConsoleWindow final : public ConsoleView,
                            public TrayWindow,
                            public NotificationArea,
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
  void AttachOptions(OptionsWindow& options);
  // The window the tray menu's and the list menu's 隔離區 entries show.
  void AttachQuarantine(QuarantineWindow& quarantine);
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

  // NotificationArea
  bool Notify(NotifyAction action, const IconRecord& record) override;

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
  static LRESULT CALLBACK ProgressProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnTrayMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
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
  // The list's hint under the pointer: why the row there is listed, or
  // what the list is for.
  std::wstring ListHint() const;
  static LRESULT CALLBACK ListProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                   DWORD_PTR self);
  // The tip that follows the focused row when the keyboard moves it.
  void CreateRowTip();
  void ShowRowTip(int row);
  void HideRowTip();
  // At `at` on the screen; without it, at the mouse pointer.
  void PopUpMenu(HMENU menu, HWND owner, std::optional<POINT> at = std::nullopt);
  void PopUpTrayMenu();
  // The 保護隨身碟 submenu's drives as they are now.
  void FillVaccineMenu();
  void Dispatch(const std::function<void()>& handler);

  HINSTANCE instance_;
  HWND window_ = nullptr;
  HWND trayWindow_ = nullptr;
  HWND tooltip_ = nullptr;
  HWND rowTip_ = nullptr;
  std::wstring listHint_;  // the text the hint shows now
  int hintRow_ = -1;       // the row under the pointer
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
  UINT taskbarCreated_ = 0;
  bool shownOnce_ = false;
  int progress_ = 0;
  std::optional<Tconsole> logic_;
  QuarantineWindow* quarantine_ = nullptr;
};

}  // namespace kestrix::win32
