#include "platform/win32/win32_store.h"

#include <windows.h>

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>
#include <winioctl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/common/text_file.h"
#include "platform/win32/win32_files.h"
#include "platform/win32/win32_machine.h"

namespace kestrix::win32 {
namespace {

using Names = std::vector<std::string>;
bool Described(std::string_view) { return true; }
constexpr std::string_view kUsers = "S-1-5-32-545";
constexpr std::string_view kSystem = "S-1-5-18";
constexpr std::string_view kAdministrators = "S-1-5-32-544";

std::string SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (sid == nullptr || !::ConvertSidToStringSidW(sid, &text)) return "?";
  std::string result = Narrow(text);
  ::LocalFree(text);
  return result;
}

std::string ThisUser() {
  HANDLE token = nullptr;
  ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token);
  std::vector<BYTE> buffer(256);
  DWORD size = 0;
  const bool read = ::GetTokenInformation(token, TokenUser, buffer.data(), 256, &size);
  ::CloseHandle(token);
  return read ? SidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid) : "?";
}

// A folder's access rules as the system reads them back: "protected" when
// they are, then each entry as "sid mask flags".
Names RulesOf(const std::string& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  std::wstring wide = Widen(path);
  if (::GetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor) != ERROR_SUCCESS) {
    return {"unreadable"};
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ::GetSecurityDescriptorControl(descriptor, &control, &revision);
  Names rules = {(control & SE_DACL_PROTECTED) != 0 ? "protected" : "inherited"};
  for (WORD index = 0; dacl != nullptr && index < dacl->AceCount; ++index) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ::GetAce(dacl, index, reinterpret_cast<void**>(&ace));
    char text[64];
    std::snprintf(text, sizeof(text), " %lx %x", static_cast<unsigned long>(ace->Mask), ace->Header.AceFlags);
    rules.push_back(SidText(&ace->SidStart) + text);
  }
  ::LocalFree(descriptor);
  return rules;
}

std::string OwnerOf(const std::string& path) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  std::wstring wide = Widen(path);
  if (::GetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                              nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return "?";
  }
  std::string text = SidText(owner);
  ::LocalFree(descriptor);
  return text;
}

// Whether the file now has that owner: Wine answers yes and keeps none.
bool SetOwner(const std::string& path, std::string_view sidText) {
  PSID sid = nullptr;
  if (!::ConvertStringSidToSidW(Widen(sidText).c_str(), &sid)) return false;
  std::wstring wide = Widen(path);
  const DWORD error = ::SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, sid,
                                              nullptr, nullptr, nullptr);
  ::LocalFree(sid);
  return error == ERROR_SUCCESS && OwnerOf(path) == sidText;
}

