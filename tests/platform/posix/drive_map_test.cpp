// Drive letters mapped to host directories, and the mapping's parser.
#include "platform/posix/drive_map.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/posix/posix_sandbox.h"

namespace kestrix::posix {
namespace {

namespace fs = std::filesystem;

TEST(ParseDriveMapping, AcceptsWellFormedMappings) {
  const struct {
    std::string_view mapping;
    char letter;
    DriveType type;
    std::int64_t extentLength;
    std::string_view directory;
    std::string_view label = {};
  } cases[] = {
      {"E=removable@0:/mnt/stick", 'E', DriveType::kRemovable, 0, "/mnt/stick"},
      {"f=fixed:/data", 'F', DriveType::kFixed, 1, "/data"},
      {"G=remote@9223372036854775807:rel/dir", 'G', DriveType::kRemote, INT64_MAX, "rel/dir"},
      {"H=CdRom:/odd:name", 'H', DriveType::kCdRom, 1, "/odd:name"},
      {"E=removable#USB DISK:/a#b", 'E', DriveType::kRemovable, 1, "/a#b", "USB DISK"},
      {"E=removable@7#:/s", 'E', DriveType::kRemovable, 7, "/s", ""},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto parsed = ParseDriveMapping(c.mapping, error);
    ASSERT_TRUE(parsed) << c.mapping << ": " << error;
    EXPECT_EQ(parsed->first, c.letter);
    EXPECT_EQ(parsed->second.type, c.type) << c.mapping;
    EXPECT_EQ(parsed->second.extentLength, c.extentLength) << c.mapping;
    EXPECT_EQ(parsed->second.directory, fs::path(c.directory)) << c.mapping;
    EXPECT_EQ(parsed->second.label, c.label) << c.mapping;
  }
}

TEST(ParseDriveMapping, RejectsMalformedMappingsWithAMessage) {
  for (const std::string_view mapping :
       {"", "E", "E:removable:/x", "1=fixed:/x", "É=fixed:/x", "E=floppy:/x", "E=fixed/x", "E=:/x",
        "E=fixed@:/x", "E=fixed@-1:/x", "E=fixed@+1:/x", "E=fixed@12a:/x", "E=fixed@9223372036854775808:/x",
        "E=fixed:"}) {
    std::string error;
    EXPECT_EQ(ParseDriveMapping(mapping, error), std::nullopt) << mapping;
    EXPECT_FALSE(error.empty()) << mapping;
  }
}

TEST_F(Sandbox, DriveTypeAndExtentFollowTheMap) {
  fs::create_directory(root_ / "fixed");
  DriveMap drives;
  drives.Map('E', {.type = DriveType::kRemovable, .extentLength = 0, .directory = stick_});
  drives.Map('F', {.type = DriveType::kFixed, .extentLength = 1, .directory = root_ / "fixed"});
  drives.Map('G', {.type = DriveType::kRemote, .extentLength = 1, .directory = root_ / "gone"});
  drives.Map('U', {.type = DriveType::kUnknown, .extentLength = 9, .directory = stick_});
  PosixMachine machine(std::move(drives), 1252);
  const struct {
    std::string_view root;
    DriveType type;
    std::int64_t extentLength;
  } cases[] = {
      {"E:\\", DriveType::kRemovable, 0}, {"f:/", DriveType::kFixed, 1},
      {"G:\\", DriveType::kNoRootDir, 0}, {"U:", DriveType::kUnknown, 9},
      {"Q:\\", DriveType::kNoRootDir, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(machine.QueryDriveType(c.root), c.type) << c.root;
    const DiskExtent extent = machine.GetFirstDiskExtent(c.root[0]);
    EXPECT_EQ(extent.DiskNumber, 0u) << c.root;
    EXPECT_EQ(extent.StartingOffset, 0) << c.root;
    EXPECT_EQ(extent.ExtentLength, c.extentLength) << c.root;
  }
  for (const std::string_view malformed : {"", "E", "EE:\\", "E:\\x", "1:\\"}) {
    EXPECT_EQ(machine.QueryDriveType(malformed), DriveType::kNoRootDir) << malformed;
  }
}

}  // namespace
}  // namespace kestrix::posix
