#include "platform/posix/posix_machine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "detect/drive_sweep.h"
#include "fakes/quiet_view.h"
#include "platform/posix/ansi_decoder.h"
#include "support/shell_link_bytes.h"
#include "support/temp_dir.h"

namespace kestrix::posix {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// A fresh directory per test with drive E: mapped onto its "stick" folder;
// the current directory is restored afterwards, since some tests move it.
class Sandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(stick_);
    savedCwd_ = fs::current_path();
  }
  void TearDown() override { fs::current_path(savedCwd_); }

  void Write(const fs::path& path, std::string_view bytes) { kestrix::testing::WriteFile(path, bytes); }

  PosixMachine Machine(int codePage = 1252) {
    DriveMap drives;
    drives.Map('e', {.type = DriveType::kRemovable, .extentLength = 1, .directory = stick_});
    return PosixMachine(std::move(drives), codePage);
  }

  static std::optional<Lines> ReadLines(PosixMachine& machine, std::string_view path) {
    Lines lines;
    std::string reason;
    if (!machine.ReadTextLines(path, [&](std::string_view line, std::size_t) { lines.emplace_back(line); }, reason)) {
      return std::nullopt;
    }
    return lines;
  }

  kestrix::testing::TempDir dir_;
  fs::path root_ = dir_.Path();
  fs::path stick_ = root_ / "stick";
  fs::path savedCwd_;
};

TEST_F(Sandbox, ResolvesComponentsTheWayWindowsFindsThem) {
  Write(stick_ / "Autorun.inf", "x");
  Write(stick_ / "Dir/Sub/Virus.exe", "x");
  // Every spelling of "abc" but "ABC", so that directory order rarely lists the smallest first.
  for (const char* name : {"ABc", "AbC", "Abc", "aBC", "aBc", "abC", "abc"})
    Write(stick_ / "multi" / name, "x");
  Write(stick_ / "École.txt", "x");
  const PosixMachine machine = Machine();
  const struct {
    std::string_view windowsPath;
    std::string_view underStick;
  } cases[] = {
      {"E:\\autorun.INF", "Autorun.inf"},
      {"e:/AUTORUN.inf", "Autorun.inf"},
      {"E:\\dir/sub\\..\\SUB\\.\\virus.EXE", "Dir/Sub/Virus.exe"},
      {"E:\\\\Dir\\\\", "Dir"},
      {"E:\\..\\..\\Dir\\..\\..\\Autorun.inf", "Autorun.inf"},
      {"E:\\Autorun.inf. . ", "Autorun.inf"},
      {"E:\\Dir .\\Sub\\Virus.exe", "Dir/Sub/Virus.exe"},
      {"E:\\multi\\ABC", "multi/ABc"},  // smallest in byte order
      {"E:\\multi\\aBc", "multi/aBc"},  // exact case wins
      {"E:\\éCOLE.TXT", "École.txt"},
      {"E:\\MISSING\\virus.exe", "MISSING/virus.exe"},
      {"E:\\dir\\NotThere\\..\\sub\\VIRUS.exe", "Dir/Sub/Virus.exe"},
      {"E:", ""},
      {"E:\\", ""},
  };
  for (const auto& c : cases) {
    const fs::path expected = c.underStick.empty() ? stick_ : stick_ / c.underStick;
    EXPECT_EQ(machine.Resolve(c.windowsPath), expected) << c.windowsPath;
  }
  EXPECT_EQ(machine.Resolve("F:\\Autorun.inf"), std::nullopt);
  EXPECT_EQ(machine.Resolve(std::string("E:\\Autorun.inf\0/../x", 20)), std::nullopt);
}

