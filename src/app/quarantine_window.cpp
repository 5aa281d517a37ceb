#include "app/quarantine_window.h"

#include <algorithm>

#include "findings/protected_list.h"

namespace kestrix {

namespace {

constexpr std::string_view kReplaceQuestion = "「%s」已經存在。\r要以隔離區中的檔案取代它嗎？";
constexpr std::string_view kNotRestored = "下列檔案沒有還原：";
constexpr std::string_view kProtectedQuestion = "「%s」是受保護的 Windows 檔案。\r仍要還原它嗎？";
constexpr std::string_view kNewerRestored = "已還原同一位置較新的一份";
constexpr std::string_view kAutorunAlone = "磁碟根目錄的 Autorun.inf 只在單獨選取時還原";
constexpr std::string_view kDeleteQuestion = "要從隔離區永久刪除選取的 %d 個檔案嗎？";
constexpr std::string_view kNotDeleted = "下列檔案無法從隔離區刪除：";

std::string Replace(std::string_view pattern, std::string_view marker, std::string_view value) {
  std::string text(pattern);
  if (const auto at = text.find(marker); at != std::string::npos) text.replace(at, marker.size(), value);
  return text;
}

// The id's number, so that record 10 comes after record 9.
std::uint64_t IdNumber(const std::string& id) {
  std::uint64_t number = 0;
  for (const char c : id)
    number = c >= '0' && c <= '9' ? number * 10 + static_cast<unsigned>(c - '0') : number;
  return number;
}

// Each failed file on a line of its own below the heading.
std::string FailureText(std::string_view heading,
                        const std::vector<std::pair<std::string, std::string>>& failed) {
  std::string text(heading);
  for (const auto& [path, why] : failed) text.append("\r").append(path).append("：").append(why);
  return text;
}

}  // namespace

std::string GroupThousands(std::uint64_t number) {
  std::string digits = std::to_string(number);
  for (auto at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return digits;
}

QuarantineWindow::QuarantineWindow(QuarantineWindowServices services, QuarantineView& view)
    : services_(services), view_(view) {}

void QuarantineWindow::ShowClick() {
  Refresh();
  view_.Show();
}

void QuarantineWindow::Refresh() {
  std::vector<QuarantineRow> rows;
  for (std::size_t store = 0; store < 2; ++store) {
    Quarantine* quarantine = store == 0 ? &services_.own : services_.other;
    if (quarantine == nullptr) continue;
    // A standard user cannot read the machine's store: it lists nothing.
    for (QuarantineRecord& record : quarantine->List()) {
      QuarantineRow row{.store = store, .record = std::move(record), .time = {}, .size = {}, .why = {}};
      row.time = view_.LocalTime(row.record.time);
      row.size = GroupThousands(row.record.size);
      row.why = row.record.damage.empty() ? row.record.reason : row.record.damage;
      rows.push_back(std::move(row));
    }
  }
  // Newest first; of one second, the later record first.
  std::ranges::stable_sort(rows, [](const QuarantineRow& a, const QuarantineRow& b) {
    if (a.record.time != b.record.time) return a.record.time > b.record.time;
    if (a.store != b.store) return a.store < b.store;
    return IdNumber(a.record.id) > IdNumber(b.record.id);
  });
  if (rows == rows_) return;

  std::vector<std::size_t> selected;
  const std::vector<QuarantineRow> before = SelectedRecords();
  for (std::size_t index = 0; index < rows.size(); ++index) {
    if (std::ranges::any_of(before, [&](const QuarantineRow& row) {
          return row.store == rows[index].store && row.record.id == rows[index].record.id;
        }))
      selected.push_back(index);
  }
  rows_ = std::move(rows);
  view_.ShowRows(rows_, selected);
}

void QuarantineWindow::TimerTick() {
  if (view_.IsVisible()) Refresh();
}

void QuarantineWindow::Activated() { Refresh(); }

Quarantine& QuarantineWindow::StoreOf(const QuarantineRow& row) const {
  return row.store == 0 || services_.other == nullptr ? services_.own : *services_.other;
}

std::vector<QuarantineRow> QuarantineWindow::SelectedRecords() const {
  std::vector<QuarantineRow> selected;
  for (const std::size_t index : view_.SelectedRows()) {
    if (index < rows_.size()) selected.push_back(rows_[index]);
  }
  return selected;
}

void QuarantineWindow::RestoreClick() { Restore(std::nullopt); }

void QuarantineWindow::RestoreToClick() {
  if (SelectedRecords().empty()) return;
  if (const std::optional<std::string> folder = view_.PickFolder()) Restore(folder);
}

void QuarantineWindow::Restore(const std::optional<std::string>& folder) {
  const std::vector<QuarantineRow> selected = SelectedRecords();
  if (selected.empty()) return;
  ProtectedList guarded(services_.files, services_.folding);
  guarded.BuildProtectedList(services_.volumes.WindowsDirectory() + "\\");
  std::vector<std::pair<std::string, std::string>> failed;  // path, why
  std::vector<std::string> restored;
  const auto ask = [&](std::string_view question, std::string_view target, unsigned style) {
    return services_.boxes.ShowMessage(Replace(question, "%s", target), kQuarantineTitle, style) ==
           kAnswerYes;
  };
  for (const QuarantineRow& row : selected) {
    const std::string target = RestorePath(row.record, folder);
    if (!row.record.damage.empty()) {
      failed.emplace_back(target, row.record.damage);
      continue;
    }
    // Rows come newest first: an older copy of a file just put back stays kept.
    if (std::ranges::find(restored, target) != restored.end()) {
      failed.emplace_back(target, kNewerRestored);
      continue;
    }
    // Put back among others, a drive's Autorun.inf would start a worm again.
    if (selected.size() > 1 && IsDriveRootAutorun(target)) {
      failed.emplace_back(target, kAutorunAlone);
      continue;
    }
    // No keeps what is there, or leaves the Windows file deleted: the user
    // chose, nothing failed.
    if (guarded.IsProtected(target) && !ask(kProtectedQuestion, target, kQuestionYesNoDefaultNo)) continue;
    bool replace = false;
    if (services_.files.FileExists(target)) {
      if (!ask(kReplaceQuestion, target, kQuestionYesNo)) continue;
      replace = true;
    }
    Quarantine& quarantine = StoreOf(row);
    std::string reason;
    if (!quarantine.Restore(row.record, folder, replace, reason)) {
      failed.emplace_back(target, reason);
      continue;
    }
    restored.push_back(target);
    if (services_.eventLog != nullptr)
      EventReports(*services_.eventLog, quarantine.StoreLocation()).FileRestored(row.record, target);
  }
  if (!failed.empty())
    services_.boxes.ShowMessage(FailureText(kNotRestored, failed), kQuarantineTitle, kQuarantineNotice);
  Refresh();
}

void QuarantineWindow::DeleteClick() {
  const std::vector<QuarantineRow> selected = SelectedRecords();
  if (selected.empty()) return;
  if (services_.boxes.ShowMessage(Replace(kDeleteQuestion, "%d", std::to_string(selected.size())),
                                  kQuarantineTitle, kQuestionYesNoDefaultNo) != kAnswerYes)
    return;
  std::vector<std::pair<std::string, std::string>> failed;
  for (const QuarantineRow& row : selected) {
    if (!StoreOf(row).Purge(row.record))
      failed.emplace_back(row.record.path, "its files could not be removed from the store");
  }
  Refresh();
  if (!failed.empty())
    services_.boxes.ShowMessage(FailureText(kNotDeleted, failed), kQuarantineTitle, kQuarantineNotice);
}

void QuarantineWindow::CloseClick() { view_.Hide(); }

}  // namespace kestrix
