#include "repair/disk_class_repair.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_machine.h"
#include "fakes/fake_registry.h"
#include "settings/registry_values.h"

namespace kestrix {
namespace {

using ::testing::ElementsAre;
using testing::FakeRegistry;
using testing::FakeValue;
using testing::kRegMultiSz;
using testing::kRegSz;

std::string Multi(std::initializer_list<std::string_view> texts) {
  std::string data;
  for (const std::string_view text : texts) data.append(text).push_back('\0');
  return data + '\0';
}

// A machine whose disk class key holds every value as the repair writes it,
// with the partition manager's driver installed.
struct DiskClassFixture : ::testing::Test {
  FakeRegistry registry;
  testing::FakeMachine machine;

  void SetUp() override {
    registry.Set(kDiskClassKey, "UpperFilters", Multi({"PartMgr"}), kRegMultiSz);
    for (const auto& [name, data] : {std::pair{"Class", "DiskDrive"},
                                     {"@", "磁碟磁碟機"},
                                     {"Installer32", "StorProp.Dll,DiskClassInstaller"},
                                     {"SilentInstall", "1"},
                                     {"NoInstallClass", "1"},
                                     {"TroubleShooter-0", "hcp://help/tshoot/tsdrive.htm"},
                                     {"Icon", "-53"}}) {
      registry.Set(kDiskClassKey, name, data);
    }
    Driver("partmgr", "System32\\drivers\\partmgr.sys", true);
  }
  // A driver service and, when `present`, its image.
  void Driver(const std::string& name, const std::string& imagePath, bool present) {
    registry.Set(std::string(kServicesKey) + "\\" + name, "ImagePath", imagePath, testing::kRegExpandSz);
    std::string image = imagePath.empty() ? "System32\\drivers\\" + name + ".sys" : imagePath;
    for (const std::string_view root : {"\\SystemRoot\\", "%SystemRoot%\\"}) {
      if (image.starts_with(root)) image = image.substr(root.size());
    }
    if (image.starts_with("\\??\\")) image = image.substr(4);
    if (present) machine.AddFile(image.find(':') == std::string::npos ? "C:\\WINDOWS\\" + image : image);
  }
  bool Repair() { return RepairDiskClassKey(registry, machine, machine); }
  const FakeValue& Filters() { return *registry.Get(kDiskClassKey, "UpperFilters"); }
};

TEST_F(DiskClassFixture, KeepsEveryFilterButThoseWhoseDriverIsGone) {
  struct Case {
    std::string what;
    std::uint32_t type;
    std::string before;
    std::string after;  // the multi-string left
    void (*setUp)(DiskClassFixture&);
  };
  const Case cases[] = {
      {"third-party filter whose driver exists", kRegMultiSz, Multi({"PartMgr", "crypt"}),
       Multi({"PartMgr", "crypt"}),
       [](DiskClassFixture& f) { f.Driver("crypt", "\\SystemRoot\\System32\\drivers\\c.sys", true); }},
      {"service gone", kRegMultiSz, Multi({"PartMgr", "wormflt"}), Multi({"PartMgr"}), nullptr},
      {"image gone", kRegMultiSz, Multi({"gone", "PartMgr"}), Multi({"PartMgr"}),
       [](DiskClassFixture& f) { f.Driver("gone", "system32\\DRIVERS\\gone.sys", false); }},
      {"default image gone", kRegMultiSz, Multi({"PartMgr", "bare"}), Multi({"PartMgr"}),
       [](DiskClassFixture& f) { f.Driver("bare", "", false); }},
      {"no partition manager: added last", kRegMultiSz, Multi({"crypt"}), Multi({"crypt", "PartMgr"}),
       [](DiskClassFixture& f) { f.Driver("crypt", "%SystemRoot%\\System32\\drivers\\c.sys", true); }},
      {"empty list", kRegMultiSz, Multi({}), Multi({"PartMgr"}), nullptr},
      {"any letter case counts", kRegMultiSz, Multi({"partmgr"}), Multi({"partmgr"}), nullptr},
      {"worm's or old repair's REG_SZ", kRegSz, "PartMgr", Multi({"PartMgr"}), nullptr},
      {"number", testing::kRegDword, "\1\0\0\0", Multi({"PartMgr"}), nullptr},
      {"absolute image exists", kRegMultiSz, Multi({"PartMgr", "bk"}), Multi({"PartMgr", "bk"}),
       [](DiskClassFixture& f) { f.Driver("bk", "\\??\\D:\\Backup\\bk.sys", true); }},
      {"empty entries dropped", kRegMultiSz, Multi({"PartMgr", "", "crypt"}), Multi({"PartMgr", "crypt"}),
       [](DiskClassFixture& f) { f.Driver("crypt", "", true); }},
      // Doubts keep the filter.
      {"image's folder cannot be listed", kRegMultiSz, Multi({"PartMgr", "lk"}), Multi({"PartMgr", "lk"}),
       [](DiskClassFixture& f) { f.Driver("lk", "\\??\\D:\\Locked\\lk.sys", false); }},
      {"image path not understood", kRegMultiSz, Multi({"PartMgr", "odd"}), Multi({"PartMgr", "odd"}),
       [](DiskClassFixture& f) { f.Driver("odd", "\\Device\\HarddiskVolume9\\odd.sys", false); }},
      {"variable not known", kRegMultiSz, Multi({"PartMgr", "var"}), Multi({"PartMgr", "var"}),
       [](DiskClassFixture& f) { f.Driver("var", "%ProgramFiles%\\v.sys", false); }},
      {"service not readable", kRegMultiSz, Multi({"PartMgr", "hid"}), Multi({"PartMgr", "hid"}),
       [](DiskClassFixture& f) {
         f.Driver("hid", "", false);
         f.registry.refusedKeys.insert(FakeRegistry::Key(std::string(kServicesKey) + "\\hid"));
       }},
      {"partition manager's image unseen", kRegMultiSz, Multi({"gone", "PartMgr"}),
       Multi({"gone", "PartMgr"}),
       [](DiskClassFixture& f) {
         f.Driver("gone", "", false);
         f.machine.windowsDirectory = "C:\\Other";  // another view of System32
       }},
  };
  for (const Case& c : cases) {
    registry = FakeRegistry();
    machine = testing::FakeMachine();
    SetUp();
    if (c.setUp) c.setUp(*this);
    registry.Set(kDiskClassKey, "UpperFilters", c.before, c.type);
    EXPECT_TRUE(Repair()) << c.what;
    EXPECT_EQ(Filters(), (FakeValue{kRegMultiSz, c.after})) << c.what;
    EXPECT_EQ(registry.openKeys, 0);
  }
}

TEST_F(DiskClassFixture, WritesNothingWhenNothingNeedsChanging) {
  registry.Set(kDiskClassKey, "LowerFilters", "kept");
  registry.log.clear();
  EXPECT_TRUE(Repair());
  for (const std::string& step : registry.log) EXPECT_FALSE(step.ends_with("for writing")) << step;
  EXPECT_FALSE(registry.keys.contains(FakeRegistry::Key(kDiskClassBackupKey)));

  // A standard user may read the key but not write it.
  registry.readOnlyKeys = {FakeRegistry::Key(kDiskClassKey), FakeRegistry::Key(kDiskClassBackupKey)};
  EXPECT_TRUE(Repair()) << "nothing to change: no write is tried";
  registry.Set(kDiskClassKey, "Icon", "worm");
  EXPECT_FALSE(Repair());
  EXPECT_EQ(registry.Get(kDiskClassKey, "Icon")->data, "worm");
}

TEST_F(DiskClassFixture, SavesWhatItChangesAndPutsItBackExactly) {
  registry.Set(kDiskClassKey, "UpperFilters", Multi({"PartMgr", "wormflt"}), kRegMultiSz);
  registry.Set(kDiskClassKey, "Class", std::string("Worm\0x", 6), testing::kRegExpandSz);
  registry.keys[FakeRegistry::Key(kDiskClassKey)].erase("Icon");
  registry.keys[FakeRegistry::Key(kDiskClassKey)].erase("@");
  const auto before = registry.keys[FakeRegistry::Key(kDiskClassKey)];

  ASSERT_TRUE(Repair());
  EXPECT_EQ(registry.Get(kDiskClassKey, "Class")->data, "DiskDrive");
  EXPECT_EQ(registry.Get(kDiskClassKey, "Icon")->data, "-53");
  const auto& saved = registry.keys[FakeRegistry::Key(kDiskClassBackupKey)];
  EXPECT_EQ(saved.size(), 3u) << "only what changed, and the note";
  EXPECT_EQ(saved.at("UpperFilters"), before.at("UpperFilters"));
  EXPECT_EQ(saved.at("Class"), before.at("Class"));
  EXPECT_EQ(saved.at(std::string(kAbsentValues)), (FakeValue{kRegMultiSz, Multi({"@", "Icon"})}));

  const DiskClassRestore restore = RestoreDiskClassKey(registry);
  EXPECT_TRUE(restore.backupFound);
  EXPECT_THAT(restore.restored, ElementsAre("UpperFilters", "Class"));
  EXPECT_THAT(restore.deleted, ElementsAre("@", "Icon"));
  EXPECT_TRUE(restore.failed.empty());
  EXPECT_EQ(registry.keys[FakeRegistry::Key(kDiskClassKey)], before);
  EXPECT_EQ(registry.openKeys, 0);

  // What the user put back stays at the next start, until the key changes again.
  ASSERT_TRUE(Repair());
  EXPECT_EQ(registry.keys[FakeRegistry::Key(kDiskClassKey)], before);
  registry.Set(kDiskClassKey, "Installer32", "worm.dll");
  ASSERT_TRUE(Repair());
  EXPECT_EQ(registry.Get(kDiskClassKey, "Class")->data, "DiskDrive");
  EXPECT_EQ(registry.Get(kDiskClassKey, "Installer32")->data, "StorProp.Dll,DiskClassInstaller");
}

TEST_F(DiskClassFixture, ALaterRepairKeepsWhatAnEarlierOneSaved) {
  registry.Set(kDiskClassKey, "UpperFilters", Multi({"PartMgr", "wormflt"}), kRegMultiSz);
  const FakeValue filters = Filters();
  ASSERT_TRUE(Repair());
  registry.Set(kDiskClassKey, "Icon", "worm");
  ASSERT_TRUE(Repair());
  const auto& saved = registry.keys[FakeRegistry::Key(kDiskClassBackupKey)];
  EXPECT_EQ(saved.at("UpperFilters"), filters);
  EXPECT_EQ(saved.at("Icon"), (FakeValue{kRegSz, "worm"}));
  EXPECT_EQ(saved.at(std::string(kAbsentValues)), (FakeValue{kRegMultiSz, Multi({})}));
}

TEST_F(DiskClassFixture, AMissingKeyIsCreatedAndARefusedWriteStopsTheRest) {
  registry.keys.erase(FakeRegistry::Key(kDiskClassKey));
  ASSERT_TRUE(Repair());
  EXPECT_EQ(Filters(), (FakeValue{kRegMultiSz, Multi({"PartMgr"})}));
  EXPECT_EQ(registry.Get(kDiskClassKey, "@")->data, "磁碟磁碟機");
  EXPECT_EQ(registry.keys[FakeRegistry::Key(kDiskClassKey)].size(), 8u);

  registry.keys.erase(FakeRegistry::Key(kDiskClassKey));
  registry.refusedWrites.insert("@");
  try {
    Repair();
    FAIL();
  } catch (const RegistryError& error) {
    EXPECT_STREQ(error.what(), "Failed to set data for '@'");
  }
  EXPECT_NE(registry.Get(kDiskClassKey, "Class"), nullptr);
  EXPECT_EQ(registry.Get(kDiskClassKey, "Installer32"), nullptr) << "the values after it are not written";
  EXPECT_EQ(registry.openKeys, 0);
}

}  // namespace
}  // namespace kestrix
