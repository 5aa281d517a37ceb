// kestrix_driver: presses, reads and waits on a running kestrix.exe from
// another process, as a user and Windows would. One action per run; results
// go to stdout as UTF-8, one per line. Exit code 0 on success, 1 when the
// action failed or its wait ran out of time, 2 on a usage error.
//
//   wait-main visible|hidden|exists [ms]  the main window's state
//   wait-exit [ms]                        until no main window is left
//   rows                                  each list row: number, path, category (tab-separated)
//   wait-rows N [ms]                      until the list holds N rows
//   label ID                              a control's text
//   wait-label ID TEXT [ms]               until a control shows TEXT
//   click ID [ms]                         presses a button of the main window once it is enabled
//   command ID                            a menu command to the main window
//   close-main                            closes the main window as its title bar does
//   query-end-session                     asks whether Windows may log off; prints the answer
//   wait-box CAPTION [ms]                 a message box of kestrix; prints its text
//   answer-box CAPTION yes|no|ok [ms]     prints the box's text, presses the button, waits until it closes
//   tray right-down|double-click          what the notification area sends for a mouse action on the icon
//   wait-menu open|closed [ms]            a pop-up menu of kestrix
//   dismiss-menu                          presses Escape in the open menu
//   wait-balloon TEXT [ms]                a balloon of the notification area with this text
//   wait-process NAME running|gone [ms]
//   point X Y                             moves the pointer to a point of the screen
//   wait-dialog visible|hidden [ms]       the options dialog's state
//   click-dialog ID [ms]                  presses a button or box of the shown options dialog
//   dialog-check ID                       1 when a box of the options dialog is ticked, else 0
//   dialog-status                         the options dialog's status text (the status bar's second part)
//   control-state main|dialog ID          "1 TEXT" for a control that can be used, "0 TEXT" for a greyed one
//   check ID                              1 when a box of the main window is ticked, else 0
//   activate                              brings the main window to the front, as a click on it would
//   keys TARGET KEY...                    once TARGET is in front with the keyboard focus, presses keys:
//                                         tab, shift+tab, alt+k, enter, escape, space, f10, apps (the
//                                         menu key), delete, a letter. TARGET is
//                                         main, dialog, menu (an open pop-up menu of kestrix), or
//                                         window:CAPTION (a shown window whose caption holds CAPTION)
//   focus                                 the id of kestrix's control with the keyboard focus (0: a window)
//   syscommand maximize|minimize|restore  what the title bar and the system menu send the main window
//   placement                             the main window's state (normal, minimized, maximized), outer size
//   click-rows N [N...]                   clicks list rows (1 is the first), Ctrl held from the second on
//   selected                              the selected rows' numbers, on one line
//   right-click-row N                     a right click on a list row, which opens the list's menu
//   row-point N                           a list row's middle on the screen, "X,Y"
//   device-event EVENT [COUNT]            WM_DEVICECHANGE with this wParam for E:, COUNT times; prints the ms
//   copy-data TEXT|none                   a WM_COPYDATA with this payload to the main window
//   remove-icon                           takes kestrix's icon out of the notification area
//   taskbar-created                       tells kestrix's windows that the taskbar was created anew
//   wait-window CAPTION [ms]              a shown window of kestrix whose caption holds this text; prints
//                                         the caption and its controls' texts
//   record FILE WORD...                   appends its words to FILE as a line; the suite's web browser
//   layout main|dialog|window:CAPTION     the window's client size, then each child:
//                                         id, class, left, top, width, height (client pixels), shown (1/0)
//   vaccine-submenu open|closed [ms]      the tray menu's 保護隨身碟 submenu, open beside the menu; prints
//                                         its place and size, "X,Y WxH"
//   vaccine-balloon [ms]                  a balloon of the notification area; prints its text
//   quarantine-wait visible|hidden [ms]   the quarantine window's state
//   quarantine-rows                       each row of its list: time, path, size, category, why
//   quarantine-wait-rows N [ms]           until its list holds N rows
//   quarantine-select N [N...]            selects these rows (1 is the first) and no other
//   quarantine-selected                   the selected rows' numbers, on one line
//   quarantine-click ID [ms]              presses a button of the shown quarantine window
//
// Texts are printed with carriage returns and line feeds as \r and \n, so
// that each result stays on one line.
#include <windows.h>

#include <commctrl.h>
#include <dbt.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <tlhelp32.h>
#include <vector>

#include "app/win32/control_ids.h"

namespace {

constexpr DWORD kDefaultTimeout = 60000;
// How long a click waits for the pointer to reach its point.
constexpr DWORD kPointerTimeout = 2000;
constexpr DWORD kPollInterval = 50;
constexpr DWORD kSendTimeout = 10000;
constexpr UINT kTrayCallbackMessage = 0x800;
constexpr WPARAM kTrayIconId = 1;
constexpr int kStaticTextId = 0xFFFF;
constexpr int kListColumns = 3;

void Print(const std::wstring& text) {
  std::wstring escaped;
  for (wchar_t c : text) {
    if (c == L'\r') {
      escaped += L"\\r";
    } else if (c == L'\n') {
      escaped += L"\\n";
    } else {
      escaped += c;
    }
  }
  escaped += L'\n';
  const int size = WideCharToMultiByte(CP_UTF8, 0, escaped.data(), static_cast<int>(escaped.size()), nullptr,
                                       0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, escaped.data(), static_cast<int>(escaped.size()), utf8.data(), size,
                      nullptr, nullptr);
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  std::fflush(stdout);
}

int Fail(const std::wstring& why) {
  Print(L"error: " + why);
  return 1;
}

// Polls until the condition holds or the time is up. The condition is
// checked once more at the end, so a slow last step still counts.
bool WaitFor(const std::function<bool()>& condition, DWORD timeout) {
  const ULONGLONG end = GetTickCount64() + timeout;
  while (GetTickCount64() < end) {
    if (condition()) return true;
    Sleep(kPollInterval);
  }
  return condition();
}

DWORD ProcessOf(HWND window) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  return process;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

// WM_GETTEXT, which Windows carries across processes.
std::wstring TextOf(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeout, &length))
    return {};
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                      SMTO_ABORTIFHUNG, kSendTimeout, &copied);
  text.resize(copied);
  return text;
}

HWND MainWindow() { return FindWindowW(KESTRIX_MAIN_CLASS, nullptr); }

