#include "app/win32/options_window.h"

#include <commctrl.h>

#include <cstring>
#include <span>

#include "app/jpeg_picture.h"
#include "app/win32/console_window.h"
#include "app/win32/control_ids.h"
#include "app/win32/win32_ui.h"
#include "platform/win32/win32_machine.h"
#include "resource_ids.h"

namespace kestrix::win32 {

namespace {

// The dialog's picture: a JPEG in the program's resources. A picture that
// cannot be decoded leaves its area blank.
HBITMAP LoadPicture(HINSTANCE instance) {
  HRSRC resource = FindResourceW(instance, MAKEINTRESOURCEW(IDR_OPTIONS_PICTURE), MAKEINTRESOURCEW(10));
  if (resource == nullptr) return nullptr;
  HGLOBAL loaded = LoadResource(instance, resource);
  const auto* bytes = static_cast<const std::uint8_t*>(LockResource(loaded));
  if (bytes == nullptr) return nullptr;
  const auto picture = DecodeJpeg(std::span(bytes, SizeofResource(instance, resource)));
  if (!picture) return nullptr;

  BITMAPINFO format{};
  format.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  format.bmiHeader.biWidth = picture->width;
  format.bmiHeader.biHeight = -picture->height;  // top-down rows
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 24;
  format.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(nullptr, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap == nullptr) return nullptr;
  // Rows of a DIB are padded to four bytes.
  const std::size_t row = static_cast<std::size_t>(picture->width) * 3;
  const std::size_t stride = (row + 3) & ~std::size_t{3};
  for (int y = 0; y < picture->height; ++y) {
    std::memcpy(static_cast<std::uint8_t*>(bits) + stride * y, picture->bgr.data() + row * y, row);
  }
  return bitmap;
}

constexpr int kClientWidth = 274;
constexpr int kClientHeight = 202;
constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTEXTHELP;

}  // namespace

OptionsWindow::OptionsWindow(HINSTANCE instance, ConsoleWindow& console, Registry& registry)
    : instance_(instance), console_(console) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = ForwardMessages<OptionsWindow, &OptionsWindow::OnMessage>;
  windowClass.hInstance = instance;
  windowClass.hIcon = console.BigIcon();
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = KESTRIX_OPTIONS_CLASS;
  RegisterClassExW(&windowClass);

