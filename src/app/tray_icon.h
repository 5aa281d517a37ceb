// The notification-area icon: its tip, its balloons, the mouse on it, and
// showing or hiding the main window. This is the portable model of the
// shell icon record; the Windows program hands the record to
// Shell_NotifyIconW and routes the shell's callbacks here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kestrix {

enum class NotifyAction : std::uint32_t { kAdd = 0, kModify = 1, kDelete = 2, kSetVersion = 4 };

inline constexpr std::uint32_t kNifMessage = 0x1;
inline constexpr std::uint32_t kNifIcon = 0x2;
inline constexpr std::uint32_t kNifTip = 0x4;
inline constexpr std::uint32_t kNifInfo = 0x10;
inline constexpr std::uint32_t kTrayCallbackMessage = 0x800;

// Room in the record's text fields, in UTF-16 units, without the final NUL.
inline constexpr std::size_t kTipUnits = 127;
inline constexpr std::size_t kInfoUnits = 255;
inline constexpr std::size_t kInfoTitleUnits = 63;

// The fields of the shell icon record that change while the program runs.
struct IconRecord {
  std::uint32_t flags = kNifMessage | kNifIcon | kNifTip;
  std::u16string tip;                  // at most kTipUnits
  std::u16string info;                 // balloon text, at most kInfoUnits
  std::u16string infoTitle;            // at most kInfoTitleUnits
  std::uint32_t timeoutOrVersion = 0;  // balloon time-out in ms, or the version for kSetVersion
  std::uint32_t infoFlags = 0;         // the balloon's icon: BalloonKind's value
};

// The shell's notification area.
class NotificationArea {
 public:
  virtual ~NotificationArea() = default;
  // True when the shell accepted the call.
  virtual bool Notify(NotifyAction action, const IconRecord& record) = 0;
};

// The main window as the tray icon shows and hides it.
class TrayWindow {
 public:
  virtual ~TrayWindow() = default;
  // False until the main window exists.
  virtual bool Exists() const = 0;
  virtual bool IsMinimized() const = 0;
  // Back from minimized to normal size.
  virtual void Restore() = 0;
  virtual void Show() = 0;
  virtual void BringToFront() = 0;
  // Hides the window and its taskbar button.
  virtual void Hide() = 0;
};

// UTF-8 to UTF-16, cut to at most `units` without splitting a surrogate
// pair. Invalid UTF-8 becomes U+FFFD.
std::u16string ToUtf16Cut(std::string_view text, std::size_t units);

// The mouse messages the shell reports for the icon (the lParam of the callback).
inline constexpr std::uint32_t kMouseLeftDown = 0x0201;
inline constexpr std::uint32_t kMouseLeftUp = 0x0202;
inline constexpr std::uint32_t kMouseLeftDoubleClick = 0x0203;
inline constexpr std::uint32_t kMouseRightDown = 0x0204;
inline constexpr std::uint32_t kMouseRightUp = 0x0205;

class TCoolTrayIcon final : public Balloons {
 public:
  TCoolTrayIcon(NotificationArea& area, TrayWindow& window);

  // Raised on a double-click with the left button.
  std::function<void()> OnDblClick;
  // Raised once by Startup(); clearing the flag keeps the main window hidden.
  std::function<void(bool& showMainForm)> OnStartup;
  // Opens the tray menu at the cursor (the right button went down).
  std::function<void()> OnPopupMenu;

  // Setting the tip, or ShowHint, updates the icon. An empty tip or
  // ShowHint off gives no tip.
  void SetHint(std::string_view hint);
  const std::string& Hint() const { return hint_; }
  void SetShowHint(bool showHint);
  // Adds the icon (true) or removes it (false) on every assignment, also
  // when the value does not change.
  void SetIconVisible(bool visible);
  bool IconVisible() const { return iconVisible_; }
  void SetEnabled(bool enabled) { enabled_ = enabled; }
  // The icon image changed: updates the icon.
  void IconChanged();

  bool AddTrayIcon();
  bool RemoveTrayIcon();
  bool UpdateTrayIcon();

  // Shows a balloon: title and text cut to fit, time-out in whole seconds
  // passed to the shell in milliseconds. True when the shell took it.
  bool ShowBalloon(std::string_view title, std::string_view text, BalloonKind kind,
                   int timeoutSeconds) override;

  // A restored, visible main window in front of all others.
  void ShowMainWindow();
  // The main window and its taskbar button hidden; only the icon remains.
  void HideMainWindow();

  // Once all of the main window's properties are set: raises OnStartup,
  // hides the main window if asked to, and selects the shell's plain
  // mouse messages (version 0).
  void Startup();

  // The shell's callback message for this icon (lParam: the mouse message).
  void HandleCallback(std::uint32_t mouseMessage);
  // The main window was minimized: it goes to the tray.
  void WindowMinimized();
  // SC_RESTORE reached the main window.
  void RestoreRequested();
  // The taskbar was created anew: the icon is added again if it was shown.
  void TaskbarCreated();

  // The record as last handed to the shell (for the Windows layer and tests).
  const IconRecord& Record() const { return record_; }

 private:
  // Refreshes the tip before every shell call.
  void Prepare();

  NotificationArea& area_;
  TrayWindow& window_;
  IconRecord record_;
  std::string hint_;
  bool showHint_ = true;
  bool iconVisible_ = false;
  bool enabled_ = true;
};

}  // namespace kestrix
