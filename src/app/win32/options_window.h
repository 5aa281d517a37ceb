// The options dialog "TConfigKestrix" on Windows: its controls, shown
// modally over the main window; its logic stores every change at once.
#pragma once

#include <windows.h>

#include <optional>

#include "app/main_window.h"
#include "settings/options_dialog.h"

namespace kestrix::win32 {

class OptionsWindow final : public OptionsDialogView {
 public:
  // Owned by the main window `owner`, whose logic `console` runs the
  // dialog's handlers.
  OptionsWindow(HINSTANCE instance, HWND owner, HICON icon, Tconsole& console, Registry& registry);
  ~OptionsWindow() override;
  OptionsWindow(const OptionsWindow&) = delete;
  OptionsWindow& operator=(const OptionsWindow&) = delete;

  TConfigKestrix& Logic() { return *logic_; }

  void SetStatusText(std::string_view text) override;
  void ShowManagedNotice(std::string_view text) override;
  bool IsVisible() const override { return IsWindowVisible(window_) != FALSE; }
  void ShowModal() override;
  void Close() override;

 private:
  LRESULT OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void CreateControls();
  // The picture and the status bar's parts at the dialog's scale.
  void SetPicture();
  void SetStatusParts();
  // Moved to a monitor of another scale: everything grows or shrinks.
  void OnDpiChanged(int dpi, const RECT& suggested);

  HINSTANCE instance_;
  HWND owner_;
  Tconsole& console_;
  HWND window_ = nullptr;
  HWND tooltip_ = nullptr;
  HFONT font_ = nullptr;
  HBITMAP picture_ = nullptr;
  int dpi_ = 96;
  bool notice_ = false;
  std::optional<TConfigKestrix> logic_;
};

}  // namespace kestrix::win32
