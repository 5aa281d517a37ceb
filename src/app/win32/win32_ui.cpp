#include "app/win32/win32_ui.h"

#include <algorithm>
#include <vector>

#include "platform/win32/win32_machine.h"

namespace kestrix::win32 {

namespace {

// A user32 function that older Windows (and Wine) may lack, bound at run
// time so that the program still starts there.
template <typename Function>
Function User32Function(const char* name) {
  const FARPROC found = GetProcAddress(GetModuleHandleW(L"user32.dll"), name);
  return reinterpret_cast<Function>(reinterpret_cast<void*>(found));
}

int ScreenDpi() {
  HDC screen = GetDC(nullptr);
  const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : kDesignDpi;
}

}  // namespace

HFONT CreateTahoma(bool bold, int dpi) {
  return CreateFontW(-ScaleForDpi(11, dpi), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                     DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, L"Tahoma");
}

int DpiOf(HWND window) {
  static const auto getDpiForWindow = User32Function<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
  const UINT dpi = getDpiForWindow != nullptr && window != nullptr ? getDpiForWindow(window) : 0;
  return dpi > 0 ? static_cast<int>(dpi) : SystemDpi();
}

int SystemDpi() {
  static const auto getDpiForSystem = User32Function<UINT(WINAPI*)()>("GetDpiForSystem");
  const UINT dpi = getDpiForSystem != nullptr ? getDpiForSystem() : 0;
  return dpi > 0 ? static_cast<int>(dpi) : ScreenDpi();
}

SIZE OuterSize(int clientWidth, int clientHeight, DWORD style, DWORD exStyle, int dpi) {
  static const auto adjustForDpi =
      User32Function<BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT)>("AdjustWindowRectExForDpi");
  RECT bounds{0, 0, clientWidth, clientHeight};
  if (adjustForDpi == nullptr || !adjustForDpi(&bounds, style, FALSE, exStyle, static_cast<UINT>(dpi))) {
    bounds = {0, 0, clientWidth, clientHeight};
    AdjustWindowRectEx(&bounds, style, FALSE, exStyle);
  }
  return {bounds.right - bounds.left, bounds.bottom - bounds.top};
}

