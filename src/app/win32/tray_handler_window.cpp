#include "app/win32/tray_handler_window.h"

#include <shellapi.h>

#include <algorithm>

#include "app/win32/control_ids.h"
#include "app/win32/win32_ui.h"

namespace kestrix::win32 {

namespace {

constexpr UINT kTrayIconId = 1;

// Copies text into a fixed field of the shell's record, NUL-terminated.
template <std::size_t N>
void CopyField(wchar_t (&field)[N], const std::u16string& text) {
  const std::size_t length = std::min(text.size(), N - 1);
  std::copy_n(text.begin(), length, field);
  field[length] = L'\0';
}

}  // namespace

TrayHandlerWindow::TrayHandlerWindow(HINSTANCE instance, HICON icon) : icon_(icon) {
  RegisterWindowClass(instance, KESTRIX_TRAY_CLASS,
                      ForwardMessages<TrayHandlerWindow, &TrayHandlerWindow::OnMessage>);
  taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
  // Hidden, but a real top-level window so that the "TaskbarCreated"
  // broadcast reaches it.
  window_ = CreateWindowExW(WS_EX_TOOLWINDOW, KESTRIX_TRAY_CLASS, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                            instance, this);
  // Explorer restarted while Kestrix runs elevated must still reach it.
  AllowFromLowerIntegrity(window_, taskbarCreated_);
}

TrayHandlerWindow::~TrayHandlerWindow() {
  if (window_ != nullptr) DestroyWindow(window_);
}

bool TrayHandlerWindow::Notify(NotifyAction action, const IconRecord& record) {
  NOTIFYICONDATAW data{};
  data.cbSize = NOTIFYICONDATAW_V2_SIZE;
  data.hWnd = window_;
  data.uID = kTrayIconId;
  data.uFlags = record.flags;
  data.uCallbackMessage = kTrayCallbackMessage;
  data.hIcon = icon_;
  CopyField(data.szTip, record.tip);
  CopyField(data.szInfo, record.info);
  CopyField(data.szInfoTitle, record.infoTitle);
  data.uTimeout = record.timeoutOrVersion;
  data.dwInfoFlags = record.infoFlags;
  return Shell_NotifyIconW(static_cast<DWORD>(action), &data) != FALSE;
}

void TrayHandlerWindow::Dispatch(const std::function<void()>& handler) {
  if (logic_ != nullptr) logic_->Dispatch(handler);
}

LRESULT TrayHandlerWindow::OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) window_ = window;
  if (message == kTrayCallbackMessage) {
    Dispatch([&] { logic_->CoolTrayIcon1.HandleCallback(static_cast<std::uint32_t>(lParam)); });
    return 0;
  }
  if (message == taskbarCreated_ && taskbarCreated_ != 0) {
    Dispatch([this] { logic_->CoolTrayIcon1.TaskbarCreated(); });
    return 0;
  }
  switch (message) {
    // Never holds up a log-off or shutdown.
    case WM_QUERYENDSESSION:
    case WM_ENDSESSION:
    case WM_CLOSE:
    case WM_DESTROY:
    case WM_NCDESTROY:
    case WM_QUIT:
      return 1;
    default:
      return DefWindowProcW(window_, message, wParam, lParam);
  }
}

}  // namespace kestrix::win32
