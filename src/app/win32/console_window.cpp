#include "app/win32/console_window.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>

#include "app/win32/control_ids.h"
#include "app/win32/options_window.h"
#include "app/win32/quarantine_window.h"
#include "app/win32/win32_ui.h"
#include "resource_ids.h"

namespace kestrix::win32 {

namespace {

// Images 0 to 3 exist; any other index shows none.
UINT StateImage(const SuspectEntry& entry) {
  return entry.image >= 0 && entry.image <= 3 ? INDEXTOSTATEIMAGEMASK(entry.image + 1) : 0;
}

constexpr wchar_t kProgressClass[] = L"KestrixFlatProgress";
constexpr UINT kSetProgress = WM_USER + 1;
constexpr COLORREF kProgressBorder = 10070191;  // red 175, green 168, blue 153
constexpr COLORREF kTotalNumberColour = RGB(255, 0, 0);
constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW;
constexpr DWORD kExStyle = WS_EX_APPWINDOW;
constexpr UINT kTrayIconId = 1;
// Posted when the list has handled a key: the focused row may have moved.
constexpr UINT kListKeyHandled = WM_APP + 1;
constexpr UINT_PTR kRowTipId = 1;
constexpr int kRowTipWidth = 400;  // design pixels; longer tips wrap
constexpr std::string_view kListHint = "病毒清單,按Ctrl或Shift複選。";

void Register(HINSTANCE instance, const wchar_t* name, WNDPROC procedure, HICON icon, HICON smallIcon) {
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

// Copies text into a fixed field of the shell's record, NUL-terminated.
template <std::size_t N>
void CopyField(wchar_t (&field)[N], const std::u16string& text) {
  const std::size_t length = std::min(text.size(), N - 1);
  std::copy_n(text.begin(), length, field);
  field[length] = L'\0';
}

// Lets the message reach the window from processes of a lower integrity
// level, which Windows filters out while Kestrix runs elevated. Bound at run
// time: systems before Windows 7 lack the call.
void AllowFromLowerIntegrity(HWND window, UINT message) {
  using Allow = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
  constexpr DWORD kAllow = 1;  // MSGFLT_ALLOW
  static const auto allow = reinterpret_cast<Allow>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"user32.dll"), "ChangeWindowMessageFilterEx")));
  if (allow != nullptr && window != nullptr && message != 0) allow(window, message, kAllow, nullptr);
}

// Where a menu opened from the keyboard goes: below the focused row, or at
// the list's top left corner when no row has the focus.
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

  Register(instance, KESTRIX_MAIN_CLASS, ForwardMessages<ConsoleWindow, &ConsoleWindow::OnMessage>, bigIcon_,
           smallIcon_);
  Register(instance, KESTRIX_TRAY_CLASS, ForwardMessages<ConsoleWindow, &ConsoleWindow::OnTrayMessage>,
           nullptr, nullptr);
  Register(instance, kProgressClass, ProgressProc, nullptr, nullptr);
  taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");

  // The tray icon's handler: hidden, but a real top-level window so that
  // the "TaskbarCreated" broadcast reaches it.
  trayWindow_ = CreateWindowExW(WS_EX_TOOLWINDOW, KESTRIX_TRAY_CLASS, L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                                nullptr, instance, this);
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
  // Explorer restarted while Kestrix runs elevated, and a second start
  // without elevation, must still reach it.
  AllowFromLowerIntegrity(trayWindow_, taskbarCreated_);
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
  SendMessageW(tooltip_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
  SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, ScaleForDpi(kRowTipWidth, dpi_));
  SendMessageW(rowTip_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
  SendMessageW(rowTip_, TTM_SETMAXTIPWIDTH, 0, ScaleForDpi(kRowTipWidth, dpi_));
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
  if (trayWindow_ != nullptr) DestroyWindow(trayWindow_);
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
                                 *this, *this, *this, &quarantine, &eventLog},
                 *this);
  logic_->CoolTrayIcon1.OnPopupMenu = [this] { PopUpTrayMenu(); };
}

void ConsoleWindow::Create() {
  logic_->Create();
  LayOut();
}

void ConsoleWindow::AttachOptions(OptionsWindow& options) { logic_->AttachOptionsDialog(options.Logic()); }

