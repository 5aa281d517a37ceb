#include "app/win32/quarantine_window.h"

#include <commctrl.h>
#include <shobjidl.h>

#include <algorithm>
#include <cwchar>

#include "app/win32/control_ids.h"
#include "app/win32/win32_ui.h"

namespace kestrix::win32 {

namespace {

constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_APPWINDOW | WS_EX_CONTROLPARENT;
constexpr UINT_PTR kRefreshTimer = 1;

// In design pixels: the size it opens at, the least it shrinks to, the
// margin, the buttons.
constexpr int kClientWidth = 640;
constexpr int kClientHeight = 320;
constexpr int kMinimumClientWidth = 340;
constexpr int kMinimumClientHeight = 140;
constexpr int kMargin = 8;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 23;

struct Column {
  const char* title;
  int width;  // design pixels
  int format;
};
constexpr Column kColumns[] = {
    {"時間", 130, LVCFMT_LEFT}, {"原始路徑", 200, LVCFMT_LEFT}, {"大小", 70, LVCFMT_RIGHT},
    {"類別", 70, LVCFMT_LEFT},  {"原因", 300, LVCFMT_LEFT},
};

constexpr int kButtons[] = {IDC_QUARANTINERESTORE, IDC_QUARANTINERESTORETO, IDC_QUARANTINEDELETE,
                            IDC_QUARANTINECLOSE};

void SetText(HWND list, int row, int column, const std::string& text) {
  std::wstring wide = Widen(text);
  ListView_SetItemText(list, row, column, wide.data());
}

}  // namespace

QuarantineWindow::QuarantineWindow(HINSTANCE instance, HICON bigIcon, HICON smallIcon, Tconsole& console,
                                   Win32Machine& machine, Quarantine& own, Quarantine* other,
                                   EventLog* eventLog)
    : instance_(instance), console_(console) {
  RegisterWindowClass(instance, KESTRIX_QUARANTINE_CLASS,
                      ForwardMessages<QuarantineWindow, &QuarantineWindow::OnMessage>, bigIcon, smallIcon);

  dpi_ = SystemDpi();
  font_ = CreateTahoma(false, dpi_);
  const SIZE outer =
      OuterSize(ScaleForDpi(kClientWidth, dpi_), ScaleForDpi(kClientHeight, dpi_), kStyle, kExStyle, dpi_);
  window_ =
      CreateWindowExW(kExStyle, KESTRIX_QUARANTINE_CLASS, Widen(kQuarantineTitle).c_str(), kStyle,
                      CW_USEDEFAULT, CW_USEDEFAULT, outer.cx, outer.cy, nullptr, nullptr, instance, this);
  // Its monitor may have another scale than the system's.
  if (const int dpi = DpiOf(window_); dpi != dpi_) {
    RECT bounds{};
    GetWindowRect(window_, &bounds);
    const SIZE scaled =
        OuterSize(ScaleForDpi(kClientWidth, dpi), ScaleForDpi(kClientHeight, dpi), kStyle, kExStyle, dpi);
    OnDpiChanged(dpi, {bounds.left, bounds.top, bounds.left + scaled.cx, bounds.top + scaled.cy});
  }
  logic_.emplace(QuarantineWindowServices{machine, machine, machine, *this, own, other, eventLog}, *this);
}

QuarantineWindow::~QuarantineWindow() {
  if (window_ != nullptr) DestroyWindow(window_);
  if (font_ != nullptr) DeleteObject(font_);
}

void QuarantineWindow::CreateControls() {
  HWND list = CreateControl(window_, WS_EX_CLIENTEDGE, WC_LISTVIEWW, "",
                            LVS_REPORT | LVS_SHOWSELALWAYS | WS_TABSTOP | WS_CLIPSIBLINGS, IDC_QUARANTINELIST,
                            {0, 0, 0, 0}, font_);
  ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP);
  for (int index = 0; const Column& column : kColumns) {
    std::wstring title = Widen(column.title);
    LVCOLUMNW item{};
    item.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    item.fmt = column.format;
    item.cx = ScaleForDpi(column.width, dpi_);
    item.pszText = title.data();
    SendMessageW(list, LVM_INSERTCOLUMNW, index++, reinterpret_cast<LPARAM>(&item));
  }
  for (const auto& [id, text] :
       {std::pair{IDC_QUARANTINERESTORE, "還原(&R)"}, std::pair{IDC_QUARANTINERESTORETO, "還原到(&T)..."},
        std::pair{IDC_QUARANTINEDELETE, "刪除(&D)"}, std::pair{IDC_QUARANTINECLOSE, "關閉"}}) {
    CreateControl(window_, 0, L"BUTTON", text, BS_PUSHBUTTON | WS_TABSTOP | WS_CLIPSIBLINGS, id, {0, 0, 0, 0},
                  font_);
  }
  focus_ = list;
}

