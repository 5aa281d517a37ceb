#include "app/tray_icon.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace kestrix {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr std::uint32_t kMouseMove = 0x0200;
constexpr std::string_view kEmoji = "\xF0\x9F\x98\x80";  // U+1F600, a surrogate pair in UTF-16

std::string Repeat(std::string_view piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

// Behaves as the shell does: one icon, added once, modified only while present.
struct FakeShell final : NotificationArea {
  struct Call {
    NotifyAction action;
    IconRecord record;
    bool accepted;
  };
  std::vector<Call> calls;
  bool present = false;

  bool Notify(NotifyAction action, const IconRecord& record) override {
    const bool accepted = action == NotifyAction::kAdd ? !present : present;
    if (accepted && action == NotifyAction::kAdd) present = true;
    if (accepted && action == NotifyAction::kDelete) present = false;
    calls.push_back({action, record, accepted});
    return accepted;
  }
  std::vector<NotifyAction> Actions() const {
    std::vector<NotifyAction> actions;
    for (const Call& call : calls) actions.push_back(call.action);
    return actions;
  }
};

struct FakeWindow final : TrayWindow {
  bool exists = true;
  bool minimized = false;
  std::vector<std::string> calls;

  bool Exists() const override { return exists; }
  bool IsMinimized() const override { return minimized; }
  void Restore() override {
    minimized = false;
    calls.push_back("Restore");
  }
  void Show() override { calls.push_back("Show"); }
  void BringToFront() override { calls.push_back("BringToFront"); }
  void Hide() override { calls.push_back("Hide"); }
};

class TrayIconTest : public ::testing::Test {
 protected:
  FakeShell shell;
  FakeWindow window;
  TCoolTrayIcon icon{shell, window};
};

TEST(ToUtf16Cut, CountsUtf16UnitsAndNeverSplitsACharacter) {
  const std::string a62(62, 'a');
  const struct {
    std::string text;
    std::size_t units;
    std::u16string expected;
  } cases[] = {
      {"abcdef", 4, u"abcd"},
      {"abc", 10, u"abc"},
      {"abc", 0, u""},
      {a62 + std::string(kEmoji), 63, std::u16string(62, u'a')},
      {a62 + std::string(kEmoji), 64, std::u16string(62, u'a') + u"\U0001F600"},
      {std::string(kEmoji), 1, u""},
      {"中文字", 2, u"中文"},
      {"a\377b", 10, u"a\uFFFDb"},
      {"ab\xE4\xB8", 10, u"ab\uFFFD"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ToUtf16Cut(c.text, c.units), c.expected) << c.text << " into " << c.units;
  }
}

TEST_F(TrayIconTest, BalloonClearsTheLastOneThenShowsAndLaterUpdatesDoNotRepeatIt) {
  icon.AddTrayIcon();
  for (const char* text : {"成功清除 2 個病毒.", "second"}) {
    shell.calls.clear();
    EXPECT_TRUE(icon.ShowBalloon("Kestrix", text, BalloonKind::kWarning, 10));
    ASSERT_THAT(shell.Actions(), ElementsAre(NotifyAction::kModify, NotifyAction::kModify));
    const IconRecord& clear = shell.calls[0].record;
    EXPECT_EQ(clear.flags, kNifMessage | kNifIcon | kNifTip | kNifInfo);
    EXPECT_THAT(clear.info, IsEmpty()) << "the previous balloon is taken down first";
    const IconRecord& shown = shell.calls[1].record;
    EXPECT_EQ(shown.flags, kNifMessage | kNifIcon | kNifTip | kNifInfo);
    EXPECT_EQ(shown.info, ToUtf16Cut(text, kInfoUnits));
    EXPECT_EQ(shown.infoTitle, u"Kestrix");
    EXPECT_EQ(shown.timeoutOrVersion, 10000u);
    EXPECT_EQ(shown.infoFlags, 2u);
  }
  icon.SetHint("Kestrix");
  EXPECT_EQ(shell.calls.back().record.flags, kNifMessage | kNifIcon | kNifTip);

  for (const auto& [kind, value] : {std::pair{BalloonKind::kNone, 0u},
                                    {BalloonKind::kInfo, 1u},
                                    {BalloonKind::kWarning, 2u},
                                    {BalloonKind::kError, 3u}}) {
    icon.ShowBalloon("t", "x", kind, 3);
    EXPECT_EQ(shell.calls.back().record.infoFlags, value);
  }
}

TEST_F(TrayIconTest, BalloonTitleAndTextAreCutToTheRecordsRoomInUtf16Units) {
  icon.AddTrayIcon();
  const struct {
    std::string title;
    std::string text;
    std::u16string expectedTitle;
    std::u16string expectedText;
  } cases[] = {
      {std::string(70, 'T'), "x", std::u16string(63, u'T'), u"x"},
      {"t", std::string(300, 'x'), u"t", std::u16string(255, u'x')},
      {std::string(62, 'T') + std::string(kEmoji), "x", std::u16string(62, u'T'), u"x"},
      {Repeat("病", 100), Repeat("毒", 300), std::u16string(63, u'病'), std::u16string(255, u'毒')},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(icon.ShowBalloon(c.title, c.text, BalloonKind::kInfo, 10));
    EXPECT_EQ(shell.calls.back().record.infoTitle, c.expectedTitle) << c.title;
    EXPECT_EQ(shell.calls.back().record.info, c.expectedText) << c.text;
  }
}

TEST_F(TrayIconTest, BalloonIsRefusedWhileTheIconIsNotInTheTray) {
  EXPECT_FALSE(icon.ShowBalloon("Kestrix", "before", BalloonKind::kInfo, 10));
  icon.AddTrayIcon();
  icon.RemoveTrayIcon();
  EXPECT_FALSE(icon.ShowBalloon("Kestrix", "after", BalloonKind::kInfo, 10));
  EXPECT_EQ(icon.Record().flags, kNifMessage | kNifIcon | kNifTip);
}

TEST_F(TrayIconTest, EachHintChangeUpdatesTheIconWithTheTipItGives) {
  icon.AddTrayIcon();
  const struct {
    const char* step;
    std::function<void()> change;
    std::u16string expectedTip;
  } steps[] = {
      {"long hint", [&] { icon.SetHint(std::string(200, 'h')); }, std::u16string(127, u'h')},
      {"pair at the end", [&] { icon.SetHint(std::string(126, 'h') + std::string(kEmoji)); },
       std::u16string(126, u'h')},
      {"empty hint", [&] { icon.SetHint(""); }, u""},
      {"short hint", [&] { icon.SetHint("Kestrix 掃描中"); }, u"Kestrix 掃描中"},
      {"ShowHint off", [&] { icon.SetShowHint(false); }, u""},
      {"new image, still off", [&] { icon.IconChanged(); }, u""},
      {"ShowHint on", [&] { icon.SetShowHint(true); }, u"Kestrix 掃描中"},
  };
  for (const auto& s : steps) {
    shell.calls.clear();
    s.change();
    ASSERT_THAT(shell.Actions(), ElementsAre(NotifyAction::kModify)) << s.step;
    EXPECT_EQ(shell.calls[0].record.tip, s.expectedTip) << s.step;
  }
}

TEST_F(TrayIconTest, IconVisibleAddsOrRemovesOnEveryAssignmentEvenUnchanged) {
  EXPECT_FALSE(icon.UpdateTrayIcon()) << "the shell refuses it: not added yet";
  icon.SetIconVisible(true);
  icon.SetIconVisible(true);
  EXPECT_TRUE(icon.IconVisible());
  icon.SetIconVisible(false);
  icon.SetIconVisible(false);
  EXPECT_FALSE(icon.IconVisible());
  ASSERT_THAT(shell.Actions(), ElementsAre(NotifyAction::kModify, NotifyAction::kAdd, NotifyAction::kAdd,
                                           NotifyAction::kDelete, NotifyAction::kDelete));
  std::vector<bool> accepted;
  for (const auto& call : shell.calls) accepted.push_back(call.accepted);
  EXPECT_THAT(accepted, ElementsAre(false, true, false, true, false));
}

TEST_F(TrayIconTest, DoubleClickAndRightButtonDownRaiseTheirEventsOnlyWhileEnabled) {
  int doubleClicks = 0;
  int menus = 0;
  icon.OnDblClick = [&] { ++doubleClicks; };
  icon.OnPopupMenu = [&] { ++menus; };
  const struct {
    std::uint32_t message;
    int doubleClicks;
    int menus;
  } cases[] = {
      {kMouseLeftDown, 0, 0},  {kMouseLeftUp, 0, 0},  {kMouseLeftDoubleClick, 1, 0},
      {kMouseRightDown, 0, 1}, {kMouseRightUp, 0, 0}, {kMouseMove, 0, 0},
  };
  for (const bool enabled : {true, false}) {
    icon.SetEnabled(enabled);
    for (const auto& c : cases) {
      doubleClicks = menus = 0;
      icon.HandleCallback(c.message);
      EXPECT_EQ(doubleClicks, enabled ? c.doubleClicks : 0) << std::hex << c.message;
      EXPECT_EQ(menus, enabled ? c.menus : 0) << std::hex << c.message;
    }
  }
  EXPECT_THAT(shell.calls, IsEmpty());
  EXPECT_THAT(window.calls, IsEmpty());

  TCoolTrayIcon bare(shell, window);
  for (const auto& c : cases) bare.HandleCallback(c.message);  // no handlers set: nothing to call
}

TEST_F(TrayIconTest, StartupHidesTheWindowIfAskedThenReaddsAndSelectsPlainMouseMessages) {
  const struct {
    const char* name;
    std::function<void(bool&)> onStartup;
    bool hidden;
  } cases[] = {
      {"clears the flag", [](bool& show) { show = false; }, true},
      {"leaves it", [](bool& show) { EXPECT_TRUE(show); }, false},
      {"no handler", nullptr, false},
  };
  for (const auto& c : cases) {
    FakeShell startShell;
    FakeWindow startWindow;
    TCoolTrayIcon startIcon(startShell, startWindow);
    startIcon.SetIconVisible(true);
    startIcon.ShowBalloon("Kestrix", "ready", BalloonKind::kInfo, 10);
    startShell.calls.clear();
    startIcon.OnStartup = c.onStartup;

    startIcon.Startup();
    EXPECT_EQ(startWindow.calls, c.hidden ? std::vector<std::string>{"Hide"} : std::vector<std::string>{})
        << c.name;
    ASSERT_THAT(startShell.Actions(),
                ElementsAre(NotifyAction::kModify, NotifyAction::kAdd, NotifyAction::kSetVersion))
        << c.name;
    EXPECT_FALSE(startShell.calls[1].accepted) << "the icon is already there";
    EXPECT_EQ(startShell.calls[2].record.timeoutOrVersion, 0u) << c.name;
  }
}

TEST_F(TrayIconTest, MinimizingHidesTheWindowAndPutsTheIconBack) {
  icon.AddTrayIcon();
  icon.RemoveTrayIcon();
  icon.WindowMinimized();
  EXPECT_THAT(window.calls, ElementsAre("Hide"));
  EXPECT_EQ(shell.calls.back().action, NotifyAction::kAdd);
  EXPECT_TRUE(shell.present);
  EXPECT_TRUE(icon.IconVisible());
}

TEST_F(TrayIconTest, WindowCommandsRestoreAMinimizedWindowAndDoNothingWithoutOne) {
  using Command = void (TCoolTrayIcon::*)();
  const struct {
    const char* name;
    Command command;
    bool exists;
    bool minimized;
    std::vector<std::string> expected;
  } cases[] = {
      {"show minimized", &TCoolTrayIcon::ShowMainWindow, true, true, {"Restore", "Show", "BringToFront"}},
      {"show normal", &TCoolTrayIcon::ShowMainWindow, true, false, {"Show", "BringToFront"}},
      {"show missing", &TCoolTrayIcon::ShowMainWindow, false, true, {}},
      {"hide", &TCoolTrayIcon::HideMainWindow, true, false, {"Hide"}},
      {"hide missing", &TCoolTrayIcon::HideMainWindow, false, false, {}},
      {"restore minimized", &TCoolTrayIcon::RestoreRequested, true, true, {"Restore", "Show"}},
      {"restore normal", &TCoolTrayIcon::RestoreRequested, true, false, {"Show"}},
      {"restore missing", &TCoolTrayIcon::RestoreRequested, false, true, {}},
  };
  for (const auto& c : cases) {
    window.calls.clear();
    window.exists = c.exists;
    window.minimized = c.minimized;
    (icon.*c.command)();
    EXPECT_EQ(window.calls, c.expected) << c.name;
  }
  EXPECT_THAT(shell.calls, IsEmpty());
}

TEST_F(TrayIconTest, NewTaskbarGetsTheIconBackOnlyIfItWasShown) {
  icon.AddTrayIcon();
  shell.present = false;  // Explorer restarted and forgot every icon
  icon.TaskbarCreated();
  EXPECT_TRUE(shell.present);

  icon.RemoveTrayIcon();
  shell.calls.clear();
  icon.TaskbarCreated();
  EXPECT_THAT(shell.calls, IsEmpty());
}

}  // namespace
}  // namespace kestrix
