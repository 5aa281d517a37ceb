// The main window's flat progress bar: a thin frame, the done part in the
// highlight colour, the rest in the window colour.
#pragma once

#include <windows.h>

namespace kestrix::win32 {

inline constexpr wchar_t kProgressBarClass[] = L"KestrixFlatProgress";

// Registers the bar's window class; its windows are made by class name.
void RegisterProgressBar(HINSTANCE instance);

// Shows `percent` done, 0 to 100.
void SetProgressBarPosition(HWND bar, int percent);

}  // namespace kestrix::win32
