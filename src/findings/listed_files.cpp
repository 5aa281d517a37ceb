#include "findings/listed_files.h"

#include <algorithm>
#include <iterator>

#include "platform/common/case_text.h"

namespace kestrix {

CategoryDisplay DisplayCategory(std::int32_t category, std::int32_t size) {
  if (size <= 0) return {"垃圾", 3};
  switch (category) {
    case 0:
      return {"病毒", 0};
    case 1:
      return {"危险", 1};
    case 2:
      return {"可疑", 2};
    default:
      // Truncating remainder: -1 gives -1, which shows no image.
      return {"垃圾", category % 4};
  }
}

namespace {

// 病毒 above 危险 above 可疑 above junk.
int Strength(std::string_view category) {
  constexpr std::string_view kStrongestFirst[] = {"病毒", "危险", "可疑"};
  const auto found = std::ranges::find(kStrongestFirst, category);
  return static_cast<int>(std::end(kStrongestFirst) - found);
}

}  // namespace

SuspectList::SuspectList(Files& files, const CaseFolding& folding, SuspectListView& view)
    : files_(files), folding_(folding), view_(view) {}

std::string SuspectList::Key(std::string_view path) const { return LowerText(folding_, TrimControls(path)); }

void SuspectList::AddVirus(std::string_view fileName, std::int32_t category, std::string reason) {
  std::string key = Key(fileName);
  if (indexes_.contains(key)) return;
  if (entries_.empty()) view_.ShowMainWindow();

  const CategoryDisplay display = DisplayCategory(category, files_.QueryFileSize(fileName));
  SuspectEntry& entry = entries_.emplace_back();
  entry.number = std::to_string(entries_.size());
  entry.path = fileName;
  entry.category = display.text;
  entry.image = display.image;
  entry.reason = std::move(reason);
  indexes_.emplace(std::move(key), entries_.size() - 1);

  view_.ListAppended(entry);
  view_.SetTotalNumber(entry.number);
}

std::optional<std::size_t> SuspectList::Find(std::string_view fileName) {
  if (renumber_) {
    for (std::size_t index = 0; index < entries_.size(); ++index) indexes_[Key(entries_[index].path)] = index;
    renumber_ = false;
  }
  const auto found = indexes_.find(Key(fileName));
  return found == indexes_.end() ? std::nullopt : std::optional<std::size_t>(found->second);
}

bool SuspectList::Contains(std::string_view fileName) const { return indexes_.contains(Key(fileName)); }

void SuspectList::AddVirusAtLeast(std::string_view fileName, std::int32_t category, std::string reason) {
  const auto index = Find(fileName);
  if (!index) return AddVirus(fileName, category, std::move(reason));
  const CategoryDisplay display = DisplayCategory(category, files_.QueryFileSize(fileName));
  SuspectEntry& entry = entries_[*index];
  if (Strength(display.text) <= Strength(entry.category)) return;
  entry.category = display.text;
  entry.image = display.image;
  if (!entry.reason.empty()) entry.reason += "; ";
  entry.reason += reason;
  view_.ListChanged(*index, entry);
}

void SuspectList::AddToReason(std::string_view fileName, std::string_view note) {
  const auto index = Find(fileName);
  if (!index) return;
  SuspectEntry& entry = entries_[*index];
  if (!entry.reason.empty()) entry.reason += "; ";
  entry.reason += note;
}

void SuspectList::Clear() {
  entries_.clear();
  indexes_.clear();
  renumber_ = false;
  view_.ListCleared();
}

void SuspectList::Delete(std::size_t index) {
  indexes_.erase(Key(entries_[index].path));
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
  // Later entries moved up; they are renumbered when next looked up, so
  // that deleting every entry takes linear time.
  renumber_ = true;
  view_.ListDeleted(index);
}

void SuspectList::SetSelected(std::size_t index, bool selected) { entries_[index].selected = selected; }

void SuspectList::ShowCount() { view_.SetTotalNumber(std::to_string(entries_.size())); }

}  // namespace kestrix
