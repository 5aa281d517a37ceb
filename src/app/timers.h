// Timers used as one-shot delays: a handler switches its own timer off
// first. Switching on a timer that is on already changes nothing, so any
// number of requests before the tick lead to one tick.
#pragma once

namespace kestrix {

// The system's timers, by number.
class Timers {
 public:
  virtual ~Timers() = default;
  virtual void StartTimer(int id, int intervalMilliseconds) = 0;
  virtual void StopTimer(int id) = 0;
};

class OneShotTimer {
 public:
  OneShotTimer(Timers& timers, int id, int intervalMilliseconds, bool enabled)
      : timers_(timers), id_(id), interval_(intervalMilliseconds) {
    SetEnabled(enabled);
  }

  void SetEnabled(bool enabled) {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    if (enabled_) {
      timers_.StartTimer(id_, interval_);
    } else {
      timers_.StopTimer(id_);
    }
  }
  bool Enabled() const { return enabled_; }
  int Id() const { return id_; }

 private:
  Timers& timers_;
  int id_;
  int interval_;
  bool enabled_ = false;
};

}  // namespace kestrix
