#include "platform/win32/win32_store.h"

#include <windows.h>

#include <aclapi.h>
#include <gtest/gtest.h>
#include <process.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/common/text_file.h"
#include "platform/win32/folder_listing.h"
#include "platform/win32/win32_files.h"
#include "platform/win32/win32_machine.h"

namespace kestrix::win32 {
namespace {

using Names = std::vector<std::string>;
bool Described(std::string_view) { return true; }
constexpr std::string_view kUsers = "S-1-5-32-545";

std::string SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (sid == nullptr || !::ConvertSidToStringSidW(sid, &text)) return "?";
  std::string result = Narrow(text);
  ::LocalFree(text);
  return result;
}

std::string ThisUser() {
  alignas(TOKEN_USER) BYTE buffer[256];
  DWORD size = 0;
  return ::GetTokenInformation(::GetCurrentProcessToken(), TokenUser, buffer, sizeof(buffer), &size)
             ? SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid)
             : "?";
}

// A folder's access rules as the system reads them back: "protected" when
// they are, then each entry as "sid mask flags".
Names RulesOf(const std::string& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetNamedSecurityInfoW(Widen(path).data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
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

// Gives a file to another owner; false where that cannot be done (Wine
// answers yes and keeps none but the file's Unix one; Windows lets only a
// program with the restore privilege, an elevated one, name another owner).
bool SetOwner(const std::string& path, std::string_view sidText) {
  HANDLE token = nullptr;
  TOKEN_PRIVILEGES restore{.PrivilegeCount = 1, .Privileges = {{.Luid = {}, .Attributes = SE_PRIVILEGE_ENABLED}}};
  if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
    if (::LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &restore.Privileges[0].Luid))
      ::AdjustTokenPrivileges(token, FALSE, &restore, 0, nullptr, nullptr);
    ::CloseHandle(token);
  }
  PSID sid = nullptr;
  if (!::ConvertStringSidToSidW(Widen(sidText).c_str(), &sid)) return false;
  const DWORD error = ::SetNamedSecurityInfoW(Widen(path).data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                              sid, nullptr, nullptr, nullptr);
  ::LocalFree(sid);
  return error == ERROR_SUCCESS && !RunningUnderWine();
}

// A junction made as a user makes one; false when none was made (Wine's
// mklink answers 0 all the same).
bool MakeJunction(const std::string& link, const std::string& target) {
  std::system(("mklink /J \"" + link + "\" \"" + target + "\" >NUL 2>&1").c_str());
  const DWORD attributes = ::GetFileAttributesW(Widen(link).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}


void WriteBytes(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}
std::string Contents(StoreFolder& store, std::string_view name) {
  std::string reason;
  const auto reader = store.Open(name, reason);
  std::string bytes(64, '\0');
  const auto got = reader ? reader->Read(bytes, reason) : std::nullopt;
  return got ? bytes.substr(0, *got) : "(" + reason + ")";
}
bool MakeFolder(const std::string& path) { return ::CreateDirectoryW(Widen(path).c_str(), nullptr); }

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
    RemoveTree(dir_);
    ASSERT_TRUE(MakeFolder(dir_));
  }
  void TearDown() override { RemoveTree(dir_); }
  std::string Path(std::string_view name) const { return dir_ + "\\" + std::string(name); }

  const std::string dir_ =
      std::string(std::getenv("KESTRIX_WINE_DRIVES") != nullptr ? "E:" : std::getenv("TEMP")) +
      "\\kestrix-store-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  const std::string store_ = Path("Kestrix\\Quarantine");
  std::string reason_;
};

TEST_F(Store, ClosesItsFoldersToOtherUsers) {
  const Names machine = {"protected", "S-1-5-18 1f01ff 3", "S-1-5-32-544 1f01ff 3"};
  Names user = machine;
  user.insert(user.begin() + 1, ThisUser() + " 1f01ff 3");
  const struct {
    bool elevated;
    std::string file;  // one the folder held before, with the rules of the folder above; "" for no folder
    bool change;       // a change is made, not a listing
    Names rules;       // none: the rules it had
  } cases[] = {
      {true, "", true, machine},   {false, "", true, user},       {true, "1.json", true, machine},
      {true, "1.json", false, {}}, {true, "notes.txt", true, {}},
  };
  for (const auto& c : cases) {
    RemoveTree(Path("Kestrix"));
    if (!c.file.empty()) {
      ASSERT_TRUE(MakeFolder(Path("Kestrix")) && MakeFolder(store_));
      WriteBytes(store_ + "\\" + c.file, "x");
    }
    const Names before = RulesOf(store_);
    Win32StoreFolder store(store_, c.elevated);
    MemoryByteReader source("bytes");
    if (c.change) {
      ASSERT_TRUE(store.Stage(source, reason_)) << reason_;
    } else {
      store.Entries(Described);
    }
    if (c.rules.empty()) {
      EXPECT_EQ(RulesOf(store_), before)
          << "a listing, or a folder not the store's, keeps its rules: " << c.file;
    } else if (!RunningUnderWine()) {  // Wine reads back rules made from the mode bits it kept
      EXPECT_EQ(RulesOf(store_), c.rules) << c.elevated << c.file;
      if (c.file.empty()) {
        EXPECT_EQ(RulesOf(Path("Kestrix")), c.rules) << c.elevated;
      }
    }
  }
}

