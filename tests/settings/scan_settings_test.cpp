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
  registry.Set(kSettingsKey, kAutoKillValue, std::string("\1\0\0\0", 4), testing::kRegDword);
  registry.Set(kCurrentVersionKey, kProgramFilesValue, "D:\\Apps");
  try {
    Read();
    FAIL() << "a number where text belongs must end the handler";
  } catch (const RegistryError& error) {
    EXPECT_STREQ(error.what(), "Invalid data type for 'AutoKill'");
  }
  EXPECT_TRUE(programFiles.empty()) << "nothing after the bad value is read";
  EXPECT_EQ(registry.openKeys, 0);
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

std::string Dword(std::uint32_t n) {
  std::string bytes(4, '\0');
  for (char& b : bytes) b = static_cast<char>(n & 0xff), n >>= 8;
  return bytes;
}

TEST(ReadPolicy, AValueIsManagedOnlyAsAFourByteDword) {
  struct Case {
    std::uint32_t type;
    std::string bytes;
    std::optional<std::uint32_t> managed;
  };
  const Case cases[] = {
      {testing::kRegDword, Dword(1), 1},
      {testing::kRegDword, Dword(0), 0},
      {testing::kRegDword, Dword(7), 7},  // any non-zero number is on
      {testing::kRegDword, Dword(0x10000), 0x10000},
      {testing::kRegDword, std::string("\1\0", 2), std::nullopt},  // short
      {testing::kRegDword, Dword(1) + Dword(0), std::nullopt},     // a QWORD's length
      {testing::kRegSz, "1", std::nullopt},
      {11, Dword(1) + Dword(0), std::nullopt},  // REG_QWORD
  };
  for (const std::string_view name :
       {kAutoKillValue, kSkipFloopyValue, kAutoStartPolicyValue, kQuarantineLimitValue}) {
    for (const Case& c : cases) {
      FakeRegistry registry;
      registry.Set(kPolicyKey, name, c.bytes, c.type);
      const Policy policy = ReadPolicy(registry);
      const auto on = c.managed ? std::optional<bool>(*c.managed != 0) : std::nullopt;
      const auto limit =
          c.managed ? std::optional<std::uint64_t>(std::uint64_t{*c.managed} << 20) : std::nullopt;
      EXPECT_EQ(policy.autoClean, name == kAutoKillValue ? on : std::nullopt) << name << c.type;
      EXPECT_EQ(policy.skipFloppies, name == kSkipFloopyValue ? on : std::nullopt) << name << c.type;
      EXPECT_EQ(policy.startWithWindows, name == kAutoStartPolicyValue ? on : std::nullopt) << name << c.type;
      EXPECT_EQ(policy.quarantineLimit, name == kQuarantineLimitValue ? limit : std::nullopt)
          << name << c.type;
      if (name == kQuarantineLimitValue) {
        registry.Set(kSettingsKey, kQuarantineLimitValue, "2048");  // the policy wins over the user's limit
        EXPECT_EQ(ReadQuarantineLimit(registry), limit.value_or(2048)) << c.type;
      }
    }
  }
  FakeRegistry none;
  EXPECT_EQ(ReadPolicy(none), Policy());
}

TEST_F(ReadSettingsFixture, APolicyWinsOverTheUsersOption) {
  struct Case {
    std::optional<std::uint32_t> policy;  // nullopt: no policy value
    std::optional<std::string> user;      // nullopt: a number where text belongs
    bool on;
  };
  const Case cases[] = {
      {std::nullopt, "TRUE", true}, {std::nullopt, "", false}, {1, "", true},
      {0, "TRUE", false},           {1, std::nullopt, true},   {0, std::nullopt, false},
  };
  for (const std::string_view name : {kAutoKillValue, kSkipFloopyValue}) {
    for (const Case& c : cases) {
      registry = FakeRegistry();
      settings = {};
      registry.Set(kSettingsKey, kAutoKillValue, "TRUE");
      registry.Set(kSettingsKey, kSkipFloopyValue, "TRUE");
      registry.Set(kSettingsKey, name, c.user.value_or(Dword(1)),
                   c.user ? testing::kRegSz : testing::kRegDword);
      if (c.policy) registry.Set(kPolicyKey, name, Dword(*c.policy), testing::kRegDword);
      const auto before = registry.keys;
      EXPECT_NO_THROW(Read()) << name;
      EXPECT_EQ(name == kAutoKillValue ? settings.autoClean : settings.skipFloppies, c.on) << name;
      EXPECT_EQ(name == kAutoKillValue ? settings.skipFloppies : settings.autoClean, true) << name;
      EXPECT_EQ(registry.keys, before) << "the user's own option stays as it is";
    }
  }
}

TEST_F(ReadSettingsFixture, AManagedStartWithWindowsBringsTheRunValueInLine) {
  machine.AddFile("D:\\Old\\kestrix.exe");
  const std::string current = "\"C:\\Program Files\\Kestrix\\kestrix.exe\"";
  struct Case {
    std::uint32_t policy;
    std::string stored;  // empty: no Run value
    bool writable;
    std::string after;
  };
  const Case cases[] = {
      {1, "", true, current},       {1, "\"D:\\Old\\kestrix.exe\"", true, current},
      {1, current, true, current},  {1, "", false, ""},  // a standard user's start cannot write it
      {0, current, true, ""},       {0, "\"D:\\Old\\kestrix.exe\"", true, ""},
      {0, current, false, current}, {0, "", true, ""},
  };
  for (const Case& c : cases) {
    registry = FakeRegistry();
    registry.Set(kPolicyKey, kAutoStartPolicyValue, Dword(c.policy), testing::kRegDword);
    registry.keys[FakeRegistry::Key(kRunKey)];
    if (!c.stored.empty()) registry.Set(kRunKey, kRunValue, c.stored);
    if (!c.writable) registry.readOnlyKeys.insert(FakeRegistry::Key(kRunKey));
    settings = {};
    EXPECT_NO_THROW(Read());
    EXPECT_EQ(settings.startWithWindows, c.policy != 0) << "the box shows the policy";
    const auto* run = registry.Get(kRunKey, kRunValue);
    EXPECT_EQ(run ? run->data : "", c.after) << c.policy << " " << c.stored << " " << c.writable;
  }
}

}  // namespace
}  // namespace kestrix
