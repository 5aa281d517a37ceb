// VirusList, the suspect list: every file the current sweep found, in the order found,
// each with its running number, category text and state image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"

namespace kestrix {

struct SuspectEntry {
  std::string number;    // entry count right after it was appended, never renumbered
  std::string path;      // exactly as found, case and blanks kept
  std::string category;  // "病毒", "危险", "可疑" or "垃圾"
  int image = 3;         // state image; 0 to 3 select one, other values show none
  bool selected = false;
  std::string reason{};  // why it is listed: the rule or Autorun.inf line that named it
};

// What the main window shows of the list.
class SuspectListView {
 public:
  virtual ~SuspectListView() = default;
  virtual void ListCleared() = 0;
  virtual void ListAppended(const SuspectEntry& entry) = 0;
  virtual void ListDeleted(std::size_t index) = 0;
  // The entry at `index` now shows another category.
  virtual void ListChanged(std::size_t index, const SuspectEntry& entry) = 0;
  // The caption of the count label (TotalNumber).
  virtual void SetTotalNumber(std::string_view caption) = 0;
  // Brings the main window up from the tray.
  virtual void ShowMainWindow() = 0;
};

// Category text and state image for a hit; `size` is the file's size as
// QueryFileSize gives it. An empty or missing file is junk whatever the rule says.
struct CategoryDisplay {
  std::string_view text;
  int image;
};
CategoryDisplay DisplayCategory(std::int32_t category, std::int32_t size);

class SuspectList {
 public:
  SuspectList(Files& files, const CaseFolding& folding, SuspectListView& view);

  // Appends a hit unless its path is listed already (compared trimmed and
  // lower-cased), so the first pass to find a file decides its category.
  // The first entry after the list was emptied brings the main window up.
  void AddVirus(std::string_view fileName, std::int32_t category, std::string reason = {});

  // As AddVirus, but a path listed already with a weaker category (病毒 is
  // the strongest, then 危险, then 可疑) takes this one, and the reason
  // is added to its own.
  void AddVirusAtLeast(std::string_view fileName, std::int32_t category, std::string reason);

  // True when the path is listed (compared as AddVirus compares it).
  bool Contains(std::string_view fileName) const;

  // Adds `note` to the reason of the entry listed for the path, if any.
  void AddToReason(std::string_view fileName, std::string_view note);

  void Clear();
  void Delete(std::size_t index);
  void SetSelected(std::size_t index, bool selected);

  std::size_t Count() const { return entries_.size(); }
  const SuspectEntry& Entry(std::size_t index) const { return entries_[index]; }
  const std::vector<SuspectEntry>& Entries() const { return entries_; }

  // Shows the number of entries in the count label.
  void ShowCount();

 private:
  std::string Key(std::string_view path) const;

  Files& files_;
  const CaseFolding& folding_;
  SuspectListView& view_;
  std::vector<SuspectEntry> entries_;
  // The entry listed for a path, if any.
  std::optional<std::size_t> Find(std::string_view fileName);

  std::unordered_map<std::string, std::size_t> indexes_;  // each listed key's entry, in constant time
  bool renumber_ = false;                                 // entries moved since indexes_ was right
};

}  // namespace kestrix