// A junction made as Windows makes one: a folder with a mount point.
bool MakeJunction(const std::string& link, const std::string& target) {
  if (!::CreateDirectoryW(Widen(link).c_str(), nullptr)) return false;
  const std::wstring substitute = L"\\??\\" + Widen(target);
  std::vector<BYTE> buffer(16 + (substitute.size() + 2) * sizeof(wchar_t));
  const auto put16 = [&](std::size_t at, std::size_t value) {
    buffer[at] = static_cast<BYTE>(value);
    buffer[at + 1] = static_cast<BYTE>(value >> 8);
  };
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(buffer.data(), &tag, sizeof(tag));
  put16(4, buffer.size() - 8);                           // the data after the header
  put16(10, substitute.size() * sizeof(wchar_t));        // substitute name's length
  put16(12, (substitute.size() + 1) * sizeof(wchar_t));  // print name's offset, empty
  std::memcpy(buffer.data() + 16, substitute.c_str(), substitute.size() * sizeof(wchar_t));
  const ScopedHandle folder(::CreateFileW(Widen(link).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                          nullptr));
  DWORD returned = 0;
  return folder.Valid() &&
         ::DeviceIoControl(folder.Get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                           static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
}

// The names in a folder, hidden ones too.
Names Listing(const std::string& folder) {
  Names names;
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW(Widen(folder + "\\*").c_str(), &found);
  for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(search, &found)) {
    const std::string name = Narrow(found.cFileName);
    if (name != "." && name != "..") names.push_back(name);
  }
  if (search != INVALID_HANDLE_VALUE) ::FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

void WriteBytes(const std::string& path, std::string_view bytes) {
  const ScopedHandle file(
      ::CreateFileW(Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  ASSERT_TRUE(file.Valid() &&
              ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
      << path;
}

std::string Contents(StoreFolder& store, std::string_view name) {
  std::string reason;
  const auto reader = store.Open(name, reason);
  std::string bytes(64, '\0');
  const auto got = reader ? reader->Read(bytes, reason) : std::nullopt;
  return got ? bytes.substr(0, *got) : "(" + reason + ")";
}

void RemoveTree(const std::string& path) {
  // A junction goes alone, never what it leads to.
  const DWORD attributes = ::GetFileAttributesW(Widen(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    for (const std::string& name : Listing(path)) {
      if (!::DeleteFileW(Widen(path + "\\" + name).c_str())) RemoveTree(path + "\\" + name);
    }
  }
  ::RemoveDirectoryW(Widen(path).c_str());
}

class Store : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* drives = std::getenv("KESTRIX_WINE_DRIVES");
    dir_ = std::string(drives != nullptr ? "E:" : std::getenv("TEMP")) + "\\kestrix-store-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    RemoveTree(dir_);
    ASSERT_TRUE(::CreateDirectoryW(Widen(dir_).c_str(), nullptr));
  }
  void TearDown() override { RemoveTree(dir_); }
  std::string Path(std::string_view name) const { return dir_ + "\\" + std::string(name); }

  std::string dir_;
};

TEST_F(Store, ClosesItsFoldersToOtherUsers) {
  const Names machine = {"protected", std::string(kSystem) + " 1f01ff 3",
                         std::string(kAdministrators) + " 1f01ff 3"};
  Names user = machine;
  user.insert(user.begin() + 1, ThisUser() + " 1f01ff 3");
  const struct {
    bool elevated;
    bool existing;     // made before, with the rules of the folder above
    bool change;       // a change is made, not a listing
    std::string file;  // one the folder holds
    Names rules;
  } cases[] = {
      {true, false, true, "", machine},
      {false, false, true, "", user},
      {true, true, true, "1.json", machine},
      {true, true, false, "1.json", {"inherited"}},
      {true, true, true, "notes.txt", {"inherited"}},
  };
  for (const auto& c : cases) {
    RemoveTree(Path("Kestrix"));
    if (c.existing) {
      ASSERT_TRUE(::CreateDirectoryW(Widen(Path("Kestrix")).c_str(), nullptr));
      ASSERT_TRUE(::CreateDirectoryW(Widen(Path("Kestrix\\Quarantine")).c_str(), nullptr));
      WriteBytes(Path("Kestrix\\Quarantine\\" + c.file), "x");
    }
    const Names before = RulesOf(Path("Kestrix\\Quarantine"));
    Win32StoreFolder store(Path("Kestrix\\Quarantine"), c.elevated);
    std::string reason;
    if (c.change) {
      MemoryByteReader source("bytes");
      ASSERT_TRUE(store.Stage(source, reason)) << reason;
    } else {
      store.Entries(Described);
    }
    const Names after = RulesOf(Path("Kestrix\\Quarantine"));
    if (c.rules == Names{"inherited"}) {
      EXPECT_EQ(after, before) << "a listing, or a folder not the store's, keeps its rules: " << c.file;
      continue;
    }
    // Wine keeps only the owner's mode bits of the rules it is given, and
    // reads back rules made from them.
    if (RunningUnderWine()) continue;
    EXPECT_EQ(after, c.rules) << c.elevated << c.existing;
    if (!c.existing) {
      EXPECT_EQ(RulesOf(Path("Kestrix")), c.rules) << c.elevated;
    }
  }
}

TEST_F(Store, RefusesAFolderThatIsNotItsOwnAndTouchesNothingBehindIt) {
  const struct {
    std::string planted;  // the junction, or the folder another user owns
    bool junction;
  } cases[] = {{"Kestrix\\Quarantine", true}, {"Kestrix", true}, {"Kestrix\\Quarantine", false}};
  std::string skipped;
  for (const auto& c : cases) {
    RemoveTree(Path("Kestrix"));
    RemoveTree(Path("elsewhere"));
    ASSERT_TRUE(::CreateDirectoryW(Widen(Path("elsewhere")).c_str(), nullptr));
    WriteBytes(Path("elsewhere\\1.json"), "{}");
    if (c.planted != "Kestrix") {
      ASSERT_TRUE(::CreateDirectoryW(Widen(Path("Kestrix")).c_str(), nullptr));
    }
    bool planted = false;
    if (c.junction) {
      planted = MakeJunction(Path(c.planted), Path("elsewhere"));
    } else {
      ASSERT_TRUE(::CreateDirectoryW(Widen(Path(c.planted)).c_str(), nullptr));
      WriteBytes(Path(c.planted + "\\1.json"), "{}");
      planted = SetOwner(Path(c.planted), kUsers);
    }
    if (!planted && RunningUnderWine()) {
      // Wine 8 makes no junction (FSCTL_SET_REPARSE_POINT is not
      // supported) and keeps no owner but the file's Unix one.
      skipped += c.planted + (c.junction ? " as a junction; " : " owned by Users; ");
      continue;
    }
    ASSERT_TRUE(planted) << c.planted << ": " << ErrorText(::GetLastError());
    const std::string seen = c.junction ? Path("elsewhere") : Path(c.planted);
    const Names before = Listing(seen);
    Win32StoreFolder store(Path("Kestrix\\Quarantine"), true);
    std::string reason;
    EXPECT_EQ(store.Lock(std::chrono::milliseconds(0), reason), nullptr) << c.planted;
    EXPECT_NE(reason.find(store.Location()), std::string::npos) << reason;
    MemoryByteReader source("bytes");
    EXPECT_EQ(store.Stage(source, reason), nullptr) << c.planted;
    EXPECT_EQ(store.Open("1.json", reason), nullptr) << c.planted;
    EXPECT_FALSE(store.Remove("1.json")) << c.planted;
    EXPECT_TRUE(store.Entries(Described).empty()) << c.planted;
    EXPECT_EQ(Listing(seen), before) << c.planted;
  }
  if (!skipped.empty()) GTEST_SKIP() << "this system cannot plant " << skipped;
}

// Another program holding the store's lock until told to let go.
class LockHolder {
 public:
  LockHolder(const std::string& folder, std::uint64_t mark) {
    SECURITY_ATTRIBUTES inherited{sizeof(inherited), nullptr, TRUE};
    HANDLE childInput = nullptr;
    HANDLE childOutput = nullptr;
    HANDLE input = nullptr;
    HANDLE output = nullptr;
    ::CreatePipe(&childInput, &input, &inherited, 0);
    ::CreatePipe(&output, &childOutput, &inherited, 0);
    ::SetHandleInformation(input, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0);
    input_ = ScopedHandle(input);
    output_ = ScopedHandle(output);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput;
    startup.hStdOutput = childOutput;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    std::wstring command =
        L"\"" + Widen(KESTRIX_STORE_LOCK_HOLDER) + L"\" \"" + Widen(folder) + L"\" " + std::to_wstring(mark);
    PROCESS_INFORMATION started{};
    if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                         &started)) {
      process_ = ScopedHandle(started.hProcess);
      ::CloseHandle(started.hThread);
    }
    ::CloseHandle(childInput);
    ::CloseHandle(childOutput);
  }
  // Waits for the holder to say it has the lock.
  bool Locked() {
    char said[16] = {};
    DWORD got = 0;
    return process_.Valid() && ::ReadFile(output_.Get(), said, sizeof(said) - 1, &got, nullptr) &&
           std::string_view(said, got).starts_with("locked");
  }
  // Closes its input, which ends it; true when it has ended.
  bool Release() {
    input_.Close();
    return ::WaitForSingleObject(process_.Get(), 10000) == WAIT_OBJECT_0;
  }

 private:
  ScopedHandle input_;
  ScopedHandle output_;
  ScopedHandle process_;
};

TEST_F(Store, LockShutsOutAnotherProgramUntilItLetsGo) {
  const std::string folder = Path("Kestrix\\Quarantine");
  Win32StoreFolder store(folder);
  std::string reason;
  {
    const auto lock = store.Lock(std::chrono::seconds(1), reason);
    ASSERT_NE(lock, nullptr) << reason;
    EXPECT_EQ(lock->Mark(), 0u) << "a new lock file";
  }
  const struct {
    int waitMilliseconds;
    bool releasedMeanwhile;
  } cases[] = {{0, false}, {400, false}, {10000, true}};
  for (const auto& c : cases) {
    LockHolder holder(folder, 42);
    ASSERT_TRUE(holder.Locked());
    std::thread releasing;
    if (c.releasedMeanwhile)
      releasing = std::thread([&] {
        ::Sleep(300);
        holder.Release();
      });
    const ULONGLONG start = ::GetTickCount64();
    const auto lock = store.Lock(std::chrono::milliseconds(c.waitMilliseconds), reason);
    const ULONGLONG waited = ::GetTickCount64() - start;
    if (releasing.joinable()) releasing.join();
    if (c.releasedMeanwhile) {
      ASSERT_NE(lock, nullptr) << reason;
      EXPECT_EQ(lock->Mark(), 42u) << "the mark the other program left";
      lock->SetMark(43);
      EXPECT_EQ(lock->Mark(), 43u);
    } else {
      EXPECT_EQ(lock, nullptr);
      EXPECT_TRUE(reason.starts_with("the quarantine is busy: another program has held it for ")) << reason;
      EXPECT_GE(waited + 20, static_cast<ULONGLONG>(c.waitMilliseconds));
      EXPECT_TRUE(holder.Release());
    }
  }
  EXPECT_EQ(Listing(folder), Names{std::string(kStoreLockName)});
}

TEST_F(Store, PlacesANameOnlyWhereNoneIsUnlessToldToReplace) {
  Win32StoreFolder store(Path("Kestrix\\Quarantine"));
  std::string reason;
  ASSERT_NE(store.Lock(std::chrono::seconds(1), reason), nullptr) << reason;
  using enum StagedFile::Placed;
  const struct {
    std::string name;
    bool existing;
    bool replace;
    StagedFile::Placed placed;
    std::string kept;
  } cases[] = {
      {"1.json", true, false, kTaken, "old"},
      {"3.json", false, false, kDone, "new"},
      {"ab.bin", true, true, kDone, "new"},
      {"x\\y", false, false, kFailed, ""},
      {"CON", false, true, kFailed, ""},
      {"kestrix.lock", false, true, kFailed, ""},
      {".kestrix-1-1.tmp", false, true, kFailed, ""},
  };
  for (const auto& c : cases) {
    if (c.existing) WriteBytes(Path("Kestrix\\Quarantine\\" + c.name), "old");
    MemoryByteReader source("new");
    const auto staged = store.Stage(source, reason);
    ASSERT_NE(staged, nullptr) << reason;
    EXPECT_EQ(staged->Place(c.name, c.replace, reason), c.placed) << c.name << reason;
    if (c.placed == kTaken) {
      EXPECT_EQ(staged->Place("2.json", false, reason), kDone) << "the next name, the same bytes";
      EXPECT_EQ(Contents(store, "2.json"), "new");
    }
    if (!c.kept.empty()) {
      EXPECT_EQ(Contents(store, c.name), c.kept) << c.name;
    }
  }
  MemoryByteReader source("unplaced");
  EXPECT_NE(store.Stage(source, reason), nullptr);
  EXPECT_EQ(Listing(Path("Kestrix\\Quarantine")),
            Names({"1.json", "2.json", "3.json", "ab.bin", "kestrix.lock"}));
}

TEST_F(Store, ListsWithoutRemovingAndReadsNothingOthersMade) {
  Win32StoreFolder store(Path("Kestrix\\Quarantine\\"));
  EXPECT_EQ(store.Location(), Path("Kestrix\\Quarantine"));
  EXPECT_TRUE(store.Entries(Described).empty()) << "no folder yet";
  std::string reason;
  ASSERT_NE(store.Lock(std::chrono::seconds(1), reason), nullptr) << reason;
  std::string skipped;
  const struct {
    std::string name;
    std::string bytes;
    bool temporary;
    bool foreign;
  } cases[] = {
      {"ab.bin", "blob", false, false},
      {"7.json", "{}", false, false},
      {"8.json", "{\"planted\":1}", false, true},
      {".kestrix-9-9.tmp", "half", true, false},
  };
  for (const auto& c : cases) {
    WriteBytes(Path("Kestrix\\Quarantine\\" + c.name), c.bytes);
    if (c.foreign && !SetOwner(Path("Kestrix\\Quarantine\\" + c.name), kUsers)) {
      ASSERT_TRUE(RunningUnderWine()) << c.name;
      skipped = c.name + " cannot be given to Users here";
    }
  }
  ASSERT_TRUE(::CreateDirectoryW(Widen(Path("Kestrix\\Quarantine\\sub")).c_str(), nullptr));
  const Names before = Listing(Path("Kestrix\\Quarantine"));
  auto entries = store.Entries(Described);
  ASSERT_EQ(entries.size(), std::size(cases));
  for (const auto& c : cases) {
    const auto entry =
        std::find_if(entries.begin(), entries.end(), [&](auto& e) { return e.name == c.name; });
    ASSERT_NE(entry, entries.end()) << c.name;
    EXPECT_EQ(entry->size, c.bytes.size()) << c.name;
    EXPECT_LE(entry->ageSeconds, 60) << c.name;
    EXPECT_EQ(entry->temporary, c.temporary) << c.name;
    if (skipped.empty() || !c.foreign) {
      EXPECT_EQ(store.Open(c.name, reason) == nullptr, c.foreign) << c.name << ": another user's file is not read";
    }
  }
  EXPECT_EQ(Listing(Path("Kestrix\\Quarantine")), before) << "nothing removed";
  for (const std::string_view name :
       {"", "..", "a\\b", "a/b", "C:x", "x.", "CON", "nul.txt", "kestrix.lock"}) {
    EXPECT_EQ(store.Open(name, reason), nullptr) << name;
    EXPECT_FALSE(store.Remove(name)) << name;
  }
  EXPECT_EQ(store.Open("missing", reason), nullptr);
  EXPECT_EQ(reason, ErrorText(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(store.Remove("missing"));
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

TEST(StoreFolders, AnElevatedProgramKeepsTheMachinesStoreAndListsItsUsers) {
  const std::string machine = std::string(std::getenv("ProgramData")) + "\\Kestrix\\Quarantine";
  const std::string user = std::string(std::getenv("LOCALAPPDATA")) + "\\Kestrix\\Quarantine";
  const bool elevated = Win32StoreFolder::RunsElevated();
  EXPECT_EQ(DefaultQuarantineFolder(), elevated ? machine : user);
  EXPECT_EQ(OtherQuarantineFolder(), elevated ? user : machine);
}

}  // namespace
}  // namespace kestrix::win32
