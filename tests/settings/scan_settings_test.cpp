#include "settings/scan_settings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_machine.h"
#include "fakes/fake_registry.h"
#include "remedy/quarantine.h"
#include "settings/policy.h"
#include "settings/registry_values.h"

namespace kestrix {
namespace {

using testing::FakeRegistry;

constexpr std::string_view kExe = "C:\\Program Files\\Kestrix\\kestrix.exe";

struct ReadSettingsFixture : ::testing::Test {
  FakeRegistry registry;
  testing::FakeMachine machine;
  ScanSettings settings;
  std::string programFiles;

  void Read() { ReadScanSettings(registry, machine, machine.folding, kExe, settings, programFiles); }
};

TEST_F(ReadSettingsFixture, WithoutTheSettingsKeyCleaningIsOffAndFloppiesAreSkipped) {
  Read();
  EXPECT_FALSE(settings.autoClean);
  EXPECT_TRUE(settings.skipFloppies);
  EXPECT_FALSE(settings.startWithWindows);
  EXPECT_TRUE(programFiles.empty());
  EXPECT_TRUE(registry.keys.empty()) << "nothing is created or written";
}

TEST_F(ReadSettingsFixture, AnOptionIsOnWhenItsValueHoldsAnyText) {
  const std::pair<std::string, bool> cases[] = {{"TRUE", true}, {"FALSE", true}, {"0", true}, {"", false}};
  for (const auto& [text, on] : cases) {
    registry.keys.clear();
    registry.Set(kSettingsKey, kAutoKillValue, text);
    settings = {};
    Read();
    EXPECT_EQ(settings.autoClean, on) << text;
    EXPECT_FALSE(settings.skipFloppies) << "the key exists without SkipFloopy: A and B are swept";
  }
  registry.Set(kSettingsKey, kSkipFloopyValue, "TRUE", testing::kRegExpandSz);
  Read();
  EXPECT_TRUE(settings.skipFloppies);
}

TEST_F(ReadSettingsFixture, TheQuarantineLimitIsADecimalNumberOrTheDefault) {
  EXPECT_EQ(ReadQuarantineLimit(registry), kDefaultQuarantineLimit) << "no settings key";
  const std::pair<std::string, std::uint64_t> cases[] = {{"2048", 2048},
                                                         {"0", 0},
                                                         {"", kDefaultQuarantineLimit},
                                                         {"12 MB", kDefaultQuarantineLimit},
                                                         {"-5", kDefaultQuarantineLimit},
                                                         {"99999999999999999999", kDefaultQuarantineLimit}};
  for (const auto& [text, limit] : cases) {
    registry.Set(kSettingsKey, kQuarantineLimitValue, text);
    EXPECT_EQ(ReadQuarantineLimit(registry), limit) << text;
  }
  registry.Set(kSettingsKey, kQuarantineLimitValue, "\1\0\0\0", testing::kRegDword);
  EXPECT_EQ(ReadQuarantineLimit(registry), kDefaultQuarantineLimit) << "not text";
}

TEST_F(ReadSettingsFixture, ReadsTheProgramFilesDirectory) {
  registry.Set(kCurrentVersionKey, kProgramFilesValue, "D:\\Apps");
  Read();
  EXPECT_EQ(programFiles, "D:\\Apps");
}

TEST_F(ReadSettingsFixture, PointsARunValueNamingAMissingFileAtTheRunningProgram) {
  machine.AddFile("D:\\Old\\kestrix.exe");
  struct Case {
    std::string stored;
    std::string after;
  };
  const std::string current = "\"C:\\Program Files\\Kestrix\\kestrix.exe\"";
  const Case cases[] = {
      {" \"c:\\program files\\KESTRIX\\kestrix.exe\"\t", " \"c:\\program files\\KESTRIX\\kestrix.exe\"\t"},
      {"\"D:\\Old\\kestrix.exe\"", "\"D:\\Old\\kestrix.exe\""},  // another copy that exists
      {"\"E:\\gone.exe\"", current},
      {current + " /min", current},  // arguments: no file of that name
  };
  for (const Case& c : cases) {
    registry.Set(kRunKey, kRunValue, c.stored);
    registry.log.clear();
    Read();
    EXPECT_TRUE(settings.startWithWindows);
    EXPECT_EQ(registry.Get(kRunKey, kRunValue)->data, c.after) << c.stored;
    EXPECT_EQ(std::count(registry.log.begin(), registry.log.end(), "delete Kestrix"),
              c.after != c.stored ? 1 : 0)
        << c.stored;
  }
  // A standard user reads the entry but leaves it as it is.
  registry.readOnlyKeys.insert(FakeRegistry::Key(kRunKey));
  registry.Set(kRunKey, kRunValue, "\"E:\\gone.exe\"");
  EXPECT_NO_THROW(Read());
  EXPECT_TRUE(settings.startWithWindows);
  EXPECT_EQ(registry.Get(kRunKey, kRunValue)->data, "\"E:\\gone.exe\"");
}

TEST_F(ReadSettingsFixture, AValueOfTheWrongTypeStopsTheReadingAndEveryKeyIsClosed) {
  for (const std::string_view name : {kAutoKillValue, kSkipFloopyValue, kAutoImmunizeValue}) {
    registry = FakeRegistry();
    programFiles.clear();
    registry.Set(kSettingsKey, name, std::string("\1\0\0\0", 4), testing::kRegDword);
    registry.Set(kCurrentVersionKey, kProgramFilesValue, "D:\\Apps");
    try {
      Read();
      FAIL() << "a number where text belongs must end the handler: " << name;
    } catch (const RegistryError& error) {
      EXPECT_EQ(error.what(), "Invalid data type for '" + std::string(name) + "'");
    }
    EXPECT_TRUE(programFiles.empty()) << "nothing after the bad value is read";
    EXPECT_EQ(registry.openKeys, 0);
  }
}

TEST(StoreValue, WritesDeletesAndSkipsAKeyThatCannotBeOpened) {
  FakeRegistry registry;
  StoreValue(registry, kSettingsKey, kAutoKillValue, "TRUE");
  EXPECT_EQ(registry.Get(kSettingsKey, kAutoKillValue)->data, "TRUE");
  StoreValue(registry, kSettingsKey, kAutoKillValue, "");
  EXPECT_EQ(registry.Get(kSettingsKey, kAutoKillValue), nullptr);

  registry.refusedKeys.insert(FakeRegistry::Key(kRunKey));
  EXPECT_THROW(StoreValue(registry, kRunKey, kRunValue, "x"), RegistryError) << "not stored: said so";
  registry.refusedWrites.insert("AutoKill");
  EXPECT_THROW(StoreValue(registry, kSettingsKey, kAutoKillValue, "TRUE"), RegistryError);
  EXPECT_EQ(registry.openKeys, 0);
}

std::string Dword(std::uint32_t n) { return {static_cast<char>(n), static_cast<char>(n >> 8), 0, 0}; }

TEST(ReadPolicy, AValueIsManagedOnlyAsAFourByteDwordAndWinsOverTheUserSLimit) {
  struct Case {
    std::string_view name;
    std::uint32_t type;
    std::string bytes;
    Policy expected;
  };
  const Case cases[] = {
      {kAutoKillValue, testing::kRegDword, Dword(1), {.autoClean = true}},
      {kSkipFloopyValue, testing::kRegDword, Dword(0), {.skipFloppies = false}},
      {kAutoStartPolicyValue, testing::kRegDword, Dword(7), {.startWithWindows = true}},
      {kQuarantineLimitValue, testing::kRegDword, Dword(7), {.quarantineLimit = 7 << 20}},
      {kQuarantineLimitValue, testing::kRegDword, Dword(0), {}},  // would keep nothing, so clean nothing
      {kAutoKillValue, testing::kRegDword, Dword(1).substr(0, 2), {}},
      {kAutoKillValue, testing::kRegDword, Dword(1) + Dword(0), {}},
      {kSkipFloopyValue, testing::kRegSz, "1", {}},
      {kQuarantineLimitValue, 11 /* REG_QWORD */, Dword(1) + Dword(0), {}}};
  for (const Case& c : cases) {
    FakeRegistry registry;
    registry.Set(kPolicyKey, c.name, c.bytes, c.type);
    registry.Set(kSettingsKey, kQuarantineLimitValue, "2048");
    EXPECT_EQ(ReadPolicy(registry), c.expected) << c.name << " " << c.type;
    EXPECT_EQ(ReadQuarantineLimit(registry), c.expected.quarantineLimit.value_or(2048)) << c.name;
  }
}

TEST_F(ReadSettingsFixture, APolicyWinsOverTheUsersOptionAndBringsTheRunValueInLine) {
  machine.AddFile("D:\\Old\\kestrix.exe");
  const std::string current = "\"C:\\Program Files\\Kestrix\\kestrix.exe\"", old = "\"D:\\Old\\kestrix.exe\"";
  struct Case {
    std::uint32_t policy;
    std::string user;  // the user's options; "-": of the wrong type; the Run value
    bool writable;     // a standard user's start cannot write the Run value
    std::string after;
  };
  const Case cases[] = {{1, "", true, current},       {1, old, true, current}, {1, "", false, ""},
                        {1, "-", true, current},      {0, current, true, ""},  {0, old, true, ""},
                        {0, current, false, current}, {0, "-", true, ""}};
  for (const Case& c : cases) {
    registry = FakeRegistry();
    // The floppies' switch the other way: each value manages its own option.
    registry.Set(kPolicyKey, kAutoKillValue, Dword(c.policy), testing::kRegDword);
    registry.Set(kPolicyKey, kSkipFloopyValue, Dword(!c.policy), testing::kRegDword);
    registry.Set(kPolicyKey, kAutoStartPolicyValue, Dword(c.policy), testing::kRegDword);
    for (const auto name : {kAutoKillValue, kSkipFloopyValue})
      registry.Set(kSettingsKey, name, c.user == "-" ? Dword(1) : c.user,
                   c.user == "-" ? testing::kRegDword : testing::kRegSz);
    registry.keys[FakeRegistry::Key(kRunKey)];
    if (c.user != "-" && !c.user.empty()) registry.Set(kRunKey, kRunValue, c.user);
    if (!c.writable) registry.readOnlyKeys.insert(FakeRegistry::Key(kRunKey));
    settings = {};
    EXPECT_NO_THROW(Read()) << "a managed option's own value is not read";
    EXPECT_TRUE(settings.autoClean == (c.policy != 0) && settings.skipFloppies == (c.policy == 0) &&
                settings.startWithWindows == (c.policy != 0))
        << c.policy << c.user;
    const auto* run = registry.Get(kRunKey, kRunValue);
    EXPECT_EQ(run ? run->data : "", c.after) << c.policy << " " << c.user << " " << c.writable;
  }
}

}  // namespace
}  // namespace kestrix