TEST_F(Store, RefusesAFolderThatIsNotItsOwnAndTouchesNothingBehindIt) {
  const struct {
    std::string planted;  // the junction to "elsewhere", or the folder another user owns
    bool junction;
  } cases[] = {{"Kestrix\\Quarantine", true}, {"Kestrix", true}, {"Kestrix\\Quarantine", false}};
  std::string skipped;
  for (const auto& c : cases) {
    RemoveTree(Path("Kestrix"));
    RemoveTree(Path("elsewhere"));
    const std::string seen = c.junction ? Path("elsewhere") : Path(c.planted);
    if (c.planted != "Kestrix") MakeFolder(Path("Kestrix"));
    MakeFolder(seen);
    WriteBytes(seen + "\\1.json", "{}");
    ASSERT_EQ(Listing(seen), Names{"1.json"});
    if (!(c.junction ? MakeJunction(Path(c.planted), seen) : SetOwner(seen, kUsers))) {
      // Wine 8 makes no junction and keeps no other owner; a standard
      // user names no other owner either.
      skipped += c.planted + (c.junction ? " as a junction; " : " owned by Users; ");
      continue;
    }
    Win32StoreFolder store(store_, true);
    EXPECT_EQ(store.Lock(std::chrono::milliseconds(0), reason_), nullptr) << c.planted;
    EXPECT_NE(reason_.find(store.Location()), std::string::npos) << reason_;
    MemoryByteReader source("bytes");
    const std::vector<bool> refused = {!store.Stage(source, reason_), !store.Open("1.json", reason_),
                                       !store.Remove("1.json"), store.Entries(Described).empty()};
    EXPECT_EQ(refused, std::vector<bool>(4, true)) << c.planted << ": Stage, Open, Remove, Entries";
    EXPECT_EQ(Listing(seen), Names{"1.json"}) << c.planted;
  }
  if (!skipped.empty()) GTEST_SKIP() << "this system cannot plant " << skipped;
}

// Another program holding the store's lock, with the mark 42, until told to let go.
struct LockHolder {
  explicit LockHolder(const std::string& folder) {
    const std::wstring program = Widen(KESTRIX_STORE_LOCK_HOLDER);
    // The arguments are joined with blanks as they are.
    const auto quoted = [](const std::wstring& text) { return L"\"" + text + L"\""; };
    process = ScopedHandle(reinterpret_cast<HANDLE>(::_wspawnl(
        _P_NOWAIT, program.c_str(), quoted(program).c_str(), quoted(Widen(folder)).c_str(), L"42", nullptr)));
  }
  bool Locked() {
    const HANDLE either[] = {locked.Get(), process.Get()};
    return process.Valid() && ::WaitForMultipleObjects(2, either, FALSE, 10000) == WAIT_OBJECT_0;
  }
  // True when it has ended.
  bool Release() {
    ::SetEvent(release.Get());
    return ::WaitForSingleObject(process.Get(), 10000) == WAIT_OBJECT_0;
  }

  ScopedHandle locked{::CreateEventW(nullptr, TRUE, FALSE, L"kestrix-store-test-locked")};
  ScopedHandle release{::CreateEventW(nullptr, TRUE, FALSE, L"kestrix-store-test-release")};
  ScopedHandle process;
};