// Every top-level window, hidden ones included, that passes the filter.
std::vector<HWND> TopLevelWindows(const std::function<bool(HWND)>& filter) {
  struct Search {
    const std::function<bool(HWND)>* filter;
    std::vector<HWND> found;
  } search{&filter, {}};
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        if ((*s->filter)(window)) s->found.push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// A visible window of kestrix of the given class, and caption if one is given.
HWND KestrixWindow(const wchar_t* className, const std::optional<std::wstring>& caption = std::nullopt) {
  HWND main = MainWindow();
  if (main == nullptr) return nullptr;
  const DWORD kestrix = ProcessOf(main);
  const auto found = TopLevelWindows([&](HWND window) {
    return IsWindowVisible(window) && ProcessOf(window) == kestrix && ClassOf(window) == className &&
           (!caption || TextOf(window) == *caption);
  });
  return found.empty() ? nullptr : found.front();
}

HWND MessageBoxOf(const std::wstring& caption) { return KestrixWindow(L"#32770", caption); }

HWND PopUpMenu() { return KestrixWindow(L"#32768"); }

// Memory inside kestrix for a common control's message: Wine, like Windows,
// passes LVM_ and SB_ pointers on unchanged, so they must point into the
// control's own process.
class RemoteBuffer {
 public:
  RemoteBuffer(HWND window, std::size_t size) : size_(size) {
    process_ =
        OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, ProcessOf(window));
    if (process_ != nullptr) {
      address_ = static_cast<char*>(
          VirtualAllocEx(process_, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    }
  }
  RemoteBuffer(const RemoteBuffer&) = delete;
  RemoteBuffer& operator=(const RemoteBuffer&) = delete;
  ~RemoteBuffer() {
    if (address_ != nullptr) VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
    if (process_ != nullptr) CloseHandle(process_);
  }

  bool Valid() const { return address_ != nullptr; }
  char* Address() const { return address_; }
  bool Write(std::size_t offset, const void* data, std::size_t size) const {
    return offset + size <= size_ && WriteProcessMemory(process_, address_ + offset, data, size, nullptr);
  }
  bool Read(std::size_t offset, void* data, std::size_t size) const {
    return offset + size <= size_ && ReadProcessMemory(process_, address_ + offset, data, size, nullptr);
  }

 private:
  HANDLE process_ = nullptr;
  char* address_ = nullptr;
  std::size_t size_;
};

HWND VirusList() {
  HWND main = MainWindow();
  return main != nullptr ? GetDlgItem(main, IDC_VIRUSLIST) : nullptr;
}

int RowCount(HWND list = VirusList()) {
  DWORD_PTR count = 0;
  if (list == nullptr ||
      !SendMessageTimeoutW(list, LVM_GETITEMCOUNT, 0, 0, SMTO_ABORTIFHUNG, kSendTimeout, &count)) {
    return -1;
  }
  return static_cast<int>(count);
}

bool ReadRows(std::vector<std::wstring>& rows, HWND list = VirusList(), int columns = kListColumns) {
  const int count = RowCount(list);
  if (count < 0) return false;
  constexpr std::size_t kTextUnits = 1024;
  RemoteBuffer buffer(list, sizeof(LVITEMW) + kTextUnits * sizeof(wchar_t));
  if (!buffer.Valid()) return false;
  for (int row = 0; row < count; ++row) {
    std::wstring line;
    for (int column = 0; column < columns; ++column) {
      LVITEMW item{};
      item.iSubItem = column;
      item.pszText = reinterpret_cast<wchar_t*>(buffer.Address() + sizeof(LVITEMW));
      item.cchTextMax = kTextUnits;
      const wchar_t empty = L'\0';
      DWORD_PTR length = 0;
      if (!buffer.Write(0, &item, sizeof item) || !buffer.Write(sizeof item, &empty, sizeof empty) ||
          !SendMessageTimeoutW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(buffer.Address()),
                               SMTO_ABORTIFHUNG, kSendTimeout, &length)) {
        return false;
      }
      std::wstring text(kTextUnits, L'\0');
      if (!buffer.Read(sizeof item, text.data(), kTextUnits * sizeof(wchar_t))) return false;
      text.resize(wcsnlen(text.c_str(), kTextUnits));
      if (column > 0) line += L'\t';
      line += text;
    }
    rows.push_back(line);
  }
  return true;
}

bool ProcessRunning(const std::wstring& name) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  bool found = false;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
       more = Process32NextW(snapshot, &entry)) {
    found = lstrcmpiW(entry.szExeFile, name.c_str()) == 0;
  }
  CloseHandle(snapshot);
  return found;
}

struct Arguments {
  std::vector<std::wstring> values;

  std::size_t Count() const { return values.size(); }
  const std::wstring& At(std::size_t index) const { return values.at(index); }
  DWORD Timeout(std::size_t index) const {
    return index < values.size() ? static_cast<DWORD>(std::wcstoul(values[index].c_str(), nullptr, 10))
                                 : kDefaultTimeout;
  }
  int Id(std::size_t index) const {
    return static_cast<int>(std::wcstol(values.at(index).c_str(), nullptr, 0));
  }
};

int WaitMain(const Arguments& args) {
  const std::wstring& state = args.At(0);
  if (state != L"visible" && state != L"hidden" && state != L"exists") return 2;
  const bool reached = WaitFor(
      [&] {
        HWND main = MainWindow();
        return main != nullptr &&
               (state == L"exists" || (IsWindowVisible(main) != FALSE) == (state == L"visible"));
      },
      args.Timeout(1));
  if (!reached) return Fail(L"the main window is not " + args.At(0));
  Print(TextOf(MainWindow()));
  return 0;
}

int WaitExit(const Arguments& args) {
  if (!WaitFor([] { return MainWindow() == nullptr; }, args.Timeout(0)))
    return Fail(L"kestrix is still running");
  return 0;
}

int Rows(const Arguments&) {
  std::vector<std::wstring> rows;
  if (!ReadRows(rows)) return Fail(L"cannot read the list");
  for (const std::wstring& row : rows) Print(row);
  return 0;
}

int WaitRows(const Arguments& args) {
  const int wanted = args.Id(0);
  if (!WaitFor([&] { return RowCount() == wanted; }, args.Timeout(1))) {
    return Fail(L"the list holds " + std::to_wstring(RowCount()) + L" rows");
  }
  return 0;
}

