// The options dialog's logic: its check boxes store their option in
// the registry the moment they change, and the status bar tells how the
// program starts and cleans. An option the administrator manages shows the
// policy's value in a greyed box, and a notice says why.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"
#include "settings/flat_check_box.h"
#include "settings/policy.h"
#include "settings/scan_settings.h"

namespace kestrix {

// What the dialog window does for its logic.
class OptionsDialogView {
 public:
  virtual ~OptionsDialogView() = default;
  // The second panel of the status bar.
  virtual void SetStatusText(std::string_view text) = 0;
  // Shows the line that explains the greyed boxes.
  virtual void ShowManagedNotice(std::string_view text) = 0;
  virtual bool IsVisible() const = 0;
  // Shows the dialog modally; returns when it is closed.
  virtual void ShowModal() = 0;
  virtual void Close() = 0;
};

inline constexpr std::string_view kStatusReady = "準備就緒。";
inline constexpr std::string_view kManagedNotice = "灰色的選項由系統管理員管理。";

class TConfigKestrix {
 public:
  // `autokillv` is the main window's auto-clean box, which mirrors `autokill`.
  TConfigKestrix(Registry& registry, OptionsDialogView& view, FlatCheckBox& autokillv,
                 std::string executablePath);
  TConfigKestrix(const TConfigKestrix&) = delete;
  TConfigKestrix& operator=(const TConfigKestrix&) = delete;

  FlatCheckBox autokill{false};
  FlatCheckBox autostart{false};
  FlatCheckBox SkipFloopy{true};
  FlatCheckBox autoimmunize{false};

  void autokillClick();
  void autostartClick();
  void SkipFloopyClick();
  void autoimmunizeClick();
  // "完成(&C)": closes the dialog; everything is stored already.
  void RzBitBtn1Click();
  void UpdateOptionStatus();
  // Greys out the boxes of the options the policy manages, before they take
  // their values: a managed option is never stored.
  void ApplyPolicy(const Policy& policy);

  bool Visible() const { return view_.IsVisible(); }
  void ShowModal() { view_.ShowModal(); }
  // The options of the settings key as the boxes show them.
  ShownOptions Shown() const;

 private:
  Registry& registry_;
  OptionsDialogView& view_;
  FlatCheckBox& autokillv_;
  std::string executablePath_;
  Policy policy_;
};

}  // namespace kestrix