void QuarantineWindow::LayOut() {
  RECT client{};
  GetClientRect(window_, &client);
  const int margin = ScaleForDpi(kMargin, dpi_);
  const int width = ScaleForDpi(kButtonWidth, dpi_);
  const int height = ScaleForDpi(kButtonHeight, dpi_);
  const int top = client.bottom - margin - height;
  PlaceControl(Control(IDC_QUARANTINELIST), {margin, margin, client.right - 2 * margin, top - 2 * margin});
  // Restore, restore to and delete from the left; close at the right.
  for (int index = 0; index < 3; ++index)
    PlaceControl(Control(kButtons[index]),
                 {margin + index * (width + margin / 2 + margin / 4), top, width, height});
  PlaceControl(Control(IDC_QUARANTINECLOSE), {client.right - margin - width, top, width, height});
  RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void QuarantineWindow::OnDpiChanged(int dpi, const RECT& suggested) {
  const int old = dpi_;
  dpi_ = dpi;
  HFONT previous = font_;
  font_ = CreateTahoma(false, dpi_);
  SetChildFonts(window_, font_);
  if (previous != nullptr) DeleteObject(previous);
  // The columns keep their width in design pixels, dragged ones too.
  HWND list = Control(IDC_QUARANTINELIST);
  for (int column = 0; column < static_cast<int>(std::size(kColumns)); ++column)
    ListView_SetColumnWidth(list, column, MulDiv(ListView_GetColumnWidth(list, column), dpi_, old));
  SetWindowPos(window_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  LayOut();
}

void QuarantineWindow::Dispatch(const std::function<void()>& handler) { console_.Dispatch(handler); }

// QuarantineView

void QuarantineWindow::ShowRows(const std::vector<QuarantineRow>& rows,
                                const std::vector<std::size_t>& selected) {
  HWND list = Control(IDC_QUARANTINELIST);
  const int top = ListView_GetTopIndex(list);
  SendMessageW(list, WM_SETREDRAW, FALSE, 0);
  ListView_DeleteAllItems(list);
  for (int index = 0; const QuarantineRow& row : rows) {
    std::wstring time = Widen(row.time);
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = index++;
    item.pszText = time.data();
    const int at = static_cast<int>(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    SetText(list, at, 1, row.record.path);
    SetText(list, at, 2, row.size);
    SetText(list, at, 3, row.record.category);
    SetText(list, at, 4, row.why);
  }
  for (const std::size_t index : selected)
    ListView_SetItemState(list, static_cast<int>(index), LVIS_SELECTED, LVIS_SELECTED);
  // The keyboard stays on the first selected row, or the first row.
  if (!rows.empty()) {
    const int focused = selected.empty() ? 0 : static_cast<int>(selected.front());
    ListView_SetItemState(list, focused, LVIS_FOCUSED, LVIS_FOCUSED);
  }
  if (top > 0 && !rows.empty())
    ListView_EnsureVisible(list, std::min(top, static_cast<int>(rows.size()) - 1), FALSE);
  SendMessageW(list, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(list, nullptr, TRUE);
}

std::vector<std::size_t> QuarantineWindow::SelectedRows() const {
  std::vector<std::size_t> selected;
  HWND list = Control(IDC_QUARANTINELIST);
  for (int index = ListView_GetNextItem(list, -1, LVNI_SELECTED); index >= 0;
       index = ListView_GetNextItem(list, index, LVNI_SELECTED)) {
    selected.push_back(static_cast<std::size_t>(index));
  }
  return selected;
}

void QuarantineWindow::Show() {
  if (!shownOnce_) {
    // Centred on its monitor's work area the first time.
    RECT bounds{};
    GetWindowRect(window_, &bounds);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(window_, MONITOR_DEFAULTTONEAREST), &monitor);
    const RECT& work = monitor.rcWork;
    SetWindowPos(window_, nullptr, work.left + (work.right - work.left - (bounds.right - bounds.left)) / 2,
                 work.top + (work.bottom - work.top - (bounds.bottom - bounds.top)) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    shownOnce_ = true;
  }
  if (IsIconic(window_)) ShowWindow(window_, SW_RESTORE);
  ShowWindow(window_, SW_SHOW);
  SetForegroundWindow(window_);
}

void QuarantineWindow::Hide() { ShowWindow(window_, SW_HIDE); }

std::optional<std::string> QuarantineWindow::PickFolder() {
  // The shell's folder picker (Windows Vista on); COM is initialised
  // single-threaded on this thread. Show returns
  // HRESULT_FROM_WIN32(ERROR_CANCELLED) when the user cancels.
  IFileOpenDialog* dialog = nullptr;
  if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&dialog))))
    return std::nullopt;
  std::optional<std::string> picked;
  FILEOPENDIALOGOPTIONS options = 0;
  IShellItem* item = nullptr;
  if (SUCCEEDED(dialog->GetOptions(&options)) &&
      SUCCEEDED(dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST)) &&
      SUCCEEDED(dialog->Show(window_)) && SUCCEEDED(dialog->GetResult(&item))) {
    PWSTR path = nullptr;
    if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &path))) {
      picked = Narrow(path);
      CoTaskMemFree(path);
    }
    item->Release();
  }
  dialog->Release();
  return picked;
}

