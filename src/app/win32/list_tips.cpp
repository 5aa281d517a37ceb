#include "app/win32/list_tips.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <utility>

#include "app/win32/win32_ui.h"
#include "platform/win32/win32_machine.h"

namespace kestrix::win32 {

namespace {

constexpr UINT_PTR kRowTipId = 1;
constexpr int kRowTipWidth = 400;  // design pixels; longer tips wrap
constexpr std::string_view kListHint = "病毒清單,按Ctrl或Shift複選。";

HWND CreateTip(HINSTANCE instance, HWND owner, DWORD style, HFONT font, int dpi) {
  HWND tip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | style, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, owner, nullptr, instance, nullptr);
  SendMessageW(tip, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  SendMessageW(tip, TTM_SETMAXTIPWIDTH, 0, ScaleForDpi(kRowTipWidth, dpi));
  return tip;
}

}  // namespace

void ListTips::Create(HINSTANCE instance, HWND owner, HWND list, HFONT font, int dpi, RowText rowText) {
  owner_ = owner;
  list_ = list;
  rowText_ = std::move(rowText);
  tooltip_ = CreateTip(instance, owner, TTS_NOPREFIX | TTS_ALWAYSTIP, font, dpi);
  win32::AddHint(tooltip_, list, "");
  // The list's hint is asked for each time it shows (ListHint): a row's
  // reason under the pointer, the list's own hint elsewhere.
  TOOLINFOW listTool{};
  listTool.cbSize = sizeof listTool;
  listTool.hwnd = owner;
  listTool.uId = reinterpret_cast<UINT_PTR>(list);
  listTool.lpszText = LPSTR_TEXTCALLBACKW;
  SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&listTool));
  SetWindowSubclass(list, ListProc, 0, reinterpret_cast<DWORD_PTR>(this));

  rowTip_ = CreateTip(instance, owner, TTS_NOPREFIX | TTS_ALWAYSTIP, font, dpi);
  TOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_TRACK | TTF_ABSOLUTE;
  tool.hwnd = owner;
  tool.uId = kRowTipId;
  tool.lpszText = const_cast<wchar_t*>(L"");
  SendMessageW(rowTip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

void ListTips::AddHint(HWND control, std::string_view hint) { win32::AddHint(tooltip_, control, hint); }

void ListTips::SetFont(HFONT font, int dpi) {
  for (HWND tip : {tooltip_, rowTip_}) {
    SendMessageW(tip, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    SendMessageW(tip, TTM_SETMAXTIPWIDTH, 0, ScaleForDpi(kRowTipWidth, dpi));
  }
}

bool ListTips::AnswerTextRequest(NMHDR& header) {
  if (header.hwndFrom != tooltip_ || header.code != TTN_GETDISPINFOW) return false;
  listHint_ = ListHint();
  reinterpret_cast<NMTTDISPINFOW&>(header).lpszText = listHint_.data();
  return true;
}

std::wstring ListTips::ListHint() const {
  LVHITTESTINFO hit{};
  if (!GetCursorPos(&hit.pt) || !ScreenToClient(list_, &hit.pt)) return {};
  const int row = ListView_HitTest(list_, &hit);
  std::wstring text = row >= 0 ? Widen(rowText_(static_cast<std::size_t>(row))) : L"";
  return text.empty() ? Widen(kListHint) : text;
}

// The list's hint shows again when the pointer moves to another row, with
// that row's text.
LRESULT CALLBACK ListTips::ListProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                    DWORD_PTR self) {
  auto& tips = *reinterpret_cast<ListTips*>(self);
  if (message == WM_MOUSEMOVE) {
    LVHITTESTINFO hit{};
    hit.pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    if (const int row = ListView_HitTest(list, &hit); row != tips.hintRow_) {
      tips.hintRow_ = row;
      SendMessageW(tips.tooltip_, TTM_POP, 0, 0);
    }
  } else if (message == WM_NCDESTROY) {
    RemoveWindowSubclass(list, ListProc, 0);
  }
  return DefSubclassProc(list, message, wParam, lParam);
}

// A row reached from the keyboard gets its reason in a tip just below it.
void ListTips::ShowRowTip(int row) {
  HideRowTip();
  if (row < 0 || GetFocus() != list_) return;
  std::wstring text = Widen(rowText_(static_cast<std::size_t>(row)));
  RECT bounds{};
  if (text.empty() || !ListView_GetItemRect(list_, row, &bounds, LVIR_BOUNDS)) return;
  POINT below{std::max(bounds.left, 0L), bounds.bottom};
  ClientToScreen(list_, &below);
  TOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = owner_;
  tool.uId = kRowTipId;
  tool.lpszText = text.data();
  SendMessageW(rowTip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
  SendMessageW(rowTip_, TTM_TRACKPOSITION, 0, MAKELPARAM(below.x, below.y));
  SendMessageW(rowTip_, TTM_TRACKACTIVATE, TRUE, reinterpret_cast<LPARAM>(&tool));
}

void ListTips::HideRowTip() {
  if (rowTip_ == nullptr) return;
  TOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = owner_;
  tool.uId = kRowTipId;
  SendMessageW(rowTip_, TTM_TRACKACTIVATE, FALSE, reinterpret_cast<LPARAM>(&tool));
}

}  // namespace kestrix::win32
