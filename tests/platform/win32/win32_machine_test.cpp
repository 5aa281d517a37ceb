#include "platform/win32/win32_machine.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <psapi.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "findings/protected_list.h"
#include "platform/common/case_text.h"
#include "platform/common/shell_link.h"
#include "platform/common/text_file.h"
#include "platform/win32/folder_listing.h"
#include "platform/win32/win32_store.h"
#include "remedy/removal.h"
#include "settings/registry_values.h"
#include "support/shell_link_bytes.h"

namespace kestrix::win32 {
namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

constexpr DWORD kPatienceMilliseconds = 10000;

bool WaitUntil(const std::function<bool()>& condition) {
  const ULONGLONG deadline = ::GetTickCount64() + kPatienceMilliseconds;
  while (!condition()) {
    if (::GetTickCount64() > deadline) return false;
    ::Sleep(5);
  }
  return true;
}

// The drive letters of tests/wine exist only in the prefix it lays out.
bool InTestPrefix() { return std::getenv("KESTRIX_WINE_DRIVES") != nullptr; }

// Whether the drives of tests/wine are there. Run by hand on Windows they
// are not, and what needs them is skipped; CI always runs in the prefix, so
// there their absence fails.
bool HasTestDrives() {
  if (InTestPrefix()) return true;
  EXPECT_STRNE(std::getenv("CI"), "true") << "needs the drives of tests/wine";
  return false;
}

DWORD AttributesOf(const std::string& path) { return ::GetFileAttributesW(Widen(path).c_str()); }

HANDLE Open(const std::string& path, DWORD access, DWORD sharing, DWORD disposition = OPEN_EXISTING) {
  return ::CreateFileW(Widen(path).c_str(), access, sharing, nullptr, disposition, 0, nullptr);
}

void WriteBytes(const std::string& path, std::string_view bytes) {
  const HANDLE file = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path << ": " << ErrorText(::GetLastError());
  DWORD written = 0;
  EXPECT_TRUE(::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  ::CloseHandle(file);
}

// The first bytes of a file, enough to tell it from another; empty when it
// cannot be read.
std::string ReadStart(const std::string& path) {
  const HANDLE file = Open(path, GENERIC_READ, FILE_SHARE_READ);
  std::string bytes(4096, '\0');
  DWORD got = 0;
  if (file == INVALID_HANDLE_VALUE ||
      !::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr)) {
    got = 0;
  }
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  bytes.resize(got);
  return bytes;
}


// All a reader gives; nullopt on an error.
std::optional<std::string> ReadAll(ByteReader& reader) {
  std::string bytes;
  std::array<char, 7> chunk{};  // small, so that a file takes many reads
  std::string reason;
  while (const auto got = reader.Read(chunk, reason)) {
    if (*got == 0) return bytes;
    bytes.append(chunk.data(), *got);
  }
  return std::nullopt;
}

// Gives some bytes, then fails as an unplugged stick would.
struct FailingReader final : ByteReader {
  bool gave = false;
  std::optional<std::size_t> Read(std::span<char> buffer, std::string& reason) override {
    if (std::exchange(gave, true)) {
      reason = "unplugged";
      return std::nullopt;
    }
    buffer[0] = 'M';
    return 1;
  }
};

// The lines ReadTextLines hands on; nullopt when it fails.
std::optional<Lines> ReadLines(Files& files, const std::string& path, std::string& reason) {
  Lines lines;
  const auto keep = [&](std::string_view line, std::size_t) { lines.emplace_back(line); };
  if (!files.ReadTextLines(path, keep, reason)) return std::nullopt;
  return lines;
}

// Runs a host program under Wine, which starts host programs it is asked
// to, and waits until `done` holds: Wine hands back no handle to wait on.
bool RunOnHost(const std::vector<std::string>& arguments, const std::function<bool()>& done) {
  std::wstring commandLine;
  for (const std::string& argument : arguments) commandLine += L"\"" + Widen(argument) + L"\" ";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &started)) {
    return false;
  }
  if (started.hThread != nullptr) ::CloseHandle(started.hThread);
  if (started.hProcess != nullptr) ::CloseHandle(started.hProcess);
  return WaitUntil(done);
}

// The host's name for a Windows path, as Wine maps it.
std::string HostPath(const std::string& path) {
  using UnixFileName = char*(CDECL*)(const wchar_t*);
  const auto unixFileName = reinterpret_cast<UnixFileName>(reinterpret_cast<void (*)()>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* name = unixFileName ? unixFileName(Widen(path).c_str()) : nullptr;
  if (name == nullptr) return {};
  std::string host(name);
  ::HeapFree(::GetProcessHeap(), 0, name);
  return host;
}

// A host symbolic link: under Wine, CreateSymbolicLinkW answers yes and
// makes nothing, so the host's ln makes the link a hostile stick would hold.
void MakeHostLink(const std::string& link, const std::string& target) {
  const std::string folder = link.substr(0, link.rfind('\\'));
  const std::string hostLink = HostPath(folder) + link.substr(folder.size()).replace(0, 1, "/");
  ASSERT_TRUE(RunOnHost({"Z:\\bin\\ln", "-s", HostPath(target), hostLink},
                        [&] { return AttributesOf(link) != INVALID_FILE_ATTRIBUTES; }))
      << link << " -> " << target;
}

// Empties and removes a folder.
void RemoveFolder(const std::string& folder) {
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW(Widen(folder + "\\*").c_str(), &found);
  for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(search, &found)) {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = Widen(folder) + L"\\" + name;
    // Through \\?\, so that names ending in a dot or a blank go too.
    const std::wstring exact = L"\\\\?\\" + path;
    ::SetFileAttributesW(exact.c_str(), FILE_ATTRIBUTE_NORMAL);
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      RemoveFolder(Narrow(path));
    } else {
      ::DeleteFileW(exact.c_str());
    }
  }
  if (search != INVALID_HANDLE_VALUE) ::FindClose(search);
  ::RemoveDirectoryW(Widen(folder).c_str());
}

