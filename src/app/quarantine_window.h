// The quarantine window's logic: the files both programs kept, newest
// first, and what the user does with them (put them back, where they were
// or in another folder, or forget them). The Windows window turns messages
// into calls on this class and shows what it is told.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "remedy/event_reports.h"
#include "remedy/quarantine.h"

namespace kestrix {

inline constexpr std::string_view kQuarantineTitle = "隔離區";
// While the window is shown, it lists the store again this often, so that
// what the other program keeps, restores or purges shows.
inline constexpr int kQuarantineRefreshMilliseconds = 2000;
// MB_OK | MB_ICONWARNING, as Windows numbers them.
inline constexpr unsigned kQuarantineNotice = 0x30;

// One kept file as the window's list shows it.
struct QuarantineRow {
  std::size_t store = 0;  // 0: the store this program keeps in; 1: the other one
  QuarantineRecord record;
  std::string time;  // local, in the system's short date and long time
  std::string size;  // in bytes, thousands grouped
  std::string why;   // why it was listed, or its damage
  bool operator==(const QuarantineRow& other) const {
    return store == other.store && record.id == other.record.id && time == other.time &&
           record.path == other.record.path && size == other.size &&
           record.category == other.record.category && why == other.why;
  }
};

// The window as the logic sees it.
class QuarantineView {
 public:
  virtual ~QuarantineView() = default;
  // Replaces the rows; `selected` are indexes into `rows`.
  virtual void ShowRows(const std::vector<QuarantineRow>& rows, const std::vector<std::size_t>& selected) = 0;
  virtual std::vector<std::size_t> SelectedRows() const = 0;
  virtual bool IsVisible() const = 0;
  // Shows the window in front.
  virtual void Show() = 0;
  virtual void Hide() = 0;
  // A folder the user picks, as a Windows path; nullopt when cancelled.
  virtual std::optional<std::string> PickFolder() = 0;
  // A UTC ISO 8601 time ("2026-12-07T12:49:03Z") in local time, in the
  // system's short date and long time; the text as it is when it is no time.
  virtual std::string LocalTime(std::string_view utc) = 0;
};

struct QuarantineWindowServices {
  Files& files;
  Volumes& volumes;
  const CaseFolding& folding;
  // Its questions and notices, owned by the window.
  MessageBoxes& boxes;
  // The store this program keeps in.
  Quarantine& own;
  // The other store, listed when it can be read; null when there is none.
  Quarantine* other = nullptr;
  // Where restored files are recorded; null records nothing.
  EventLog* eventLog = nullptr;
};

// "1234567" as "1,234,567".
std::string GroupThousands(std::uint64_t number);

class QuarantineWindow {
 public:
  QuarantineWindow(QuarantineWindowServices services, QuarantineView& view);
  QuarantineWindow(const QuarantineWindow&) = delete;
  QuarantineWindow& operator=(const QuarantineWindow&) = delete;

  // The menu entries: the window, listed afresh, in front.
  void ShowClick();
  // Lists both stores again, keeping the selected records selected; the
  // view hears of it only when a row changed.
  void Refresh();
  // The refresh timer ticked, or the window became active.
  void TimerTick();
  void Activated();
  // "還原(&R)": every selected file back where it was.
  void RestoreClick();
  // "還原到(&T)...": every selected file into a folder the user picks.
  void RestoreToClick();
  // "刪除(&D)": after a question, forgets the selected files and their bytes.
  void DeleteClick();
  // "關閉", Escape and the close box: hides the window.
  void CloseClick();

  const std::vector<QuarantineRow>& Rows() const { return rows_; }

 private:
  Quarantine& StoreOf(const QuarantineRow& row) const;
  std::vector<QuarantineRow> SelectedRecords() const;
  void Restore(const std::optional<std::string>& folder);

  QuarantineWindowServices services_;
  QuarantineView& view_;
  std::vector<QuarantineRow> rows_;
};

}  // namespace kestrix