void ConsoleWindow::AttachQuarantine(QuarantineWindow& quarantine) { quarantine_ = &quarantine; }

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
  add(0, kProgressClass, "", 0, IDC_TOTALPROGRESS, at(76, 35, 183, 16));
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

  tooltip_ =
      CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr, instance_, nullptr);
  SendMessageW(tooltip_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, ScaleForDpi(kRowTipWidth, dpi_));
  AddHint(tooltip_, list, "");
  AddHint(tooltip_, Control(IDC_AUTOKILLV), "自動清除病毒");
  // The list's hint is asked for each time it shows (ListHint): a row's
  // reason under the pointer, the list's own hint elsewhere.
  TOOLINFOW listTool{};
  listTool.cbSize = sizeof listTool;
  listTool.hwnd = window_;
  listTool.uId = reinterpret_cast<UINT_PTR>(list);
  listTool.lpszText = LPSTR_TEXTCALLBACKW;
  SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&listTool));
  SetWindowSubclass(list, ListProc, 0, reinterpret_cast<DWORD_PTR>(this));
  CreateRowTip();

  const auto item = [&](HMENU menu, int id, std::string_view caption, int image) {
    std::wstring text = Widen(caption);
    MENUITEMINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_ID | MIIM_STRING | (image >= 0 ? MIIM_BITMAP : 0);
    info.wID = static_cast<UINT>(id);
    info.dwTypeData = text.data();
    if (image >= 0) info.hbmpItem = MenuImage(instance_, IDB_MENU, image);
    InsertMenuItemW(menu, GetMenuItemCount(menu), TRUE, &info);
  };
  trayMenu_ = CreatePopupMenu();
  item(trayMenu_, IDM_SHOWMAIN, "顯示掃毒結果(&M)", 0);
  AppendMenuW(trayMenu_, MF_SEPARATOR, 0, nullptr);
  item(trayMenu_, IDM_CONFIGAPP, "設定(&C)...", -1);
  item(trayMenu_, IDM_UPDATEAPP, "更新軟體(&U)", -1);
  item(trayMenu_, IDM_KESTRIXABOUT, "關於Kestrix(&A)", 1);
  item(trayMenu_, IDM_QUARANTINE, "隔離區(&Q)...", -1);
  // Its drives are filled in each time the menu opens.
  vaccineMenu_ = CreatePopupMenu();
  std::wstring vaccineCaption = Widen(kVaccineMenuCaption);
  MENUITEMINFOW vaccine{};
  vaccine.cbSize = sizeof vaccine;
  vaccine.fMask = MIIM_ID | MIIM_STRING | MIIM_SUBMENU;
  vaccine.wID = IDM_VACCINE;
  vaccine.hSubMenu = vaccineMenu_;
  vaccine.dwTypeData = vaccineCaption.data();
  InsertMenuItemW(trayMenu_, GetMenuItemCount(trayMenu_), TRUE, &vaccine);
  AppendMenuW(trayMenu_, MF_SEPARATOR, 0, nullptr);
  item(trayMenu_, IDM_EXITAPP, "離開(&X)", 2);

  listMenu_ = CreatePopupMenu();
  item(listMenu_, IDM_STARTSEARCH, "掃毒(&F)", 0);
  item(listMenu_, IDM_KILLSELECTED, "清除病毒(&K)", -1);
  AppendMenuW(listMenu_, MF_SEPARATOR, 0, nullptr);
  item(listMenu_, IDM_PASSIT, "忽略(&P)", -1);
  item(listMenu_, IDM_THISATTR, "內容(&S)..", -1);
  item(listMenu_, IDM_CONFIGSOFT, "設定(&C)..", -1);
  AppendMenuW(listMenu_, MF_SEPARATOR, 0, nullptr);
  item(listMenu_, IDM_ABOUTSOFT, "關於(&A)", 1);
  AppendMenuW(listMenu_, MF_SEPARATOR, 0, nullptr);
  item(listMenu_, IDM_LISTQUARANTINE, "隔離區(&Q)...", -1);
}

// ConsoleView

void ConsoleWindow::SetCurrentVirus(std::string_view text) {
  SetWindowTextW(Control(IDC_CURRENTVIRUS), Widen(text).c_str());
}

void ConsoleWindow::SetTotalProgress(int position) {
  progress_ = std::clamp(position, 0, 100);
  SendMessageW(Control(IDC_TOTALPROGRESS), kSetProgress, static_cast<WPARAM>(progress_), 0);
}

