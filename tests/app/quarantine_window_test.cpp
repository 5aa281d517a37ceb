#include "app/quarantine_window.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "fakes/fake_machine.h"

namespace kestrix {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

struct FakeQuarantineView final : QuarantineView {
  std::vector<QuarantineRow> rows;
  std::vector<std::size_t> selected;
  int shows = 0;  // ShowRows calls
  bool visible = false;
  std::optional<std::string> folder;  // what the picker gives

  void ShowRows(const std::vector<QuarantineRow>& shown, const std::vector<std::size_t>& picked) override {
    rows = shown;
    selected = picked;
    ++shows;
  }
  std::vector<std::size_t> SelectedRows() const override { return selected; }
  bool IsVisible() const override { return visible; }
  void Show() override { visible = true; }
  void Hide() override { visible = false; }
  std::optional<std::string> PickFolder() override { return folder; }
  std::string LocalTime(std::string_view utc) override { return "local " + std::string(utc); }
};

// Files kept by a cleaning, then the window over the store.
class QuarantineWindowTest : public ::testing::Test {
 public:
  testing::FakeMachine machine;
  testing::FakeDesktop desktop;
  testing::FakeStoreFolder store;
  testing::FakeStoreFolder otherStore;
  testing::FakeHashing hashing;
  Quarantine own{{machine, machine, store, hashing}, kDefaultQuarantineLimit};
  Quarantine other{{machine, machine, otherStore, hashing}, kDefaultQuarantineLimit};
  FakeQuarantineView view;
  QuarantineWindow window{{machine, machine, machine.folding, desktop, own, &other, nullptr}, view};

  QuarantineWindowTest() {
    machine.drives['C'] = {DriveType::kFixed};
    machine.drives['E'] = {};
  }

  // Keeps a file and deletes it, as a cleaning does; `time` replaces the
  // time it was kept.
  void Keep(Quarantine& quarantine, testing::FakeStoreFolder& folder, const std::string& path,
            const std::string& content, const std::string& time = "2026-12-07T12:00:00Z") {
    auto& file = machine.AddFile(path, content);
    file.hidden = file.readOnly = true;
    std::string reason;
    const auto record = quarantine.Keep(
        {.number = "1", .path = path, .category = "可疑程式", .reason = "Autorun.inf open=" + path}, reason);
    ASSERT_TRUE(record) << reason;
    machine.files.erase(testing::FakeMachine::Key(path));
    std::string& json = folder.files[record->id + ".json"];
    json.replace(json.find(record->time), record->time.size(), time);
    folder.mark += 1000;  // changed behind the program's back: read again
  }
  std::vector<std::string> Shown() const {
    std::vector<std::string> shown;
    for (const QuarantineRow& row : view.rows)
      shown.push_back(row.time + "|" + row.record.path + "|" + row.size + "|" + row.record.category + "|" +
                      row.why);
    return shown;
  }
  // Empty stores, as another program that purged everything leaves them.
  void Empty() {
    for (testing::FakeStoreFolder* folder : {&store, &otherStore}) {
      folder->files.clear();
      folder->mark += 1000;
    }
    machine.files.clear();
  }
};

TEST_F(QuarantineWindowTest, ListsBothStoresNewestFirstWithReasonOrDamage) {
  Keep(own, store, "E:\\setup.exe", std::string(1234567, 'x'), "2026-12-07T12:00:00Z");
  Keep(own, store, "E:\\a.exe", "aa", "2026-12-08T09:30:00Z");
  Keep(other, otherStore, "E:\\b.exe", "bbb", "2026-12-07T23:00:00Z");
  Keep(own, store, "E:\\c.exe", "cccc", "2026-12-07T12:00:00Z");  // same second: the later record first
  store.files.erase(store.files.find(own.List().back().sha256 + ".bin"));
  window.ShowClick();
  EXPECT_TRUE(view.visible);
  EXPECT_THAT(Shown(),
              ElementsAre("local 2026-12-08T09:30:00Z|E:\\a.exe|2|可疑程式|Autorun.inf open=E:\\a.exe",
                          "local 2026-12-07T23:00:00Z|E:\\b.exe|3|可疑程式|Autorun.inf open=E:\\b.exe",
                          "local 2026-12-07T12:00:00Z|E:\\c.exe|4|可疑程式|its kept bytes are missing",
                          "local 2026-12-07T12:00:00Z|E:\\setup.exe|1,234,567|可疑程式|"
                          "Autorun.inf open=E:\\setup.exe"));
}

TEST_F(QuarantineWindowTest, RestoreAsksBeforeReplacingAFileThatIsThere) {
  struct Case {
    std::optional<std::string> there;  // the file found at the path
    std::deque<int> answers;
    std::string content;  // afterwards
    std::size_t questions;
  };
  const Case cases[] = {
      {std::nullopt, {}, "MZ setup", 0},
      {"a new one", {kAnswerYes}, "MZ setup", 1},
      {"a new one", {kAnswerNo}, "a new one", 1},
  };
  for (const Case& c : cases) {
    Empty();
    Keep(own, store, "E:\\setup.exe", "MZ setup");
    if (c.there) machine.AddFile("E:\\setup.exe", *c.there);
    desktop.questions.clear();
    desktop.answers = c.answers;
    window.ShowClick();
    view.selected = {0};
    window.RestoreClick();
    ASSERT_EQ(desktop.questions.size(), c.questions) << c.content;
    if (c.questions > 0) {
      EXPECT_THAT(desktop.questions[0].text, HasSubstr("「E:\\setup.exe」已經存在"));
    }
    const testing::FakeFile* file = machine.Find("E:\\setup.exe");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->content, c.content);
    if (c.content == "MZ setup") {
      EXPECT_TRUE(file->hidden && file->readOnly);
    }
    // The record stays, as after kestrix-scan --restore.
    EXPECT_EQ(view.rows.size(), 1u);
  }
}

