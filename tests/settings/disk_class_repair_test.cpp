#include "repair/disk_class_repair.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_registry.h"
#include "settings/registry_values.h"

namespace kestrix {
namespace {

using ::testing::ElementsAre;
using testing::FakeRegistry;

TEST(RepairDiskClassKey, WritesTheEightValuesInOrderAsText) {
  FakeRegistry registry;
  registry.Set(kDiskClassKey, "UpperFilters", std::string("PartMgr\0Worm\0\0", 14), testing::kRegMultiSz);
  registry.Set(kDiskClassKey, "LowerFilters", "kept");
  ASSERT_TRUE(RepairDiskClassKey(registry));
  EXPECT_THAT(registry.log,
              ElementsAre("open " + FakeRegistry::Key(kDiskClassKey), "write UpperFilters=PartMgr",
                          "write Class=DiskDrive", "write @=磁碟磁碟機",
                          "write Installer32=StorProp.Dll,DiskClassInstaller", "write SilentInstall=1",
                          "write NoInstallClass=1", "write TroubleShooter-0=hcp://help/tshoot/tsdrive.htm",
                          "write Icon=-53", "close " + FakeRegistry::Key(kDiskClassKey)));
  EXPECT_EQ(*registry.Get(kDiskClassKey, "UpperFilters"), (testing::FakeValue{testing::kRegSz, "PartMgr"}));
  EXPECT_EQ(registry.Get(kDiskClassKey, "LowerFilters")->data, "kept") << "other values stay";

  const auto once = registry.keys;
  RepairDiskClassKey(registry);
  EXPECT_EQ(registry.keys, once) << "a second start changes nothing more";
}

TEST(RepairDiskClassKey, SkipsARefusedKeyAndStopsAtARefusedWrite) {
  FakeRegistry registry;
  registry.refusedKeys.insert(FakeRegistry::Key(kDiskClassKey));
  EXPECT_FALSE(RepairDiskClassKey(registry));
  EXPECT_TRUE(registry.keys.empty());

  registry.refusedKeys.clear();
  registry.refusedWrites.insert("@");
  try {
    RepairDiskClassKey(registry);
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
