#include "remedy/removal.h"

#include "platform/common/case_text.h"
#include "platform/common/format_text.h"

namespace kestrix {

namespace {

constexpr std::string_view kProtectedQuestion = "檔案 %s 是Windows重要檔案。\r清除可能會導致系統無法啟動!";
constexpr std::string_view kSuccessBalloon = "成功清除 %d 個病毒.";
constexpr std::string_view kTerminateQuestion = "是否終止並清除它們?";

// What the two passes say differently.
struct PassTexts {
  std::string_view keepCaption;
  std::string_view leftoverBalloon;
  std::string_view leftoverQuestion;
};

constexpr PassTexts kAllTexts = {"要保留嗎?", "還有 %d 個病毒未清除,請重試.",
                                 "還有 %d 個未清除的病毒,可能已經執行."};
constexpr PassTexts kSelectedTexts = {"要保留吗?", "還有 %d 個被選取的病毒未清除,請重試.",
                                      "還有 %d 個被選中的病毒未清除,可能已經執行."};

}  // namespace

void KillProcessByFile(ProcessTable& processes, Files& files, const CaseFolding& folding, std::string_view path) {
  processes.SetDebugPrivilege(true);
  const std::string target = LowerText(folding, path);
  const auto targetIdentity = files.IdentifyFile(path);
  for (const ProcessEntry& entry : processes.Snapshot()) {
    const auto process = processes.OpenProcess(entry.id);
    if (!process) continue;
    bool runsTarget = false;
    if (const auto identity = process->MainModuleIdentity()) {
      // Another file of the same name, or the same file by another name,
      // is told apart only by identity.
      runsTarget = targetIdentity == identity;
    } else {
      const std::string name = process->MainModulePath().value_or(entry.exeFile);
      runsTarget = LowerText(folding, name) == target;
    }
    if (runsTarget) process->Terminate();
  }
  processes.SetDebugPrivilege(false);
}

Removal::Removal(RemovalServices services, SuspectList& list, const ProtectedList& protectedList,
                 RemovalView& view, const std::string& applicationTitle)
    : services_(services),
      list_(list),
      protectedList_(protectedList),
      view_(view),
      title_(applicationTitle) {}

bool Removal::StillListed(std::size_t index, const std::string& path) const {
  return index < list_.Count() && list_.Entry(index).path == path;
}

Removal::Outcome Removal::Remove(std::size_t index, const std::string& path, std::string_view keepCaption) {
  if (protectedList_.IsProtected(path)) {
    const int answer =
        services_.boxes.ShowMessage(FormatText(kProtectedQuestion, path), keepCaption, kQuestionYesNo);
    if (!StillListed(index, path)) return Outcome::kGone;
    if (answer != kAnswerNo) {
      keptProtected_.push_back(list_.Entry(index));
      list_.Delete(index);
      services_.pump.PumpMessages();
      return Outcome::kKept;
    }
  }
  if (!DeleteListedFile(list_.Entry(index))) return Outcome::kFailed;
  list_.Delete(index);
  services_.pump.PumpMessages();
  return Outcome::kDeleted;
}

bool Removal::DeleteListedFile(const SuspectEntry& entry) {
  const std::string& path = entry.path;
  const auto fail = [&](std::string reason) {
    failures_.insert_or_assign(path, std::move(reason));
    return false;
  };
  if (!services_.files.ResetAttributes(path)) return fail("its attributes could not be cleared");
  std::optional<QuarantineRecord> kept;
  if (services_.quarantine != nullptr) {
    std::string reason;
    kept = services_.quarantine->Keep(entry, reason);
    if (!kept) return fail(std::move(reason));
  }
  if (!services_.files.RemoveFile(path)) {
    // The store holds only files that were deleted; the next try keeps it again.
    if (kept) services_.quarantine->Purge(*kept);
    return fail("it could not be deleted; it may be in use");
  }
  failures_.erase(path);
  if (kept) ++quarantined_;
  if (services_.events != nullptr) services_.events->FileRemoved(entry, kept ? &*kept : nullptr);
  return true;
}

bool Removal::AskAboutLeftovers(std::string_view balloonFormat, std::string_view questionFormat,
                                int remaining) {
  services_.balloons.ShowBalloon(title_, WithKeptLine(FormatText(balloonFormat, remaining)),
                                 BalloonKind::kWarning, kBalloonSeconds);
  const std::string question = FormatText(questionFormat, remaining) + "\r" + std::string(kTerminateQuestion);
  return services_.boxes.ShowMessage(question, title_, kQuestionYesNoSystemModal) == kAnswerYes;
}

std::string Removal::WithKeptLine(std::string text) const {
  if (quarantined_ > 0 && !services_.keptLine.empty())
    text.append("\n").append(FormatText(services_.keptLine, quarantined_));
  return text;
}

void Removal::TerminateListedProcesses(bool selectedOnly) {
  for (std::size_t i = list_.Count(); i-- > 0;) {
    if (i >= list_.Count() || (selectedOnly && !list_.Entry(i).selected)) continue;
    KillProcessByFile(services_.processes, services_.files, services_.folding, list_.Entry(i).path);
    services_.pump.PumpMessages();
  }
}

void Removal::ReportLeftovers() {
  if (services_.events == nullptr) return;
  for (const SuspectEntry& entry : keptProtected_)
    services_.events->FileLeftOver(entry, services_.keptProtectedReason);
  for (const SuspectEntry& entry : list_.Entries()) {
    if (const auto failure = failures_.find(entry.path); failure != failures_.end())
      services_.events->FileLeftOver(entry, failure->second);
  }
}

void Removal::KillVirusClick(Sender sender) { Pass(false, sender); }

void Removal::KillSelectedClick(Sender sender) { Pass(true, sender); }

void Removal::Pass(bool selectedOnly, Sender sender) {
  const PassTexts& texts = selectedOnly ? kSelectedTexts : kAllTexts;
  failures_.clear();
  keptProtected_.clear();
  quarantined_ = 0;
  // Repeats, one leftover question each time, until nothing is left over or
  // the user answers No.
  for (;;) {
    const int startCount = static_cast<int>(list_.Count());
    int remaining = 0;
    int deleted = 0;
    for (std::size_t i = list_.Count(); i-- > 0;) {
      // Messages handled meanwhile may have shrunk the list.
      if (i >= list_.Count() || (selectedOnly && !list_.Entry(i).selected)) continue;
      const std::string path = list_.Entry(i).path;
      switch (Remove(i, path, texts.keepCaption)) {
        case Outcome::kDeleted:
          ++deleted;
          break;
        case Outcome::kKept:  // the selected pass counts a kept file as left over
        case Outcome::kFailed:
          ++remaining;
          break;
        case Outcome::kGone:
          break;
      }
    }
    if (!selectedOnly) remaining = static_cast<int>(list_.Count());
    if (remaining > 0) {
      if (!AskAboutLeftovers(texts.leftoverBalloon, texts.leftoverQuestion, remaining)) break;
      TerminateListedProcesses(selectedOnly);
      continue;
    }
    // The pass over all entries counts the kept protected files as cleaned.
    const int cleaned = selectedOnly ? deleted : startCount;
    if (cleaned > 0) {
      services_.balloons.ShowBalloon(title_, WithKeptLine(FormatText(kSuccessBalloon, cleaned)),
                                     BalloonKind::kInfo, kBalloonSeconds);
    }
    if (!selectedOnly && sender == Sender::kFlatButton) view_.RequestClose();
    break;
  }
  ReportLeftovers();
  if (services_.recovery != nullptr) services_.recovery->Recover(services_.files);
  list_.ShowCount();
}

}  // namespace kestrix