std::string QuarantineWindow::LocalTime(std::string_view utc) {
  SYSTEMTIME universal{};
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  const std::wstring text = Widen(utc);
  SYSTEMTIME local{};
  if (std::swscanf(text.c_str(), L"%4d-%2d-%2dT%2d:%2d:%2dZ", &year, &month, &day, &hour, &minute, &second) !=
      6)
    return std::string(utc);
  universal.wYear = static_cast<WORD>(year);
  universal.wMonth = static_cast<WORD>(month);
  universal.wDay = static_cast<WORD>(day);
  universal.wHour = static_cast<WORD>(hour);
  universal.wMinute = static_cast<WORD>(minute);
  universal.wSecond = static_cast<WORD>(second);
  if (!SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local)) return std::string(utc);
  wchar_t date[128] = {};
  wchar_t time[128] = {};
  if (GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &local, nullptr, date, 128) == 0 ||
      GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &local, nullptr, time, 128) == 0)
    return std::string(utc);
  return Narrow(date) + " " + Narrow(time);
}

int QuarantineWindow::ShowMessage(std::string_view text, std::string_view caption, unsigned style) {
  return MessageBoxW(window_, Widen(text).c_str(), Widen(caption).c_str(), style);
}

// Messages

void QuarantineWindow::Command(int id) {
  if (!logic_) return;
  kestrix::QuarantineWindow& logic = *logic_;
  switch (id) {
    case IDOK:
      // Enter presses the button that has the focus, else restores.
      if (HWND focus = GetFocus();
          focus != nullptr && GetParent(focus) == window_ && GetDlgCtrlID(focus) != IDC_QUARANTINELIST) {
        Command(GetDlgCtrlID(focus));
      } else {
        Dispatch([&] { logic.RestoreClick(); });
      }
      break;
    case IDC_QUARANTINERESTORE:
      Dispatch([&] { logic.RestoreClick(); });
      break;
    case IDC_QUARANTINERESTORETO:
      Dispatch([&] { logic.RestoreToClick(); });
      break;
    case IDC_QUARANTINEDELETE:
      Dispatch([&] { logic.DeleteClick(); });
      break;
    case IDCANCEL:
    case IDC_QUARANTINECLOSE:
      Dispatch([&] { logic.CloseClick(); });
      break;
    default:
      break;
  }
}

LRESULT QuarantineWindow::OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_NCCREATE:
      window_ = window;
      break;
    case WM_CREATE:
      CreateControls();
      LayOut();
      return 0;
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED) LayOut();
      return 0;
    case WM_GETMINMAXINFO: {
      // Below this the buttons would overlap and the list would vanish.
      const SIZE least = OuterSize(ScaleForDpi(kMinimumClientWidth, dpi_),
                                   ScaleForDpi(kMinimumClientHeight, dpi_), kStyle, kExStyle, dpi_);
      reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {least.cx, least.cy};
      return 0;
    }
    case WM_DPICHANGED:
      OnDpiChanged(LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_CLOSE:
      Command(IDC_QUARANTINECLOSE);
      return 0;
    case WM_SHOWWINDOW:
      // It follows the store only while it is shown.
      if (wParam != FALSE) {
        SetTimer(window_, kRefreshTimer, kQuarantineRefreshMilliseconds, nullptr);
      } else {
        KillTimer(window_, kRefreshTimer);
      }
      break;
    case WM_TIMER:
      if (wParam == kRefreshTimer && logic_) Dispatch([this] { logic_->TimerTick(); });
      return 0;
    case WM_ACTIVATE:
      // The keyboard focus stays with the control that had it last.
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus != nullptr && IsChild(window_, focus)) focus_ = focus;
      } else {
        if (HIWORD(wParam) == 0) SetFocus(focus_ != nullptr ? focus_ : Control(IDC_QUARANTINELIST));
        if (logic_ && IsWindowVisible(window_)) Dispatch([this] { logic_->Activated(); });
      }
      return 0;
    case WM_SETFOCUS:
      SetFocus(focus_ != nullptr ? focus_ : Control(IDC_QUARANTINELIST));
      return 0;
    case WM_COMMAND:
      Command(LOWORD(wParam));
      return 0;
    case WM_NOTIFY: {
      const auto& header = *reinterpret_cast<const NMHDR*>(lParam);
      if (header.idFrom == IDC_QUARANTINELIST && header.code == LVN_KEYDOWN) {
        const WORD key = reinterpret_cast<const NMLVKEYDOWN&>(header).wVKey;
        if (key == VK_DELETE) {
          Command(IDC_QUARANTINEDELETE);
        } else if (key == 'A' && GetKeyState(VK_CONTROL) < 0) {
          ListView_SetItemState(header.hwndFrom, -1, LVIS_SELECTED, LVIS_SELECTED);
        }
      }
      return 0;
    }
    default:
      break;
  }
  return DefWindowProcW(window_, message, wParam, lParam);
}

}  // namespace kestrix::win32
