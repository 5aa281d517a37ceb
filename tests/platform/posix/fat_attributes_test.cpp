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

// The FAT folder of KESTRIX_FAT_DIR, as drive E:.
const char* FatFolder() {
  const char* fatDir = std::getenv("KESTRIX_FAT_DIR");
  if (fatDir == nullptr) return nullptr;
  struct statfs fileSystem {};
  if (::statfs(fatDir, &fileSystem) != 0 || fileSystem.f_type != MSDOS_SUPER_MAGIC) return nullptr;
  return fatDir;
}

PosixMachine FatMachine(const char* fatDir) {
  DriveMap drives;
  drives.Map('E', {.type = DriveType::kRemovable, .extentLength = 1, .directory = fatDir});
  return PosixMachine(std::move(drives), 1252);
}

TEST(FatVolume, ResetAttributesClearsTheAttributeBits) {
  const char* fatDir = FatFolder();
  ASSERT_NE(fatDir, nullptr) << "KESTRIX_FAT_DIR names no folder on a FAT volume";
  const fs::path file = fs::path(fatDir) / "kestrix.tmp";
  kestrix::testing::WriteFile(file, "x");
  fs::permissions(file, fs::perms::owner_write, fs::perm_options::remove);
  PosixMachine machine = FatMachine(fatDir);
  EXPECT_TRUE(machine.ResetAttributes("E:\\KESTRIX.TMP"));
  EXPECT_NE(fs::status(file).permissions() & fs::perms::owner_write, fs::perms::none);
  fs::remove(file);
}

// FAT keeps a folder's time of change to two seconds, so a file made just
// after the folder was read may leave that time as it was.
TEST(FatVolume, AFileMadeJustAfterAFolderWasReadIsFound) {
  const char* fatDir = FatFolder();
  ASSERT_NE(fatDir, nullptr) << "KESTRIX_FAT_DIR names no folder on a FAT volume";
  PosixMachine machine = FatMachine(fatDir);
  for (int round = 0; round < 3; ++round) {
    const fs::path file = fs::path(fatDir) / "late.tmp";
    EXPECT_FALSE(machine.FileExists("E:\\LATE.TMP"));
    kestrix::testing::WriteFile(file, "x");
    EXPECT_TRUE(machine.FileExists("E:\\LATE.TMP")) << round;
    fs::remove(file);
  }
}

}  // namespace
}  // namespace kestrix::posix
