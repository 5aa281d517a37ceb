// The flat check box of the widget kit, on the main window and on the
// options dialog. Assigning a state from code runs the click handler
// exactly as a user's click does, but only when the state changes; the
// settings cascades between the two auto-clean boxes rest on this. A
// disabled box (an option the administrator manages) ignores the user's
// clicks; code still sets its state.
#pragma once

#include <functional>

namespace kestrix {

class FlatCheckBox {
 public:
  explicit FlatCheckBox(bool checked) : checked_(checked) {}

  // The click handler.
  std::function<void()> OnClick;
  // The view redraws the box.
  std::function<void(bool checked)> OnPaint;
  // The view greys the box out, or brings it back.
  std::function<void(bool enabled)> OnEnable;

  bool Checked() const { return checked_; }
  bool Enabled() const { return enabled_; }

  void SetEnabled(bool enabled) {
    enabled_ = enabled;
    if (OnEnable) OnEnable(enabled_);
  }

  void SetChecked(bool checked) {
    if (checked == checked_) return;
    checked_ = checked;
    if (OnPaint) OnPaint(checked_);
    if (OnClick) OnClick();
  }

  // The user clicked the box.
  void Click() {
    if (enabled_) SetChecked(!checked_);
  }

 private:
  bool checked_;
  bool enabled_ = true;
};

}  // namespace kestrix
