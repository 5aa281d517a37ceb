#include "app/win32/options_window.h"

#include <commctrl.h>

#include <cstring>
#include <span>

#include "app/jpeg_picture.h"
#include "app/win32/control_ids.h"
#include "app/win32/win32_ui.h"
#include "platform/win32/win32_machine.h"
#include "resource_ids.h"

namespace kestrix::win32 {

namespace {

// The dialog's picture: a JPEG in the program's resources, at the size its
// control has at the dialog's scale. A picture that cannot be decoded
// leaves its area blank.
HBITMAP LoadPicture(HINSTANCE instance, int width, int height) {
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
  if (width == picture->width && height == picture->height) return bitmap;

  // Smoothly stretched, not pixel-doubled: a photograph, not a glyph.
  HDC screen = GetDC(nullptr);
  HDC from = CreateCompatibleDC(screen);
  HDC to = CreateCompatibleDC(screen);
  HBITMAP scaled = CreateCompatibleBitmap(screen, width, height);
  ReleaseDC(nullptr, screen);
  if (scaled != nullptr) {
    HGDIOBJ oldFrom = SelectObject(from, bitmap);
    HGDIOBJ oldTo = SelectObject(to, scaled);
    SetStretchBltMode(to, HALFTONE);
    SetBrushOrgEx(to, 0, 0, nullptr);
    StretchBlt(to, 0, 0, width, height, from, 0, 0, picture->width, picture->height, SRCCOPY);
    SelectObject(from, oldFrom);
    SelectObject(to, oldTo);
  }
  DeleteDC(from);
  DeleteDC(to);
  DeleteObject(bitmap);
  return scaled;
}

constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTEXTHELP;

}  // namespace

OptionsWindow::OptionsWindow(HINSTANCE instance, HWND owner, HICON icon, Tconsole& console,
                             Registry& registry)
    : instance_(instance), owner_(owner), console_(console) {
  RegisterWindowClass(instance, KESTRIX_OPTIONS_CLASS,
                      ForwardMessages<OptionsWindow, &OptionsWindow::OnMessage>, icon);

  dpi_ = SystemDpi();
  font_ = CreateTahoma(false, dpi_);
  const SIZE outer = OuterSize(ScaleForDpi(kOptionsClientWidth, dpi_),
                               ScaleForDpi(kOptionsClientHeight, dpi_), kStyle, kExStyle, dpi_);
  window_ = CreateWindowExW(kExStyle, KESTRIX_OPTIONS_CLASS, Widen("Kestrix選項").c_str(), kStyle,
                            CW_USEDEFAULT, CW_USEDEFAULT, outer.cx, outer.cy, owner, nullptr, instance, this);
  // Its monitor may have another scale than the system's.
  if (const int dpi = DpiOf(window_); dpi != dpi_) {
    RECT bounds{};
    GetWindowRect(window_, &bounds);
    const SIZE scaled = OuterSize(ScaleForDpi(kOptionsClientWidth, dpi),
                                  ScaleForDpi(kOptionsClientHeight, dpi), kStyle, kExStyle, dpi);
    OnDpiChanged(dpi, {bounds.left, bounds.top, bounds.left + scaled.cx, bounds.top + scaled.cy});
  }
  logic_.emplace(registry, *this, console.autokillv, ExecutablePath());
  for (auto [box, id] :
       {std::pair{&logic_->autokill, IDC_AUTOKILL}, std::pair{&logic_->autostart, IDC_AUTOSTART},
        std::pair{&logic_->SkipFloopy, IDC_SKIPFLOOPY}, std::pair{&logic_->autoimmunize, IDC_AUTOIMMUNIZE}}) {
    HWND control = GetDlgItem(window_, id);
    box->OnPaint = [control](bool checked) {
      SendMessageW(control, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
    };
    box->OnPaint(box->Checked());
    // A disabled button gets no clicks and its Alt letter passes it by.
    box->OnEnable = [control](bool enabled) { EnableWindow(control, enabled); };
  }
}

OptionsWindow::~OptionsWindow() {
  if (window_ != nullptr) DestroyWindow(window_);
  if (picture_ != nullptr) DeleteObject(picture_);
  if (font_ != nullptr) DeleteObject(font_);
}

void OptionsWindow::CreateControls() {
  const OptionsPlaces places = PlaceOptionsDialog(dpi_);
  const auto add = [&](const wchar_t* className, std::string_view text, DWORD style, int id,
                       const Place& place) {
    return CreateControl(window_, 0, className, text, style | WS_CLIPSIBLINGS, id,
                         {place.left, place.top, place.width, place.height}, font_);
  };
  // The two group boxes overlap by 7 pixels.
  add(L"STATIC", "", SS_BITMAP, IDC_IMAGE1, places.image1);
  add(L"BUTTON", "", BS_GROUPBOX, IDC_GROUPBOX1, places.groupBox1);
  add(L"BUTTON", "", BS_GROUPBOX, IDC_GROUPBOX2, places.groupBox2);
  add(L"STATIC", "    Kestrix會將這些設定儲存在登錄檔中。", SS_LEFT | SS_NOPREFIX, IDC_STATICTEXT1,
      places.staticText1);
  add(L"BUTTON", "自動清除病毒(&A)", BS_CHECKBOX | BS_FLAT | WS_TABSTOP, IDC_AUTOKILL, places.autokill);
  add(L"BUTTON", "自動啟動(&S)", BS_CHECKBOX | BS_FLAT | WS_TABSTOP, IDC_AUTOSTART, places.autostart);
  add(L"BUTTON", "完成(&C)", BS_PUSHBUTTON | BS_FLAT | WS_TABSTOP, IDC_FLATBUTTON1, places.flatButton1);
  add(L"BUTTON", "不檢查A,B磁碟(&F)", BS_CHECKBOX | BS_FLAT | WS_TABSTOP, IDC_SKIPFLOOPY, places.skipFloopy);
  // Two lines where the text is wider than the box.
  add(L"BUTTON", "掃描後自動保護乾淨的隨身碟(&V)", BS_CHECKBOX | BS_FLAT | BS_MULTILINE | WS_TABSTOP,
      IDC_AUTOIMMUNIZE, places.autoimmunize);
  HWND status = add(STATUSCLASSNAMEW, "", 0, IDC_STATUSBAR, places.statusBar);
  SetPicture();
  SetStatusParts();
  SendMessageW(status, SB_SETTEXTW, 0 | SBT_NOBORDERS, reinterpret_cast<LPARAM>(Widen("目前狀態：").c_str()));
  SetStatusText(kStatusReady);

  // New controls go beneath the earlier ones; the group boxes must lie
  // beneath everything they frame.
  for (int box : {IDC_GROUPBOX2, IDC_GROUPBOX1}) {
    SetWindowPos(GetDlgItem(window_, box), HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }

  tooltip_ =
      CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr, instance_, nullptr);
  AddHint(tooltip_, GetDlgItem(window_, IDC_AUTOKILL), "自動清除病毒");
  AddHint(tooltip_, GetDlgItem(window_, IDC_AUTOSTART), "開機啟動");
}

void OptionsWindow::SetPicture() {
  const Place place = PlaceOptionsDialog(dpi_).image1;
  HBITMAP picture = LoadPicture(instance_, place.width, place.height);
  if (picture == nullptr) return;
  SendMessageW(GetDlgItem(window_, IDC_IMAGE1), STM_SETIMAGE, IMAGE_BITMAP,
               reinterpret_cast<LPARAM>(picture));
  if (picture_ != nullptr) DeleteObject(picture_);
  picture_ = picture;
}

void OptionsWindow::SetStatusParts() {
  int parts[] = {PlaceOptionsDialog(dpi_).statusPart0, -1};
  SendMessageW(GetDlgItem(window_, IDC_STATUSBAR), SB_SETPARTS, 2, reinterpret_cast<LPARAM>(parts));
}

void OptionsWindow::OnDpiChanged(int dpi, const RECT& suggested) {
  dpi_ = dpi;
  HFONT old = font_;
  font_ = CreateTahoma(false, dpi_);
  SetChildFonts(window_, font_);
  if (tooltip_ != nullptr) SendMessageW(tooltip_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
  if (old != nullptr) DeleteObject(old);
  SetWindowPos(window_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  const OptionsPlaces places = PlaceOptionsDialog(dpi_, notice_);
  for (const auto& [id, place] :
       {std::pair{IDC_IMAGE1, places.image1}, std::pair{IDC_GROUPBOX1, places.groupBox1},
        std::pair{IDC_GROUPBOX2, places.groupBox2}, std::pair{IDC_STATICTEXT1, places.staticText1},
        std::pair{IDC_AUTOKILL, places.autokill}, std::pair{IDC_AUTOSTART, places.autostart},
        std::pair{IDC_FLATBUTTON1, places.flatButton1}, std::pair{IDC_SKIPFLOOPY, places.skipFloopy},
        std::pair{IDC_AUTOIMMUNIZE, places.autoimmunize}, std::pair{IDC_MANAGEDNOTICE, places.notice}}) {
    if (HWND control = GetDlgItem(window_, id)) PlaceControl(control, place);
  }
  SetPicture();
  // The status bar finds its own place along the bottom.
  SendMessageW(GetDlgItem(window_, IDC_STATUSBAR), WM_SIZE, 0, 0);
  SetStatusParts();
  RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void OptionsWindow::SetStatusText(std::string_view text) {
  SendMessageW(GetDlgItem(window_, IDC_STATUSBAR), SB_SETTEXTW, 1,
               reinterpret_cast<LPARAM>(Widen(text).c_str()));
}

void OptionsWindow::ShowManagedNotice(std::string_view text) {
  if (HWND shown = GetDlgItem(window_, IDC_MANAGEDNOTICE)) {
    SetWindowTextW(shown, Widen(text).c_str());
    return;
  }
  notice_ = true;
  CreateControl(window_, 0, L"STATIC", text, SS_LEFT | SS_NOPREFIX | WS_CLIPSIBLINGS, IDC_MANAGEDNOTICE,
                {0, 0, 0, 0}, font_);
  // The dialog grows by the notice's line; everything is placed again.
  RECT bounds{};
  GetWindowRect(window_, &bounds);
  const SIZE outer =
      OuterSize(ScaleForDpi(kOptionsClientWidth, dpi_),
                ScaleForDpi(kOptionsClientHeight + kOptionsNoticeHeight, dpi_), kStyle, kExStyle, dpi_);
  OnDpiChanged(dpi_, {bounds.left, bounds.top, bounds.left + outer.cx, bounds.top + outer.cy});
}

void OptionsWindow::ShowModal() {
  HWND owner = owner_;
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
    case WM_DPICHANGED:
      OnDpiChanged(LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_COMMAND: {
      if (!logic_) return 0;
      TConfigKestrix& logic = *logic_;
      Tconsole& console = console_;
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
        case IDC_AUTOIMMUNIZE:
          console.Dispatch([&] { logic.autoimmunize.Click(); });
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
