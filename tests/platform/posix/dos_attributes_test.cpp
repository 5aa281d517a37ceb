// The DOS attribute bits of files on drives that are host directories.
#include "platform/posix/dos_attributes.h"

#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <map>

#include "platform/posix/posix_sandbox.h"

namespace kestrix::posix {
namespace {

namespace fs = std::filesystem;

std::string DosAttribute(const fs::path& path) {
  char value[64] = {};
  const ssize_t length = ::lgetxattr(path.c_str(), "user.DOSATTRIB", value, sizeof value);
  return length > 0 ? std::string(value, static_cast<std::size_t>(length)) : std::string();
}

// A hard link on the stick may share its file with a host file outside;
// that file's mode and attributes are not ours to change (setting them is
// refused), though the stick's name for it may be deleted.
TEST_F(Sandbox, LeavesTheModeOfAHardLinkedFileAlone) {
  Write(root_ / "outside/host.exe", "x");
  fs::permissions(root_ / "outside/host.exe", fs::perms::owner_read);
  fs::create_hard_link(root_ / "outside/host.exe", stick_ / "hard.exe");
  PosixMachine machine = Machine();
  EXPECT_FALSE(machine.SetAttributes("E:\\hard.exe", kAttributeHidden));
  EXPECT_FALSE(machine.SetAttributes("E:\\hard.exe", 0));
  EXPECT_EQ(DosAttribute(root_ / "outside/host.exe"), "");
  EXPECT_TRUE(machine.ResetAttributes("E:\\hard.exe"));
  EXPECT_EQ(fs::status(root_ / "outside/host.exe").permissions(), fs::perms::owner_read);
  EXPECT_TRUE(machine.RemoveFile("E:\\hard.exe"));
  EXPECT_TRUE(fs::exists(root_ / "outside/host.exe"));
}

TEST_F(Sandbox, ResetAttributesMakesAReadOnlyFileWritable) {
  Write(stick_ / "Autorun.inf", "x");
  fs::permissions(stick_ / "Autorun.inf",
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::create_directory(stick_ / "Folder");
  PosixMachine machine = Machine();
  EXPECT_TRUE(machine.ResetAttributes("E:\\autorun.inf"));
  EXPECT_EQ(fs::status(stick_ / "Autorun.inf").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  EXPECT_TRUE(machine.ResetAttributes("E:\\autorun.inf"));
  EXPECT_FALSE(machine.ResetAttributes("E:\\Folder"));
  EXPECT_FALSE(machine.ResetAttributes("E:\\missing.exe"));
}

// Off FAT, hidden and system live in user.DOSATTRIB, as Wine ("0x6") and
// Samba ("0x22", a NUL and binary) write it.
TEST_F(Sandbox, HiddenAndSystemLiveInTheAttributeWineAndSambaUse) {
  Write(stick_ / "hid.exe", "x");
  Write(stick_ / "plain.txt", "x");
  Write(stick_ / "samba.doc", "x");
  fs::create_directory(stick_ / "Photos");
  Write(stick_ / "a\\b.lnk", "no Windows path names it");
  const auto mark = [&](const char* name, std::string_view value) {
    ASSERT_EQ(::lsetxattr((stick_ / name).c_str(), "user.DOSATTRIB", value.data(), value.size(), 0), 0)
        << "the file system keeps no user attributes";
  };
  mark("hid.exe", "0x6");
  mark("Photos", "0x2");
  mark("samba.doc", std::string_view("0x22\0\x03\x00\x03\x00", 8));
  fs::permissions(stick_ / "hid.exe", fs::perms::owner_read);
  fs::create_symlink("hid.exe", stick_ / "link.exe");
  PosixMachine machine = Machine();

  // A listing gives folders' bits; files' are asked one by one.
  std::map<std::string, std::pair<bool, std::uint32_t>> listed;
  for (const FolderEntry& entry : machine.ListFolder("E:\\"))
    listed[entry.name] = {entry.folder, entry.attributes};
  const std::map<std::string, std::pair<bool, std::uint32_t>> expected = {
      {"hid.exe", {false, 0}},
      {"plain.txt", {false, 0}},
      {"samba.doc", {false, 0}},
      {"link.exe", {false, 0}},
      {"Photos", {true, kAttributeHidden}}};
  EXPECT_EQ(listed, expected);
  EXPECT_TRUE(machine.ListFolder("E:\\missing").empty());
  EXPECT_EQ(machine.OriginalAttributes("E:\\plain.txt"), 0u);
  EXPECT_EQ(machine.OriginalAttributes("E:\\samba.doc"), kAttributeHidden);
  EXPECT_EQ(machine.CurrentAttributes("E:\\photos"), kAttributeHidden);
  EXPECT_EQ(machine.CurrentAttributes("E:\\missing"), std::nullopt);
  EXPECT_EQ(machine.CurrentAttributes("E:\\link.exe"), std::nullopt) << "a link leads elsewhere";

  EXPECT_EQ(machine.CurrentAttributes("E:\\hid.exe"),
            kAttributeReadOnly | kAttributeHidden | kAttributeSystem);
  EXPECT_TRUE(machine.ResetAttributes("E:\\HID.EXE"));
  EXPECT_EQ(DosAttribute(stick_ / "hid.exe"), "");
  EXPECT_EQ(machine.CurrentAttributes("E:\\hid.exe"), 0u);
  EXPECT_EQ(machine.OriginalAttributes("E:\\hid.exe"),
            kAttributeReadOnly | kAttributeHidden | kAttributeSystem);
  EXPECT_TRUE(machine.SetAttributes("E:\\plain.txt", kAttributeHidden | kAttributeSystem));
  EXPECT_EQ(DosAttribute(stick_ / "plain.txt"), "0x6");
  EXPECT_TRUE(machine.SetAttributes("E:\\photos", 0));
  EXPECT_EQ(DosAttribute(stick_ / "Photos"), "");
  EXPECT_TRUE(machine.SetAttributes("E:\\samba.doc", 0));
  EXPECT_EQ(DosAttribute(stick_ / "samba.doc"), "0x20") << "the archive bit stays";
  EXPECT_FALSE(machine.SetAttributes("E:\\missing", 0));
}

}  // namespace
}  // namespace kestrix::posix
