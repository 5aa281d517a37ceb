// The shortcut gallery: worms' sticks and ordinary users' sticks laid out for
// real, swept twice and cleaned by kestrix-scan. A worm's stick lists exactly
// its decoys and payloads, and cleaning gives back what it hid and touches
// nothing else; a user's stick lists nothing, and nothing on it changes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cstdio>
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

constexpr unsigned kHidden = 0x2;
constexpr unsigned kSystem = 0x4;

// "E:\a\b" or "a\b" as the host path below the stick.
fs::path OnStick(const fs::path& stick, std::string path) {
  if (path.starts_with("E:\\")) path.erase(0, 3);
  return stick / testing::ReplaceAll(path, "\\", "/");
}

// The hidden and system marks where Wine keeps them; read-only as no write permission.
void LayOut(const StickLayout& layout, const fs::path& stick) {
  fs::create_directories(stick);
  for (const StickEntry& entry : layout.entries) {
    const fs::path path = OnStick(stick, entry.path);
    if (entry.kind == StickEntry::Kind::kFolder) {
      fs::create_directories(path);
    } else if (entry.kind == StickEntry::Kind::kFile) {
      testing::WriteFile(path, entry.bytes);
    } else {
      const auto expand = [](const std::string& text) {
        return testing::ReplaceAll(testing::ReplaceAll(text, "%SYSTEM%", "C:\\WINDOWS\\system32"),
                                   "%WINDOWS%", "C:\\WINDOWS");
      };
      const std::string target = expand(entry.target);
      testing::WriteFile(path, testing::ShellLinkBytes({.target = target,
                                                        .unicodeTarget = target,
                                                        .arguments = entry.arguments,
                                                        .workingDirectory = entry.workingFolder}));
    }
  }
  for (const StickEntry& entry : layout.entries) {
    const fs::path path = OnStick(stick, entry.path);
    const unsigned marks = (entry.hidden ? kHidden : 0) | (entry.system ? kSystem : 0);
    if (marks != 0) {
      const std::string text = "0x" + std::to_string(marks);
      ASSERT_EQ(::lsetxattr(path.c_str(), "user.DOSATTRIB", text.data(), text.size(), 0), 0) << path;
    }
    if (entry.readOnly)
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
    Entry entry{.mode = static_cast<unsigned>(item.symlink_status().permissions())};
    if (item.is_directory()) {
      entry.bytes = "folder";
    } else {
      std::ifstream file(item.path(), std::ios::binary);
      entry.bytes.assign(std::istreambuf_iterator<char>(file), {});
    }
    char value[64] = {};
    if (::lgetxattr(item.path().c_str(), "user.DOSATTRIB", value, sizeof value - 1) > 0)
      entry.marks = static_cast<unsigned>(std::stoul(value, nullptr, 16));
    entries[fs::relative(item.path(), stick).string()] = entry;
  }
  return entries;
}

// kestrix-scan's report on drive E: mapped to the stick; null when it gave none.
nlohmann::json Scan(const fs::path& sandbox, const std::string& drive, const std::string& more) {
  const std::string command = "env XDG_STATE_HOME='" + (sandbox / "state").string() +
                              "' '" KESTRIX_SCAN_EXE "' --json --rules /nonexistent.dat --drive '" + drive +
                              "' " + more + " 2>/dev/null";
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  for (std::size_t n; pipe != nullptr && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    out.append(buffer, n);
  if (pipe != nullptr) pclose(pipe);
  return nlohmann::json::parse(out, nullptr, false);
}

// What a report lists, a line per entry, in path order.
std::string Listed(const nlohmann::json& report) {
  if (!report.is_object() || !report.contains("entries")) return "no report\n";
  std::vector<std::string> lines;
  for (const auto& entry : report["entries"])
    lines.push_back(entry["path"].get<std::string>() + " " + entry["category"].get<std::string>() + "\n");
  std::ranges::sort(lines);
  std::string listed;
  for (const std::string& line : lines) listed += line;
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

  nlohmann::json expected = {{"entries", nlohmann::json::array()}};
  for (const auto& [path, category] : layout.expected)
    expected["entries"].push_back({{"path", "E:\\" + path}, {"category", category}});
  for (const char* sweep : {"the first sweep", "the second sweep"}) {
    EXPECT_EQ(Listed(Scan(sandbox.Path(), drive, "")), Listed(expected)) << sweep;
    if (!layout.worm) {
      EXPECT_EQ(Snapshot(stick), before) << sweep << " changed the stick";
    }
  }

  const nlohmann::json cleaned = Scan(sandbox.Path(), drive, "--clean --no-quarantine");
  EXPECT_EQ(Listed(cleaned), "") << "left after cleaning: " << cleaned.dump();
  auto after = before;
  for (const auto& [path, category] : layout.expected) after.erase(OnStick({}, path).string());
  for (const std::string& path : layout.recovered)
    after.at(OnStick({}, path).string()).marks &= ~(kHidden | kSystem);
  const auto now = Snapshot(stick);
  for (const auto& [path, entry] : after) {
    const auto found = now.find(path);
    if (found == now.end()) {
      ADD_FAILURE() << "cleaning took away " << path;
    } else {
      EXPECT_EQ(found->second, entry) << path;
    }
  }
  for (const auto& [path, entry] : now)
    EXPECT_TRUE(after.contains(path)) << "cleaning left " << path << " " << entry;
}

std::string CaseName(const ::testing::TestParamInfo<StickLayout>& layout) {
  return (layout.param.worm ? "worm_" : "user_") + layout.param.id;
}

INSTANTIATE_TEST_SUITE_P(Layouts, ShortcutGallery, ::testing::ValuesIn(Gallery()), CaseName);

}  // namespace
}  // namespace kestrix
