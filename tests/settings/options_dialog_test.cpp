#include "settings/options_dialog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_desktop.h"
#include "fakes/fake_registry.h"
#include "settings/scan_settings.h"

namespace kestrix {
namespace {

using testing::FakeRegistry;

struct DialogFixture : ::testing::Test {
  FakeRegistry registry;
  testing::FakeDialogView view;
  FlatCheckBox autokillv{false};
  TConfigKestrix dialog{registry, view, autokillv, "C:\\K\\kestrix.exe"};
  int autokillvClicks = 0;
  void SetUp() override {
    // The main window's box mirrors back, as its own handler does.
    autokillv.OnClick = [this] {
      ++autokillvClicks;
      dialog.autokill.SetChecked(autokillv.Checked());
    };
  }
};

TEST_F(DialogFixture, EachBoxStoresItsOptionAtOnce) {
  dialog.autostart.Click();
  EXPECT_EQ(registry.Get(kRunKey, kRunValue)->data, "\"C:\\K\\kestrix.exe\"");
  EXPECT_EQ(view.status, "自動執行,手动杀毒。");
  dialog.autostart.Click();
  EXPECT_EQ(registry.Get(kRunKey, kRunValue), nullptr);

  dialog.SkipFloopy.Click();
  EXPECT_FALSE(dialog.SkipFloopy.Checked());
  EXPECT_EQ(registry.Get(kSettingsKey, kSkipFloopyValue), nullptr);
  dialog.SkipFloopy.Click();
  EXPECT_EQ(registry.Get(kSettingsKey, kSkipFloopyValue)->data, "TRUE");
  EXPECT_EQ(view.status, "手動執行,手动杀毒。") << "the skip box leaves the status alone";
}

TEST_F(DialogFixture, TheAutoCleanBoxesMirrorEachOther) {
  dialog.autokill.Click();
  EXPECT_TRUE(autokillv.Checked());
  EXPECT_EQ(autokillvClicks, 1) << "the assignment back finds the same state and stops";
  EXPECT_EQ(registry.Get(kSettingsKey, kAutoKillValue)->data, "TRUE");
  EXPECT_EQ(view.status, "手動執行,自動掃毒。");

  dialog.autokill.SetChecked(true);
  EXPECT_EQ(autokillvClicks, 1) << "assigning the current state runs nothing";
  dialog.autokill.Click();
  EXPECT_FALSE(autokillv.Checked());
  EXPECT_EQ(registry.Get(kSettingsKey, kAutoKillValue), nullptr);
}

TEST_F(DialogFixture, ARefusedKeyLeavesTheBoxTickedAndStoresNothing) {
  registry.refusedKeys.insert(FakeRegistry::Key(kRunKey));
  dialog.autostart.Click();
  EXPECT_TRUE(dialog.autostart.Checked());
  EXPECT_FALSE(registry.keys.contains(FakeRegistry::Key(kRunKey)));
  EXPECT_EQ(view.status, "自動執行,手动杀毒。");
}

TEST_F(DialogFixture, TheDoneButtonClosesTheDialog) {
  view.visible = true;
  dialog.RzBitBtn1Click();
  EXPECT_FALSE(dialog.Visible());
  EXPECT_TRUE(registry.log.empty()) << "closing stores nothing";
}

}  // namespace
}  // namespace kestrix