int Label(const Arguments& args) {
  HWND main = MainWindow();
  HWND control = main != nullptr ? GetDlgItem(main, args.Id(0)) : nullptr;
  if (control == nullptr) return Fail(L"no such control");
  Print(TextOf(control));
  return 0;
}

int WaitLabel(const Arguments& args) {
  const auto text = [&] {
    HWND main = MainWindow();
    HWND control = main != nullptr ? GetDlgItem(main, args.Id(0)) : nullptr;
    return control != nullptr ? TextOf(control) : std::wstring();
  };
  if (!WaitFor([&] { return text() == args.At(1); }, args.Timeout(2))) {
    return Fail(L"the control shows \"" + text() + L"\"");
  }
  return 0;
}

// Waits, as a user would, until the button can be pressed. BM_CLICK is
// posted: the click may open a modal box, which would hold up a sent message
// until someone answers it.
int Click(const Arguments& args) {
  const auto button = [&]() -> HWND {
    HWND main = MainWindow();
    HWND control = main != nullptr ? GetDlgItem(main, args.Id(0)) : nullptr;
    return control != nullptr && IsWindowVisible(main) && IsWindowEnabled(control) ? control : nullptr;
  };
  if (!WaitFor([&] { return button() != nullptr; }, args.Timeout(1)))
    return Fail(L"the button cannot be pressed");
  return PostMessageW(button(), BM_CLICK, 0, 0) ? 0 : Fail(L"PostMessage failed");
}

int Command(const Arguments& args) {
  HWND main = MainWindow();
  if (main == nullptr) return Fail(L"no main window");
  return PostMessageW(main, WM_COMMAND, MAKEWPARAM(args.Id(0), 0), 0) ? 0 : Fail(L"PostMessage failed");
}

int CloseMain(const Arguments&) {
  HWND main = MainWindow();
  if (main == nullptr) return Fail(L"no main window");
  return PostMessageW(main, WM_CLOSE, 0, 0) ? 0 : Fail(L"PostMessage failed");
}

int QueryEndSession(const Arguments&) {
  HWND main = MainWindow();
  DWORD_PTR answer = 0;
  if (main == nullptr || !SendMessageTimeoutW(main, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF,
                                              SMTO_ABORTIFHUNG, kSendTimeout, &answer)) {
    return Fail(L"no answer");
  }
  Print(std::to_wstring(static_cast<LONG_PTR>(answer)));
  return 0;
}

int WaitBox(const Arguments& args) {
  HWND box = nullptr;
  if (!WaitFor([&] { return (box = MessageBoxOf(args.At(0))) != nullptr; }, args.Timeout(1))) {
    return Fail(L"no message box \"" + args.At(0) + L"\"");
  }
  Print(TextOf(GetDlgItem(box, kStaticTextId)));
  return 0;
}

int AnswerBox(const Arguments& args) {
  const std::wstring& answer = args.At(1);
  const int id = answer == L"yes" ? IDYES : answer == L"no" ? IDNO : answer == L"ok" ? IDOK : 0;
  if (id == 0) return 2;
  HWND box = nullptr;
  if (!WaitFor([&] { return (box = MessageBoxOf(args.At(0))) != nullptr; }, args.Timeout(2))) {
    return Fail(L"no message box \"" + args.At(0) + L"\"");
  }
  Print(TextOf(GetDlgItem(box, kStaticTextId)));
  HWND button = GetDlgItem(box, id);
  if (button == nullptr) return Fail(L"the box has no such button");
  PostMessageW(button, BM_CLICK, 0, 0);
  if (!WaitFor([&] { return !IsWindow(box) || !IsWindowVisible(box); }, args.Timeout(2))) {
    return Fail(L"the box stays open");
  }
  return 0;
}

// Posted: the right button opens the menu, whose loop runs until it closes.
int Tray(const Arguments& args) {
  LPARAM mouse = 0;
  if (args.At(0) == L"right-down") {
    mouse = WM_RBUTTONDOWN;
  } else if (args.At(0) == L"double-click") {
    mouse = WM_LBUTTONDBLCLK;
  } else {
    return 2;
  }
  HWND tray = FindWindowW(KESTRIX_TRAY_CLASS, nullptr);
  if (tray == nullptr) return Fail(L"no tray icon window");
  return PostMessageW(tray, kTrayCallbackMessage, kTrayIconId, mouse) ? 0 : Fail(L"PostMessage failed");
}

int WaitMenu(const Arguments& args) {
  const bool open = args.At(0) == L"open";
  if (!open && args.At(0) != L"closed") return 2;
  if (!WaitFor([&] { return (PopUpMenu() != nullptr) == open; }, args.Timeout(1))) {
    return Fail(L"the menu is not " + args.At(0));
  }
  if (HWND menu = PopUpMenu()) {
    RECT bounds{};
    GetWindowRect(menu, &bounds);
    Print(std::to_wstring(bounds.left) + L"," + std::to_wstring(bounds.top) + L" " +
          std::to_wstring(bounds.right - bounds.left) + L"x" + std::to_wstring(bounds.bottom - bounds.top));
  }
  return 0;
}

// The key lands in the queue of the thread that runs the menu's loop.
int DismissMenu(const Arguments&) {
  HWND menu = PopUpMenu();
  if (menu == nullptr) return Fail(L"no open menu");
  PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 1);
  PostMessageW(menu, WM_KEYUP, VK_ESCAPE, 0xC0000001);
  return 0;
}

// The balloons on screen now, whichever program they belong to: the
// notification area shows them for kestrix.
std::vector<std::wstring> BalloonTexts() {
  std::vector<std::wstring> texts;
  for (HWND window : TopLevelWindows([](HWND w) {
         return IsWindowVisible(w) && ClassOf(w) == TOOLTIPS_CLASSW &&
                (GetWindowLongW(w, GWL_STYLE) & TTS_BALLOON) != 0;
       })) {
    texts.push_back(TextOf(window));
  }
  return texts;
}

int WaitBalloon(const Arguments& args) {
  const auto shown = [&] {
    for (const std::wstring& text : BalloonTexts()) {
      if (text == args.At(0)) return true;
    }
    return false;
  };
  if (!WaitFor(shown, args.Timeout(1))) {
    std::wstring seen;
    for (const std::wstring& text : BalloonTexts()) seen += L" \"" + text + L"\"";
    return Fail(L"no such balloon; shown:" + (seen.empty() ? L" none" : seen));
  }
  return 0;
}

