// The flat check box of the widget kit, on the main window and on the
// options dialog. Assigning a state from code runs the click handler
// exactly as a user's click does, but only when the state changes; the
// settings cascades between the two auto-clean boxes rest on this.
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

  bool Checked() const { return checked_; }

  void SetChecked(bool checked) {
    if (checked == checked_) return;
    checked_ = checked;
    if (OnPaint) OnPaint(checked_);
    if (OnClick) OnClick();
  }

  // The user clicked the box.
  void Click() { SetChecked(!checked_); }

 private:
  bool checked_;
};

}  // namespace kestrix
