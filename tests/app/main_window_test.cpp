#include "app/main_window.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_desktop.h"
#include "fakes/fake_machine.h"
#include "fakes/fake_registry.h"
#include "repair/disk_class_repair.h"

namespace kestrix {
namespace {

using ::testing::ElementsAre;

constexpr std::string_view kRules = "C:\\Program Files\\Kestrix\\Kestrix.dat";

// A program started on a machine of fakes, as the Windows program starts it:
// the main window, then the options dialog, then the timers tick.
class Program : public ::testing::Test {
 protected:
  testing::FakeMachine machine;
  testing::FakeDesktop desktop;
  testing::FakeProcessTable processes;
  testing::FakeRegistry registry;
  testing::FakeApplication application;
  testing::FakeTimers timers;
  testing::FakeNotificationArea area;
  testing::FakeTrayWindow window;
  testing::FakeConsoleView view;
  testing::FakeDialogView dialogView;
  testing::FakeStoreFolder store;
  testing::FakeHashing hashing;
  Quarantine quarantine{{machine, machine, store, hashing}, kDefaultQuarantineLimit};
  std::optional<Tconsole> console;
  std::optional<TConfigKestrix> dialog;

  void SetUp() override { machine.AddFile(kRules, ""); }

  void Start() {
    console.emplace(ConsoleServices{machine, machine, machine.folding, machine, desktop, desktop, processes,
                                    registry, application, timers, area, window, &quarantine},
                    view);
    console->Create();
    dialog.emplace(registry, dialogView, console->autokillv, application.executablePath);
    console->AttachOptionsDialog(*dialog);
  }
  void Tick(int id) {
    if (timers.running.contains(id)) console->Dispatch([&] { console->TimerTick(id); });
  }
  void StartAndTick() {
    Start();
    Tick(kFreshOneTimeTimer);
    Tick(kScanDispachTimer);
  }
  void InfectStick() {
    machine.drives['E'] = {DriveType::kRemovable, 1};
    machine.AddFile("E:\\Autorun.inf", "open=worm.exe");
    machine.AddFile("E:\\worm.exe");
  }
};

TEST_F(Program, StartsAsATrayIconWithItsBalloonAndRepairsTheDiskClassKey) {
  Start();
  EXPECT_TRUE(area.present);
  EXPECT_FALSE(window.visible);
  ASSERT_EQ(area.balloons.size(), 1u);
  EXPECT_EQ(area.balloons[0].info, u"Kestrix成功執行，開始保護你的電腦。");
  EXPECT_EQ(area.balloons[0].timeoutOrVersion, 10000u);
  EXPECT_EQ(console->CoolTrayIcon1.Hint(), "Kestrix\r狀態：正在監控\r開始：2026/12/7 20:49:03");
  EXPECT_EQ(registry.Get(kDiskClassKey, "Icon")->data, "-53");
  EXPECT_THAT(timers.running,
              ElementsAre(std::pair(kScanDispachTimer, 100), std::pair(kFreshOneTimeTimer, 50)));
  EXPECT_EQ(console->SweepSetup().ruleDatabasePath, kRules);
  EXPECT_EQ(registry.openKeys, 0);
}

TEST_F(Program, AMissingRuleDatabaseShowsInCaptionAndTip) {
  machine.files.clear();
  Start();
  EXPECT_EQ(view.caption, "Kestrix [无病毒库：Kestrix.dat]");
  EXPECT_TRUE(console->CoolTrayIcon1.Hint().starts_with("Kestrix [无病毒库：Kestrix.dat]\r"));
  EXPECT_TRUE(console->SweepSetup().ruleDatabasePath.empty());
  EXPECT_TRUE(IsRunningInstance("Tconsole", view.caption)) << "a second start must still find it";
  EXPECT_FALSE(IsRunningInstance("Tconsole", "Notepad"));
  EXPECT_FALSE(IsRunningInstance("Other", "Kestrix"));
}

TEST_F(Program, ANonTextOptionEndsCreationBeforeTheRepairAndGoesToTheErrorBox) {
  registry.Set(kSettingsKey, kAutoKillValue, "\1\0\0\0", testing::kRegDword);
  Start();
  EXPECT_THAT(application.errors, ElementsAre(std::pair<std::string, std::string>(
                                      "Invalid data type for 'AutoKill'", "Kestrix")));
  EXPECT_EQ(registry.Get(kDiskClassKey, "Icon"), nullptr);
  EXPECT_TRUE(area.present) << "the window still exists";
  EXPECT_EQ(registry.openKeys, 0);
}

TEST_F(Program, TheFirstSweepFindsTheStickAndBringsTheWindowUp) {
  InfectStick();
  StartAndTick();
  EXPECT_TRUE(window.visible);
  ASSERT_EQ(view.rows.size(), 2u);
  EXPECT_EQ(view.rows[0].path, "E:\\Autorun.inf");
  EXPECT_EQ(view.rows[1].path, "E:\\worm.exe");
  EXPECT_EQ(view.totalNumber, "2");
  EXPECT_EQ(view.currentVirus, "尋找完畢.");
  EXPECT_FALSE(timers.running.contains(kScanDispachTimer)) << "one-shot";
}

TEST_F(Program, DeviceArrivalsWithinOneTickGiveOneSweep) {
  StartAndTick();
  const int startsBefore = timers.starts;
  console->WmDeviceChange(0x8004);
  EXPECT_FALSE(console->ScanDispach().Enabled()) << "a removal starts no sweep";
  for (int i = 0; i < 3; ++i) console->WmDeviceChange(kDeviceArrival);
  console->startsearchClick();
  EXPECT_EQ(timers.starts, startsBefore + 1);
  InfectStick();
  Tick(kScanDispachTimer);
  EXPECT_EQ(view.rows.size(), 2u);
  EXPECT_FALSE(console->ScanDispach().Enabled());
}

TEST_F(Program, AutomaticCleaningFollowsTheDialogsBox) {
  registry.Set(kSettingsKey, kAutoKillValue, "FALSE");  // any text means on
  InfectStick();
  StartAndTick();
  EXPECT_TRUE(view.autoKillChecked);
  EXPECT_TRUE(dialog->autokill.Checked());
  EXPECT_TRUE(view.rows.empty());
  EXPECT_THAT(machine.removed, ElementsAre("E:\\worm.exe", "E:\\Autorun.inf"));
  const auto kept = quarantine.List();
  ASSERT_EQ(kept.size(), 2u) << "the removals keep what they delete";
  EXPECT_EQ(kept[1].path, "E:\\Autorun.inf");
  ASSERT_FALSE(area.balloons.empty());
  EXPECT_EQ(area.balloons.back().info,
            u"成功清除 2 個病毒.\n已將 2 個檔案保存在隔離區，可以從「隔離區」還原。");
}

TEST_F(Program, TheAutoCleanBoxesMirrorEachOtherAndStoreAtOnce) {
  StartAndTick();
  console->Dispatch([&] { console->autokillv.Click(); });
  EXPECT_TRUE(dialog->autokill.Checked());
  EXPECT_EQ(registry.Get(kSettingsKey, kAutoKillValue)->data, "TRUE");
  EXPECT_EQ(dialogView.status, "手動執行,自動掃毒。");
  EXPECT_NE(registry.Get(kSettingsKey, kSkipFloopyValue), nullptr) << "the new key keeps skipping A and B";
  console->Dispatch([&] { dialog->autokill.Click(); });
  EXPECT_FALSE(console->autokillv.Checked());
  EXPECT_FALSE(view.autoKillChecked);
  EXPECT_EQ(registry.Get(kSettingsKey, kAutoKillValue), nullptr);
}

TEST_F(Program, APolicysAutoCleanCleansAndGreysBothBoxesWithoutStoring) {
  registry.Set(kPolicyKey, kAutoKillValue, std::string("\1\0\0\0", 4), testing::kRegDword);
  registry.readOnlyKeys.insert(testing::FakeRegistry::Key(kSettingsKey));  // a standard user
  registry.keys[testing::FakeRegistry::Key(kSettingsKey)];
  InfectStick();
  StartAndTick();
  EXPECT_TRUE(application.errors.empty()) << "nothing was stored, so nothing failed";
  EXPECT_TRUE(view.autoKillChecked);
  EXPECT_FALSE(view.autoKillEnabled);
  EXPECT_FALSE(dialog->autokill.Enabled());
  EXPECT_TRUE(dialog->autostart.Enabled());
  EXPECT_THAT(machine.removed, ElementsAre("E:\\worm.exe", "E:\\Autorun.inf"));
  console->Dispatch([&] { console->autokillv.Click(); });
  EXPECT_TRUE(console->autokillv.Checked());
  EXPECT_EQ(registry.Get(kSettingsKey, kAutoKillValue), nullptr);
}

TEST_F(Program, TheSkipOptionCountsFromTheNextStart) {
  registry.Set(kSettingsKey, kAutoKillValue, "");
  StartAndTick();
  EXPECT_FALSE(dialog->SkipFloopy.Checked()) << "the key without SkipFloopy sweeps A and B";
  EXPECT_FALSE(console->SweepSetup().skipFloppies);
  console->Dispatch([&] { dialog->SkipFloopy.Click(); });
  EXPECT_EQ(registry.Get(kSettingsKey, kSkipFloopyValue)->data, "TRUE");
  EXPECT_FALSE(console->SweepSetup().skipFloppies);

  Start();
  EXPECT_TRUE(console->SweepSetup().skipFloppies);
}

TEST_F(Program, WithoutASettingsKeyNothingIsWrittenAtStart) {
  StartAndTick();
  EXPECT_TRUE(dialog->SkipFloopy.Checked());
  EXPECT_FALSE(registry.keys.contains(testing::FakeRegistry::Key(kSettingsKey)));
  EXPECT_EQ(dialogView.status, "準備就緒。");
}

TEST_F(Program, TheStartPushRewritesARunValueNamingAnotherCopy) {
  machine.AddFile("D:\\Old\\kestrix.exe");
  registry.Set(kRunKey, kRunValue, "\"D:\\Old\\kestrix.exe\"");
  Start();
  EXPECT_EQ(registry.Get(kRunKey, kRunValue)->data, "\"D:\\Old\\kestrix.exe\"");
  Tick(kFreshOneTimeTimer);
  EXPECT_EQ(registry.Get(kRunKey, kRunValue)->data, "\"C:\\Program Files\\Kestrix\\kestrix.exe\"");
  EXPECT_EQ(dialogView.status, "自動執行,手动杀毒。");
}

TEST_F(Program, ClosingHidesAndNeverEndsTheProgram) {
  StartAndTick();
  window.visible = true;
  EXPECT_FALSE(console->FormCloseQuery());
  EXPECT_FALSE(window.visible) << "an empty list: hidden without a question";
  EXPECT_TRUE(desktop.questions.empty());

  console->VirusList().AddVirus("E:\\x.exe", 0);
  desktop.answers = {kAnswerNo};
  EXPECT_FALSE(console->FormCloseQuery());
  EXPECT_TRUE(window.visible);
  ASSERT_EQ(desktop.questions.size(), 1u);
  EXPECT_EQ(desktop.questions[0].text, "還有 1 個可疑檔案,要略過嗎？");
  EXPECT_EQ(desktop.questions[0].caption, "是否略過");
  EXPECT_EQ(desktop.questions[0].style, 0x124u);
  desktop.answers = {kAnswerYes};
  console->FormCloseQuery();
  EXPECT_FALSE(window.visible);
  EXPECT_NE(console->WmQueryEndSession(), 0) << "log-off is never held up";
  EXPECT_FALSE(application.terminated);
}

TEST_F(Program, ExitWithEntriesCanCleanAndStay) {
  InfectStick();
  StartAndTick();
  desktop.answers = {kAnswerYes};
  console->Dispatch([&] { console->exitappClick(); });
  EXPECT_EQ(desktop.questions.back().text, "還有 2 個可疑檔案,是否在離開前刪除？");
  EXPECT_TRUE(view.rows.empty());
  EXPECT_FALSE(application.terminated);
  EXPECT_TRUE(window.visible) << "a menu-started pass does not hide the window";

  console->Dispatch([&] { console->exitappClick(); });
  EXPECT_TRUE(application.terminated);
  EXPECT_FALSE(area.present);
}

TEST_F(Program, ExitWithEntriesAndNoEndsTheProgram) {
  InfectStick();
  StartAndTick();
  desktop.answers = {kAnswerNo};
  console->exitappClick();
  EXPECT_TRUE(application.terminated);
  EXPECT_FALSE(area.present);
  EXPECT_TRUE(machine.Find("E:\\worm.exe"));
}

TEST_F(Program, TheCleanButtonHidesTheWindowOnceTheListIsEmpty) {
  InfectStick();
  StartAndTick();
  console->Dispatch([&] { console->KillVirusClick(Sender::kFlatButton); });
  EXPECT_FALSE(window.visible);
  EXPECT_EQ(view.totalNumber, "0");
}

TEST_F(Program, AWakeUpShowsTheWindowWhateverItCarries) {
  Start();
  console->WmCopyData();
  EXPECT_TRUE(window.visible);
  const WakeUpMessage message = MakeWakeUpMessage();
  EXPECT_EQ(message.dwData, 0u);
  EXPECT_EQ(message.cbData, 12u);
  EXPECT_EQ(message.data, std::string("ShowKestrix\0", 12));
}

TEST_F(Program, CommandsOfTheMenus) {
  Start();
  console->updateappClick();
  EXPECT_THAT(application.opened, ElementsAre(std::string(kUpdateAddress)));
  console->KestrixAboutClick();
  EXPECT_THAT(application.about, ElementsAre("Kestrix 隨身碟掃毒工"));
  console->ConfigappClick();
  EXPECT_EQ(dialogView.modalShows, 1);
  EXPECT_TRUE(window.visible);
  dialogView.visible = true;
  console->ConfigappClick();
  EXPECT_EQ(dialogView.modalShows, 1) << "already open";
  console->SkipVirusClick();
  EXPECT_FALSE(window.visible);
}

TEST_F(Program, ARowsTipIsWhyItsEntryIsListedCutToALength) {
  std::string cjk500;
  for (int i = 0; i < 500; ++i) cjk500 += "病";
  const struct {
    std::string reason;
    std::string tip;
  } cases[] = {
      {"E:\\Autorun.inf line 2 [autorun] open: open=worm.exe",
       "E:\\Autorun.inf line 2 [autorun] open: open=worm.exe"},
      {"", ""},
      {cjk500, cjk500},
      {cjk500 + "毒毒", cjk500 + "…"},
      {std::string(501, 'x'), std::string(500, 'x') + "…"},
  };
  Start();
  for (const auto& c : cases)
    console->VirusList().AddVirus("E:\\" + std::to_string(&c - cases) + ".exe", 0, c.reason);
  for (const auto& c : cases)
    EXPECT_EQ(console->RowTip(static_cast<std::size_t>(&c - cases)), c.tip) << c.reason;
  EXPECT_EQ(console->RowTip(std::size(cases)), "") << "no such row";
}

TEST_F(Program, TheVaccineSubmenuListsTheRemovableDrivesTheSweepLooksAt) {
  machine.drives['A'] = {DriveType::kRemovable, 1};
  machine.drives['D'] = {DriveType::kCdRom, 1};
  machine.drives['E'] = {.type = DriveType::kRemovable, .label = "Tom & Ann"};
  machine.drives['F'] = {DriveType::kFixed, 1};
  machine.drives['G'] = {DriveType::kRemovable, 0};  // a card reader without a card
  machine.drives['H'] = {DriveType::kRemovable, 1};
  ASSERT_TRUE(Immunize(machine, machine, 'H').done);
  struct Case {
    std::string skipFloopy;  // the stored value; empty: A: and B: are swept
    std::vector<VaccineDrive> drives;
  };
  const Case cases[] = {
      {"TRUE", {{'E', "E: Tom && Ann", false}, {'H', "H:", true}}},
      {"", {{'A', "A:", false}, {'E', "E: Tom && Ann", false}, {'H', "H:", true}}},
  };
  for (const Case& c : cases) {
    registry.Set(kSettingsKey, kSkipFloopyValue, c.skipFloopy);
    Start();
    EXPECT_EQ(console->VaccineMenuDrives(), c.drives) << c.skipFloopy;
  }
}

TEST_F(Program, ChoosingADriveImmunizesItOrTakesTheVaccineAwayAndABalloonSaysWhat) {
  struct Case {
    std::string_view name;
    std::function<void()> setUp;
    std::u16string balloon;
    BalloonKind kind;
    bool immunizedAfter;
  };
  const Case cases[] = {
      {"a clean stick", [] {}, u"已保護 E:，建立了 E:\\Autorun.inf 資料夾，病毒無法再寫入 Autorun.inf。",
       BalloonKind::kInfo, true},
      {"an immunized stick", [&] { Immunize(machine, machine, 'E'); },
       u"已取消 E: 的保護：移除了 Kestrix 建立的 E:\\Autorun.inf 資料夾。", BalloonKind::kInfo, false},
      {"a worm's Autorun.inf", [&] { machine.AddFile("E:\\Autorun.inf", "open=worm.exe"); },
       u"無法保護 E:，E:\\Autorun.inf 是檔案，可能是病毒寫入的，請先掃毒並清除。", BalloonKind::kWarning,
       false},
      {"another's folder", [&] { machine.AddFolder("E:\\Autorun.inf"); },
       u"無法保護 E:，E:\\Autorun.inf 是別的程式建立的資料夾，一樣能擋住病毒，保持原樣。",
       BalloonKind::kWarning, false},
      {"the user's file in Kestrix's folder",
       [&] {
         Immunize(machine, machine, 'E');
         machine.AddFile("E:\\Autorun.inf\\mine.txt");
       },
       u"無法取消 E: 的保護：E:\\Autorun.inf 中有不是 Kestrix 放入的檔案，保持原樣。", BalloonKind::kWarning,
       true},
      {"a write-protected stick", [&] { machine.readOnlyReason = "write-protected"; },
       u"無法保護 E:，E: 無法寫入，可能是唯讀或有防寫保護。", BalloonKind::kWarning, false},
      {"a CD-ROM", [&] { machine.drives['E'].type = DriveType::kCdRom; },
       u"無法保護 E:，這是光碟機，光碟無法更改。", BalloonKind::kWarning, false},
  };
  Start();
  for (const Case& c : cases) {
    machine.files.clear();
    machine.directories.clear();
    machine.readOnlyReason.clear();
    machine.drives['E'] = {DriveType::kRemovable, 1};
    c.setUp();
    console->Dispatch([&] { console->VaccineDriveClick('E'); });
    ASSERT_FALSE(area.balloons.empty()) << c.name;
    EXPECT_EQ(area.balloons.back().info, c.balloon) << c.name;
    EXPECT_EQ(area.balloons.back().infoFlags, static_cast<std::uint32_t>(c.kind)) << c.name;
    machine.readOnlyReason.clear();
    EXPECT_EQ(IsImmunized(machine, 'E'), c.immunizedAfter) << c.name;
  }
}

TEST_F(Program, WithTheOptionOnASweepImmunizesEachRemovableDriveItFoundClean) {
  struct Case {
    std::string_view name;
    bool option, infected, autoClean, immunizedBefore;
    bool immunizedAfter;
    std::u16string lastBalloon;
  };
  const std::u16string started = u"Kestrix成功執行，開始保護你的電腦。";
  const std::u16string done = u"掃描後已自動保護乾淨的隨身碟 E:。";
  const Case cases[] = {
      {"off by default", false, false, false, false, false, started},
      {"a clean stick", true, false, false, false, true, done},
      {"an infected stick", true, true, false, false, false, started},
      {"a stick cleaned after the sweep", true, true, true, false, false,
       u"成功清除 2 個病毒.\n已將 2 個檔案保存在隔離區，可以從「隔離區」還原。"},
      {"immunized already", true, false, false, true, true, started},
  };
  for (const Case& c : cases) {
    registry = testing::FakeRegistry();
    area = testing::FakeNotificationArea();
    machine.files.clear();
    machine.directories.clear();
    machine.AddFile(kRules, "");
    machine.drives['E'] = {DriveType::kRemovable, 1};
    if (c.infected) InfectStick();
    if (c.immunizedBefore) Immunize(machine, machine, 'E');
    if (c.option) registry.Set(kSettingsKey, kAutoImmunizeValue, "TRUE");
    if (c.autoClean) registry.Set(kSettingsKey, kAutoKillValue, "TRUE");
    StartAndTick();
    EXPECT_EQ(dialog->autoimmunize.Checked(), c.option) << c.name;
    EXPECT_EQ(IsImmunized(machine, 'E'), c.immunizedAfter) << c.name;
    ASSERT_FALSE(area.balloons.empty()) << c.name;
    EXPECT_EQ(area.balloons.back().info, c.lastBalloon) << c.name;
  }
  // The vaccine the user took away stays away at the next sweep.
  console->VaccineDriveClick('E');
  console->startsearchClick();
  Tick(kScanDispachTimer);
  EXPECT_FALSE(IsImmunized(machine, 'E'));
}

TEST(FormResizeLayout, FollowsTheWindowWithHalfTheGrowthTruncatedTowardZero) {
  const MainLayout wider = FormResizeLayout(431, 362);
  EXPECT_EQ(wider.currentVirusWidth, 187);
  EXPECT_EQ(wider.totalProgressWidth, 187);
  EXPECT_EQ(wider.foundVirusLeft, 277);
  EXPECT_EQ(wider.totalNumberLeft, 324);
  const MainLayout narrower = FormResizeLayout(426, 362);
  EXPECT_EQ(narrower.currentVirusWidth, 185);
  EXPECT_EQ(narrower.foundVirusLeft, 275);
  const MainLayout designed = FormResizeLayout(430, 362);
  EXPECT_EQ(designed, (MainLayout{420, 420, 283, 420, 238, 327, 379, 186, 186, 276, 323, 273, 213}));
  EXPECT_EQ(FormResizeLayout(100, 50).virusListHeight, -99) << "no lower bound";
}

}  // namespace
}  // namespace kestrix