void ConsoleWindow::SetKillVirusEnabled(bool enabled) { EnableWindow(Control(IDC_KILLVIRUS), enabled); }

void ConsoleWindow::SetCaption(std::string_view caption) { SetWindowTextW(window_, Widen(caption).c_str()); }

void ConsoleWindow::ListCleared() {
  HideRowTip();
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
  HideRowTip();
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
  HideRowTip();
  ShowWindow(window_, SW_HIDE);
}

// NotificationArea

bool ConsoleWindow::Notify(NotifyAction action, const IconRecord& record) {
  NOTIFYICONDATAW data{};
  data.cbSize = NOTIFYICONDATAW_V2_SIZE;
  data.hWnd = trayWindow_;
  data.uID = kTrayIconId;
  data.uFlags = record.flags;
  data.uCallbackMessage = kTrayCallbackMessage;
  data.hIcon = smallIcon_;
  CopyField(data.szTip, record.tip);
  CopyField(data.szInfo, record.info);
  CopyField(data.szInfoTitle, record.infoTitle);
  data.uTimeout = record.timeoutOrVersion;
  data.dwInfoFlags = record.infoFlags;
  return Shell_NotifyIconW(static_cast<DWORD>(action), &data) != FALSE;
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
      if (auto* tip = reinterpret_cast<NMTTDISPINFOW*>(lParam);
          tip->hdr.hwndFrom == tooltip_ && tip->hdr.code == TTN_GETDISPINFOW) {
        listHint_ = ListHint();
        tip->lpszText = listHint_.data();
        return 0;
      }
      return OnNotify(*reinterpret_cast<const NMHDR*>(lParam));
    case kListKeyHandled:
      if (const int focused = ListView_GetNextItem(Control(IDC_VIRUSLIST), -1, LVNI_FOCUSED);
          focused != static_cast<int>(wParam)) {
        ShowRowTip(focused);
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
      if (quarantine_ != nullptr) Dispatch([this] { quarantine_->Logic().ShowClick(); });
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
    HideRowTip();
    const int focused = ListView_GetNextItem(header.hwndFrom, -1, LVNI_FOCUSED);
    PostMessageW(window_, kListKeyHandled, static_cast<WPARAM>(focused), 0);
  } else if (header.code == NM_KILLFOCUS || header.code == NM_CLICK || header.code == NM_RCLICK) {
    HideRowTip();
  }
  return 0;
}

std::wstring ConsoleWindow::ListHint() const {
  HWND list = Control(IDC_VIRUSLIST);
  LVHITTESTINFO hit{};
  if (!GetCursorPos(&hit.pt) || !ScreenToClient(list, &hit.pt)) return {};
  const int row = ListView_HitTest(list, &hit);
  std::wstring text = row >= 0 && logic_ ? Widen(logic_->RowTip(static_cast<std::size_t>(row))) : L"";
  return text.empty() ? Widen(kListHint) : text;
}

// The list's hint shows again when the pointer moves to another row, with
// that row's text.
LRESULT CALLBACK ConsoleWindow::ListProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                         DWORD_PTR self) {
  auto& console = *reinterpret_cast<ConsoleWindow*>(self);
  if (message == WM_MOUSEMOVE) {
    LVHITTESTINFO hit{};
    hit.pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    if (const int row = ListView_HitTest(list, &hit); row != console.hintRow_) {
      console.hintRow_ = row;
      SendMessageW(console.tooltip_, TTM_POP, 0, 0);
    }
  } else if (message == WM_NCDESTROY) {
    RemoveWindowSubclass(list, ListProc, 0);
  }
  return DefSubclassProc(list, message, wParam, lParam);
}

