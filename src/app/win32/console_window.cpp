#include "app/win32/console_window.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>

#include "app/quarantine_window.h"
#include "app/win32/console_menus.h"
#include "app/win32/control_ids.h"
#include "app/win32/progress_bar.h"
#include "app/win32/win32_ui.h"
#include "platform/win32/message_loop.h"
#include "resource_ids.h"

namespace kestrix::win32 {

namespace {

// Images 0 to 3 exist; any other index shows none.
UINT StateImage(const SuspectEntry& entry) {
  return entry.image >= 0 && entry.image <= 3 ? INDEXTOSTATEIMAGEMASK(entry.image + 1) : 0;
}

constexpr COLORREF kTotalNumberColour = RGB(255, 0, 0);
constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW;
constexpr DWORD kExStyle = WS_EX_APPWINDOW;
// Posted when the list has handled a key: the focused row may have moved.
constexpr UINT kListKeyHandled = WM_APP + 1;

}  // namespace

ConsoleWindow::ConsoleWindow(HINSTANCE instance) : instance_(instance) {
  INITCOMMONCONTROLSEX controls{sizeof controls,
                                ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  dpi_ = SystemDpi();
  CreateFonts();
  // The icons Windows shows for the window and in the notification area, at
  // the sizes the system's scale asks for.
  smallIcon_ =
      static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_KESTRIX), IMAGE_ICON,
                                    GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
  bigIcon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_KESTRIX), IMAGE_ICON,
                                           GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));

  RegisterWindowClass(instance, KESTRIX_MAIN_CLASS, ForwardMessages<ConsoleWindow, &ConsoleWindow::OnMessage>,
                      bigIcon_, smallIcon_);
  RegisterProgressBar(instance);
  tray_.emplace(instance, smallIcon_);
  // Sized by its client area, which holds the design's 422 x 335 pixels at
  // any scale, whatever the frame around it.
  const SIZE outer = DesignOuterSize();
  window_ =
      CreateWindowExW(kExStyle, KESTRIX_MAIN_CLASS, Widen(kApplicationTitle).c_str(), kStyle, CW_USEDEFAULT,
                      CW_USEDEFAULT, outer.cx, outer.cy, nullptr, nullptr, instance, this);
  // Its monitor may have another scale than the system's.
  if (const int dpi = DpiOf(window_); dpi != dpi_) {
    dpi_ = dpi;
    CreateFonts();
    const SIZE scaled = DesignOuterSize();
    SetWindowPos(window_, nullptr, 0, 0, scaled.cx, scaled.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  // A second start without elevation must still reach it.
  AllowFromLowerIntegrity(window_, WM_COPYDATA);
  CreateControls();
}

void ConsoleWindow::CreateFonts() {
  for (HFONT font : {font_, boldFont_}) {
    if (font != nullptr) DeleteObject(font);
  }
  font_ = CreateTahoma(false, dpi_);
  boldFont_ = CreateTahoma(true, dpi_);
}

SIZE ConsoleWindow::DesignOuterSize() const {
  return OuterSize(ScaleForDpi(kDesignClientWidth, dpi_), ScaleForDpi(kDesignClientHeight, dpi_), kStyle,
                   kExStyle, dpi_);
}

void ConsoleWindow::LoadImages() {
  if (categoryImages_ != nullptr) ImageList_Destroy(categoryImages_);
  categoryImages_ = LoadImageStrip(instance_, IDB_CATEGORIES, dpi_);
  ListView_SetImageList(Control(IDC_VIRUSLIST), categoryImages_, LVSIL_STATE);
  if (glyphImages_ != nullptr) ImageList_Destroy(glyphImages_);
  glyphImages_ = LoadImageStrip(instance_, IDB_GLYPH_CLEAN, dpi_);
  BUTTON_IMAGELIST glyph{glyphImages_, {ScaleForDpi(2, dpi_), 0, 0, 0}, BUTTON_IMAGELIST_ALIGN_LEFT};
  SendMessageW(Control(IDC_KILLVIRUS), BCM_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(&glyph));
  if (bannerIcon_ != nullptr) DestroyIcon(bannerIcon_);
  const int size = ScaleForDpi(32, dpi_);
  bannerIcon_ =
      static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDI_KESTRIX), IMAGE_ICON, size, size, 0));
  SendMessageW(Control(IDC_KESTRIXICON), STM_SETICON, reinterpret_cast<WPARAM>(bannerIcon_), 0);
}