int WaitProcess(const Arguments& args) {
  const bool running = args.At(1) == L"running";
  if (!running && args.At(1) != L"gone") return 2;
  if (!WaitFor([&] { return ProcessRunning(args.At(0)) == running; }, args.Timeout(2))) {
    return Fail(args.At(0) + L" is not " + args.At(1));
  }
  return 0;
}

// Moves the pointer through Windows, which then knows where it is: a move
// made only on the X side, outside every Wine window, goes unnoticed.
int Point(const Arguments& args) {
  return SetCursorPos(args.Id(0), args.Id(1)) ? 0 : Fail(L"SetCursorPos failed");
}

// The options dialog exists, hidden, for as long as kestrix runs.
HWND OptionsDialog() { return FindWindowW(KESTRIX_OPTIONS_CLASS, nullptr); }

HWND DialogControl(int id) {
  HWND dialog = OptionsDialog();
  return dialog != nullptr ? GetDlgItem(dialog, id) : nullptr;
}

int WaitDialog(const Arguments& args) {
  const bool visible = args.At(0) == L"visible";
  if (!visible && args.At(0) != L"hidden") return 2;
  if (!WaitFor(
          [&] {
            HWND dialog = OptionsDialog();
            return dialog != nullptr && (IsWindowVisible(dialog) != FALSE) == visible;
          },
          args.Timeout(1))) {
    return Fail(L"the options dialog is not " + args.At(0));
  }
  return 0;
}

// Posted, like Click: the dialog's own modal loop takes it.
int ClickDialog(const Arguments& args) {
  const auto control = [&]() -> HWND {
    HWND dialog = OptionsDialog();
    HWND found = DialogControl(args.Id(0));
    return found != nullptr && IsWindowVisible(dialog) && IsWindowEnabled(found) ? found : nullptr;
  };
  if (!WaitFor([&] { return control() != nullptr; }, args.Timeout(1)))
    return Fail(L"the dialog's control cannot be pressed");
  return PostMessageW(control(), BM_CLICK, 0, 0) ? 0 : Fail(L"PostMessage failed");
}

int DialogCheck(const Arguments& args) {
  HWND box = DialogControl(args.Id(0));
  DWORD_PTR state = 0;
  if (box == nullptr || !SendMessageTimeoutW(box, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, kSendTimeout, &state))
    return Fail(L"no such box");
  Print(state == BST_CHECKED ? L"1" : L"0");
  return 0;
}

// A control of the main window or the dialog: 1 when it can be used, 0 when
// greyed, then its text.
int ControlState(const Arguments& args) {
  HWND main = MainWindow();
  HWND control = args.At(0) == L"dialog" ? DialogControl(args.Id(1))
                 : main != nullptr       ? GetDlgItem(main, args.Id(1))
                                         : nullptr;
  if (control == nullptr) return Fail(L"no such control");
  Print(std::wstring(IsWindowEnabled(control) ? L"1 " : L"0 ") + TextOf(control));
  return 0;
}

// SB_GETTEXTW, like the list's messages, needs its buffer inside kestrix.
int DialogStatus(const Arguments&) {
  constexpr WPARAM kStatusPart = 1;
  HWND bar = DialogControl(IDC_STATUSBAR);
  DWORD_PTR lengthAndType = 0;
  if (bar == nullptr || !SendMessageTimeoutW(bar, SB_GETTEXTLENGTHW, kStatusPart, 0, SMTO_ABORTIFHUNG,
                                             kSendTimeout, &lengthAndType)) {
    return Fail(L"no status bar");
  }
  const std::size_t units = LOWORD(lengthAndType) + 1;
  RemoteBuffer buffer(bar, units * sizeof(wchar_t));
  std::wstring text(units, L'\0');
  DWORD_PTR ignored = 0;
  if (!buffer.Valid() || !buffer.Write(0, text.data(), units * sizeof(wchar_t)) ||
      !SendMessageTimeoutW(bar, SB_GETTEXTW, kStatusPart, reinterpret_cast<LPARAM>(buffer.Address()),
                           SMTO_ABORTIFHUNG, kSendTimeout, &ignored) ||
      !buffer.Read(0, text.data(), units * sizeof(wchar_t))) {
    return Fail(L"cannot read the status bar");
  }
  text.resize(wcsnlen(text.c_str(), units));
  Print(text);
  return 0;
}

int Check(const Arguments& args) {
  HWND main = MainWindow();
  HWND box = main != nullptr ? GetDlgItem(main, args.Id(0)) : nullptr;
  DWORD_PTR state = 0;
  if (box == nullptr || !SendMessageTimeoutW(box, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, kSendTimeout, &state))
    return Fail(L"no such box");
  Print(state == BST_CHECKED ? L"1" : L"0");
  return 0;
}

// The window in front takes the keyboard; a click on it would bring it there.
int Activate(const Arguments&) {
  HWND main = MainWindow();
  if (main == nullptr || !IsWindowVisible(main)) return Fail(L"no shown main window");
  SetForegroundWindow(main);
  if (!WaitFor([&] { return GetForegroundWindow() == main; }, kDefaultTimeout))
    return Fail(L"the main window did not come to the front");
  return 0;
}

void AddKey(std::vector<INPUT>& inputs, WORD key, bool up) {
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = key;
  input.ki.wScan = static_cast<WORD>(MapVirtualKeyW(key, MAPVK_VK_TO_VSC));
  input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
  inputs.push_back(input);
}

