// The shortcut gallery: worms' sticks and ordinary users' sticks laid out for
// real, swept twice and cleaned by kestrix-scan. A worm's stick lists exactly
// its decoys and payloads, and cleaning gives back what it hid and touches
// nothing else; a user's stick lists nothing, and nothing on it changes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "support/shell_link_bytes.h"
#include "support/stick_layout.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace kestrix::testing {
void PrintTo(const StickLayout& layout, std::ostream* out) { *out << layout.id; }
}  // namespace kestrix::testing

namespace kestrix {
namespace {

using testing::StickEntry;
using testing::StickLayout;

const std::vector<StickLayout>& Gallery() {
  static const std::vector<StickLayout> layouts = [] {
    std::ifstream file(KESTRIX_SOURCE_DIR "/tests/support/shortcut_gallery.txt");
    return testing::ReadStickLayouts(file);
  }();
  return layouts;
}

// "a\b" as the host path below the stick.
fs::path OnStick(const fs::path& stick, const std::string& path) {
  return stick / testing::ReplaceAll(path, "\\", "/");
}

// The hidden and system marks where Wine keeps them; read-only as no write
// permission, set last so that nothing is refused.
void LayOut(const StickLayout& layout, const fs::path& stick) {
  fs::create_directories(stick);
  for (const StickEntry& entry : layout.entries) {
    const fs::path path = OnStick(stick, entry.path);
    const std::string target =
        testing::ExpandTarget<std::string>(entry.target, "C:\\WINDOWS\\system32", "C:\\WINDOWS");
    if (entry.kind == StickEntry::Kind::kFolder)
      fs::create_directories(path);
    else
      testing::WriteFile(path, entry.kind == StickEntry::Kind::kFile
                                   ? entry.bytes
                                   : testing::ShellLinkBytes({.target = target,
                                                              .unicodeTarget = target,
                                                              .arguments = entry.arguments,
                                                              .workingDirectory = entry.workingFolder}));
  }
  for (const StickEntry& entry : layout.entries) {
    const fs::path path = OnStick(stick, entry.path);
    const std::string marks =
        "0x" + std::to_string(entry.marks & (testing::kStickHidden | testing::kStickSystem));
    if (marks != "0x0") {
      ASSERT_EQ(::lsetxattr(path.c_str(), "user.DOSATTRIB", marks.data(), marks.size(), 0), 0) << path;
    }
    if (entry.marks & testing::kStickReadOnly)
      fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                      fs::perm_options::remove);
  }
}

struct Entry {
  std::string bytes{};  // "folder" for a folder
  unsigned marks = 0;
  unsigned mode = 0;
  bool operator==(const Entry&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const Entry& entry) {
    return out << "{"
               << (entry.bytes == "folder" ? "a folder" : std::to_string(entry.bytes.size()) + " bytes")
               << ", marks " << entry.marks << ", mode " << std::oct << entry.mode << std::dec << "}";
  }
};

// Every entry below the stick, by its path there.
std::map<std::string, Entry> Snapshot(const fs::path& stick) {
  std::map<std::string, Entry> entries;
  for (const auto& item : fs::recursive_directory_iterator(stick)) {
    Entry& entry = entries[fs::relative(item.path(), stick).string()];
    entry = {.bytes = "folder", .mode = static_cast<unsigned>(item.symlink_status().permissions())};
    if (!item.is_directory()) {
      std::ifstream file(item.path(), std::ios::binary);
      entry.bytes.assign(std::istreambuf_iterator<char>(file), {});
    }
    char value[64] = {};
    if (::lgetxattr(item.path().c_str(), "user.DOSATTRIB", value, sizeof value - 1) > 0)
      entry.marks = static_cast<unsigned>(std::stoul(value, nullptr, 16));
  }
  return entries;
}

// What kestrix-scan lists on drive E: mapped to the stick, "path category"
// in path order; "no report" when it gave none.
std::vector<std::string> Scan(const fs::path& sandbox, const std::string& drive, const std::string& more) {
  const fs::path out = sandbox / "report.json";
  const std::string command = "env XDG_STATE_HOME='" + (sandbox / "state").string() +
                              "' '" KESTRIX_SCAN_EXE "' --json --rules /nonexistent.dat --drive '" + drive +
                              "' " + more + " >'" + out.string() + "' 2>/dev/null";
  if (std::system(command.c_str()) == -1) return {"no report"};
  std::ifstream file(out);
  const auto report = nlohmann::json::parse(file, nullptr, false);
  if (!report.is_object() || !report.contains("entries")) return {"no report"};
  std::vector<std::string> listed;
  for (const auto& entry : report["entries"])
    listed.push_back(entry["path"].get<std::string>() + " " + entry["category"].get<std::string>());
  std::ranges::sort(listed);
  return listed;
}

class ShortcutGallery : public ::testing::TestWithParam<StickLayout> {};

TEST_P(ShortcutGallery, SweepsListTheWormAloneAndCleaningGivesBackWhatItHid) {
  const StickLayout& layout = GetParam();
  SCOPED_TRACE(layout.about);
  const testing::TempDir sandbox;
  const fs::path stick = sandbox.Path() / "stick";
  LayOut(layout, stick);
  const auto before = Snapshot(stick);
  const std::string drive =
      "E=removable" + (layout.label.empty() ? "" : "#" + layout.label) + ":" + stick.string();

  std::vector<std::string> expected;
  for (const auto& [path, category] : layout.expected) expected.push_back("E:\\" + path + " " + category);
  std::ranges::sort(expected);
  for (const char* sweep : {"the first sweep", "the second sweep"}) {
    EXPECT_EQ(Scan(sandbox.Path(), drive, ""), expected) << sweep;
    if (!layout.worm) {
      EXPECT_EQ(Snapshot(stick), before) << sweep << " changed the stick";
    }
  }

  EXPECT_THAT(Scan(sandbox.Path(), drive, "--clean --no-quarantine"), ::testing::IsEmpty())
      << "left after cleaning";
  auto after = before;
  for (const auto& [path, category] : layout.expected) after.erase(OnStick({}, path).string());
  for (const std::string& path : layout.recovered)
    after.at(OnStick({}, path).string()).marks &= ~(testing::kStickHidden | testing::kStickSystem);
  EXPECT_EQ(Snapshot(stick), after) << "what cleaning took away, changed or left";
}

std::string CaseName(const ::testing::TestParamInfo<StickLayout>& layout) {
  return (layout.param.worm ? "worm_" : "user_") + layout.param.id;
}

INSTANTIATE_TEST_SUITE_P(Layouts, ShortcutGallery, ::testing::ValuesIn(Gallery()), CaseName);

}  // namespace
}  // namespace kestrix
