#include "platform/posix/posix_machine.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/posix/posix_sandbox.h"
#include "support/shell_link_bytes.h"

namespace kestrix::posix {
namespace {

namespace fs = std::filesystem;

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

}  // namespace
}  // namespace kestrix::posix