// "alt+k" holds Alt while K goes down and up.
bool PressKey(const std::wstring& chord) {
  std::vector<WORD> held;
  std::wstring rest = chord;
  for (std::size_t plus; (plus = rest.find(L'+')) != std::wstring::npos && plus + 1 < rest.size();
       rest = rest.substr(plus + 1)) {
    const std::wstring modifier = rest.substr(0, plus);
    if (modifier == L"alt") {
      held.push_back(VK_MENU);
    } else if (modifier == L"shift") {
      held.push_back(VK_SHIFT);
    } else if (modifier == L"ctrl") {
      held.push_back(VK_CONTROL);
    } else {
      return false;
    }
  }
  WORD key = 0;
  if (rest == L"tab") {
    key = VK_TAB;
  } else if (rest == L"enter") {
    key = VK_RETURN;
  } else if (rest == L"escape") {
    key = VK_ESCAPE;
  } else if (rest == L"space") {
    key = VK_SPACE;
  } else if (rest == L"f10") {
    key = VK_F10;
  } else if (rest == L"apps") {
    key = VK_APPS;
  } else if (rest == L"down") {
    key = VK_DOWN;
  } else if (rest == L"up") {
    key = VK_UP;
  } else if (rest == L"delete") {
    key = VK_DELETE;
  } else if (rest.size() == 1 && iswalnum(rest[0])) {
    key = static_cast<WORD>(towupper(rest[0]));
  } else {
    return false;
  }
  std::vector<INPUT> inputs;
  for (WORD modifier : held) AddKey(inputs, modifier, false);
  AddKey(inputs, key, false);
  AddKey(inputs, key, true);
  for (auto it = held.rbegin(); it != held.rend(); ++it) AddKey(inputs, *it, true);
  return SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT)) == inputs.size();
}

HWND WindowCaptioned(const std::wstring& caption);

// A window named as keys and layout name it.
HWND TargetWindow(const std::wstring& target) {
  if (target == L"main") return MainWindow();
  if (target == L"dialog") return OptionsDialog();
  if (target.starts_with(L"window:")) return WindowCaptioned(target.substr(7));
  return nullptr;
}

// Whether keys pressed now reach the target: Windows hands them to the
// window in front, and within it to the control with the focus. A pop-up
// menu takes them while its owner is in front.
bool TakesKeys(const std::wstring& target) {
  HWND front = GetForegroundWindow();
  HWND main = MainWindow();
  if (front == nullptr || main == nullptr || ProcessOf(front) != ProcessOf(main)) return false;
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(front, nullptr), &info)) return false;
  if (target == L"menu") return PopUpMenu() != nullptr && (info.flags & GUI_INMENUMODE) != 0;
  HWND window = TargetWindow(target);
  return window != nullptr && front == window && IsWindowVisible(window) && IsWindowEnabled(window) &&
         (info.flags & GUI_INMENUMODE) == 0 &&
         (info.hwndFocus == window || (info.hwndFocus != nullptr && IsChild(window, info.hwndFocus)));
}

int Keys(const Arguments& args) {
  const std::wstring& target = args.At(0);
  if (target != L"main" && target != L"dialog" && target != L"menu" && !target.starts_with(L"window:"))
    return 2;
  // A window that kestrix opened on a command the driver posted may stay
  // behind, since kestrix had no click to earn the front: after a while the
  // driver brings it there, as the user's click on it would.
  constexpr DWORD kOwnWayToFront = 3000;
  if (!WaitFor([&] { return TakesKeys(target); }, kOwnWayToFront)) {
    if (HWND window = TargetWindow(target); window != nullptr && IsWindowEnabled(window))
      SetForegroundWindow(window);
    if (!WaitFor([&] { return TakesKeys(target); }, kDefaultTimeout))
      return Fail(target + L" is not in front with the keyboard focus");
  }
  for (std::size_t i = 1; i < args.Count(); ++i) {
    if (!PressKey(args.At(i))) return Fail(L"cannot press " + args.At(i));
  }
  return 0;
}

// The keyboard focus of kestrix's thread, wherever it is.
int Focus(const Arguments&) {
  HWND main = MainWindow();
  if (main == nullptr) return Fail(L"no main window");
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(main, nullptr), &info))
    return Fail(L"no thread information");
  if (info.hwndFocus == nullptr) return Fail(L"nothing has the focus");
  Print(std::to_wstring(GetParent(info.hwndFocus) == nullptr ? 0 : GetDlgCtrlID(info.hwndFocus)));
  return 0;
}

// Posted, as the title bar does: restoring may ask a question.
int SysCommand(const Arguments& args) {
  const std::wstring& what = args.At(0);
  const WPARAM command = what == L"maximize"   ? SC_MAXIMIZE
                         : what == L"minimize" ? SC_MINIMIZE
                         : what == L"restore"  ? SC_RESTORE
                                               : 0;
  if (command == 0) return 2;
  HWND main = MainWindow();
  if (main == nullptr) return Fail(L"no main window");
  return PostMessageW(main, WM_SYSCOMMAND, command, 0) ? 0 : Fail(L"PostMessage failed");
}

int Placement(const Arguments&) {
  HWND main = MainWindow();
  if (main == nullptr) return Fail(L"no main window");
  RECT bounds{};
  GetWindowRect(main, &bounds);
  const wchar_t* state = IsIconic(main) ? L"minimized" : IsZoomed(main) ? L"maximized" : L"normal";
  Print(std::wstring(state) + L" " + std::to_wstring(bounds.right - bounds.left) + L"x" +
        std::to_wstring(bounds.bottom - bounds.top));
  return 0;
}

// Asks for an outer size, as dragging the frame does; Windows keeps the
// window's minimum.
int Resize(const Arguments& args) {
  HWND main = MainWindow();
  if (main == nullptr) return Fail(L"no main window");
  return SetWindowPos(main, nullptr, 0, 0, args.Id(0), args.Id(1), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE)
             ? 0
             : Fail(L"SetWindowPos failed");
}

// A row's middle on the screen, through LVM_GETITEMRECT in kestrix.
std::optional<POINT> RowPoint(int row) {
  HWND list = VirusList();
  if (list == nullptr) return std::nullopt;
  RemoteBuffer buffer(list, sizeof(RECT));
  RECT bounds{LVIR_LABEL, 0, 0, 0};
  DWORD_PTR found = 0;
  if (!buffer.Valid() || !buffer.Write(0, &bounds, sizeof bounds) ||
      !SendMessageTimeoutW(list, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(buffer.Address()),
                           SMTO_ABORTIFHUNG, kSendTimeout, &found) ||
      !found || !buffer.Read(0, &bounds, sizeof bounds)) {
    return std::nullopt;
  }
  POINT middle{(bounds.left + bounds.right) / 2, (bounds.top + bounds.bottom) / 2};
  ClientToScreen(list, &middle);
  return middle;
}

