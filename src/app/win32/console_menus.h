// The main window's menus: the tray icon's and the list's. Their entries
// send the IDM_ commands of control_ids.h.
#pragma once

#include <windows.h>

#include <vector>

#include "app/vaccine_menu.h"

namespace kestrix::win32 {

// The tray icon's menu. Its 保護隨身碟 submenu, empty until filled, comes
// back in `vaccineMenu`.
HMENU CreateTrayMenu(HINSTANCE instance, HMENU& vaccineMenu);

// The list's right-click menu.
HMENU CreateListMenu(HINSTANCE instance);

// Puts the 保護隨身碟 submenu's drives in place of what it held, a checked
// entry for a drive Kestrix immunized; none gives a grey "no stick" entry.
void FillVaccineMenu(HMENU vaccineMenu, const std::vector<VaccineDrive>& drives);

// Where a menu opened from the keyboard goes: below the focused row, or at
// the list's top left corner when no row has the focus.
POINT KeyboardMenuPoint(HWND list);

}  // namespace kestrix::win32
