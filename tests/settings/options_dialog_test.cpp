#include "settings/options_dialog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "fakes/fake_desktop.h"
#include "fakes/fake_registry.h"
#include "platform/common/format_text.h"
#include "settings/registry_values.h"
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

TEST_F(DialogFixture, AChangeThatCannotBeStoredSaysSoUnlessNothingNeedsStoring) {
  const std::string notStored =
      "無法儲存 '%s'：Kestrix 無法寫入登錄檔 HKEY_LOCAL_MACHINE，這項變更沒有儲存。"
      "請以系統管理員身分執行 Kestrix 再變更選項。";
  const auto said = [&](std::string_view name) { return FormatText(notStored, name); };
  const std::string command = "\"C:\\K\\kestrix.exe\"";
  struct Case {
    std::string what;
    std::string key;     // a standard user may only read it; "!" before it: not even read it; "-": no key
    std::string stored;  // the value the box's click would store; empty: missing
    std::function<void(TConfigKestrix&)> change;
    std::string error;  // empty: none
  };
  const Case cases[] = {
      {"ticking auto-clean", std::string(kSettingsKey), "", [](auto& d) { d.autokill.SetChecked(true); },
       said("AutoKill")},
      {"auto-clean stored already", std::string(kSettingsKey), "FALSE",
       [](auto& d) { d.autokill.SetChecked(true); }, ""},
      {"skip off, stored off already", std::string(kSettingsKey), "", [](auto& d) { d.SkipFloopy.Click(); },
       ""},
      {"skip off", std::string(kSettingsKey), "TRUE", [](auto& d) { d.SkipFloopy.Click(); },
       said("SkipFloopy")},
      {"skip off, no key at all", "-" + std::string(kSettingsKey), "", [](auto& d) { d.SkipFloopy.Click(); },
       said("SkipFloopy")},
      {"autostart stored already", std::string(kRunKey), command, [](auto& d) { d.autostart.Click(); }, ""},
      {"autostart naming another copy", std::string(kRunKey), "\"D:\\kestrix.exe\"",
       [](auto& d) { d.autostart.Click(); }, said("Kestrix")},
      {"key refused", "!" + std::string(kRunKey), command, [](auto& d) { d.autostart.Click(); },
       said("Kestrix")},
  };
  for (const Case& c : cases) {
    registry = FakeRegistry();
    const bool refused = c.key.starts_with('!');
    const bool missing = c.key.starts_with('-');
    const std::string key = refused || missing ? c.key.substr(1) : c.key;
    const std::string name = key == kRunKey               ? std::string(kRunValue)
                             : c.what.starts_with("skip") ? std::string(kSkipFloopyValue)
                                                          : std::string(kAutoKillValue);
    if (!c.stored.empty()) registry.Set(key, name, c.stored);
    if (!missing) registry.keys[FakeRegistry::Key(key)];
    (refused ? registry.refusedKeys : registry.readOnlyKeys).insert(FakeRegistry::Key(key));
    const auto before = registry.keys;
    std::string error;
    try {
      c.change(dialog);
    } catch (const RegistryError& e) {
      error = e.what();
    }
    EXPECT_EQ(error, c.error) << c.what;
    EXPECT_EQ(registry.keys, before) << c.what;
    registry.readOnlyKeys.clear();
    registry.refusedKeys.clear();
    dialog.autokill.SetChecked(false);
    dialog.autostart.SetChecked(false);
    dialog.SkipFloopy.SetChecked(true);
  }

  registry.refusedWrites.insert(std::string(kRunValue));
  try {
    dialog.autostart.Click();
    FAIL() << "a refused write must be told";
  } catch (const RegistryError& e) {
    EXPECT_STREQ(e.what(), "Failed to set data for 'Kestrix'");
  }
  EXPECT_TRUE(dialog.autostart.Checked()) << "the box keeps its new state";
}