void ConsoleWindow::LayOut() {
  if (!logic_) return;
  RECT client{};
  GetClientRect(window_, &client);
  Dispatch([&] { logic_->FormResize(client.right - client.left, client.bottom - client.top, dpi_); });
}

void ConsoleWindow::OnDpiChanged(int dpi, const RECT& suggested) {
  dpi_ = dpi;
  CreateFonts();
  SetChildFonts(window_, font_);
  SendMessageW(Control(IDC_TOTALNUMBER), WM_SETFONT, reinterpret_cast<WPARAM>(boldFont_), TRUE);
  tips_.SetFont(font_, dpi_);
  LoadImages();
  // Columns 0 and 2 keep their design width at the new scale.
  const MainWindowPlaces places = PlaceMainWindow(0, 0, dpi_);
  for (int column : {0, 2})
    ListView_SetColumnWidth(Control(IDC_VIRUSLIST), column, places.columnWidths[column]);
  SetWindowPos(window_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  LayOut();
}

ConsoleWindow::~ConsoleWindow() {
  tray_.reset();
  if (window_ != nullptr) DestroyWindow(window_);
  for (HIMAGELIST images : {categoryImages_, glyphImages_}) {
    if (images != nullptr) ImageList_Destroy(images);
  }
  if (bannerIcon_ != nullptr) DestroyIcon(bannerIcon_);
  for (HFONT font : {font_, boldFont_}) DeleteObject(font);
}

void ConsoleWindow::Start(Win32Machine& machine, Win32ProcessTable& processes, Win32Registry& registry,
                          Quarantine& quarantine, EventLog& eventLog) {
  logic_.emplace(ConsoleServices{machine, machine, machine, machine, *this, *this, processes, registry, *this,
                                 *this, *tray_, *this, &quarantine, &eventLog},
                 *this);
  tray_->Attach(*logic_);
  logic_->CoolTrayIcon1.OnPopupMenu = [this] { PopUpTrayMenu(); };
}

void ConsoleWindow::Create() {
  logic_->Create();
  LayOut();
}

void ConsoleWindow::AttachQuarantine(kestrix::QuarantineWindow& quarantine) { quarantine_ = &quarantine; }

void ConsoleWindow::Dispatch(const std::function<void()>& handler) {
  if (logic_) logic_->Dispatch(handler);
}

void ConsoleWindow::CreateControls() {
  const auto add = [&](DWORD exStyle, const wchar_t* className, std::string_view text, DWORD style, int id,
                       RECT bounds) {
    return CreateControl(window_, exStyle, className, text, style | WS_CLIPSIBLINGS, id, bounds, font_);
  };
  // The places the window is created with, before its size is known.
  const auto at = [this](int left, int top, int width, int height) {
    const Place place = ScalePlace({left, top, width, height}, dpi_);
    return RECT{place.left, place.top, place.width, place.height};
  };
  add(0, L"BUTTON", "", BS_GROUPBOX, IDC_TOPBANNER, at(1, 0, 417, 57));
  add(0, L"BUTTON", "", BS_GROUPBOX, IDC_BOTTOMBANNER, at(1, 280, 417, 45));
  add(0, L"STATIC", "", SS_ICON | SS_CENTERIMAGE, IDC_KESTRIXICON, at(377, 14, 32, 33));
  // One line each: a font a pixel wider than the design's (a scaled one
  // rounds up) must not wrap a label's last characters out of sight.
  constexpr DWORD kLabel = SS_LEFTNOWORDWRAP | SS_NOPREFIX;
  add(0, L"STATIC", "正在掃描：", kLabel, IDC_LABEL1, at(17, 16, 60, 13));
  add(0, L"STATIC", "掃描完畢.", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, IDC_CURRENTVIRUS,
      at(76, 16, 185, 13));
  add(0, L"STATIC", "進度：", kLabel, IDC_LABEL3, at(17, 36, 60, 13));
  add(0, kProgressBarClass, "", 0, IDC_TOTALPROGRESS, at(76, 35, 183, 16));
  // The count overlaps its caption's label by a few pixels: it goes first,
  // so that it lies above it.
  HWND total = add(0, L"STATIC", "0", kLabel, IDC_TOTALNUMBER, at(330, 36, 41, 13));
  SendMessageW(total, WM_SETFONT, reinterpret_cast<WPARAM>(boldFont_), FALSE);
  add(0, L"STATIC", "病毒數量：", kLabel, IDC_FOUNDVIRUS, at(267, 36, 55, 13));

  HWND list = add(WS_EX_CLIENTEDGE, WC_LISTVIEWW, "", LVS_REPORT | LVS_SHOWSELALWAYS | WS_TABSTOP,
                  IDC_VIRUSLIST, at(1, 60, 416, 220));
  ListView_SetExtendedListViewStyle(list, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_FLATSB);
  const struct {
    const char* caption;
    int width;
    int format;
  } columns[] = {{"編號", ScaleForDpi(55, dpi_), LVCFMT_LEFT},
                 {"檔名", ScaleForDpi(280, dpi_), LVCFMT_LEFT},
                 {"內容", ScaleForDpi(55, dpi_), LVCFMT_CENTER}};
  for (int i = 0; i < 3; ++i) {
    std::wstring caption = Widen(columns[i].caption);
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    column.fmt = columns[i].format;
    column.cx = columns[i].width;
    column.pszText = caption.data();
    SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
  }

  add(0, L"BUTTON", "自動清除病毒(&A)", BS_CHECKBOX | BS_FLAT | WS_TABSTOP, IDC_AUTOKILLV,
      at(15, 298, 114, 15));
  add(0, L"BUTTON", "清除病毒(&K)", BS_PUSHBUTTON | BS_FLAT | WS_TABSTOP, IDC_KILLVIRUS,
      at(240, 293, 88, 25));
  add(0, L"BUTTON", "略過(&S)", BS_PUSHBUTTON | BS_FLAT | WS_TABSTOP, IDC_SKIPVIRUS, at(327, 293, 80, 25));
  LoadImages();

  // New controls go beneath the earlier ones; the group boxes must lie
  // beneath everything they frame.
  for (int banner : {IDC_TOPBANNER, IDC_BOTTOMBANNER}) {
    SetWindowPos(Control(banner), HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }

  tips_.Create(instance_, window_, list, font_, dpi_,
               [this](std::size_t row) { return logic_ ? logic_->RowTip(row) : std::string(); });
  tips_.AddHint(Control(IDC_AUTOKILLV), "自動清除病毒");

  trayMenu_ = CreateTrayMenu(instance_, vaccineMenu_);
  listMenu_ = CreateListMenu(instance_);
}

// ConsoleView

void ConsoleWindow::SetCurrentVirus(std::string_view text) {
  SetWindowTextW(Control(IDC_CURRENTVIRUS), Widen(text).c_str());
}

void ConsoleWindow::SetTotalProgress(int position) {
  SetProgressBarPosition(Control(IDC_TOTALPROGRESS), std::clamp(position, 0, 100));
}

void ConsoleWindow::SetKillVirusEnabled(bool enabled) { EnableWindow(Control(IDC_KILLVIRUS), enabled); }

void ConsoleWindow::SetCaption(std::string_view caption) { SetWindowTextW(window_, Widen(caption).c_str()); }

void ConsoleWindow::ListCleared() {
  tips_.HideRowTip();
  ListView_DeleteAllItems(Control(IDC_VIRUSLIST));
}

void ConsoleWindow::ListAppended(const SuspectEntry& entry) {
  HWND list = Control(IDC_VIRUSLIST);
  std::wstring number = Widen(entry.number);
  LVITEMW item{};
  item.mask = LVIF_TEXT | LVIF_STATE;
  item.iItem = ListView_GetItemCount(list);
  item.pszText = number.data();
  item.stateMask = LVIS_STATEIMAGEMASK;
  item.state = StateImage(entry);
  const int index = static_cast<int>(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
  std::wstring path = Widen(entry.path);
  std::wstring category = Widen(entry.category);
  ListView_SetItemText(list, index, 1, path.data());
  ListView_SetItemText(list, index, 2, category.data());
}

void ConsoleWindow::ListChanged(std::size_t index, const SuspectEntry& entry) {
  HWND list = Control(IDC_VIRUSLIST);
  const int row = static_cast<int>(index);
  ListView_SetItemState(list, row, StateImage(entry), LVIS_STATEIMAGEMASK);
  std::wstring category = Widen(entry.category);
  ListView_SetItemText(list, row, 2, category.data());
}

void ConsoleWindow::ListDeleted(std::size_t index) {
  tips_.HideRowTip();
  ListView_DeleteItem(Control(IDC_VIRUSLIST), static_cast<int>(index));
}

void ConsoleWindow::SetTotalNumber(std::string_view caption) {
  SetWindowTextW(Control(IDC_TOTALNUMBER), Widen(caption).c_str());
}

void ConsoleWindow::SetAutoKillChecked(bool checked) {
  SendMessageW(Control(IDC_AUTOKILLV), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void ConsoleWindow::SetAutoKillEnabled(bool enabled) { EnableWindow(Control(IDC_AUTOKILLV), enabled); }

void ConsoleWindow::ApplyLayout(const MainWindowPlaces& places) {
  for (const auto& [id, place] :
       {std::pair{IDC_TOPBANNER, places.topBanner}, std::pair{IDC_KESTRIXICON, places.kestrixIcon},
        std::pair{IDC_LABEL1, places.label1}, std::pair{IDC_CURRENTVIRUS, places.currentVirus},
        std::pair{IDC_LABEL3, places.label3}, std::pair{IDC_TOTALPROGRESS, places.totalProgress},
        std::pair{IDC_FOUNDVIRUS, places.foundVirus}, std::pair{IDC_TOTALNUMBER, places.totalNumber},
        std::pair{IDC_VIRUSLIST, places.virusList}, std::pair{IDC_BOTTOMBANNER, places.bottomBanner},
        std::pair{IDC_AUTOKILLV, places.autokillv}, std::pair{IDC_KILLVIRUS, places.killVirus},
        std::pair{IDC_SKIPVIRUS, places.skipVirus}}) {
    PlaceControl(Control(id), place);
  }
  // Only the file name column follows the window; the user may have
  // dragged the others.
  ListView_SetColumnWidth(Control(IDC_VIRUSLIST), 1, std::max(places.columnWidths[1], 0));
  // The window paints under its controls (the group boxes need that), so
  // they must be painted again after it.
  RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

// TrayWindow

void ConsoleWindow::Restore() { ShowWindow(window_, SW_RESTORE); }

void ConsoleWindow::Show() {
  if (!shownOnce_) {
    // Centred on the screen the first time it is shown.
    RECT bounds{};
    GetWindowRect(window_, &bounds);
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int width = bounds.right - bounds.left;
    const int height = bounds.bottom - bounds.top;
    SetWindowPos(window_, nullptr, work.left + (work.right - work.left - width) / 2,
                 work.top + (work.bottom - work.top - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    shownOnce_ = true;
  }
  ShowWindow(window_, SW_SHOW);
}

void ConsoleWindow::BringToFront() { SetForegroundWindow(window_); }

void ConsoleWindow::Hide() {
  tips_.HideRowTip();
  ShowWindow(window_, SW_HIDE);
}

// MessageBoxes and Shell

int ConsoleWindow::ShowMessage(std::string_view text, std::string_view caption, unsigned style) {
  return MessageBoxW(window_, Widen(text).c_str(), Widen(caption).c_str(), style);
}

void ConsoleWindow::ShowProperties(std::string_view path) {
  std::wstring file = Widen(path);
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_INVOKEIDLIST;
  info.hwnd = window_;
  info.lpVerb = L"properties";
  info.lpFile = file.c_str();
  info.nShow = 0;
  ShellExecuteExW(&info);
}

// Application

void ConsoleWindow::Terminate() { PostQuitMessage(0); }

void ConsoleWindow::ShowError(std::string_view message, std::string_view caption) {
  MessageBoxW(window_, Widen(message).c_str(), Widen(caption).c_str(), MB_OK | MB_ICONSTOP);
}

void ConsoleWindow::ShowAbout(std::string_view title, std::string_view notice) {
  ShellAboutW(window_, Widen(title).c_str(), Widen(notice).c_str(), bigIcon_);
}

void ConsoleWindow::OpenDocument(std::string_view address) {
  ShellExecuteW(window_, L"open", Widen(address).c_str(), nullptr, nullptr, SW_SHOW);
}

std::string ConsoleWindow::ExecutablePath() { return win32::ExecutablePath(); }

std::string ConsoleWindow::Now() {
  wchar_t date[128] = {};
  wchar_t time[128] = {};
  GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, nullptr, nullptr, date, 128);
  GetTimeFormatW(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, time, 128);
  return Narrow(date) + " " + Narrow(time);
}

// Timers

void ConsoleWindow::StartTimer(int id, int intervalMilliseconds) {
  SetTimer(window_, static_cast<UINT_PTR>(id), static_cast<UINT>(intervalMilliseconds), nullptr);
}

void ConsoleWindow::StopTimer(int id) { KillTimer(window_, static_cast<UINT_PTR>(id)); }

// Messages

LRESULT ConsoleWindow::OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_NCCREATE:
      window_ = window;
      break;
    case WM_CLOSE:
      // Closing only ever hides the window.
      Dispatch([this] { logic_->FormCloseQuery(); });
      return 0;
    case WM_SIZE:
      if (wParam == SIZE_MINIMIZED) {
        Dispatch([this] { logic_->CoolTrayIcon1.WindowMinimized(); });
      } else {
        LayOut();
      }
      return 0;
    case WM_GETMINMAXINFO: {
      // Dragging the frame stops where the controls would overlap.
      const ClientSize minimum = MinimumMainClient(dpi_);
      const SIZE outer = OuterSize(minimum.width, minimum.height, kStyle, kExStyle, dpi_);
      reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {outer.cx, outer.cy};
      return 0;
    }
    case WM_DPICHANGED:
      // Moved to a monitor of another scale, or the scale changed: Windows
      // suggests the place that keeps the window's size in design pixels.
      OnDpiChanged(LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_RESTORE && logic_) {
        // The restore itself is Windows' (a maximized window goes back to
        // its normal size); the tray icon then makes sure it is shown.
        const LRESULT result = DefWindowProcW(window_, message, wParam, lParam);
        Dispatch([this] { logic_->CoolTrayIcon1.RestoreRequested(); });
        return result;
      }
      break;
    case WM_ACTIVATE:
      // The keyboard focus stays with a control: the one that had it last,
      // else the list.
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus != nullptr && IsChild(window_, focus)) focus_ = focus;
      } else if (HIWORD(wParam) == 0) {
        FocusControl();
      }
      return 0;
    case WM_SETFOCUS:
      FocusControl();
      return 0;
    case WM_TIMER:
      Dispatch([&] { logic_->TimerTick(static_cast<int>(wParam)); });
      return 0;
    case WM_DEVICECHANGE:
      Dispatch([&] { logic_->WmDeviceChange(static_cast<std::uint32_t>(wParam)); });
      break;
    case WM_QUERYENDSESSION:
      // Windows may always log off or shut down.
      return logic_ ? logic_->WmQueryEndSession() : TRUE;
    case WM_ENDSESSION:
      if (wParam != FALSE && logic_) logic_->FormDestroy();
      return 0;
    case WM_COPYDATA:
      Dispatch([this] { logic_->WmCopyData(); });
      break;
    case WM_COMMAND:
      Command(LOWORD(wParam));
      return 0;
    case WM_NOTIFY:
      if (tips_.AnswerTextRequest(*reinterpret_cast<NMHDR*>(lParam))) return 0;
      return OnNotify(*reinterpret_cast<const NMHDR*>(lParam));
    case kListKeyHandled:
      if (const int focused = ListView_GetNextItem(Control(IDC_VIRUSLIST), -1, LVNI_FOCUSED);
          focused != static_cast<int>(wParam)) {
        tips_.ShowRowTip(focused);
      }
      return 0;
    case WM_CONTEXTMENU:
      if (reinterpret_cast<HWND>(wParam) == Control(IDC_VIRUSLIST)) {
        // The menu key and Shift+F10 give no position (-1, -1).
        const bool fromKeyboard =
            static_cast<short>(LOWORD(lParam)) == -1 && static_cast<short>(HIWORD(lParam)) == -1;
        PopUpMenu(listMenu_, window_,
                  fromKeyboard ? std::optional(KeyboardMenuPoint(Control(IDC_VIRUSLIST))) : std::nullopt);
        return 0;
      }
      break;
    case WM_CTLCOLORSTATIC:
      if (reinterpret_cast<HWND>(lParam) == Control(IDC_TOTALNUMBER)) {
        const auto dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, kTotalNumberColour);
        SetBkMode(dc, TRANSPARENT);
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
      }
      break;
    default:
      break;
  }
  return DefWindowProcW(window_, message, wParam, lParam);
}

void ConsoleWindow::FocusControl() {
  SetFocus(focus_ != nullptr && IsWindowEnabled(focus_) ? focus_ : Control(IDC_VIRUSLIST));
}

void ConsoleWindow::Command(int id) {
  if (!logic_) return;
  Tconsole& logic = *logic_;
  switch (id) {
    case IDOK:
      // Enter presses the button that has the focus.
      if (HWND focus = GetFocus(); focus == Control(IDC_KILLVIRUS) || focus == Control(IDC_SKIPVIRUS)) {
        Command(GetDlgCtrlID(focus));
      }
      break;
    case IDCANCEL:
      // Escape is the close box.
      Dispatch([&] { logic.FormCloseQuery(); });
      break;
    case IDC_KILLVIRUS:
      Dispatch([&] { logic.KillVirusClick(Sender::kFlatButton); });
      break;
    case IDC_SKIPVIRUS:
      Dispatch([&] { logic.SkipVirusClick(); });
      break;
    case IDC_AUTOKILLV:
      Dispatch([&] { logic.autokillv.Click(); });
      break;
    case IDM_SHOWMAIN:
      Dispatch([&] { logic.ShowMainClick(); });
      break;
    case IDM_CONFIGAPP:
    case IDM_CONFIGSOFT:
      Dispatch([&] { logic.ConfigappClick(); });
      break;
    case IDM_UPDATEAPP:
      Dispatch([&] { logic.updateappClick(); });
      break;
    case IDM_KESTRIXABOUT:
    case IDM_ABOUTSOFT:
      Dispatch([&] { logic.KestrixAboutClick(); });
      break;
    case IDM_EXITAPP:
      Dispatch([&] { logic.exitappClick(); });
      break;
    case IDM_QUARANTINE:
    case IDM_LISTQUARANTINE:
      if (quarantine_ != nullptr) Dispatch([this] { quarantine_->ShowClick(); });
      break;
    case IDM_STARTSEARCH:
      Dispatch([&] { logic.startsearchClick(); });
      break;
    case IDM_KILLSELECTED:
      Dispatch([&] { logic.KillSelectedClick(); });
      break;
    case IDM_PASSIT:
      Dispatch([&] { logic.passitClick(); });
      break;
    case IDM_THISATTR:
      Dispatch([&] { logic.thisattrClick(); });
      break;
    default:
      if (id >= IDM_VACCINE_A && id <= IDM_VACCINE_Z) {
        const char letter = static_cast<char>('A' + (id - IDM_VACCINE_A));
        Dispatch([&] { logic.VaccineDriveClick(letter); });
      }
      break;
  }
}

LRESULT ConsoleWindow::OnNotify(const NMHDR& header) {
  if (header.idFrom != IDC_VIRUSLIST || !logic_) return 0;
  if (header.code == LVN_ITEMCHANGED) {
    const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
    SuspectList& list = logic_->VirusList();
    if ((change.uChanged & LVIF_STATE) != 0 && change.iItem >= 0 &&
        static_cast<std::size_t>(change.iItem) < list.Count()) {
      list.SetSelected(static_cast<std::size_t>(change.iItem), (change.uNewState & LVIS_SELECTED) != 0);
    }
  } else if (header.code == NM_DBLCLK) {
    Dispatch([this] { logic_->thisattrClick(); });
  } else if (header.code == LVN_KEYDOWN) {
    // Sent before the list moves its focus: the tip follows once it has.
    tips_.HideRowTip();
    const int focused = ListView_GetNextItem(header.hwndFrom, -1, LVNI_FOCUSED);
    PostMessageW(window_, kListKeyHandled, static_cast<WPARAM>(focused), 0);
  } else if (header.code == NM_KILLFOCUS || header.code == NM_CLICK || header.code == NM_RCLICK) {
    tips_.HideRowTip();
  }
  return 0;
}

void ConsoleWindow::PopUpMenu(HMENU menu, HWND owner, std::optional<POINT> at) {
  POINT cursor{};
  if (at) {
    cursor = *at;
  } else if (!GetCursorPos(&cursor)) {
    return;
  }
  const int command = static_cast<int>(
      TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, owner, nullptr));
  if (command != 0) Command(command);
}

void ConsoleWindow::PopUpTrayMenu() {
  // The foreground step and the WM_NULL afterwards make the menu close
  // when the user clicks elsewhere.
  SetForegroundWindow(tray_->Handle());
  if (!DispatchPendingMessages()) return;
  std::vector<VaccineDrive> drives;
  Dispatch([&] { drives = logic_->VaccineMenuDrives(); });
  FillVaccineMenu(vaccineMenu_, drives);
  PopUpMenu(trayMenu_, tray_->Handle());
  PostMessageW(window_, WM_NULL, 0, 0);
}

}  // namespace kestrix::win32