// A fresh folder per test on the removable drive E: (in the temporary
// folder outside the test prefix), removed with all it holds afterwards.
class Stick : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string base = InTestPrefix() ? "E:\\" : machine_.TempDirectory();
    dir_ = base + "kestrix-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    RemoveFolder(dir_);
    ASSERT_TRUE(::CreateDirectoryW(Widen(dir_).c_str(), nullptr)) << ErrorText(::GetLastError());
  }
  void TearDown() override { RemoveFolder(dir_); }
  std::string Path(std::string_view name) const { return dir_ + "\\" + std::string(name); }

  Win32Machine machine_;
  std::string dir_;
};

TEST(Win32Text, ConvertsAtTheBoundaryAndQuotesSystemErrors) {
  const struct {
    std::string narrow;
    std::wstring wide;
  } cases[] = {
      {"", L""},
      {"\303\211cole \xE4\xB8\xAD \xF0\x9F\x98\x80", L"\u00C9cole \u4E2D \U0001F600"},
      {"x\0y"s, L"x\0y"s},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Widen(c.narrow), c.wide) << c.narrow;
    EXPECT_EQ(Narrow(c.wide), c.narrow) << c.narrow;
  }
  EXPECT_EQ(Widen("a\377b"), L"a\uFFFDb");
  EXPECT_EQ(Narrow(L"a\xD800"), "a\xEF\xBF\xBD");

  const DWORD codes[] = {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, 0x2000FFFF};
  for (const DWORD code : codes) {
    const std::string text = ErrorText(code);
    ASSERT_FALSE(text.empty()) << code;
    EXPECT_EQ(text.find_last_not_of("\r\n"), text.size() - 1) << text;
  }
  EXPECT_NE(ErrorText(ERROR_FILE_NOT_FOUND), ErrorText(ERROR_ACCESS_DENIED));
  EXPECT_EQ(RunningUnderWine(), InTestPrefix());
}

