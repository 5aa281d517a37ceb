// Windows paths found below their drive's directory, never leaving it.
#include "platform/posix/drive_lookup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <thread>

#include "detect/drive_sweep.h"
#include "fakes/quiet_view.h"
#include "platform/common/text_file.h"
#include "platform/posix/posix_sandbox.h"

namespace kestrix::posix {
namespace {

namespace fs = std::filesystem;

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
      {"..\\..\\..\\autorun.inf", stick_ / "Autorun.inf"},      // never above the drive
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
      victim + "/x:\\..\\abs.txt",
      "zz:\\..\\victim\\rel.txt",
      "victim\\rel.txt",
      "\\\\?\\" + victim + "\\abs.txt",
      "\\\\localhost\\share\\abs.txt",
      "..\\victim\\rel.txt",
      victim + "/abs.txt",
  };
  PosixMachine machine = Machine();
  for (const fs::path& current : {root_, stick_}) {
    fs::current_path(current);
    for (const std::string& path : hostile) {
      const auto resolved = machine.Resolve(path);
      EXPECT_TRUE(!resolved || resolved->string().starts_with(stick_.string()))
          << path << " from " << current;
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
  const SweepSettings settings{.skipFloppies = true,
                               .programFilesDirectory = "",
                               .ruleDatabasePath = (root_ / "Kestrix.dat").string()};
  DriveSweep sweep({machine, machine, machine, view}, settings, view, list, protectedList);
  for (const bool settled : {false, true}) {
    // Once with the folder just written, once with it long unchanged.
    if (settled) {
      fs::remove(stick_ / "Late.exe");
      const timespec past[2] = {{.tv_sec = 1'000'000'000, .tv_nsec = 0},
                                {.tv_sec = 1'000'000'000, .tv_nsec = 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, stick_.c_str(), past, 0), 0);
    }
    sweep.SweepDrives();
    ASSERT_EQ(list.Count(), 2u) << settled;
    EXPECT_EQ(list.Entry(1).path, "E:\\late.exe") << settled;
    EXPECT_EQ(list.Entry(1).category, "危险") << "found by the later pass";
  }
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

// A path asked about again within a moment is not looked up anew; a change
// made through the machine meanwhile is still seen by the next question.
TEST_F(Sandbox, AChangeIsSeenAtOnceByTheNextQuestion) {
  using Act = std::function<bool(PosixMachine&)>;
  const struct {
    std::string_view change;
    Act act;
    Act seen;  // false before the change
  } cases[] = {
      {"RemoveFile", [](PosixMachine& m) { return m.RemoveFile("E:\\x.exe"); },
       [](PosixMachine& m) { return !m.CurrentAttributes("E:\\x.exe"); }},
      {"RemoveFolder", [](PosixMachine& m) { return m.RemoveFolder("E:\\Empty"); },
       [](PosixMachine& m) { return !m.CurrentAttributes("E:\\Empty"); }},
      {"SetPermissions", [](PosixMachine& m) { return m.SetPermissions("E:\\x.exe", 0400); },
       [](PosixMachine& m) { return m.Permissions("E:\\x.exe") == 0400u; }},
      {"SetAttributes", [](PosixMachine& m) { return m.SetAttributes("E:\\x.exe", kAttributeReadOnly); },
       [](PosixMachine& m) { return m.CurrentAttributes("E:\\x.exe") == kAttributeReadOnly; }},
      {"ResetAttributes", [](PosixMachine& m) { return m.ResetAttributes("E:\\ro.exe"); },
       [](PosixMachine& m) { return m.CurrentAttributes("E:\\ro.exe") == 0u; }},
      {"WriteNewFile",
       [](PosixMachine& m) {
         MemoryByteReader bytes("MZ and more");
         std::string reason;
         return m.WriteNewFile("E:\\ro.exe", bytes, true, reason);
       },
       [](PosixMachine& m) { return m.CurrentAttributes("E:\\ro.exe") == 0u; }},
  };
  for (const auto& c : cases) {
    fs::remove_all(stick_);
    Write(stick_ / "x.exe", "MZ");
    Write(stick_ / "ro.exe", "MZ");
    fs::permissions(stick_ / "ro.exe", fs::perms::owner_read);
    fs::create_directory(stick_ / "Empty");
    PosixMachine machine = Machine();
    EXPECT_FALSE(c.seen(machine)) << c.change;
    EXPECT_TRUE(c.act(machine)) << c.change;
    EXPECT_TRUE(c.seen(machine)) << c.change;
  }
}

}  // namespace
}  // namespace kestrix::posix
