#include "settings/options_dialog.h"

#include "settings/registry_values.h"
#include "settings/scan_settings.h"

namespace kestrix {

TConfigKestrix::TConfigKestrix(Registry& registry, OptionsDialogView& view, FlatCheckBox& autokillv,
                               std::string executablePath)
    : registry_(registry), view_(view), autokillv_(autokillv), executablePath_(std::move(executablePath)) {
  autokill.OnClick = [this] { autokillClick(); };
  autostart.OnClick = [this] { autostartClick(); };
  SkipFloopy.OnClick = [this] { SkipFloopyClick(); };
  autoimmunize.OnClick = [this] { autoimmunizeClick(); };
}

void TConfigKestrix::autokillClick() {
  autokillv_.SetChecked(autokill.Checked());
  if (!policy_.autoClean.has_value()) StoreShownOption(registry_, Shown(), kAutoKillValue);
  UpdateOptionStatus();
}

void TConfigKestrix::autostartClick() {
  if (!policy_.startWithWindows.has_value())
    StoreValue(registry_, kRunKey, kRunValue, autostart.Checked() ? RunCommand(executablePath_) : "");
  UpdateOptionStatus();
}

void TConfigKestrix::SkipFloopyClick() {
  // Sweeps of this run keep skipping as they started; the change counts
  // from the next start.
  if (!policy_.skipFloppies.has_value()) StoreShownOption(registry_, Shown(), kSkipFloopyValue);
}

// The sweeps of this run follow the box as it is now.
void TConfigKestrix::autoimmunizeClick() { StoreShownOption(registry_, Shown(), kAutoImmunizeValue); }

void TConfigKestrix::ApplyPolicy(const Policy& policy) {
  policy_ = policy;
  autokill.SetEnabled(!policy.autoClean.has_value());
  autostart.SetEnabled(!policy.startWithWindows.has_value());
  SkipFloopy.SetEnabled(!policy.skipFloppies.has_value());
  if (policy.autoClean.has_value() || policy.startWithWindows.has_value() || policy.skipFloppies.has_value())
    view_.ShowManagedNotice(kManagedNotice);
}

ShownOptions TConfigKestrix::Shown() const {
  ShownOptions shown;
  if (!policy_.autoClean.has_value()) shown.autoClean = autokill.Checked();
  if (!policy_.skipFloppies.has_value()) shown.skipFloppies = SkipFloopy.Checked();
  shown.autoImmunize = autoimmunize.Checked();
  return shown;
}

void TConfigKestrix::RzBitBtn1Click() { view_.Close(); }

void TConfigKestrix::UpdateOptionStatus() {
  std::string status(autostart.Checked() ? "自動執行," : "手動執行,");
  status += autokill.Checked() ? "自動掃毒。" : "手动杀毒。";
  view_.SetStatusText(status);
}

}  // namespace kestrix
