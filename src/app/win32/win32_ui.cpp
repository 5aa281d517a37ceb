#include "app/win32/win32_ui.h"

#include <algorithm>
#include <vector>

#include "platform/win32/win32_machine.h"

namespace kestrix::win32 {

HFONT CreateTahoma(bool bold) {
  return CreateFontW(-11, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                     L"Tahoma");
}

HIMAGELIST LoadImageStrip(HINSTANCE instance, int resource) {
  return ImageList_LoadImageW(instance, MAKEINTRESOURCEW(resource), 16, 0, RGB(255, 0, 255), IMAGE_BITMAP,
                              LR_CREATEDIBSECTION);
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

void PlaceControl(HWND control, int left, int top, int width, int height) {
  SetWindowPos(control, nullptr, left, top, std::max(width, 0), std::max(height, 0),
               SWP_NOZORDER | SWP_NOACTIVATE);
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

}  // namespace kestrix::win32
