// The quarantine window "TQuarantine" on Windows: a list of the kept files
// and four buttons below it. Messages become calls on the portable
// QuarantineWindow; its requests become Win32 calls.
#pragma once

#include <windows.h>

#include <optional>

#include "app/main_window.h"
#include "app/quarantine_window.h"
#include "platform/win32/win32_machine.h"

namespace kestrix::win32 {

class QuarantineWindow final : public QuarantineView, public MessageBoxes {
 public:
  // `other` is the store this program does not keep in, or null; the main
  // window's logic `console` runs the handlers.
  QuarantineWindow(HINSTANCE instance, HICON bigIcon, HICON smallIcon, Tconsole& console,
                   Win32Machine& machine, Quarantine& own, Quarantine* other, EventLog* eventLog);
  ~QuarantineWindow() override;
  QuarantineWindow(const QuarantineWindow&) = delete;
  QuarantineWindow& operator=(const QuarantineWindow&) = delete;

  kestrix::QuarantineWindow& Logic() { return *logic_; }
  HWND Handle() const { return window_; }

  // QuarantineView
  void ShowRows(const std::vector<QuarantineRow>& rows, const std::vector<std::size_t>& selected) override;
  std::vector<std::size_t> SelectedRows() const override;
  bool IsVisible() const override { return IsWindowVisible(window_) != FALSE; }
  void Show() override;
  void Hide() override;
  std::optional<std::string> PickFolder() override;
  std::string LocalTime(std::string_view utc) override;

  // MessageBoxes: owned by this window.
  int ShowMessage(std::string_view text, std::string_view caption, unsigned style) override;

 private:
  LRESULT OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void CreateControls();
  void LayOut();
  void OnDpiChanged(int dpi, const RECT& suggested);
  void Command(int id);
  void Dispatch(const std::function<void()>& handler);
  HWND Control(int id) const { return GetDlgItem(window_, id); }

  HINSTANCE instance_;
  Tconsole& console_;
  HWND window_ = nullptr;
  HWND focus_ = nullptr;
  HFONT font_ = nullptr;
  int dpi_ = 96;
  bool shownOnce_ = false;
  std::optional<kestrix::QuarantineWindow> logic_;
};

}  // namespace kestrix::win32
