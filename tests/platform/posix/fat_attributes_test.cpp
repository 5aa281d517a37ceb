// Clearing attributes on a real FAT volume, through the vfat driver's
// ioctls. Registered only when KESTRIX_FAT_DIR names a writable directory
// on a FAT volume at configure time, since few build machines can mount one.
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/statfs.h>

#include <cstdlib>
#include <filesystem>

#include "platform/posix/posix_machine.h"
#include "support/temp_dir.h"

namespace kestrix::posix {
namespace {

namespace fs = std::filesystem;

TEST(FatVolume, ResetAttributesClearsTheAttributeBits) {
  const char* fatDir = std::getenv("KESTRIX_FAT_DIR");
  ASSERT_NE(fatDir, nullptr) << "KESTRIX_FAT_DIR names no folder";
  struct statfs fileSystem {};
  ASSERT_EQ(::statfs(fatDir, &fileSystem), 0) << fatDir;
  ASSERT_EQ(fileSystem.f_type, MSDOS_SUPER_MAGIC) << fatDir << " is not on a FAT volume";
  const fs::path file = fs::path(fatDir) / "kestrix.tmp";
  kestrix::testing::WriteFile(file, "x");
  fs::permissions(file, fs::perms::owner_write, fs::perm_options::remove);
  DriveMap drives;
  drives.Map('E', {.type = DriveType::kRemovable, .extentLength = 1, .directory = fatDir});
  PosixMachine machine(std::move(drives), 1252);
  EXPECT_TRUE(machine.ResetAttributes("E:\\KESTRIX.TMP"));
  EXPECT_NE(fs::status(file).permissions() & fs::perms::owner_write, fs::perms::none);
  fs::remove(file);
}

}  // namespace
}  // namespace kestrix::posix