// The selected rows' numbers (1 is the first), on one line.
std::wstring SelectedRows(HWND list) {
  std::wstring line;
  const int count = RowCount(list);
  for (int row = 0; row < count; ++row) {
    DWORD_PTR state = 0;
    SendMessageTimeoutW(list, LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_SELECTED, SMTO_ABORTIFHUNG,
                        kSendTimeout, &state);
    if (state & LVIS_SELECTED) line += (line.empty() ? L"" : L" ") + std::to_wstring(row + 1);
  }
  return line;
}

// Each event carries its point, and the click waits until the pointer is
// there: under load Wine has let a click land where the pointer was before.
bool ClickAt(POINT point, DWORD down, DWORD up, bool control) {
  const LONG x = point.x * 65535 / (GetSystemMetrics(SM_CXSCREEN) - 1);
  const LONG y = point.y * 65535 / (GetSystemMetrics(SM_CYSCREEN) - 1);
  const auto mouse = [&](DWORD flag) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = x;
    input.mi.dy = y;
    input.mi.dwFlags = flag | MOUSEEVENTF_ABSOLUTE;
    return input;
  };
  INPUT move = mouse(MOUSEEVENTF_MOVE);
  if (SendInput(1, &move, sizeof(INPUT)) != 1) return false;
  WaitFor(
      [&] {
        POINT now{};
        // The absolute units may round a pixel off.
        return GetCursorPos(&now) && std::abs(now.x - point.x) <= 1 && std::abs(now.y - point.y) <= 1;
      },
      kPointerTimeout);
  std::vector<INPUT> inputs;
  if (control) AddKey(inputs, VK_CONTROL, false);
  for (DWORD flag : {DWORD{MOUSEEVENTF_MOVE}, down, up}) inputs.push_back(mouse(flag));
  if (control) AddKey(inputs, VK_CONTROL, true);
  return SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT)) == inputs.size();
}

// A click on the first row, Ctrl+clicks on the others, until exactly those
// are selected: under load Wine has let a Ctrl+click arrive without its
// Ctrl, which leaves only the row clicked last. Then the clicks are made
// again, each once the one before has selected its row.
int ClickRows(const Arguments& args) {
  std::vector<int> rows;
  for (std::size_t i = 0; i < args.Count(); ++i) rows.push_back(args.Id(i));
  std::vector<int> sorted = rows;
  std::ranges::sort(sorted);
  std::wstring wanted;
  for (int row : sorted) wanted += (wanted.empty() ? L"" : L" ") + std::to_wstring(row);
  std::wstring selected;
  for (int attempt = 0; attempt < 3; ++attempt) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const auto point = RowPoint(rows[i] - 1);
      if (!point) return Fail(L"no row " + std::to_wstring(rows[i]));
      if (!ClickAt(*point, MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP, i > 0)) return Fail(L"SendInput failed");
      WaitFor(
          [&] {
            return (L" " + SelectedRows(VirusList()) + L" ").find(L" " + std::to_wstring(rows[i]) + L" ") !=
                   std::wstring::npos;
          },
          kDefaultTimeout);
    }
    if (WaitFor([&] { return (selected = SelectedRows(VirusList())) == wanted; }, kPointerTimeout)) return 0;
  }
  return Fail(L"rows " + wanted + L" are not selected, but: " + selected);
}

int PrintRowPoint(const Arguments& args) {
  const auto point = RowPoint(args.Id(0) - 1);
  if (!point) return Fail(L"no row " + args.At(0));
  Print(std::to_wstring(point->x) + L"," + std::to_wstring(point->y));
  return 0;
}

int RightClickRow(const Arguments& args) {
  const auto point = RowPoint(args.Id(0) - 1);
  if (!point) return Fail(L"no row " + args.At(0));
  return ClickAt(*point, MOUSEEVENTF_RIGHTDOWN, MOUSEEVENTF_RIGHTUP, false) ? 0 : Fail(L"SendInput failed");
}

// Rests the pointer on a row's middle, and waits until it is there.
int PointRow(const Arguments& args) {
  const auto point = RowPoint(args.Id(0) - 1);
  if (!point) return Fail(L"no row " + args.At(0));
  // A real move, so that the list sees the pointer come and rest.
  INPUT move{};
  move.type = INPUT_MOUSE;
  move.mi.dx = point->x * 65535 / (GetSystemMetrics(SM_CXSCREEN) - 1);
  move.mi.dy = point->y * 65535 / (GetSystemMetrics(SM_CYSCREEN) - 1);
  move.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  if (SendInput(1, &move, sizeof(INPUT)) != 1) return Fail(L"SendInput failed");
  return WaitFor(
             [&] {
               POINT now{};
               return GetCursorPos(&now) && std::abs(now.x - point->x) <= 1 &&
                      std::abs(now.y - point->y) <= 1;
             },
             kPointerTimeout)
             ? 0
             : Fail(L"the pointer did not reach row " + args.At(0));
}

// Waits for a shown tooltip, not a balloon, whose text holds the given text.
int WaitTip(const Arguments& args) {
  const auto tips = [] {
    std::vector<std::wstring> texts;
    for (HWND window : TopLevelWindows([](HWND w) {
           return IsWindowVisible(w) && ClassOf(w) == TOOLTIPS_CLASSW &&
                  (GetWindowLongW(w, GWL_STYLE) & TTS_BALLOON) == 0;
         })) {
      texts.push_back(TextOf(window));
    }
    return texts;
  };
  const auto shown = [&] {
    for (const std::wstring& text : tips()) {
      if (text.find(args.At(0)) != std::wstring::npos) return true;
    }
    return false;
  };
  if (WaitFor(shown, args.Timeout(1))) return 0;
  std::wstring seen;
  for (const std::wstring& text : tips()) seen += L" \"" + text + L"\"";
  return Fail(L"no such tip; shown:" + (seen.empty() ? L" none" : seen));
}

// Windows sends device events to every top-level window, hidden ones too.
int DeviceEvent(const Arguments& args) {
  HWND main = MainWindow();
  if (main == nullptr) return Fail(L"no main window");
  const DWORD kestrix = ProcessOf(main);
  const auto windows = TopLevelWindows([&](HWND w) { return ProcessOf(w) == kestrix; });
  DEV_BROADCAST_VOLUME volume{};
  volume.dbcv_size = sizeof volume;
  volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
  volume.dbcv_unitmask = 1u << ('E' - 'A');
  const int count = args.Count() > 1 ? args.Id(1) : 1;
  const ULONGLONG start = GetTickCount64();
  int sent = 0;
  for (int i = 0; i < count; ++i) {
    for (HWND window : windows) {
      DWORD_PTR result = 0;
      if (SendMessageTimeoutW(window, WM_DEVICECHANGE, static_cast<WPARAM>(args.Id(0)),
                              reinterpret_cast<LPARAM>(&volume), SMTO_ABORTIFHUNG, kSendTimeout, &result)) {
        ++sent;
      }
    }
  }
  Print(std::to_wstring(GetTickCount64() - start));
  return sent > 0 ? 0 : Fail(L"no window took the message");
}