  RECT bounds{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&bounds, kStyle, FALSE, kExStyle);
  window_ = CreateWindowExW(kExStyle, KESTRIX_OPTIONS_CLASS, Widen("Kestrix選項").c_str(), kStyle,
                            CW_USEDEFAULT, CW_USEDEFAULT, bounds.right - bounds.left,
                            bounds.bottom - bounds.top, console.Handle(), nullptr, instance, this);
  logic_.emplace(registry, *this, console.Logic().autokillv, console.ExecutablePath());
  for (auto [box, id] :
       {std::pair{&logic_->autokill, IDC_AUTOKILL}, std::pair{&logic_->autostart, IDC_AUTOSTART},
        std::pair{&logic_->SkipFloopy, IDC_SKIPFLOOPY}}) {
    HWND control = GetDlgItem(window_, id);
    box->OnPaint = [control](bool checked) {
      SendMessageW(control, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
    };
    box->OnPaint(box->Checked());
  }
}

OptionsWindow::~OptionsWindow() {
  if (window_ != nullptr) DestroyWindow(window_);
}

void OptionsWindow::CreateControls() {
  const HFONT font = console_.Font();
  const auto add = [&](const wchar_t* className, std::string_view text, DWORD style, int id, RECT bounds) {
    return CreateControl(window_, 0, className, text, style | WS_CLIPSIBLINGS, id, bounds, font);
  };
  // The two group boxes overlap by 7 pixels.
  HWND image = add(L"STATIC", "", SS_BITMAP, IDC_IMAGE1, {0, 0, 100, 175});
  if (HBITMAP picture = LoadPicture(instance_)) {
    SendMessageW(image, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(picture));
  }
  add(L"BUTTON", "", BS_GROUPBOX, IDC_GROUPBOX1, {104, 0, 169, 51});
  add(L"BUTTON", "", BS_GROUPBOX, IDC_GROUPBOX2, {104, 44, 169, 132});
  add(L"STATIC", "    Kestrix會將這些設定儲存在登錄檔中。", SS_LEFT | SS_NOPREFIX, IDC_STATICTEXT1,
      {112, 13, 153, 26});
  add(L"BUTTON", "自動清除病毒(&A)", BS_CHECKBOX | BS_FLAT | WS_TABSTOP, IDC_AUTOKILL, {123, 60, 114, 15});
  add(L"BUTTON", "自動啟動(&S)", BS_CHECKBOX | BS_FLAT | WS_TABSTOP, IDC_AUTOSTART, {123, 82, 89, 15});
  add(L"BUTTON", "完成(&C)", BS_PUSHBUTTON | BS_FLAT | WS_TABSTOP, IDC_FLATBUTTON1, {184, 144, 82, 25});
  add(L"BUTTON", "不檢查A,B磁碟(&F)", BS_CHECKBOX | BS_FLAT | WS_TABSTOP, IDC_SKIPFLOOPY,
      {123, 104, 118, 15});
  HWND status = add(STATUSCLASSNAMEW, "", 0, IDC_STATUSBAR, {0, 180, kClientWidth, 22});
  int parts[] = {60, -1};
  SendMessageW(status, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(parts));
  SendMessageW(status, SB_SETTEXTW, 0 | SBT_NOBORDERS, reinterpret_cast<LPARAM>(Widen("目前狀態：").c_str()));
  SetStatusText(kStatusReady);

  // New controls go beneath the earlier ones; the group boxes must lie
  // beneath everything they frame.
  for (int box : {IDC_GROUPBOX2, IDC_GROUPBOX1}) {
    SetWindowPos(GetDlgItem(window_, box), HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }

  HWND tooltip =
      CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr, instance_, nullptr);
  AddHint(tooltip, GetDlgItem(window_, IDC_AUTOKILL), "自動清除病毒");
  AddHint(tooltip, GetDlgItem(window_, IDC_AUTOSTART), "開機啟動");
}

void OptionsWindow::SetStatusText(std::string_view text) {
  SendMessageW(GetDlgItem(window_, IDC_STATUSBAR), SB_SETTEXTW, 1,
               reinterpret_cast<LPARAM>(Widen(text).c_str()));
}

void OptionsWindow::ShowModal() {
  HWND owner = console_.Handle();
  RECT bounds{};
  GetWindowRect(window_, &bounds);
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  SetWindowPos(window_, HWND_TOP, work.left + (work.right - work.left - (bounds.right - bounds.left)) / 2,
               work.top + (work.bottom - work.top - (bounds.bottom - bounds.top)) / 2, 0, 0, SWP_NOSIZE);
  EnableWindow(owner, FALSE);
  ShowWindow(window_, SW_SHOW);
  SetForegroundWindow(window_);
  MSG message;
  while (IsWindowVisible(window_)) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got <= 0) {
      // The program is ending: the main loop must still see the quit.
      if (got == 0) PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    if (IsDialogMessageW(window_, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  EnableWindow(owner, TRUE);
  ShowWindow(window_, SW_HIDE);
  SetForegroundWindow(owner);
}

void OptionsWindow::Close() { ShowWindow(window_, SW_HIDE); }

LRESULT OptionsWindow::OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_NCCREATE:
      window_ = window;
      return DefWindowProcW(window, message, wParam, lParam);
    case WM_CREATE:
      CreateControls();
      return 0;
    case WM_CLOSE:
      Close();
      return 0;
    case WM_COMMAND: {
      if (!logic_) return 0;
      TConfigKestrix& logic = *logic_;
      Tconsole& console = console_.Logic();
      switch (LOWORD(wParam)) {
        case IDC_AUTOKILL:
          console.Dispatch([&] { logic.autokill.Click(); });
          break;
        case IDC_AUTOSTART:
          console.Dispatch([&] { logic.autostart.Click(); });
          break;
        case IDC_SKIPFLOOPY:
          console.Dispatch([&] { logic.SkipFloopy.Click(); });
          break;
        case IDC_FLATBUTTON1:
        case IDCANCEL:
          console.Dispatch([&] { logic.RzBitBtn1Click(); });
          break;
        default:
          break;
      }
      return 0;
    }
    default:
      return DefWindowProcW(window_, message, wParam, lParam);
  }
}

}  // namespace kestrix::win32