TEST_F(Sandbox, NeverFollowsASymbolicLinkOutOfTheDrive) {
  Write(root_ / "outside/secret.txt", "x");
  Write(stick_ / "Dir/Virus.exe", "x");
  fs::create_directory_symlink(root_ / "outside", stick_ / "out");
  fs::create_directory_symlink("..", stick_ / "up");
  fs::create_symlink(root_ / "outside/secret.txt", stick_ / "secret.lnk");
  fs::create_directory_symlink(stick_ / "Dir", stick_ / "alias");
  PosixMachine machine = Machine();
  for (const std::string_view escape :
       {"E:\\out\\secret.txt", "E:\\OUT\\missing.txt", "E:\\up\\outside\\secret.txt", "E:\\secret.lnk"}) {
    EXPECT_EQ(machine.Resolve(escape), std::nullopt) << escape;
    EXPECT_FALSE(machine.FileExists(escape)) << escape;
    EXPECT_EQ(machine.QueryFileSize(escape), -1) << escape;
  }
  EXPECT_TRUE(machine.FileExists("E:\\ALIAS\\virus.exe"));
}

TEST_F(Sandbox, ResolvesRootedAndRelativePathsOnlyOnTheCurrentDirectorysDrive) {
  Write(stick_ / "Autorun.inf", "x");
  Write(stick_ / "Dir/Sub/Virus.exe", "x");
  const PosixMachine machine = Machine();
  fs::current_path(stick_ / "Dir");
  const struct {
    std::string windowsPath;
    fs::path expected;
  } cases[] = {
      {"sub\\VIRUS.EXE", stick_ / "Dir/Sub/Virus.exe"},
      {"E:sub\\VIRUS.EXE", stick_ / "Dir/Sub/Virus.exe"},
      {"\\Dir\\Sub\\virus.exe", stick_ / "Dir/Sub/Virus.exe"},  // rooted: the drive's root
      {"..\\..\\..\\autorun.inf", stick_ / "Autorun.inf"},       // never above the drive
      {"zz:\\..\\..\\Autorun.inf", stick_ / "Autorun.inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(machine.Resolve(c.windowsPath), c.expected) << c.windowsPath;
}

// An Autorun.inf names whatever it likes; nothing it names may lead to a
// host file outside the drives, however the path is spelled.
TEST_F(Sandbox, NoSpellingReachesAHostFileOutsideTheDrives) {
  Write(root_ / "victim/abs.txt", "x");
  Write(root_ / "victim/rel.txt", "x");
  const std::string victim = (root_ / "victim").string();
  const std::string hostile[] = {
      victim + "/x:\\..\\abs.txt", "zz:\\..\\victim\\rel.txt", "victim\\rel.txt", "\\\\?\\" + victim + "\\abs.txt",
      "\\\\localhost\\share\\abs.txt", "..\\victim\\rel.txt", victim + "/abs.txt",
  };
  PosixMachine machine = Machine();
  for (const fs::path& current : {root_, stick_}) {
    fs::current_path(current);
    for (const std::string& path : hostile) {
      const auto resolved = machine.Resolve(path);
      EXPECT_TRUE(!resolved || resolved->string().starts_with(stick_.string())) << path << " from " << current;
      EXPECT_FALSE(machine.FileExists(path)) << path;
      EXPECT_FALSE(machine.ResetAttributes(path)) << path;
      EXPECT_FALSE(machine.RemoveFile(path)) << path;
    }
  }
  EXPECT_TRUE(fs::exists(root_ / "victim/abs.txt"));
  EXPECT_TRUE(fs::exists(root_ / "victim/rel.txt"));

  // The one host file the user names on the command line is used as written.
  Write(root_ / "dir./rules.dat", "x");
  const std::string rules = (root_ / "dir./rules.dat").string();
  machine.AllowHostFile(rules);
  EXPECT_TRUE(machine.FileExists(rules));
  EXPECT_FALSE(machine.FileExists((root_ / "dir/rules.dat").string()));
}

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

// A folder of the stick swapped for a link to a host folder while files are
// deleted must never send a deletion there.
TEST_F(Sandbox, AFolderSwappedForALinkMeanwhileNeverRedirectsADeletion) {
  Write(root_ / "outside/victim.exe", "keep");
  fs::create_directory(stick_ / "dir");
  fs::create_directory_symlink(root_ / "outside", stick_ / "swap");
  PosixMachine machine = Machine();
  std::atomic<bool> done = false;
  std::thread flipper([&] {
    bool realIsDir = true;  // which name holds the real folder
    while (!done) {
      const fs::path real = stick_ / (realIsDir ? "dir" : "swap");
      if (!fs::exists(real / "victim.exe")) kestrix::testing::WriteFile(real / "victim.exe", "worm");
      ::renameat2(AT_FDCWD, (stick_ / "dir").c_str(), AT_FDCWD, (stick_ / "swap").c_str(), RENAME_EXCHANGE);
      realIsDir = !realIsDir;
    }
  });
  int deleted = 0;
  for (int round = 0; round < 20000 && fs::exists(root_ / "outside/victim.exe"); ++round) {
    machine.ResetAttributes("E:\\dir\\victim.exe");
    if (machine.RemoveFile("E:\\dir\\victim.exe")) ++deleted;
  }
  done = true;
  flipper.join();
  EXPECT_TRUE(fs::exists(root_ / "outside/victim.exe"));
  EXPECT_GT(deleted, 0) << "no deletion went through; the race proved nothing";
}

// A folder's names are read once and kept while it does not change; a file
// created meanwhile must still be found by a later pass of the same sweep.
TEST_F(Sandbox, AFileCreatedBetweenTwoPassesIsFoundByTheLaterOne) {
  Write(stick_ / "Autorun.inf", "[autorun]\r\n");
  Write(root_ / "Kestrix.dat", "LATE.EXE !DSKROOT 0\r\nlate.exe !ALL 1\r\n");
  PosixMachine machine = Machine();
  machine.AllowHostFile((root_ / "Kestrix.dat").string());
  kestrix::testing::QuietView view;
  SuspectList list(machine, machine, view);
  // The Autorun.inf is read between the two passes over the drive's root.
  view.onPump = [&] {
    if (list.Count() == 1 && !fs::exists(stick_ / "Late.exe")) Write(stick_ / "Late.exe", "MZ");
  };
  ProtectedList protectedList(machine, machine);
  const SweepSettings settings{
      .skipFloppies = true, .programFilesDirectory = "", .ruleDatabasePath = (root_ / "Kestrix.dat").string()};
  DriveSweep sweep({machine, machine, machine, view}, settings, view, list, protectedList);
  for (const bool settled : {false, true}) {
    // Once with the folder just written, once with it long unchanged.
    if (settled) {
      fs::remove(stick_ / "Late.exe");
      const timespec past[2] = {{.tv_sec = 1'000'000'000, .tv_nsec = 0}, {.tv_sec = 1'000'000'000, .tv_nsec = 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, stick_.c_str(), past, 0), 0);
    }
    sweep.SweepDrives();
    ASSERT_EQ(list.Count(), 2u) << settled;
    EXPECT_EQ(list.Entry(1).path, "E:\\late.exe") << settled;
    EXPECT_EQ(list.Entry(1).category, "危险") << "found by the later pass";
  }
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

TEST_F(Sandbox, ReadShortcutReadsTheShortcutsBytes) {
  Write(stick_ / "Photos.lnk", kestrix::testing::ShellLinkBytes(
                                   {.target = "C:\\WINDOWS\\system32\\cmd.exe", .arguments = "/c x.vbs"}));
  Write(stick_ / "x.vbs", "WScript.Echo");
  PosixMachine machine = Machine();
  const auto link = machine.ReadShortcut("E:\\photos.lnk");
  ASSERT_TRUE(link);
  EXPECT_EQ(link->target, "C:\\WINDOWS\\system32\\cmd.exe");
  EXPECT_EQ(link->arguments, "/c x.vbs");
  EXPECT_FALSE(machine.ReadShortcut("E:\\x.vbs"));
  EXPECT_FALSE(machine.ReadShortcut("E:\\missing.lnk"));
}

TEST_F(Sandbox, FileExistsAndQueryFileSizeTellFilesFromOtherEntries) {
  Write(stick_ / "Autorun.inf", "12345");
  Write(stick_ / "empty", "");
  Write(stick_ / "big", "");
  fs::resize_file(stick_ / "big", (std::uintmax_t{1} << 32) + 7);  // sparse; takes no space
  Write(stick_ / "half", "");
  fs::resize_file(stick_ / "half", (std::uintmax_t{1} << 31) + 1);
  fs::create_directory(stick_ / "Folder");
  ASSERT_EQ(::mkfifo((stick_ / "pipe").c_str(), 0600), 0);
  PosixMachine machine = Machine();
  const struct {
    std::string_view path;
    bool exists;
    std::int32_t size;
  } cases[] = {
      {"E:\\AUTORUN.INF", true, 5},   {"E:\\empty", true, 0},
      {"E:\\big", true, 7},           {"E:\\half", true, INT32_MIN + 1},
      {"E:\\Folder", false, 0},       {"E:\\", false, 0},
      {"E:\\pipe", false, 0},         {"E:\\missing", false, -1},
      {"Q:\\Autorun.inf", false, -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(machine.FileExists(c.path), c.exists) << c.path;
    EXPECT_EQ(machine.QueryFileSize(c.path), c.size) << c.path;
  }
}

TEST_F(Sandbox, RemoveFileDeletesFilesAndLinksToThemButNothingElse) {
  Write(stick_ / "Virus.exe", "x");
  Write(stick_ / "ReadOnly.exe", "x");
  fs::permissions(stick_ / "ReadOnly.exe", fs::perms::owner_read | fs::perms::group_read);
  Write(stick_ / "Folder/inner.txt", "x");
  fs::create_directory(stick_ / "Empty");
  ASSERT_EQ(::mkfifo((stick_ / "pipe").c_str(), 0600), 0);
  Write(stick_ / "Target.exe", "x");
  fs::create_symlink(stick_ / "Target.exe", stick_ / "link.exe");
  fs::create_symlink("Target.exe", stick_ / "relative.exe");
  fs::create_symlink(stick_ / "nothing", stick_ / "dangling.exe");
  fs::create_directory_symlink(stick_ / "Folder", stick_ / "folder.lnk");
  Write(root_ / "outside/secret.txt", "x");
  fs::create_symlink(root_ / "outside/secret.txt", stick_ / "out.exe");
  PosixMachine machine = Machine();
  const struct {
    std::string_view path;
    std::string_view entry;  // below the stick
    bool removed;
  } cases[] = {
      {"E:\\VIRUS.EXE", "Virus.exe", true},
      {"E:\\readonly.exe", "ReadOnly.exe", true},
      {"E:\\LINK.exe", "link.exe", true},
      {"E:\\relative.exe", "relative.exe", true},
      {"E:\\Folder", "Folder", false},
      {"E:\\Empty", "Empty", false},
      {"E:\\", "", false},
      {"E:\\pipe", "pipe", false},
      {"E:\\dangling.exe", "dangling.exe", false},
      {"E:\\folder.lnk", "folder.lnk", false},
      {"E:\\out.exe", "out.exe", false},
      {"E:\\missing.exe", "missing.exe", false},
      {"Q:\\Virus.exe", "Virus.exe", false},
  };
  for (const auto& c : cases) {
    const bool existed = fs::exists(fs::symlink_status(stick_ / c.entry));
    EXPECT_EQ(machine.RemoveFile(c.path), c.removed) << c.path;
    EXPECT_EQ(fs::exists(fs::symlink_status(stick_ / c.entry)), existed && !c.removed) << c.path;
  }
  for (const fs::path& kept :
       {stick_ / "Target.exe", stick_ / "Folder/inner.txt", root_ / "outside/secret.txt"}) {
    EXPECT_TRUE(fs::is_regular_file(kept)) << kept;
  }
}

TEST_F(Sandbox, RemoveFolderTakesOnlyAnEmptyFolderItselfAndFoldersTakeMarks) {
  fs::create_directories(stick_ / "Empty");
  fs::create_directories(stick_ / "Autorun.inf");
  Write(stick_ / "Folder/inner.txt", "x");
  Write(stick_ / "Virus.exe", "x");
  fs::create_directories(root_ / "outside/empty");
  fs::create_directory_symlink(root_ / "outside/empty", stick_ / "out.lnk");
  fs::create_directory_symlink(stick_ / "Empty", stick_ / "empty.lnk");
  PosixMachine machine = Machine();
  // A folder's marks never change its mode: read-only keeps nothing out of it on Windows.
  const auto mode = fs::status(stick_ / "Autorun.inf").permissions();
  EXPECT_TRUE(
      machine.SetAttributes("E:\\AUTORUN.INF", kAttributeReadOnly | kAttributeHidden | kAttributeSystem));
  EXPECT_EQ(fs::status(stick_ / "Autorun.inf").permissions(), mode);
  EXPECT_FALSE(machine.SetAttributes("E:\\out.lnk", kAttributeHidden));
  const struct {
    std::string_view path;
    std::string_view entry;  // below the stick
    bool removed;
  } cases[] = {
      {"E:\\out.lnk", "out.lnk", false},
      {"E:\\empty.lnk", "empty.lnk", false},
      {"E:\\Folder", "Folder", false},
      {"E:\\Virus.exe", "Virus.exe", false},
      {"E:\\", "", false},
      {"E:\\missing", "missing", false},
      {"Q:\\Empty", "Empty", false},
      {"E:\\EMPTY", "Empty", true},
      {"E:\\autorun.inf\\.", "Autorun.inf", true},
  };
  for (const auto& c : cases) {
    const bool existed = fs::exists(fs::symlink_status(stick_ / c.entry));
    EXPECT_EQ(machine.RemoveFolder(c.path), c.removed) << c.path;
    EXPECT_EQ(fs::exists(fs::symlink_status(stick_ / c.entry)), existed && !c.removed) << c.path;
  }
  EXPECT_TRUE(fs::is_directory(root_ / "outside/empty"));
}

TEST_F(Sandbox, ToWindowsPathNamesAFileByTheDeepestDriveHoldingIt) {
  Write(stick_ / "Autorun.inf", "x");
  Write(stick_ / "Dir/Sub/Virus.exe", "x");
  Write(stick_ / "Inner/x.exe", "x");
  Write(stick_ / "Innerx/y.exe", "x");
  Write(stick_ / "back\\slash.exe", "x");
  Write(root_ / "fixed/a.txt", "x");
  Write(root_ / "outside/secret.txt", "x");
  fs::create_directory_symlink(stick_, root_ / "via");
  fs::create_directory_symlink(root_ / "outside", stick_ / "out");
  DriveMap drives;
  drives.Map('E', {.type = DriveType::kRemovable, .extentLength = 1, .directory = stick_});
  drives.Map('F', {.type = DriveType::kFixed, .extentLength = 1, .directory = root_ / "fixed"});
  drives.Map('C', {.type = DriveType::kFixed, .extentLength = 1, .directory = stick_ / "Inner"});
  drives.Map('H', {.type = DriveType::kFixed, .extentLength = 1, .directory = root_ / "gone"});
  const PosixMachine machine(std::move(drives), 1252);
  fs::current_path(stick_ / "Dir");
  const struct {
    fs::path native;
    std::optional<std::string> windowsPath;
  } cases[] = {
      {stick_ / "Autorun.inf", "E:\\Autorun.inf"},
      {stick_ / "Dir/Sub/Virus.exe", "E:\\Dir\\Sub\\Virus.exe"},
      {stick_, "E:\\"},
      {stick_ / "", "E:\\"},
      {stick_ / "Dir/../Autorun.inf", "E:\\Autorun.inf"},
      {stick_ / "missing.exe", "E:\\missing.exe"},
      {"Sub/Virus.exe", "E:\\Dir\\Sub\\Virus.exe"},
      {stick_ / "Inner/x.exe", "C:\\x.exe"},
      {stick_ / "Inner", "C:\\"},
      {stick_ / "Innerx/y.exe", "E:\\Innerx\\y.exe"},
      {root_ / "fixed/a.txt", "F:\\a.txt"},
      {root_ / "via/Dir/Sub/Virus.exe", "E:\\Dir\\Sub\\Virus.exe"},
      {stick_ / "out/secret.txt", std::nullopt},
      {root_ / "outside/secret.txt", std::nullopt},
      {root_ / "gone/x.exe", std::nullopt},
      {root_, std::nullopt},
      {stick_ / "back\\slash.exe", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(machine.ToWindowsPath(c.native), c.windowsPath) << c.native;
}

TEST_F(Sandbox, ReadTextLinesDecodesTheAnsiCodePage) {
  const struct {
    std::string bytes;
    int codePage;
    Lines lines;
  } cases[] = {
      {"caf\xE9\r\nopen=x.exe", 1252, {"café", "open=x.exe"}},
      {"\xB2\xA1\xB6\xBE", 936, {"病毒"}},
      {"\xAF\x66\xAC\x72", 950, {"病毒"}},
      {"open=\xC2\xB7.exe", 936, {"open=路.exe", "open=·.exe"}},  // GBK, and valid UTF-8 too
      {"\xC2\xA7.exe", 950, {"禮.exe", "§.exe"}},                  // Big5, the same
      {"\xEF\xBB\xBF\xC2\xB7", 936, {"·"}},                         // a mark decides
      {"\xE9", 99999, {"é"}},                     // an unknown page reads as 1252
      {"\x81x", 1252, {"\u0081x"}},               // 0x81 has no character: Windows gives U+0081
      {"a\xB2", 936, {"a\uFFFD"}},                // a lead byte cut off by the end
      {"\xB2\n\xA1", 936, {"\uFFFD", "\uFFFD"}},  // the bad pair keeps its line end
  };
  for (const auto& c : cases) {
    Write(stick_ / "Autorun.inf", c.bytes);
    PosixMachine machine = Machine(c.codePage);
    EXPECT_EQ(ReadLines(machine, "E:\\AUTORUN.INF"), c.lines)
        << ::testing::PrintToString(c.bytes) << " in " << c.codePage;
  }
}

TEST_F(Sandbox, ReadTextLinesGivesTheReasonWhenItCannotRead) {
  fs::create_directory(stick_ / "Folder");
  PosixMachine machine = Machine();
  for (const std::string_view path : {"E:\\missing.inf", "E:\\Folder", "Q:\\Autorun.inf"}) {
    std::string reason;
    EXPECT_FALSE(machine.ReadTextLines(path, [](std::string_view, std::size_t) {}, reason)) << path;
    EXPECT_FALSE(reason.empty()) << path;
  }
}

// A FAT32 stick holds files of up to 4 GiB, and a hostile one may claim
// any size: the text is read as a stream, in memory bounded by the longest
// line kept, and a line over the bound keeps its first part.
TEST_F(Sandbox, ReadTextLinesStreamsAFileOfAnySize) {
  const std::string longLine = "open=" + std::string(kMaxTextLineBytes, 'a');
  Write(stick_ / "Autorun.inf", "[autorun]\r\n" + longLine + "\r\nopen=worm.exe\r\n");
  fs::resize_file(stick_ / "Autorun.inf", std::uintmax_t{3} << 30);  // sparse: NULs to 3 GiB
  PosixMachine machine = Machine();
  const auto lines = ReadLines(machine, "E:\\Autorun.inf");
  ASSERT_TRUE(lines);
  ASSERT_EQ(lines->size(), 3u);
  EXPECT_EQ((*lines)[1], longLine.substr(0, kMaxTextLineBytes));
  EXPECT_EQ((*lines)[2], "open=worm.exe");
}

TEST(DecodeAnsi, SurvivesAnyBytesInEveryCodePage) {
  std::string junk;
  for (int round = 0; round < 64; ++round) {
    for (int byte = 1; byte < 256; ++byte) junk += static_cast<char>(byte);
  }
  junk += std::string(1 << 20, '\x81');  // a megabyte of errors, each its own restart
  for (const int codePage : {1252, 936, 950, 932, 949, 1251, 65001, 0, -5}) {
    const std::string text = DecodeAnsi(junk, codePage);
    EXPECT_GE(text.size(), junk.size()) << codePage;  // every byte leaves at least one
  }
}

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