int CopyData(const Arguments& args) {
  HWND main = MainWindow();
  if (main == nullptr) return Fail(L"no main window");
  std::wstring payload = args.At(0) == L"none" ? std::wstring() : args.At(0);
  COPYDATASTRUCT data{7, static_cast<DWORD>(payload.size() * sizeof(wchar_t)),
                      payload.empty() ? nullptr : payload.data()};
  DWORD_PTR result = 0;
  return SendMessageTimeoutW(main, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG,
                             kSendTimeout, &result)
             ? 0
             : Fail(L"no answer");
}

int RemoveIcon(const Arguments&) {
  HWND tray = FindWindowW(KESTRIX_TRAY_CLASS, nullptr);
  if (tray == nullptr) return Fail(L"no tray icon window");
  NOTIFYICONDATAW data{};
  data.cbSize = NOTIFYICONDATAW_V2_SIZE;
  data.hWnd = tray;
  data.uID = kTrayIconId;
  return Shell_NotifyIconW(NIM_DELETE, &data) ? 0 : Fail(L"the shell kept the icon");
}

int TaskbarCreated(const Arguments&) {
  HWND main = MainWindow();
  if (main == nullptr) return Fail(L"no main window");
  const UINT message = RegisterWindowMessageW(L"TaskbarCreated");
  const DWORD kestrix = ProcessOf(main);
  for (HWND window : TopLevelWindows([&](HWND w) { return ProcessOf(w) == kestrix; })) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, message, 0, 0, SMTO_ABORTIFHUNG, kSendTimeout, &result);
  }
  return 0;
}

HWND WindowCaptioned(const std::wstring& caption) {
  HWND main = MainWindow();
  if (main == nullptr) return nullptr;
  const DWORD kestrix = ProcessOf(main);
  const auto found = TopLevelWindows([&](HWND window) {
    return IsWindowVisible(window) && ProcessOf(window) == kestrix &&
           TextOf(window).find(caption) != std::wstring::npos;
  });
  return found.empty() ? nullptr : found.front();
}

int WaitWindow(const Arguments& args) {
  HWND window = nullptr;
  if (!WaitFor([&] { return (window = WindowCaptioned(args.At(0))) != nullptr; }, args.Timeout(1)))
    return Fail(L"no window \"" + args.At(0) + L"\"");
  Print(TextOf(window));
  for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    const std::wstring text = TextOf(child);
    if (IsWindowVisible(child) && !text.empty()) Print(text);
  }
  return 0;
}

int Record(const Arguments& args) {
  FILE* file = _wfopen(args.At(0).c_str(), L"ab");
  if (file == nullptr) return Fail(L"cannot open " + args.At(0));
  std::wstring line;
  for (std::size_t i = 1; i < args.Count(); ++i) line += (i > 1 ? L" " : L"") + args.At(i);
  line += L'\n';
  const int size = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0,
                                       nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), utf8.data(), size, nullptr,
                      nullptr);
  std::fwrite(utf8.data(), 1, utf8.size(), file);
  std::fclose(file);
  return 0;
}

// What a user would see cut off: every child's place within the client area.
int Layout(const Arguments& args) {
  HWND window = nullptr;
  if (!WaitFor([&] { return (window = TargetWindow(args.At(0))) != nullptr && IsWindowVisible(window); },
               kDefaultTimeout)) {
    return Fail(L"no shown window " + args.At(0));
  }
  RECT client{};
  GetClientRect(window, &client);
  Print(std::to_wstring(client.right) + L" " + std::to_wstring(client.bottom));
  for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    RECT bounds{};
    GetWindowRect(child, &bounds);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&bounds), 2);
    Print(std::to_wstring(GetDlgCtrlID(child)) + L" " + ClassOf(child) + L" " + std::to_wstring(bounds.left) +
          L" " + std::to_wstring(bounds.top) + L" " + std::to_wstring(bounds.right - bounds.left) + L" " +
          std::to_wstring(bounds.bottom - bounds.top) + L" " + (IsWindowVisible(child) ? L"1" : L"0"));
  }
  return 0;
}

// The vaccine's submenu: a second pop-up menu of kestrix, the one that
// opened last (Windows keeps the newer window in front, found first).
int VaccineSubmenu(const Arguments& args) {
  const bool open = args.At(0) == L"open";
  if (!open && args.At(0) != L"closed") return 2;
  HWND main = MainWindow();
  if (main == nullptr) return Fail(L"no main window");
  const DWORD kestrix = ProcessOf(main);
  std::vector<HWND> menus;
  const auto count = [&] {
    menus = TopLevelWindows([&](HWND window) {
      return IsWindowVisible(window) && ProcessOf(window) == kestrix && ClassOf(window) == L"#32768";
    });
    return menus.size();
  };
  if (!WaitFor([&] { return (count() >= 2) == open; }, args.Timeout(1)))
    return Fail(L"the submenu is not " + args.At(0) + L"; menus shown: " + std::to_wstring(menus.size()));
  if (!open) return 0;
  RECT bounds{};
  GetWindowRect(menus.front(), &bounds);
  Print(std::to_wstring(bounds.left) + L"," + std::to_wstring(bounds.top) + L" " +
        std::to_wstring(bounds.right - bounds.left) + L"x" + std::to_wstring(bounds.bottom - bounds.top));
  return 0;
}

int VaccineBalloon(const Arguments& args) {
  std::vector<std::wstring> texts;
  if (!WaitFor([&] { return !(texts = BalloonTexts()).empty(); }, args.Timeout(0)))
    return Fail(L"no balloon");
  for (const std::wstring& text : texts) Print(text);
  return 0;
}

// The quarantine window.

HWND QuarantineWindow() { return FindWindowW(KESTRIX_QUARANTINE_CLASS, nullptr); }

