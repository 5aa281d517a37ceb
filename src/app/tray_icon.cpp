#include "app/tray_icon.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <utf8.h>

namespace kestrix {

namespace {

constexpr std::uint32_t kPlainFlags = kNifMessage | kNifIcon | kNifTip;

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

// The shell takes the time-out in milliseconds as an unsigned field.
std::uint32_t Milliseconds(int seconds) {
  constexpr long long kMax = std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(std::clamp(static_cast<long long>(seconds) * 1000, 0LL, kMax));
}

}  // namespace

std::u16string ToUtf16Cut(std::string_view text, std::size_t units) {
  std::string valid;
  utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(valid));
  std::u16string wide;
  utf8::utf8to16(valid.begin(), valid.end(), std::back_inserter(wide));
  if (wide.size() > units) {
    wide.resize(units);
    // Half a pair would show as garbage; drop the whole character instead.
    if (!wide.empty() && IsHighSurrogate(wide.back())) wide.pop_back();
  }
  return wide;
}

TCoolTrayIcon::TCoolTrayIcon(NotificationArea& area, TrayWindow& window) : area_(area), window_(window) {}

void TCoolTrayIcon::SetHint(std::string_view hint) {
  hint_ = hint;
  UpdateTrayIcon();
}

void TCoolTrayIcon::SetShowHint(bool showHint) {
  showHint_ = showHint;
  UpdateTrayIcon();
}

// The shell may have dropped the icon behind our back (Explorer restarted,
// another program's call failed), so even an unchanged value is sent again.
void TCoolTrayIcon::SetIconVisible(bool visible) { visible ? AddTrayIcon() : RemoveTrayIcon(); }

void TCoolTrayIcon::IconChanged() { UpdateTrayIcon(); }

void TCoolTrayIcon::Prepare() {
  record_.tip = showHint_ && !hint_.empty() ? ToUtf16Cut(hint_, kTipUnits) : std::u16string();
}

bool TCoolTrayIcon::AddTrayIcon() {
  iconVisible_ = true;
  Prepare();
  return area_.Notify(NotifyAction::kAdd, record_);
}

bool TCoolTrayIcon::RemoveTrayIcon() {
  iconVisible_ = false;
  Prepare();
  return area_.Notify(NotifyAction::kDelete, record_);
}

// No check of iconVisible_: the shell itself refuses a modify for an icon it
// does not hold, and that refusal is the answer callers get.
bool TCoolTrayIcon::UpdateTrayIcon() {
  Prepare();
  return area_.Notify(NotifyAction::kModify, record_);
}

bool TCoolTrayIcon::ShowBalloon(std::string_view title, std::string_view text, BalloonKind kind,
                                int timeoutSeconds) {
  // An info update with empty text takes down a balloon still showing, so the
  // new one is not queued behind it.
  record_.flags |= kNifInfo;
  record_.info.clear();
  UpdateTrayIcon();

  record_.info = ToUtf16Cut(text, kInfoUnits);
  record_.infoTitle = ToUtf16Cut(title, kInfoTitleUnits);
  record_.timeoutOrVersion = Milliseconds(timeoutSeconds);
  record_.infoFlags = static_cast<std::uint32_t>(kind);
  const bool shown = UpdateTrayIcon();

  // Later updates (a new tip, a new image) must not show the balloon again.
  record_.flags = kPlainFlags;
  return shown;
}

void TCoolTrayIcon::ShowMainWindow() {
  if (!window_.Exists()) return;
  // Showing a minimized window would leave it minimized on the taskbar.
  if (window_.IsMinimized()) window_.Restore();
  window_.Show();
  window_.BringToFront();
}

void TCoolTrayIcon::HideMainWindow() {
  if (!window_.Exists()) return;
  window_.Hide();
}

void TCoolTrayIcon::Startup() {
  bool showMainForm = true;
  if (OnStartup) OnStartup(showMainForm);
  if (!showMainForm) HideMainWindow();

  UpdateTrayIcon();
  SetIconVisible(iconVisible_);
  // Version 0: the shell sends the plain mouse messages HandleCallback expects.
  record_.timeoutOrVersion = 0;
  area_.Notify(NotifyAction::kSetVersion, record_);
}

void TCoolTrayIcon::HandleCallback(std::uint32_t mouseMessage) {
  if (!enabled_) return;
  switch (mouseMessage) {
    case kMouseLeftDoubleClick:
      if (OnDblClick) OnDblClick();
      break;
    case kMouseRightDown:
      if (OnPopupMenu) OnPopupMenu();
      break;
    default:
      break;
  }
}

void TCoolTrayIcon::WindowMinimized() {
  HideMainWindow();
  SetIconVisible(true);
}

void TCoolTrayIcon::RestoreRequested() {
  if (!window_.Exists()) return;
  if (window_.IsMinimized()) window_.Restore();
  window_.Show();
}

// A new taskbar starts with no icons; ours comes back only if it was shown.
void TCoolTrayIcon::TaskbarCreated() {
  if (iconVisible_) AddTrayIcon();
}

}  // namespace kestrix