TEST_F(Store, LockShutsOutAnotherProgramUntilItLetsGo) {
  Win32StoreFolder store(store_);
  {
    const auto lock = store.Lock(std::chrono::seconds(1), reason_);
    ASSERT_NE(lock, nullptr) << reason_;
    EXPECT_EQ(lock->Mark(), 0u) << "a new lock file";
  }
  for (const int wait : {0, 400, 10000}) {
    LockHolder holder(store_);
    ASSERT_TRUE(holder.Locked());
    // The longest wait outlasts the other program, which lets go meanwhile.
    const bool released = wait == 10000;
    std::thread releasing([&] {
      if (!released) return;
      ::Sleep(300);
      holder.Release();
    });
    const ULONGLONG start = ::GetTickCount64();
    const auto lock = store.Lock(std::chrono::milliseconds(wait), reason_);
    const ULONGLONG waited = ::GetTickCount64() - start;
    releasing.join();
    if (released) {
      ASSERT_NE(lock, nullptr) << reason_;
      EXPECT_EQ(lock->Mark(), 42u) << "the mark the other program left";
    } else {
      EXPECT_EQ(lock, nullptr);
      EXPECT_TRUE(reason_.starts_with("the quarantine is busy: another program has held it for ")) << reason_;
      EXPECT_GE(waited + 20, static_cast<ULONGLONG>(wait));
      EXPECT_TRUE(holder.Release());
    }
  }
  EXPECT_EQ(Listing(store_), Names{std::string(kStoreLockName)});
}

TEST_F(Store, PlacesANameOnlyWhereNoneIsUnlessToldToReplace) {
  Win32StoreFolder store(store_);
  ASSERT_NE(store.Lock(std::chrono::seconds(1), reason_), nullptr) << reason_;
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
    if (c.existing) WriteBytes(store_ + "\\" + c.name, "old");
    MemoryByteReader source("new");
    const auto staged = store.Stage(source, reason_);
    ASSERT_NE(staged, nullptr) << reason_;
    EXPECT_EQ(staged->Place(c.name, c.replace, reason_), c.placed) << c.name << reason_;
    // Refused a taken name, the same bytes take the next.
    if (c.placed == kTaken) {
      EXPECT_EQ(staged->Place("2.json", false, reason_), kDone);
    }
    if (!c.kept.empty()) {
      EXPECT_EQ(Contents(store, c.name), c.kept) << c.name;
    }
  }
  EXPECT_EQ(Contents(store, "2.json"), "new");
  MemoryByteReader source("unplaced");
  EXPECT_NE(store.Stage(source, reason_), nullptr);
  EXPECT_EQ(Listing(store_), Names({"1.json", "2.json", "3.json", "ab.bin", "kestrix.lock"}))
      << "no temporary file stays";
}

TEST_F(Store, ListsWithoutRemovingAndReadsNothingOthersMade) {
  Win32StoreFolder store(store_ + "\\");
  EXPECT_EQ(store.Location(), store_);
  EXPECT_TRUE(store.Entries(Described).empty()) << "no folder yet";
  ASSERT_NE(store.Lock(std::chrono::seconds(1), reason_), nullptr) << reason_;
  const Names own = {"ab.bin", "7.json", ".kestrix-9-9.tmp"};
  for (const std::string& name : own) WriteBytes(store_ + "\\" + name, name);
  WriteBytes(store_ + "\\8.json", "{\"planted\":1}");
  const bool planted = SetOwner(store_ + "\\8.json", kUsers);
  ASSERT_TRUE(MakeFolder(store_ + "\\sub"));
  const Names before = Listing(store_);
  Names listed;
  for (const StoreEntry& entry : store.Entries(Described)) {
    listed.push_back(entry.name + " " + std::to_string(entry.size) + (entry.temporary ? " temporary" : "") +
                     (entry.ageSeconds > 60 ? " aged " + std::to_string(entry.ageSeconds) : ""));
  }
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, Names({".kestrix-9-9.tmp 16 temporary", "7.json 6", "8.json 13", "ab.bin 6"}))
      << "files only, without the lock";
  for (const std::string& name : own) EXPECT_NE(store.Open(name, reason_), nullptr) << name << reason_;
  EXPECT_EQ(store.Open("8.json", reason_) == nullptr, planted) << "another user's file is not read";
  EXPECT_EQ(Listing(store_), before) << "nothing removed";
  for (const std::string_view name :
       {"", "..", "a\\b", "a/b", "C:x", "x.", "CON", "nul.txt", "kestrix.lock"}) {
    EXPECT_EQ(store.Open(name, reason_), nullptr) << name;
    EXPECT_FALSE(store.Remove(name)) << name;
  }
  EXPECT_EQ(store.Open("missing", reason_), nullptr);
  EXPECT_EQ(reason_, ErrorText(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(store.Remove("missing"));
  if (!planted) GTEST_SKIP() << "8.json cannot be given to Users here";
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