HWND QuarantineList() {
  HWND window = QuarantineWindow();
  return window != nullptr ? GetDlgItem(window, IDC_QUARANTINELIST) : nullptr;
}

int QuarantineWait(const Arguments& args) {
  const bool visible = args.At(0) == L"visible";
  if (!visible && args.At(0) != L"hidden") return 2;
  if (!WaitFor([&] { return (IsWindowVisible(QuarantineWindow()) != FALSE) == visible; }, args.Timeout(1)))
    return Fail(L"the quarantine window is not " + args.At(0));
  return 0;
}

int QuarantineRows(const Arguments&) {
  std::vector<std::wstring> rows;
  if (!ReadRows(rows, QuarantineList(), 5)) return Fail(L"cannot read the quarantine's list");
  for (const std::wstring& row : rows) Print(row);
  return 0;
}

int QuarantineWaitRows(const Arguments& args) {
  const int wanted = args.Id(0);
  if (!WaitFor([&] { return RowCount(QuarantineList()) == wanted; }, args.Timeout(1)))
    return Fail(L"the quarantine's list holds " + std::to_wstring(RowCount(QuarantineList())) + L" rows");
  return 0;
}

// LVM_SETITEMSTATE with its record in kestrix's memory; row -1 is every row.
bool SetRowState(HWND list, int row, UINT state, UINT mask) {
  RemoteBuffer buffer(list, sizeof(LVITEMW));
  LVITEMW item{};
  item.state = state;
  item.stateMask = mask;
  DWORD_PTR done = 0;
  return buffer.Valid() && buffer.Write(0, &item, sizeof item) &&
         SendMessageTimeoutW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row),
                             reinterpret_cast<LPARAM>(buffer.Address()), SMTO_ABORTIFHUNG, kSendTimeout,
                             &done) &&
         done != 0;
}

int QuarantineSelect(const Arguments& args) {
  HWND list = QuarantineList();
  if (list == nullptr || !SetRowState(list, -1, 0, LVIS_SELECTED)) return Fail(L"no quarantine list");
  for (std::size_t i = 0; i < args.Count(); ++i) {
    const UINT state = LVIS_SELECTED | (i == 0 ? LVIS_FOCUSED : 0);
    if (!SetRowState(list, args.Id(i) - 1, state, state)) return Fail(L"no row " + args.At(i));
  }
  return 0;
}

int QuarantineSelected(const Arguments&) {
  Print(SelectedRows(QuarantineList()));
  return 0;
}

int Selected(const Arguments&) {
  Print(SelectedRows(VirusList()));
  return 0;
}

// Posted, as a click: the button may open a modal box.
int QuarantineClick(const Arguments& args) {
  HWND button = nullptr;
  if (!WaitFor(
          [&] {
            HWND window = QuarantineWindow();
            button = window != nullptr && IsWindowVisible(window) ? GetDlgItem(window, args.Id(0)) : nullptr;
            return button != nullptr && IsWindowEnabled(button) && IsWindowEnabled(window);
          },
          args.Timeout(1))) {
    return Fail(L"no button " + args.At(0) + L" to press");
  }
  PostMessageW(button, BM_CLICK, 0, 0);
  return 0;
}

struct Action {
  const wchar_t* name;
  std::size_t requiredArguments;
  int (*run)(const Arguments&);
};

constexpr Action kActions[] = {
    {L"wait-main", 1, WaitMain},
    {L"wait-exit", 0, WaitExit},
    {L"rows", 0, Rows},
    {L"wait-rows", 1, WaitRows},
    {L"label", 1, Label},
    {L"wait-label", 2, WaitLabel},
    {L"click", 1, Click},
    {L"command", 1, Command},
    {L"close-main", 0, CloseMain},
    {L"query-end-session", 0, QueryEndSession},
    {L"wait-box", 1, WaitBox},
    {L"answer-box", 2, AnswerBox},
    {L"tray", 1, Tray},
    {L"wait-menu", 1, WaitMenu},
    {L"dismiss-menu", 0, DismissMenu},
    {L"wait-balloon", 1, WaitBalloon},
    {L"wait-process", 2, WaitProcess},
    {L"point", 2, Point},
    {L"wait-dialog", 1, WaitDialog},
    {L"click-dialog", 1, ClickDialog},
    {L"dialog-check", 1, DialogCheck},
    {L"dialog-status", 0, DialogStatus},
    {L"control-state", 2, ControlState},
    {L"check", 1, Check},
    {L"activate", 0, Activate},
    {L"keys", 2, Keys},
    {L"focus", 0, Focus},
    {L"syscommand", 1, SysCommand},
    {L"placement", 0, Placement},
    {L"resize", 2, Resize},
    {L"click-rows", 1, ClickRows},
    {L"selected", 0, Selected},
    {L"right-click-row", 1, RightClickRow},
    {L"row-point", 1, PrintRowPoint},
    {L"point-row", 1, PointRow},
    {L"wait-tip", 1, WaitTip},
    {L"device-event", 1, DeviceEvent},
    {L"copy-data", 1, CopyData},
    {L"remove-icon", 0, RemoveIcon},
    {L"taskbar-created", 0, TaskbarCreated},
    {L"wait-window", 1, WaitWindow},
    {L"record", 1, Record},
    {L"layout", 1, Layout},
    {L"vaccine-submenu", 1, VaccineSubmenu},
    {L"vaccine-balloon", 0, VaccineBalloon},
    {L"quarantine-wait", 1, QuarantineWait},
    {L"quarantine-rows", 0, QuarantineRows},
    {L"quarantine-wait-rows", 1, QuarantineWaitRows},
    {L"quarantine-select", 1, QuarantineSelect},
    {L"quarantine-selected", 0, QuarantineSelected},
    {L"quarantine-click", 1, QuarantineClick},
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  // Places and points in real pixels, whatever the scale kestrix runs at.
  SetProcessDPIAware();
  if (argc >= 2) {
    for (const Action& action : kActions) {
      if (argv[1] != std::wstring(action.name)) continue;
      Arguments args{std::vector<std::wstring>(argv + 2, argv + argc)};
      if (args.Count() < action.requiredArguments) break;
      const int result = action.run(args);
      if (result == 2) break;
      return result;
    }
  }
  std::fputs("usage: kestrix_driver ACTION [ARGUMENTS], see driver.cpp\n", stderr);
  return 2;
}