TEST(Win32Volumes, ReportsDrivesAndSystemFolders) {
  Win32Machine machine;
  const std::string windows = machine.WindowsDirectory();
  const std::string temp = machine.TempDirectory();
  ASSERT_TRUE(windows.size() > 3 && !temp.empty());
  EXPECT_NE(windows.back(), '\\');
  EXPECT_EQ(temp.back(), '\\');
  for (const std::string& dir : {windows, temp})
    EXPECT_NE(AttributesOf(dir) & FILE_ATTRIBUTE_DIRECTORY, 0u) << dir;
  EXPECT_EQ(machine.GetFirstDiskExtent('1').ExtentLength, 0);

  if (!HasTestDrives()) GTEST_SKIP() << "needs the drives of tests/wine";
  const struct {
    std::string root;
    DriveType type;
    std::optional<bool> extent;  // whether its first extent has a length; unset: either
  } cases[] = {
      {"E:\\", DriveType::kRemovable, true},  {"e:\\", DriveType::kRemovable, true},
      {"F:\\", DriveType::kFixed, true},      {"G:\\", DriveType::kCdRom, {}},
      {"H:\\", DriveType::kRemote, {}},       {"R:\\", DriveType::kRamDisk, {}},
      {"Q:\\", DriveType::kNoRootDir, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(machine.QueryDriveType(c.root), c.type) << c.root;
    if (c.extent) {
      EXPECT_EQ(machine.GetFirstDiskExtent(c.root[0]).ExtentLength > 0, *c.extent) << c.root;
    }
  }
}

TEST_F(Stick, ResetAttributesClearsWhatWormsSet) {
  constexpr DWORD kWormBits = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  const std::string file = Path("Autorun.inf");
  WriteBytes(file, "[autorun]");
  ASSERT_TRUE(::SetFileAttributesW(Widen(file).c_str(), kWormBits));
  ASSERT_EQ(AttributesOf(file) & kWormBits, kWormBits);
  // Windows ignores letter case in names, and so must every lookup.
  EXPECT_TRUE(machine_.FileExists(Path("AUTORUN.INF")));
  EXPECT_TRUE(machine_.ResetAttributes(Path("AUTORUN.INF")));
  EXPECT_EQ(AttributesOf(file) & kWormBits, 0u);

  ASSERT_TRUE(::CreateDirectoryW(Widen(Path("folder.exe")).c_str(), nullptr));
  EXPECT_FALSE(machine_.FileExists(Path("folder.exe")));
  EXPECT_FALSE(machine_.FileExists(Path("missing")));
  EXPECT_FALSE(machine_.ResetAttributes(Path("missing")));
  EXPECT_FALSE(machine_.FileExists(file + "\0.txt"s));
}

TEST_F(Stick, FoldersTakeMarksAndRemoveFolderTakesOnlyAnEmptyFolderItself) {
  constexpr DWORD kMarks = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  const std::string folder = Path("Autorun.inf");
  ASSERT_TRUE(::CreateDirectoryW(Widen(folder).c_str(), nullptr));
  // Wine keeps no read-only mark on a folder; hidden and system it keeps.
  const DWORD kept = RunningUnderWine() ? FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM : kMarks;
  ASSERT_TRUE(machine_.SetAttributes(Path("AUTORUN.INF"), kMarks));
  EXPECT_EQ(AttributesOf(folder) & (kept | FILE_ATTRIBUTE_DIRECTORY), kept | FILE_ATTRIBUTE_DIRECTORY);
  ASSERT_TRUE(machine_.SetAttributes(folder, 0));
  EXPECT_EQ(AttributesOf(folder) & kMarks, 0u);

  ASSERT_TRUE(::CreateDirectoryW(Widen(Path("Full")).c_str(), nullptr));
  WriteBytes(Path("Full\\inner.txt"), "x");
  WriteBytes(Path("Virus.exe"), "MZ");
  const std::string outside = machine_.TempDirectory() + "kestrix-empty-outside";
  ::CreateDirectoryW(Widen(outside).c_str(), nullptr);
  if (InTestPrefix()) MakeHostLink(Path("out.lnk"), outside);
  for (const std::string_view name : {"Full", "Virus.exe", "missing", "out.lnk"}) {
    EXPECT_FALSE(machine_.RemoveFolder(Path(name))) << name;
  }
  EXPECT_NE(AttributesOf(Path("Full\\inner.txt")), INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(AttributesOf(outside), INVALID_FILE_ATTRIBUTES);
  if (InTestPrefix()) {
    // The host removes the link itself, where Wine would follow it.
    RunOnHost({"Z:\\bin\\rm", HostPath(Path("out.lnk"))},
              [&] { return AttributesOf(Path("out.lnk")) == INVALID_FILE_ATTRIBUTES; });
  }
  ::RemoveDirectoryW(Widen(outside).c_str());
  EXPECT_TRUE(machine_.RemoveFolder(Path("autorun.inf")));
  EXPECT_EQ(AttributesOf(folder), INVALID_FILE_ATTRIBUTES);
}

// The shell reads a shortcut as the portable reader does, which the
// sweeps of other backends rely on.
TEST_F(Stick, ReadShortcutAgreesWithThePortableReader) {
  using kestrix::testing::LinkFields;
  const LinkFields fieldSets[] = {
      {.target = "C:\\WINDOWS\\system32\\cmd.exe",
       .arguments = "/c start _\\x.vbs&exit",
       .workingDirectory = "E:\\"},
      {.target = "C:\\windows\\system32\\wscript.exe",
       .unicodeTarget = "C:\\windows\\system32\\wscript.exe",
       .arguments = "//B \"a b.vbs\""},
      {.target = "C:\\a.exe", .arguments = "-x", .unicode = false},
  };
  for (const LinkFields& fields : fieldSets) {
    WriteBytes(Path("x.lnk"), kestrix::testing::ShellLinkBytes(fields));
    const auto shell = machine_.ReadShortcut(Path("x.lnk"));
    const auto portable = ParseShellLink(kestrix::testing::ShellLinkBytes(fields),
                                         [](std::string_view ansi) { return std::string(ansi); });
    ASSERT_TRUE(shell && portable) << fields.target;
    EXPECT_TRUE(EqualNoCase(machine_, shell->target, portable->target))
        << shell->target << " " << portable->target;
    EXPECT_EQ(shell->arguments, portable->arguments);
    EXPECT_EQ(shell->workingDirectory, portable->workingDirectory);
  }
  WriteBytes(Path("not.lnk"), "MZ");
  EXPECT_FALSE(machine_.ReadShortcut(Path("not.lnk")));
  EXPECT_FALSE(machine_.ReadShortcut(Path("missing.lnk")));
}

// Folders keep their read-only mark (Windows keeps it; Wine shows it for a
// folder without write permission). Names an ordinary path cannot reach are
// left out.
TEST_F(Stick, ListFolderSeesFoldersAndTheirMarks) {
  constexpr DWORD kMarks = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY;
  ASSERT_TRUE(::CreateDirectoryW(Widen(Path("Photos")).c_str(), nullptr));
  ASSERT_TRUE(::SetFileAttributesW(Widen(Path("Photos")).c_str(), kMarks));
  WriteBytes(Path("a.txt"), "x");
  for (const std::wstring name : {L"dot.", L"blank ", L"lone\xD800"}) {
    const std::wstring exact = L"\\\\?\\" + Widen(dir_) + L"\\" + name;
    const HANDLE file = ::CreateFileW(exact.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    // Wine keeps names as UTF-8, which holds no lone surrogate.
    if (file == INVALID_HANDLE_VALUE && RunningUnderWine() && name.back() == L'\xD800') continue;
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << Narrow(name) << ": " << ErrorText(::GetLastError());
    ::CloseHandle(file);
  }
  const auto entries = machine_.ListFolder(Path(""));
  std::vector<std::string> names;
  for (const FolderEntry& entry : entries) names.push_back(entry.name);
  std::ranges::sort(names);
  EXPECT_EQ(names, (std::vector<std::string>{"Photos", "a.txt"}));
  const auto photos = std::ranges::find(entries, "Photos", &FolderEntry::name);
  ASSERT_NE(photos, entries.end());
  EXPECT_TRUE(photos->folder);
  EXPECT_EQ(photos->attributes, AttributesOf(Path("Photos")) & (kMarks | FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(photos->attributes & (kAttributeHidden | kAttributeSystem), kAttributeHidden | kAttributeSystem);
  EXPECT_EQ(machine_.CurrentAttributes(Path("Photos")), photos->attributes);
  EXPECT_EQ(machine_.CurrentAttributes(Path("missing")), std::nullopt);
  if (RunningUnderWine()) {
    const auto proc = machine_.ListFolder("Z:\\proc");
    const auto init = std::ranges::find(proc, "1", &FolderEntry::name);
    ASSERT_NE(init, proc.end());
    EXPECT_EQ(init->attributes & kAttributeReadOnly, kAttributeReadOnly);
  } else {
    EXPECT_EQ(photos->attributes & kAttributeReadOnly, kAttributeReadOnly);
  }
  EXPECT_TRUE(machine_.SetAttributes(Path("PHOTOS"), 0));
  EXPECT_EQ(AttributesOf(Path("Photos")) & kMarks, 0u);
}

TEST_F(Stick, QueryFileSizeSeesEveryEntryAndKeepsTheLow32Bits) {
  WriteBytes(Path("five.txt"), "12345");
  WriteBytes(Path("empty"), "");
  WriteBytes(Path("hidden.sys"), "123");
  ::SetFileAttributesW(Widen(Path("hidden.sys")).c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  ::CreateDirectoryW(Widen(Path("dir")).c_str(), nullptr);
  // Sparse where the file system allows it, so this takes no real space.
  const HANDLE big = Open(Path("big"), GENERIC_WRITE, 0, CREATE_NEW);
  LARGE_INTEGER end{};
  end.QuadPart = 0x1'8000'0005LL;
  EXPECT_TRUE(::SetFilePointerEx(big, end, nullptr, FILE_BEGIN) && ::SetEndOfFile(big));
  ::CloseHandle(big);
  const struct {
    std::string name;
    std::int32_t size;
  } cases[] = {{"five.txt", 5},
               {"FIVE.TXT", 5},
               {"empty", 0},
               {"hidden.sys", 3},
               {"dir", 0},
               {"missing", -1},
               {"big", static_cast<std::int32_t>(0x8000'0005u)}};
  for (const auto& c : cases) EXPECT_EQ(machine_.QueryFileSize(Path(c.name)), c.size) << c.name;
}

TEST_F(Stick, ReadTextLinesReadsAsWindowsDoes) {
  std::vector<std::pair<std::string, Lines>> cases = {
      {"a\r\nb\rc\nd\n", {"a", "b", "c", "d"}},
      {"open=x.exe\0shell=y.exe"s, {"open=x.exe"}},
      {"\357\273\277caf\xC3\xA9", {"caf\xC3\xA9"}},
      {"", {}},
  };
  // The prefix's code page follows the host's locale; 1252 unless told.
  if (::GetACP() == 1252) {
    cases.push_back({"caf\xE9\r\n\x80 5", {"caf\xC3\xA9", "\xE2\x82\xAC 5"}});
    // Valid UTF-8 without a mark: the ANSI reading, then the UTF-8 one.
    cases.push_back({"\xE2\x82\xAC 5", {"\xC3\xA2\xE2\x80\x9A\xC2\xAC 5", "\xE2\x82\xAC 5"}});
  }
  std::string reason;
  for (const auto& [bytes, lines] : cases) {
    WriteBytes(Path("text.inf"), bytes);
    EXPECT_EQ(ReadLines(machine_, Path("TEXT.INF"), reason), lines) << bytes << reason;
  }
  // Longer than one read.
  std::string longText;
  for (int i = 0; i < 10000; ++i) longText += "line " + std::to_string(i) + "\r\n";
  WriteBytes(Path("long.inf"), longText);
  const auto lines = ReadLines(machine_, Path("long.inf"), reason);
  ASSERT_TRUE(lines) << reason;
  EXPECT_EQ(lines->size(), 10000u);
  EXPECT_EQ(lines->back(), "line 9999");
}

TEST_F(Stick, ReadTextLinesStreamsAFileOfGigabytes) {
  const std::string file = Path("Autorun.inf");
  WriteBytes(file, "[autorun]\r\nopen=worm.exe\r\n");
  const HANDLE big = Open(file, GENERIC_WRITE, 0);
  LARGE_INTEGER end{};
  end.QuadPart = 3LL << 30;
  ASSERT_TRUE(::SetFilePointerEx(big, end, nullptr, FILE_BEGIN) && ::SetEndOfFile(big));
  ::CloseHandle(big);

  PROCESS_MEMORY_COUNTERS before{};
  ASSERT_TRUE(::K32GetProcessMemoryInfo(::GetCurrentProcess(), &before, sizeof(before)));
  std::string reason;
  EXPECT_EQ(ReadLines(machine_, file, reason), Lines({"[autorun]", "open=worm.exe"})) << reason;
  PROCESS_MEMORY_COUNTERS after{};
  ASSERT_TRUE(::K32GetProcessMemoryInfo(::GetCurrentProcess(), &after, sizeof(after)));
  EXPECT_LT(after.PeakWorkingSetSize - before.PeakWorkingSetSize, SIZE_T{64} << 20);
}

// A running worm keeps its Autorun.inf open for writing; only a file held
// without read sharing stays unread, with the system's reason.
TEST_F(Stick, ReadTextLinesReadsFilesOthersWriteUnlessHeldExclusively) {
  const std::string file = Path("Autorun.inf");
  WriteBytes(file, "[autorun]");
  const struct {
    DWORD access;
    DWORD sharing;
    bool readable;
  } holders[] = {
      {GENERIC_WRITE, 0, false},
      {GENERIC_READ, 0, false},
      {GENERIC_WRITE, FILE_SHARE_READ, true},
      {GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
      {GENERIC_READ | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, true},
      {GENERIC_READ, FILE_SHARE_READ, true},
  };
  for (const auto& holder : holders) {
    const HANDLE held = Open(file, holder.access, holder.sharing);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::string reason;
    const auto lines = ReadLines(machine_, file, reason);
    EXPECT_EQ(lines, holder.readable ? std::optional(Lines{"[autorun]"}) : std::nullopt) << holder.sharing;
    EXPECT_EQ(reason, holder.readable ? "" : ErrorText(ERROR_SHARING_VIOLATION)) << holder.access;
    ::CloseHandle(held);
  }
  std::string reason;
  EXPECT_FALSE(ReadLines(machine_, Path("missing.inf"), reason));
  EXPECT_EQ(reason, ErrorText(ERROR_FILE_NOT_FOUND));
  reason.clear();
  EXPECT_FALSE(ReadLines(machine_, dir_, reason));
  EXPECT_FALSE(reason.empty());
}

TEST_F(Stick, RemoveFileDeletesFilesOnly) {
  WriteBytes(Path("virus.exe"), "MZ");
  WriteBytes(Path("locked.exe"), "MZ");
  ::SetFileAttributesW(Widen(Path("locked.exe")).c_str(), FILE_ATTRIBUTE_READONLY);
  ::CreateDirectoryW(Widen(Path("folder.exe")).c_str(), nullptr);

  EXPECT_TRUE(machine_.RemoveFile(Path("VIRUS.EXE")));
  EXPECT_EQ(AttributesOf(Path("virus.exe")), INVALID_FILE_ATTRIBUTES);
  EXPECT_FALSE(machine_.RemoveFile(Path("virus.exe")));
  EXPECT_FALSE(machine_.RemoveFile(Path("folder.exe")));
  EXPECT_NE(AttributesOf(Path("folder.exe")), INVALID_FILE_ATTRIBUTES);
  EXPECT_FALSE(machine_.RemoveFile(Path("locked.exe")));
  EXPECT_TRUE(machine_.ResetAttributes(Path("locked.exe")));
  EXPECT_TRUE(machine_.RemoveFile(Path("locked.exe")));
}

TEST_F(Stick, WriteNewFileReplacesOnlyWhenAskedAndNeverLeavesHalfAFile) {
  const std::string file = Path("new\\deeper\\kept.exe");
  std::string reason;
  const auto write = [&](std::string_view bytes, bool replace) {
    MemoryByteReader source(bytes);
    reason.clear();
    return machine_.WriteNewFile(file, source, replace, reason);
  };
  const auto contents = [&]() -> std::optional<std::string> {
    const auto reader = machine_.OpenForReading(file, reason);
    return reader ? ReadAll(*reader) : std::nullopt;
  };
  ASSERT_TRUE(write("first", false)) << reason;
  EXPECT_EQ(contents(), "first");
  EXPECT_FALSE(write("second", false));
  EXPECT_EQ(reason, ErrorText(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(contents(), "first");
  // A restored file is read-only again; replacing it once more must work.
  ASSERT_TRUE(::SetFileAttributesW(Widen(file).c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  EXPECT_TRUE(write("second", true)) << reason;
  EXPECT_EQ(contents(), "second");

  // A source that fails midway leaves the old file or none.
  FailingReader failing;
  EXPECT_FALSE(machine_.WriteNewFile(file, failing, true, reason));
  EXPECT_EQ(reason, "unplugged");
  EXPECT_EQ(contents(), "second");
  failing.gave = false;
  EXPECT_FALSE(machine_.WriteNewFile(Path("none.exe"), failing, false, reason));
  EXPECT_EQ(AttributesOf(Path("none.exe")), INVALID_FILE_ATTRIBUTES);

  MemoryByteReader source("x");
  EXPECT_FALSE(machine_.WriteNewFile(Path("new"), source, true, reason)) << "a directory is never replaced";
  EXPECT_EQ(Listing(dir_), Lines({"new"}));
  EXPECT_EQ(Listing(Path("new\\deeper")), Lines({"kept.exe"}));

  // A file another program is writing is not read.
  const HANDLE held = Open(file, GENERIC_WRITE, FILE_SHARE_READ);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(machine_.OpenForReading(file, reason), nullptr);
  EXPECT_EQ(reason, ErrorText(ERROR_SHARING_VIOLATION));
  ::CloseHandle(held);
  EXPECT_EQ(machine_.OpenForReading(Path("new"), reason), nullptr);
}

TEST_F(Stick, OriginalAttributesAreTheBitsBeforeTheFirstReset) {
  constexpr std::uint32_t kWormBits = kAttributeReadOnly | kAttributeHidden | kAttributeSystem;
  const std::string file = Path("RavMonE.exe");
  WriteBytes(file, "MZ worm");
  ASSERT_TRUE(::SetFileAttributesW(Widen(file).c_str(), kWormBits));
  // Wine marks every file for archiving; only the worm's bits count here.
  const auto original = [&](const std::string& path) {
    const auto bits = machine_.OriginalAttributes(path);
    return bits ? std::optional(*bits & ~kAttributeArchive) : std::nullopt;
  };
  EXPECT_EQ(original(file), kWormBits);
  ASSERT_TRUE(machine_.ResetAttributes(file));
  ASSERT_TRUE(machine_.SetAttributes(file, kAttributeHidden));
  ASSERT_TRUE(machine_.ResetAttributes(Path("RAVMONE.EXE")));
  EXPECT_EQ(AttributesOf(file) & kWormBits, 0u);
  EXPECT_EQ(original(file), kWormBits);
  EXPECT_TRUE(machine_.SetAttributes(file, kWormBits | kAttributeArchive));
  EXPECT_EQ(AttributesOf(file) & kWormBits, kWormBits);

  // A file made anew under the name is another file, though the system may
  // give it the old one's number.
  ASSERT_TRUE(machine_.ResetAttributes(file) && machine_.RemoveFile(file));
  MemoryByteReader source("MZ");
  std::string reason;
  ASSERT_TRUE(machine_.WriteNewFile(file, source, false, reason)) << reason;
  EXPECT_EQ(original(file), 0u);
  EXPECT_EQ(original(Path("missing.exe")), std::nullopt);
  EXPECT_EQ(original(dir_), std::nullopt);
  EXPECT_FALSE(machine_.SetAttributes(Path("missing.exe"), kAttributeHidden));
}

// Windows accepts many spellings of one file; a worm's Autorun.inf may name
// a system file by any of them.
TEST_F(Stick, ProtectedListKnowsSystemFilesByAnySpelling) {
  const std::string windows = machine_.WindowsDirectory();
  ProtectedList list(machine_, machine_);
  list.BuildProtectedList(windows + "\\");
  WriteBytes(Path("explorer.exe"), "MZ worm");
  std::vector<std::pair<std::string, bool>> cases = {
      {windows + "\\.\\explorer.exe", true},
      {windows + "\\regedit.exe.", true},
      {windows + "\\\\hh.exe", true},
      {windows + "/win.ini", true},
      {windows + "\\system32\\..\\winhlp32.exe", true},
      {LowerText(machine_, windows) + "\\SYSTEM32\\.\\USERINIT.EXE ", true},
      {windows + "\\SYSTEM32\\.\\RUNDLL32.EXE ", true},
      {Path("explorer.exe"), false},
      {Path("missing.exe"), false},
  };
  std::array<wchar_t, MAX_PATH> shortName{};
  const DWORD length =
      ::GetShortPathNameW(Widen(windows + "\\explorer.exe").c_str(), shortName.data(), MAX_PATH);
  if (length > 0 && length < MAX_PATH) cases.emplace_back(Narrow(shortName.data()), true);
  for (const auto& [path, isProtected] : cases) EXPECT_EQ(list.IsProtected(path), isProtected) << path;

  // A short name of the stick's own, which Windows gives any long name.
  WriteBytes(Path("Long file name.exe"), "MZ");
  const DWORD stickLength =
      ::GetShortPathNameW(Widen(Path("Long file name.exe")).c_str(), shortName.data(), MAX_PATH);
  ASSERT_TRUE(stickLength > 0 && stickLength < MAX_PATH);
  EXPECT_EQ(machine_.FullPathName(Narrow(shortName.data())), Path("Long file name.exe"));
}

// A stick's links, made the way a hostile stick holds them, lead nowhere
// outside it. Wine follows a link even when asked for the link itself, so a
// link there must stay rather than take its target with it.
class HostileStick : public Stick {
 protected:
  void SetUp() override {
    if (!HasTestDrives()) GTEST_SKIP() << "needs the drives of tests/wine";
    Stick::SetUp();
    outside_ = "F:\\kestrix-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name());
    RemoveFolder(outside_);
    ASSERT_TRUE(::CreateDirectoryW(Widen(outside_).c_str(), nullptr));
  }
  // The host removes links themselves, where Wine would follow them.
  void TearDown() override {
    if (!InTestPrefix()) return;
    for (const std::string& folder : {dir_, outside_}) {
      const std::string host = folder.empty() ? std::string() : HostPath(folder);
      if (host.empty()) continue;
      RunOnHost({"Z:\\bin\\rm", "-rf", host},
                [&] { return AttributesOf(folder) == INVALID_FILE_ATTRIBUTES; });
    }
  }

  std::string outside_;
};

TEST_F(HostileStick, RemovalNeverReachesThroughALink) {
  constexpr DWORD kReadOnly = FILE_ATTRIBUTE_READONLY;
  const std::string victim = outside_ + "\\victim.txt";
  const std::string kept = Path("sub\\kept.txt");
  ASSERT_TRUE(::CreateDirectoryW(Widen(Path("sub")).c_str(), nullptr));
  for (const std::string& file : {victim, kept}) {
    WriteBytes(file, "keep me");
    ASSERT_TRUE(::SetFileAttributesW(Widen(file).c_str(), kReadOnly));
  }
  WriteBytes(Path("plain.txt"), "MZ");
  MakeHostLink(Path("to-f"), outside_);
  MakeHostLink(Path("victim.txt"), victim);
  MakeHostLink(Path("kept.txt"), kept);
  const std::string explorer = machine_.WindowsDirectory() + "\\explorer.exe";
  MakeHostLink(Path("shell.exe"), explorer);
  const std::string explorerBytes = ReadStart(explorer);

  const struct {
    std::string path;
    bool removable;
  } cases[] = {
      {Path("to-f\\victim.txt"), false},  // a folder link to another drive
      {Path("victim.txt"), false},        // a file link to another drive
      {Path("kept.txt"), false},          // a file link to a file on the same stick
      {Path("shell.exe"), false},         // a file link to a system file
      {Path("plain.txt"), true},
  };
  std::string reason;
  for (const auto& c : cases) {
    EXPECT_EQ(machine_.OpenForReading(c.path, reason) != nullptr, c.removable) << c.path;
    EXPECT_EQ(machine_.ResetAttributes(c.path), c.removable) << c.path;
    EXPECT_EQ(machine_.RemoveFile(c.path), c.removable) << c.path;
  }
  // Nor does a file written there land elsewhere.
  MemoryByteReader source("MZ worm");
  EXPECT_FALSE(machine_.WriteNewFile(Path("to-f\\restored.exe"), source, false, reason));
  EXPECT_EQ(Listing(outside_), Lines({"victim.txt"}));
  for (const std::string& file : {victim, kept}) {
    EXPECT_EQ(ReadStart(file), "keep me") << file;
    EXPECT_EQ(AttributesOf(file) & kReadOnly, kReadOnly) << file;
  }
  EXPECT_EQ(AttributesOf(Path("plain.txt")), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(ReadStart(explorer), explorerBytes);

  // A link to a system file is not that file: removal takes only the link.
  ProtectedList list(machine_, machine_);
  list.BuildProtectedList(machine_.WindowsDirectory() + "\\");
  EXPECT_FALSE(list.IsProtected(Path("shell.exe")));
}

TEST(Win32CaseFolding, LowersAsTheSystemDoes) {
  const std::pair<char32_t, char32_t> cases[] = {
      {U'A', U'a'},     {U'a', U'a'},       {0xC9, 0xE9},     {0x3A9, 0x3C9},       {0x401, 0x451},
      {0x4E2D, 0x4E2D}, {0x1F600, 0x1F600}, {0xD800, 0xD800}, {0x110000, 0x110000},
  };
  const Win32Machine machine;
  for (const auto& [upper, lower] : cases) {
    EXPECT_EQ(machine.ToLower(upper), lower) << std::hex << static_cast<std::uint32_t>(upper);
  }
  EXPECT_EQ(LowerText(machine, "E:\\\xE7\x97\x85\xE6\xAF\x92\\\303\211COLE\\AUTORUN.INF"),
            "e:\\\xE7\x97\x85\xE6\xAF\x92\\\303\251cole\\autorun.inf");
}

TEST(Win32Hashing, BcryptGivesTheKnownDigests) {
  BcryptHashing hashing;
  const auto digest = [&](std::initializer_list<std::string_view> pieces) {
    const auto sha = hashing.StartSha256();
    for (const std::string_view piece : pieces) sha->Update(piece);
    return sha->HexDigest();
  };
  const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  EXPECT_EQ(digest({"abc"}), abc);
  EXPECT_EQ(digest({"a", "", "bc"}), abc);
  EXPECT_EQ(digest({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

// The test key, removed before and after each test.
class RegistryKeyTest : public ::testing::Test {
 protected:
  static constexpr const wchar_t* kKey = L"Software\\KestrixTest";
  void SetUp() override { ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey); }
  void TearDown() override { ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey); }

  // Stores a value as it is, bypassing the code under test.
  static void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    EXPECT_EQ(::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    ::RegCloseKey(key);
  }

  Win32Registry registry_;
};

TEST_F(RegistryKeyTest, ReadsTextValuesAndRefusesOtherTypes) {
  EXPECT_EQ(registry_.OpenKey("\\Software\\KestrixTest"), nullptr);
  const auto key = registry_.OpenOrCreateKey("\\Software\\KestrixTest");
  ASSERT_NE(key, nullptr);
  EXPECT_TRUE(key->WriteText("AutoKill", "1"));
  EXPECT_TRUE(key->WriteText("Title", "\xE4\xB8\xAD \xC3\xA9"));
  for (const char* path : {"Software\\KestrixTest", "\\Software\\KestrixTest", "\\\\Software\\KestrixTest"}) {
    const auto again = registry_.OpenKey(path);
    ASSERT_NE(again, nullptr) << path;
    EXPECT_EQ(again->ReadText("autokill"), "1") << path;
  }

  const DWORD number = 1;
  SetRaw(L"Dword", REG_DWORD, &number, sizeof(number));
  SetRaw(L"Multi", REG_MULTI_SZ, L"a\0b\0", 10);
  SetRaw(L"Expand", REG_EXPAND_SZ, L"%SystemRoot%\\x", 30);
  SetRaw(L"Embedded", REG_SZ, L"ab\0cd", 12);
  SetRaw(L"Unterminated", REG_SZ, L"abc", 6);
  SetRaw(L"OddLength", REG_SZ, L"abc", 5);
  SetRaw(L"NoData", REG_BINARY, nullptr, 0);
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"Title", "\xE4\xB8\xAD \xC3\xA9"},
      {"Dword", std::nullopt},
      {"Multi", std::nullopt},
      {"Expand", "%SystemRoot%\\x"},
      {"Embedded", "ab"},
      {"Unterminated", "abc"},
      {"OddLength", "ab"},
      {"NoData", ""},
      {"Missing", ""},
  };
  for (const auto& [name, text] : cases) EXPECT_EQ(key->ReadText(name), text) << name;

  // What a handler makes of a number where the program keeps text.
  try {
    ReadTextValue(*key, "Dword");
    ADD_FAILURE() << "a number must not read as text";
  } catch (const RegistryError& error) {
    EXPECT_STREQ(error.what(), "Invalid data type for 'Dword'");
  }
}

TEST_F(RegistryKeyTest, AtSignIsAnOrdinaryNameAndDeletingIsQuiet) {
  const auto key = registry_.OpenOrCreateKey("Software\\KestrixTest");
  ASSERT_NE(key, nullptr);
  ASSERT_TRUE(key->WriteText("@", "named"));
  EXPECT_EQ(key->ReadText("@"), "named");
  HKEY raw = nullptr;
  ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &raw), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(::RegQueryValueExW(raw, L"", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(::RegQueryValueExW(raw, L"@", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 12u);  // "named" and its NUL
  ::RegCloseKey(raw);

  key->DeleteValue("@");
  key->DeleteValue("Missing");
  EXPECT_EQ(key->ReadText("@"), "");
}

bool Listed(ProcessTable& table, const CaseFolding& folding, DWORD id, std::string_view exeFile) {
  const auto entries = table.Snapshot();
  return std::any_of(entries.begin(), entries.end(), [&](const ProcessEntry& entry) {
    return entry.id == id && EqualNoCase(folding, entry.exeFile, exeFile);
  });
}

TEST(Win32Processes, ListsButNeverOpensItsOwnProcess) {
  Win32ProcessTable table;
  wchar_t ownPath[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, ownPath, MAX_PATH);
  const std::wstring_view own(ownPath);
  EXPECT_TRUE(
      Listed(table, Win32Machine(), ::GetCurrentProcessId(), Narrow(own.substr(own.rfind(L'\\') + 1))));
  EXPECT_EQ(table.OpenProcess(::GetCurrentProcessId()), nullptr);
  EXPECT_EQ(table.OpenProcess(0xFFFFFFFC), nullptr);
  // Under Wine either answer may come; neither may fail hard.
  table.SetDebugPrivilege(true);
  table.SetDebugPrivilege(false);
}

// Copies of the idle program on the stick; every copy still running is
// ended before the stick is cleared.
class RunningWorms : public Stick {
 protected:
  void TearDown() override {
    for (const PROCESS_INFORMATION& child : children_) {
      ::TerminateProcess(child.hProcess, 1);
      ::WaitForSingleObject(child.hProcess, kPatienceMilliseconds);
      ::CloseHandle(child.hThread);
      ::CloseHandle(child.hProcess);
    }
    Stick::TearDown();
  }

  // Copies the idle program; the build names it by its host path, which
  // Wine sees below Z:.
  void Install(const std::string& path) {
    std::string program = KESTRIX_IDLE_PROGRAM;
    if (program.starts_with('/')) {
      std::replace(program.begin(), program.end(), '/', '\\');
      program = "Z:" + program;
    }
    ASSERT_TRUE(::CopyFileW(Widen(program).c_str(), Widen(path).c_str(), FALSE))
        << program << ": " << ErrorText(::GetLastError());
  }

  HANDLE Start(const std::string& program) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    std::wstring commandLine = L"\"" + Widen(program) + L"\"";
    if (!::CreateProcessW(Widen(program).c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &started)) {
      ADD_FAILURE() << program << ": " << ErrorText(::GetLastError());
      return nullptr;
    }
    children_.push_back(started);
    return started.hProcess;
  }

  Win32ProcessTable table_;
  std::vector<PROCESS_INFORMATION> children_;
};

TEST_F(RunningWorms, KillProcessByFileEndsOnlyThatFilesProcesses) {
  const std::string worm = Path("worm.exe");
  const std::string other = Path("other.exe");
  Install(worm);
  Install(other);
  const HANDLE worms[] = {Start(worm), Start(worm)};
  const HANDLE bystander = Start(other);
  ASSERT_TRUE(worms[0] && worms[1] && bystander);
  ASSERT_TRUE(WaitUntil([&] {
    return Listed(table_, machine_, ::GetProcessId(worms[0]), "worm.exe") &&
           Listed(table_, machine_, ::GetProcessId(worms[1]), "worm.exe") &&
           Listed(table_, machine_, ::GetProcessId(bystander), "other.exe");
  }));
  {
    const auto process = table_.OpenProcess(::GetProcessId(worms[0]));
    ASSERT_NE(process, nullptr);
    const auto module = process->MainModulePath();
    ASSERT_TRUE(module);
    EXPECT_TRUE(EqualNoCase(machine_, *module, worm)) << *module;
  }
  // A running program's file cannot be deleted.
  EXPECT_FALSE(machine_.RemoveFile(worm));

  KillProcessByFile(table_, machine_, machine_, LowerText(machine_, dir_) + "\\WORM.EXE");
  // Terminate returns once they have ended, so the file can go at once.
  for (const HANDLE ended : worms) {
    EXPECT_EQ(::WaitForSingleObject(ended, 0), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    EXPECT_TRUE(::GetExitCodeProcess(ended, &exitCode) && exitCode == 0);
  }
  EXPECT_EQ(::WaitForSingleObject(bystander, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(machine_.RemoveFile(worm));
}

// The file decides, not how its path is spelled: a process runs the listed
// file under its long name whatever name the list gives it.
TEST_F(RunningWorms, KillProcessByFileKnowsTheFileByAnyOfItsNames) {
  const std::string worm = Path("worm program.exe");
  Install(worm);
  const auto shortName = [&] {
    std::wstring name(MAX_PATH, L'\0');
    const DWORD length = ::GetShortPathNameW(Widen(worm).c_str(), name.data(), MAX_PATH);
    name.resize(length < MAX_PATH ? length : 0);
    return Narrow(name);
  };
  const auto hardLink = [&] {
    const std::string link = Path("link.exe");
    return ::CreateHardLinkW(Widen(link).c_str(), Widen(worm).c_str(), nullptr) ? link : std::string();
  };
  const struct {
    const char* what;
    std::function<std::string()> listedPath;
  } cases[] = {
      {"8.3 name", shortName},
      {"hard link", hardLink},
      {"dotted spelling", [&] { return dir_ + "\\.\\WORM PROGRAM.EXE"; }},
  };
  for (const auto& c : cases) {
    const std::string listed = c.listedPath();
    ASSERT_FALSE(listed.empty()) << c.what << ": " << ErrorText(::GetLastError());
    ASSERT_NE(listed, worm) << c.what;
    const HANDLE running = Start(worm);
    ASSERT_TRUE(running != nullptr && WaitUntil([&] {
                  return Listed(table_, machine_, ::GetProcessId(running), "worm program.exe");
                }))
        << c.what;
    KillProcessByFile(table_, machine_, machine_, listed);
    EXPECT_EQ(::WaitForSingleObject(running, 0), WAIT_OBJECT_0) << c.what << ": " << listed;
  }

  // A link on the stick is not the file it leads to: a stick's link to a
  // system program must not end that program's processes.
  if (!InTestPrefix()) return;  // the host makes the link
  const std::string link = Path("explorer.exe");
  MakeHostLink(link, worm);
  const HANDLE running = Start(worm);
  ASSERT_TRUE(running != nullptr &&
              WaitUntil([&] { return Listed(table_, machine_, ::GetProcessId(running), "worm program.exe"); }));
  KillProcessByFile(table_, machine_, machine_, link);
  EXPECT_EQ(::WaitForSingleObject(running, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "ended through a link";
  // The host removes the link itself, where Wine would follow it.
  RunOnHost({"Z:\\bin\\rm", HostPath(link)}, [&] { return AttributesOf(link) == INVALID_FILE_ATTRIBUTES; });
}

}  // namespace
}  // namespace kestrix::win32
