// Small pieces the two windows share: fonts, images with a magenta key,
// placing controls.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <string>
#include <string_view>

namespace kestrix::win32 {

// Tahoma at height -11, as every window of the program uses it.
HFONT CreateTahoma(bool bold);

// An image list of 16x16 images cut from a bitmap resource strip, with
// magenta (255,0,255) transparent.
HIMAGELIST LoadImageStrip(HINSTANCE instance, int resource);

// A 32-bit bitmap with alpha of one 16x16 image of a strip, for a menu item.
HBITMAP MenuImage(HINSTANCE instance, int resource, int index);

// A child control at client coordinates, with the program's font.
HWND CreateControl(HWND parent, DWORD exStyle, const wchar_t* className, std::string_view text, DWORD style,
                   int id, RECT bounds, HFONT font);

// Moves a control; negative sizes count as zero.
void PlaceControl(HWND control, int left, int top, int width, int height);

// The window procedure of a window class whose windows are objects of T:
// the object comes in as the creation parameter, is kept with the window at
// WM_NCCREATE, and gets every message from then on (WM_NCCREATE included).
template <typename T, LRESULT (T::*Handler)(HWND, UINT, WPARAM, LPARAM)>
LRESULT CALLBACK ForwardMessages(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
  }
  auto* self = reinterpret_cast<T*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  return self != nullptr ? (self->*Handler)(window, message, wParam, lParam)
                         : DefWindowProcW(window, message, wParam, lParam);
}

// Adds a tooltip for a control.
void AddHint(HWND tooltip, HWND control, std::string_view hint);

}  // namespace kestrix::win32