void ConsoleWindow::CreateRowTip() {
  rowTip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP,
                            CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr,
                            instance_, nullptr);
  SendMessageW(rowTip_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  SendMessageW(rowTip_, TTM_SETMAXTIPWIDTH, 0, ScaleForDpi(kRowTipWidth, dpi_));
  TOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_TRACK | TTF_ABSOLUTE;
  tool.hwnd = window_;
  tool.uId = kRowTipId;
  tool.lpszText = const_cast<wchar_t*>(L"");
  SendMessageW(rowTip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

// A row reached from the keyboard gets its reason in a tip just below it.
void ConsoleWindow::ShowRowTip(int row) {
  HideRowTip();
  HWND list = Control(IDC_VIRUSLIST);
  if (row < 0 || !logic_ || GetFocus() != list) return;
  std::wstring text = Widen(logic_->RowTip(static_cast<std::size_t>(row)));
  RECT bounds{};
  if (text.empty() || !ListView_GetItemRect(list, row, &bounds, LVIR_BOUNDS)) return;
  POINT below{std::max(bounds.left, 0L), bounds.bottom};
  ClientToScreen(list, &below);
  TOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = window_;
  tool.uId = kRowTipId;
  tool.lpszText = text.data();
  SendMessageW(rowTip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
  SendMessageW(rowTip_, TTM_TRACKPOSITION, 0, MAKELPARAM(below.x, below.y));
  SendMessageW(rowTip_, TTM_TRACKACTIVATE, TRUE, reinterpret_cast<LPARAM>(&tool));
}

void ConsoleWindow::HideRowTip() {
  if (rowTip_ == nullptr) return;
  TOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = window_;
  tool.uId = kRowTipId;
  SendMessageW(rowTip_, TTM_TRACKACTIVATE, FALSE, reinterpret_cast<LPARAM>(&tool));
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
  SetForegroundWindow(trayWindow_);
  MSG pending;
  while (PeekMessageW(&pending, nullptr, 0, 0, PM_REMOVE)) {
    if (pending.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(pending.wParam));
      return;
    }
    TranslateMessage(&pending);
    DispatchMessageW(&pending);
  }
  FillVaccineMenu();
  PopUpMenu(trayMenu_, trayWindow_);
  PostMessageW(window_, WM_NULL, 0, 0);
}

void ConsoleWindow::FillVaccineMenu() {
  while (GetMenuItemCount(vaccineMenu_) > 0) DeleteMenu(vaccineMenu_, 0, MF_BYPOSITION);
  std::vector<VaccineDrive> drives;
  Dispatch([&] { drives = logic_->VaccineMenuDrives(); });
  if (drives.empty()) AppendMenuW(vaccineMenu_, MF_STRING | MF_GRAYED, 0, Widen(kNoVaccineDrive).c_str());
  for (const VaccineDrive& drive : drives) {
    AppendMenuW(vaccineMenu_, MF_STRING | (drive.immunized ? MF_CHECKED : MF_UNCHECKED),
                static_cast<UINT_PTR>(IDM_VACCINE_A + (drive.letter - 'A')), Widen(drive.caption).c_str());
  }
}

LRESULT ConsoleWindow::OnTrayMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) trayWindow_ = window;
  if (message == kTrayCallbackMessage) {
    Dispatch([&] { logic_->CoolTrayIcon1.HandleCallback(static_cast<std::uint32_t>(lParam)); });
    return 0;
  }
  if (message == taskbarCreated_ && taskbarCreated_ != 0) {
    Dispatch([this] { logic_->CoolTrayIcon1.TaskbarCreated(); });
    return 0;
  }
  switch (message) {
    // Never holds up a log-off or shutdown.
    case WM_QUERYENDSESSION:
    case WM_ENDSESSION:
    case WM_CLOSE:
    case WM_DESTROY:
    case WM_NCDESTROY:
    case WM_QUIT:
      return 1;
    default:
      return DefWindowProcW(trayWindow_, message, wParam, lParam);
  }
}

LRESULT CALLBACK ConsoleWindow::ProgressProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kSetProgress:
      SetWindowLongPtrW(window, GWLP_USERDATA, static_cast<LONG_PTR>(wParam));
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      RECT bounds{};
      GetClientRect(window, &bounds);
      const auto position = static_cast<int>(GetWindowLongPtrW(window, GWLP_USERDATA));
      HBRUSH border = CreateSolidBrush(kProgressBorder);
      FrameRect(dc, &bounds, border);
      DeleteObject(border);
      RECT inside{bounds.left + 1, bounds.top + 1, bounds.right - 1, bounds.bottom - 1};
      FillRect(dc, &inside, GetSysColorBrush(COLOR_WINDOW));
      RECT bar = inside;
      bar.right = bar.left + (inside.right - inside.left) * position / 100;
      FillRect(dc, &bar, GetSysColorBrush(COLOR_HIGHLIGHT));
      EndPaint(window, &paint);
      return 0;
    }
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace kestrix::win32