HIMAGELIST LoadImageStrip(HINSTANCE instance, int resource, int dpi) {
  if (dpi == kDesignDpi) {
    return ImageList_LoadImageW(instance, MAKEINTRESOURCEW(resource), 16, 0, RGB(255, 0, 255), IMAGE_BITMAP,
                                LR_CREATEDIBSECTION);
  }
  // Larger screens get the strip stretched whole pixels at a time, which
  // keeps the magenta key exact.
  const auto strip = static_cast<HBITMAP>(
      LoadImageW(instance, MAKEINTRESOURCEW(resource), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  if (strip == nullptr) return nullptr;
  BITMAP info{};
  GetObjectW(strip, sizeof info, &info);
  DeleteObject(strip);
  const int size = ScaleForDpi(16, dpi);
  const int count = info.bmHeight > 0 ? info.bmWidth / info.bmHeight : 0;
  const auto scaled = static_cast<HBITMAP>(LoadImageW(instance, MAKEINTRESOURCEW(resource), IMAGE_BITMAP,
                                                      size * count, size, LR_CREATEDIBSECTION));
  if (scaled == nullptr) return nullptr;
  HIMAGELIST images = ImageList_Create(size, size, ILC_COLOR24 | ILC_MASK, count, 0);
  if (images != nullptr) ImageList_AddMasked(images, scaled, RGB(255, 0, 255));
  DeleteObject(scaled);
  return images;
}

HBITMAP MenuImage(HINSTANCE instance, int resource, int index) {
  const auto strip = static_cast<HBITMAP>(
      LoadImageW(instance, MAKEINTRESOURCEW(resource), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  if (strip == nullptr) return nullptr;
  BITMAP info{};
  GetObjectW(strip, sizeof info, &info);
  BITMAPINFO format{};
  format.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  format.bmiHeader.biWidth = info.bmWidth;
  format.bmiHeader.biHeight = -info.bmHeight;  // top-down rows
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 32;
  format.bmiHeader.biCompression = BI_RGB;
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(info.bmWidth) * info.bmHeight);
  HDC screen = GetDC(nullptr);
  GetDIBits(screen, strip, 0, static_cast<UINT>(info.bmHeight), pixels.data(), &format, DIB_RGB_COLORS);
  DeleteObject(strip);

  void* bits = nullptr;
  format.bmiHeader.biWidth = 16;
  format.bmiHeader.biHeight = -16;
  HBITMAP image = CreateDIBSection(screen, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  if (image == nullptr) return nullptr;
  // Not every menu honours alpha, so transparent pixels take the menu's own
  // colour as well (DIB pixels are blue, green, red from the low byte).
  const COLORREF menu = GetSysColor(COLOR_MENU);
  const std::uint32_t background =
      0xFF000000u | (GetRValue(menu) << 16) | (GetGValue(menu) << 8) | GetBValue(menu);
  auto* out = static_cast<std::uint32_t*>(bits);
  for (int y = 0; y < 16 && y < info.bmHeight; ++y) {
    for (int x = 0; x < 16; ++x) {
      const std::uint32_t pixel =
          pixels[static_cast<std::size_t>(y) * info.bmWidth + index * 16 + x] & 0xFFFFFF;
      // Magenta is the transparent key.
      out[y * 16 + x] = pixel == 0xFF00FF ? background : (pixel | 0xFF000000u);
    }
  }
  return image;
}

HWND CreateControl(HWND parent, DWORD exStyle, const wchar_t* className, std::string_view text, DWORD style,
                   int id, RECT bounds, HFONT font) {
  HWND control = CreateWindowExW(
      exStyle, className, Widen(text).c_str(), WS_CHILD | WS_VISIBLE | style, bounds.left, bounds.top,
      bounds.right, bounds.bottom, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
      reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(parent, GWLP_HINSTANCE)), nullptr);
  if (control != nullptr && font != nullptr)
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  return control;
}

void PlaceControl(HWND control, const Place& place) {
  SetWindowPos(control, nullptr, place.left, place.top, std::max(place.width, 0), std::max(place.height, 0),
               SWP_NOZORDER | SWP_NOACTIVATE);
}

namespace {

// A named callback: a lambda would not have the 32-bit build's stdcall.
BOOL CALLBACK SetChildFont(HWND child, LPARAM font) {
  SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(font), TRUE);
  return TRUE;
}

}  // namespace

void SetChildFonts(HWND parent, HFONT font) {
  EnumChildWindows(parent, SetChildFont, reinterpret_cast<LPARAM>(font));
}

void AddHint(HWND tooltip, HWND control, std::string_view hint) {
  std::wstring text = Widen(hint);
  TOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = GetParent(control);
  tool.uId = reinterpret_cast<UINT_PTR>(control);
  tool.lpszText = text.data();
  SendMessageW(tooltip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

void RegisterWindowClass(HINSTANCE instance, const wchar_t* name, WNDPROC procedure, HICON icon,
                         HICON smallIcon) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = procedure;
  windowClass.hInstance = instance;
  windowClass.hIcon = icon;
  windowClass.hIconSm = smallIcon;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = name;
  RegisterClassExW(&windowClass);
}

// Bound at run time: systems before Windows 7 lack the call.
void AllowFromLowerIntegrity(HWND window, UINT message) {
  using Allow = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
  constexpr DWORD kAllow = 1;  // MSGFLT_ALLOW
  static const auto allow = reinterpret_cast<Allow>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"user32.dll"), "ChangeWindowMessageFilterEx")));
  if (allow != nullptr && window != nullptr && message != 0) allow(window, message, kAllow, nullptr);
}

}  // namespace kestrix::win32
