#include "app/win32/console_menus.h"

#include <commctrl.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "app/win32/control_ids.h"
#include "app/win32/win32_ui.h"
#include "platform/win32/win32_machine.h"
#include "resource_ids.h"

namespace kestrix::win32 {

namespace {

// An entry with the image of that index in the menu strip; -1 gives none.
void AddItem(HINSTANCE instance, HMENU menu, int id, std::string_view caption, int image) {
  std::wstring text = Widen(caption);
  MENUITEMINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = MIIM_ID | MIIM_STRING | (image >= 0 ? MIIM_BITMAP : 0);
  info.wID = static_cast<UINT>(id);
  info.dwTypeData = text.data();
  if (image >= 0) info.hbmpItem = MenuImage(instance, IDB_MENU, image);
  InsertMenuItemW(menu, GetMenuItemCount(menu), TRUE, &info);
}

}  // namespace

HMENU CreateTrayMenu(HINSTANCE instance, HMENU& vaccineMenu) {
  HMENU menu = CreatePopupMenu();
  AddItem(instance, menu, IDM_SHOWMAIN, "顯示掃毒結果(&M)", 0);
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AddItem(instance, menu, IDM_CONFIGAPP, "設定(&C)...", -1);
  AddItem(instance, menu, IDM_UPDATEAPP, "更新軟體(&U)", -1);
  AddItem(instance, menu, IDM_KESTRIXABOUT, "關於Kestrix(&A)", 1);
  AddItem(instance, menu, IDM_QUARANTINE, "隔離區(&Q)...", -1);
  // Its drives are filled in each time the menu opens.
  vaccineMenu = CreatePopupMenu();
  std::wstring vaccineCaption = Widen(kVaccineMenuCaption);
  MENUITEMINFOW vaccine{};
  vaccine.cbSize = sizeof vaccine;
  vaccine.fMask = MIIM_ID | MIIM_STRING | MIIM_SUBMENU;
  vaccine.wID = IDM_VACCINE;
  vaccine.hSubMenu = vaccineMenu;
  vaccine.dwTypeData = vaccineCaption.data();
  InsertMenuItemW(menu, GetMenuItemCount(menu), TRUE, &vaccine);
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AddItem(instance, menu, IDM_EXITAPP, "離開(&X)", 2);
  return menu;
}

HMENU CreateListMenu(HINSTANCE instance) {
  HMENU menu = CreatePopupMenu();
  AddItem(instance, menu, IDM_STARTSEARCH, "掃毒(&F)", 0);
  AddItem(instance, menu, IDM_KILLSELECTED, "清除病毒(&K)", -1);
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AddItem(instance, menu, IDM_PASSIT, "忽略(&P)", -1);
  AddItem(instance, menu, IDM_THISATTR, "內容(&S)..", -1);
  AddItem(instance, menu, IDM_CONFIGSOFT, "設定(&C)..", -1);
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AddItem(instance, menu, IDM_ABOUTSOFT, "關於(&A)", 1);
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AddItem(instance, menu, IDM_LISTQUARANTINE, "隔離區(&Q)...", -1);
  return menu;
}

void FillVaccineMenu(HMENU vaccineMenu, const std::vector<VaccineDrive>& drives) {
  while (GetMenuItemCount(vaccineMenu) > 0) DeleteMenu(vaccineMenu, 0, MF_BYPOSITION);
  if (drives.empty()) AppendMenuW(vaccineMenu, MF_STRING | MF_GRAYED, 0, Widen(kNoVaccineDrive).c_str());
  for (const VaccineDrive& drive : drives) {
    AppendMenuW(vaccineMenu, MF_STRING | (drive.immunized ? MF_CHECKED : MF_UNCHECKED),
                static_cast<UINT_PTR>(IDM_VACCINE_A + (drive.letter - 'A')), Widen(drive.caption).c_str());
  }
}

POINT KeyboardMenuPoint(HWND list) {
  POINT point{};
  const int focused = ListView_GetNextItem(list, -1, LVNI_FOCUSED);
  RECT row{};
  if (focused >= 0) {
    ListView_EnsureVisible(list, focused, FALSE);
    if (ListView_GetItemRect(list, focused, &row, LVIR_LABEL)) point = {std::max(row.left, 0L), row.bottom};
  }
  ClientToScreen(list, &point);
  return point;
}

}  // namespace kestrix::win32
