#include "app/win32/progress_bar.h"

#include "app/win32/win32_ui.h"

namespace kestrix::win32 {

namespace {

constexpr UINT kSetProgress = WM_USER + 1;
constexpr COLORREF kProgressBorder = 10070191;  // red 175, green 168, blue 153

// The position lives with the window, so the bar needs no object of its own.
LRESULT CALLBACK ProgressProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kSetProgress:
      SetWindowLongPtrW(window, GWLP_USERDATA, static_cast<LONG_PTR>(wParam));
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      RECT bounds{};
      GetClientRect(window, &bounds);
      const auto position = static_cast<int>(GetWindowLongPtrW(window, GWLP_USERDATA));
      HBRUSH border = CreateSolidBrush(kProgressBorder);
      FrameRect(dc, &bounds, border);
      DeleteObject(border);
      RECT inside{bounds.left + 1, bounds.top + 1, bounds.right - 1, bounds.bottom - 1};
      FillRect(dc, &inside, GetSysColorBrush(COLOR_WINDOW));
      RECT bar = inside;
      bar.right = bar.left + (inside.right - inside.left) * position / 100;
      FillRect(dc, &bar, GetSysColorBrush(COLOR_HIGHLIGHT));
      EndPaint(window, &paint);
      return 0;
    }
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

void RegisterProgressBar(HINSTANCE instance) {
  RegisterWindowClass(instance, kProgressBarClass, ProgressProc);
}

void SetProgressBarPosition(HWND bar, int percent) {
  SendMessageW(bar, kSetProgress, static_cast<WPARAM>(percent), 0);
}

}  // namespace kestrix::win32