TEST_F(QuarantineWindowTest, SaysWhichFilesCouldNotBeRestoredAndWhy) {
  struct Case {
    std::string path;
    std::function<void(QuarantineWindowTest&)> spoil;
    std::optional<std::string> folder;  // 還原到 with this folder
    std::string said;                   // in the notice; empty: no notice
    std::deque<int> answers = {};       // to the questions asked before
    bool restored = true;               // without a notice
  };
  const Case cases[] = {
      {"E:\\setup.exe", nullptr, std::nullopt, ""},
      {"E:\\setup.exe", nullptr, "C:\\Saved", ""},
      {"E:\\setup.exe", [](QuarantineWindowTest& t) { t.machine.drives.erase('E'); }, std::nullopt,
       "E:\\setup.exe：drive E: is not there"},
      {"E:\\setup.exe",
       [](QuarantineWindowTest& t) { t.store.files.erase(t.own.List().front().sha256 + ".bin"); },
       std::nullopt, "E:\\setup.exe：its kept bytes are missing"},
      // A protected Windows file goes back when the user says so.
      {"C:\\WINDOWS\\explorer.exe", nullptr, std::nullopt, "", {kAnswerYes}},
      {"C:\\WINDOWS\\explorer.exe", nullptr, std::nullopt, "", {kAnswerNo}, false},
      // An Autorun.inf the user chose goes back.
      {"E:\\Autorun.inf", nullptr, std::nullopt, ""},
  };
  for (const Case& c : cases) {
    Empty();
    machine.drives['E'] = {};
    Keep(own, store, c.path, "MZ");
    if (c.spoil) c.spoil(*this);
    desktop.questions.clear();
    desktop.answers = c.answers;
    view.folder = c.folder;
    window.ShowClick();
    view.selected = {0};
    if (c.folder) {
      window.RestoreToClick();
    } else {
      window.RestoreClick();
    }
    const std::string target = c.folder ? *c.folder + c.path.substr(c.path.rfind('\\')) : c.path;
    if (c.said.empty()) {
      EXPECT_EQ(desktop.questions.size(), c.answers.size()) << c.path;
      EXPECT_EQ(machine.FileExists(target), c.restored) << target;
    } else {
      ASSERT_EQ(desktop.questions.size(), 1u) << c.said;
      EXPECT_EQ(desktop.questions[0].text, "下列檔案沒有還原：\r" + c.said);
      EXPECT_EQ(desktop.questions[0].style, kQuarantineNotice);
    }
  }
  // A cancelled folder picker restores nothing.
  view.folder.reset();
  machine.files.clear();
  window.RestoreToClick();
  EXPECT_FALSE(machine.FileExists("E:\\Autorun.inf"));
}

TEST_F(QuarantineWindowTest, AmongSeveralTheDrivesAutorunAndOlderCopiesStayKept) {
  Empty();
  machine.drives['E'] = {};
  Keep(own, store, "E:\\Autorun.inf", "[autorun]");
  Keep(own, store, "E:\\setup.exe", "MZ old", "2026-12-07T12:00:00Z");
  Keep(own, store, "E:\\setup.exe", "MZ new", "2026-12-08T12:00:00Z");
  desktop.questions.clear();
  window.ShowClick();
  view.selected = {0, 1, 2};
  window.RestoreClick();
  EXPECT_FALSE(machine.FileExists("E:\\Autorun.inf"));
  ASSERT_NE(machine.Find("E:\\setup.exe"), nullptr);
  EXPECT_EQ(machine.Find("E:\\setup.exe")->content, "MZ new");
  ASSERT_EQ(desktop.questions.size(), 1u) << "no question about the file just put back";
  EXPECT_THAT(desktop.questions[0].text, HasSubstr("E:\\setup.exe：已還原同一位置較新的一份"));
  EXPECT_THAT(desktop.questions[0].text,
              HasSubstr("E:\\Autorun.inf：磁碟根目錄的 Autorun.inf 只在單獨選取時還原"));
}

TEST_F(QuarantineWindowTest, DeleteAsksThenForgetsTheSelectedFiles) {
  struct Case {
    int answer;
    std::vector<std::string> left;
  };
  const Case cases[] = {{kAnswerNo, {"E:\\b.exe", "E:\\a.exe"}}, {kAnswerYes, {"E:\\b.exe"}}};
  for (const Case& c : cases) {
    Empty();
    Keep(own, store, "E:\\a.exe", "a", "2026-12-07T10:00:00Z");
    Keep(own, store, "E:\\b.exe", "b", "2026-12-07T11:00:00Z");
    window.ShowClick();
    view.selected = {1};
    desktop.questions.clear();
    desktop.answers = {c.answer};
    window.DeleteClick();
    ASSERT_EQ(desktop.questions.size(), 1u);
    EXPECT_EQ(desktop.questions[0].text, "要從隔離區永久刪除選取的 1 個檔案嗎？");
    std::vector<std::string> paths;
    for (const QuarantineRow& row : view.rows) paths.push_back(row.record.path);
    EXPECT_THAT(paths, ElementsAreArray(c.left));
    EXPECT_EQ(store.files.size(), 2 * c.left.size());
  }
}

}  // namespace
}  // namespace kestrix
