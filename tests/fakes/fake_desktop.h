// The Windows side of the main window, recorded: what the window shows,
// the notification area, timers and the application around them.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/tray_icon.h"
#include "settings/options_dialog.h"

namespace kestrix::testing {

struct FakeConsoleView final : ConsoleView {
  std::string caption = "Kestrix";
  std::string currentVirus;
  int progress = 0;
  bool killVirusEnabled = true;
  std::vector<SuspectEntry> rows;
  std::string totalNumber = "0";
  bool autoKillChecked = false;
  bool autoKillEnabled = true;
  std::optional<MainWindowPlaces> layout;

  void SetCurrentVirus(std::string_view text) override { currentVirus = text; }
  void SetTotalProgress(int position) override { progress = position; }
  void SetKillVirusEnabled(bool enabled) override { killVirusEnabled = enabled; }
  void SetCaption(std::string_view text) override { caption = text; }
  void ListCleared() override { rows.clear(); }
  void ListAppended(const SuspectEntry& entry) override { rows.push_back(entry); }
  void ListDeleted(std::size_t index) override {
    rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(index));
  }
  void ListChanged(std::size_t index, const SuspectEntry& entry) override { rows.at(index) = entry; }
  void SetTotalNumber(std::string_view text) override { totalNumber = text; }
  void SetAutoKillChecked(bool checked) override { autoKillChecked = checked; }
  void SetAutoKillEnabled(bool enabled) override { autoKillEnabled = enabled; }
  void ApplyLayout(const MainWindowPlaces& applied) override { layout = applied; }
};

struct FakeApplication final : Application {
  bool terminated = false;
  std::vector<std::pair<std::string, std::string>> errors;  // message, caption
  std::vector<std::string> about;
  std::vector<std::string> opened;
  std::string executablePath = "C:\\Program Files\\Kestrix\\kestrix.exe";

  void Terminate() override { terminated = true; }
  void ShowError(std::string_view message, std::string_view caption) override {
    errors.emplace_back(message, caption);
  }
  void ShowAbout(std::string_view title, std::string_view) override { about.emplace_back(title); }
  void OpenDocument(std::string_view address) override { opened.emplace_back(address); }
  std::string ExecutablePath() override { return executablePath; }
  std::string Now() override { return "2026/12/7 20:49:03"; }
};

struct FakeTimers final : Timers {
  std::map<int, int> running;  // id -> interval
  int starts = 0;
  void StartTimer(int id, int interval) override {
    running[id] = interval;
    ++starts;
  }
  void StopTimer(int id) override { running.erase(id); }
};

// A shell that keeps one icon: a second add, and updates of an icon that
// is not there, are refused.
struct FakeNotificationArea final : NotificationArea {
  bool present = false;
  std::vector<IconRecord> balloons;  // records that carried a balloon text
  std::vector<NotifyAction> calls;
  bool Notify(NotifyAction action, const IconRecord& record) override {
    calls.push_back(action);
    switch (action) {
      case NotifyAction::kAdd:
        if (present) return false;
        present = true;
        return true;
      case NotifyAction::kDelete:
        if (!present) return false;
        present = false;
        return true;
      default:
        if (present && (record.flags & kNifInfo) != 0 && !record.info.empty()) balloons.push_back(record);
        return present;
    }
  }
};

struct FakeTrayWindow final : TrayWindow {
  bool visible = false;
  bool minimized = false;
  bool Exists() const override { return true; }
  bool IsMinimized() const override { return minimized; }
  void Restore() override { minimized = false; }
  void Show() override { visible = true; }
  void BringToFront() override {}
  void Hide() override { visible = false; }
};

struct FakeDialogView final : OptionsDialogView {
  std::string status = std::string(kStatusReady);
  std::string notice;
  bool visible = false;
  int modalShows = 0;
  void SetStatusText(std::string_view text) override { status = text; }
  void ShowManagedNotice(std::string_view text) override { notice = text; }
  bool IsVisible() const override { return visible; }
  void ShowModal() override { ++modalShows; }
  void Close() override { visible = false; }
};

}  // namespace kestrix::testing
