// The main window's views with nothing to show, for tests and benchmarks
// that sweep real machines; a test may hook into the message pump.
#pragma once

#include <functional>

#include "detect/drive_sweep.h"

namespace kestrix::testing {

struct QuietView final : SweepView, SuspectListView, MessagePump {
  std::function<void()> onPump;

  void SetCurrentVirus(std::string_view) override {}
  void SetTotalProgress(int) override {}
  void SetKillVirusEnabled(bool) override {}
  void ListCleared() override {}
  void ListAppended(const SuspectEntry&) override {}
  void ListDeleted(std::size_t) override {}
  void ListChanged(std::size_t, const SuspectEntry&) override {}
  void SetTotalNumber(std::string_view) override {}
  void ShowMainWindow() override {}
  void PumpMessages() override {
    if (onPump) onPump();
  }
};

}  // namespace kestrix::testing