TEST(NewSettingsKey, HoldsEveryOptionAsTheBoxesShowIt) {
  // The box ticked or cleared first creates the key; "-": the value stays missing.
  struct Case {
    Policy policy;
    bool untickSkip;
    FlatCheckBox TConfigKestrix::*first;
    std::string autoKill, skipFloopy, autoImmunize;
  };
  const Case cases[] = {
      {{}, false, &TConfigKestrix::autokill, "TRUE", "TRUE", "-"},
      {{}, true, &TConfigKestrix::autokill, "TRUE", "-", "-"},
      {{.skipFloppies = true}, false, &TConfigKestrix::autokill, "TRUE", "-", "-"},
      {{}, false, &TConfigKestrix::autoimmunize, "-", "TRUE", "TRUE"},
      {{.autoClean = true}, true, &TConfigKestrix::autoimmunize, "-", "-", "TRUE"},
  };
  for (const Case& c : cases) {
    FakeRegistry registry;
    testing::FakeDialogView view;
    FlatCheckBox autokillv{false};
    TConfigKestrix dialog{registry, view, autokillv, "C:\\K\\kestrix.exe"};
    dialog.ApplyPolicy(c.policy);
    if (c.untickSkip) {
      dialog.SkipFloopy.Click();
      EXPECT_EQ(registry.KeyExists(kSettingsKey), true) << "an unticked SkipFloopy is kept by the key alone";
    }
    (dialog.*c.first).Click();
    const auto stored = [&](std::string_view name) {
      const auto* value = registry.Get(kSettingsKey, name);
      return value ? value->data : "-";
    };
    EXPECT_EQ(stored(kAutoKillValue), c.autoKill) << c.untickSkip;
    EXPECT_EQ(stored(kSkipFloopyValue), c.skipFloopy) << c.untickSkip;
    EXPECT_EQ(stored(kAutoImmunizeValue), c.autoImmunize) << c.untickSkip;
  }
}

TEST_F(DialogFixture, TheDoneButtonClosesTheDialog) {
  view.visible = true;
  dialog.RzBitBtn1Click();
  EXPECT_FALSE(dialog.Visible());
  EXPECT_TRUE(registry.log.empty()) << "closing stores nothing";
}

TEST(ManagedOptions, OnlyTheManagedBoxIsGreyedAndOnlyItStoresNothing) {
  // Each box turned over as the start gives it a value; what stays stored
  // tells which options were written: AutoKill on, SkipFloopy off, Run on.
  struct Case {
    Policy policy;
    bool autoKillStored, skipFloopyKept, runStored;
    std::string_view notice;
  };
  constexpr std::string_view kNotice = "灰色的選項由系統管理員管理。";
  const Case cases[] = {{{.quarantineLimit = 1}, true, false, true, ""},
                        {{.autoClean = true}, false, false, true, kNotice},
                        {{.skipFloppies = true}, true, true, true, kNotice},
                        {{.startWithWindows = false}, true, false, false, kNotice}};
  for (const Case& c : cases) {
    FakeRegistry registry;
    registry.Set(kSettingsKey, kSkipFloopyValue, "TRUE");
    testing::FakeDialogView view;
    FlatCheckBox autokillv{false};
    TConfigKestrix dialog{registry, view, autokillv, "C:\\K\\kestrix.exe"};
    dialog.ApplyPolicy(c.policy);
    EXPECT_EQ(view.notice, c.notice);
    const std::pair<FlatCheckBox*, bool> boxes[] = {
        {&dialog.autokill, c.policy.autoClean.has_value()},
        {&dialog.SkipFloopy, c.policy.skipFloppies.has_value()},
        {&dialog.autostart, c.policy.startWithWindows.has_value()}};
    for (const auto& [box, managed] : boxes) {
      EXPECT_EQ(box->Enabled(), !managed);
      const bool before = box->Checked();
      box->Click();
      EXPECT_EQ(box->Checked(), managed ? before : !before) << "a click on a greyed box does nothing";
      if (!managed) box->Click();
      box->SetChecked(!before);
    }
    EXPECT_EQ(registry.Get(kSettingsKey, kAutoKillValue) != nullptr, c.autoKillStored) << c.notice;
    EXPECT_EQ(registry.Get(kSettingsKey, kSkipFloopyValue) != nullptr, c.skipFloopyKept) << c.notice;
    EXPECT_EQ(registry.Get(kRunKey, kRunValue) != nullptr, c.runStored) << c.notice;
  }
}

}  // namespace
}  // namespace kestrix
