// The tray icon's hidden handler window: the shell adds, changes and
// removes the icon for it, and sends it the icon's mouse messages and
// Explorer's restart.
#pragma once

#include <windows.h>

#include "app/main_window.h"

namespace kestrix::win32 {

class TrayHandlerWindow final : public NotificationArea {
 public:
  // `icon` is the image the notification area shows.
  TrayHandlerWindow(HINSTANCE instance, HICON icon);
  ~TrayHandlerWindow() override;
  TrayHandlerWindow(const TrayHandlerWindow&) = delete;
  TrayHandlerWindow& operator=(const TrayHandlerWindow&) = delete;

  // The logic whose tray icon gets the messages; until then they go nowhere.
  void Attach(Tconsole& logic) { logic_ = &logic; }
  HWND Handle() const { return window_; }

  bool Notify(NotifyAction action, const IconRecord& record) override;

 private:
  LRESULT OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void Dispatch(const std::function<void()>& handler);

  HWND window_ = nullptr;
  HICON icon_;
  UINT taskbarCreated_ = 0;
  Tconsole* logic_ = nullptr;
};

}  // namespace kestrix::win32
