// Small pieces the program's windows share: fonts, images with a magenta key,
// placing controls, window classes.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <string>
#include <string_view>

#include "app/window_layout.h"

namespace kestrix::win32 {

// Tahoma at height -11 in design pixels, as every window of the program
// uses it, at this many pixels per inch.
HFONT CreateTahoma(bool bold, int dpi);

// The pixels per inch a window is drawn at: its monitor's where Windows
// tells each window apart (10, version 1607 on), else the system's.
int DpiOf(HWND window);
// The system's pixels per inch, for a window not yet created.
int SystemDpi();
// The outer size of a window with this client area, style and pixels per
// inch (the frame and caption grow with the scale where Windows can say so).
SIZE OuterSize(int clientWidth, int clientHeight, DWORD style, DWORD exStyle, int dpi);

// An image list of 16x16 design-pixel images cut from a bitmap resource
// strip, with magenta (255,0,255) transparent, at this many pixels per inch.
HIMAGELIST LoadImageStrip(HINSTANCE instance, int resource, int dpi = kDesignDpi);

// A 32-bit bitmap with alpha of one 16x16 image of a strip, for a menu item.
HBITMAP MenuImage(HINSTANCE instance, int resource, int index);

// A child control at client coordinates, with the program's font.
HWND CreateControl(HWND parent, DWORD exStyle, const wchar_t* className, std::string_view text, DWORD style,
                   int id, RECT bounds, HFONT font);

// Moves a control; negative sizes count as zero.
void PlaceControl(HWND control, const Place& place);

// Gives every child of a window this font.
void SetChildFonts(HWND parent, HFONT font);

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

// Registers a window class with the arrow cursor and the dialog colour.
void RegisterWindowClass(HINSTANCE instance, const wchar_t* name, WNDPROC procedure, HICON icon = nullptr,
                         HICON smallIcon = nullptr);

// Lets the message reach the window from processes of a lower integrity
// level, which Windows filters out while Kestrix runs elevated.
void AllowFromLowerIntegrity(HWND window, UINT message);

// Adds a tooltip for a control.
void AddHint(HWND tooltip, HWND control, std::string_view hint);

}  // namespace kestrix::win32
