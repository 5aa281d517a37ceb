// The registry as Windows holds it (under Wine): what access the program
// asks for, and the disk class repair on a planted key.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "platform/win32/win32_machine.h"
#include "repair/disk_class_repair.h"
#include "settings/registry_values.h"

namespace kestrix::win32 {
namespace {

using ::testing::ElementsAre;

struct RawValue {
  std::wstring name;
  DWORD type = 0;
  std::string bytes;
  bool operator==(const RawValue&) const = default;
};

// Every value of a key as stored; empty when the key is missing.
std::vector<RawValue> RawValues(const std::wstring& path) {
  std::vector<RawValue> values;
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return values;
  for (DWORD i = 0;; ++i) {
    wchar_t name[512];
    DWORD nameSize = 512;
    std::string bytes(65536, '\0');
    DWORD size = static_cast<DWORD>(bytes.size());
    RawValue value;
    if (::RegEnumValueW(key, i, name, &nameSize, nullptr, &value.type, reinterpret_cast<BYTE*>(bytes.data()),
                        &size) != ERROR_SUCCESS) {
      break;
    }
    value.name.assign(name, nameSize);
    value.bytes = bytes.substr(0, size);
    values.push_back(std::move(value));
  }
  ::RegCloseKey(key);
  return values;
}

// Makes a key hold exactly these values.
void SetRawValues(const std::wstring& path, const std::vector<RawValue>& values) {
  HKEY key = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
            ERROR_SUCCESS);
  for (const RawValue& value : RawValues(path)) ::RegDeleteValueW(key, value.name.c_str());
  for (const RawValue& value : values) {
    ::RegSetValueExW(key, value.name.c_str(), 0, value.type,
                     reinterpret_cast<const BYTE*>(value.bytes.data()),
                     static_cast<DWORD>(value.bytes.size()));
  }
  ::RegCloseKey(key);
}

RawValue Text(const wchar_t* name, DWORD type, std::wstring_view text) {
  return {name, type, std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t))};
}

bool SetKeySecurity(const wchar_t* path, const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
    return false;
  }
  HKEY key = nullptr;
  bool done = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, WRITE_DAC, &key) == ERROR_SUCCESS;
  done = done && ::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS;
  if (key != nullptr) ::RegCloseKey(key);
  ::LocalFree(descriptor);
  return done;
}

// A key everyone may read and nobody may change, as HKEY_LOCAL_MACHINE is
// to a standard user.
TEST(Win32RegistryAccess, ReadsAKeyItMayNotChangeAndStoresOnlyWhatDiffers) {
  if (!RunningUnderWine()) GTEST_SKIP() << "plants a key below HKEY_LOCAL_MACHINE; runs under Wine only";
  const wchar_t* path = L"Software\\KestrixReadOnly";
  SetRawValues(path, {Text(L"AutoKill", REG_SZ, std::wstring_view(L"TRUE", 5))});
  ASSERT_TRUE(SetKeySecurity(path, L"D:P(A;;KR;;;WD)"));

  Win32Registry registry;
  const auto key = registry.OpenKey("\\Software\\KestrixReadOnly");
  ASSERT_NE(key, nullptr) << "reading must not ask for write access";
  EXPECT_EQ(key->ReadText("AutoKill"), "TRUE");
  EXPECT_EQ(registry.OpenOrCreateKey("\\Software\\KestrixReadOnly"), nullptr)
      << "the key must refuse writing";
  EXPECT_EQ(registry.KeyExists("\\Software\\KestrixReadOnly"), true);
  EXPECT_EQ(registry.KeyExists("\\Software\\KestrixReadOnly\\Missing"), false);

  EXPECT_NO_THROW(StoreOption(registry, "\\Software\\KestrixReadOnly", "AutoKill", true)) << "stored already";
  EXPECT_NO_THROW(StoreOption(registry, "\\Software\\KestrixReadOnly", "SkipFloopy", false)) << "off already";
  EXPECT_THROW(StoreOption(registry, "\\Software\\KestrixReadOnly", "AutoKill", false), RegistryError);

  ASSERT_TRUE(SetKeySecurity(path, L"D:P(A;;KA;;;WD)"));
  EXPECT_EQ(::RegDeleteKeyW(HKEY_LOCAL_MACHINE, path), ERROR_SUCCESS);
}

// The disk class key planted with a filter whose driver is there, one whose
// service is gone, one whose image is gone, and no partition manager; the
// key and everything planted are put back as they were afterwards.
class DiskClassKeyTest : public ::testing::Test {
 protected:
  static constexpr const wchar_t* kClass =
      L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E967-E325-11CE-BFC1-08002BE10318}";
  static constexpr const wchar_t* kBackup = L"Software\\Halvorn\\DiskClassBackup";
  static constexpr const wchar_t* kServices = L"SYSTEM\\CurrentControlSet\\Services\\";

  // It plants values in the machine's own disk class key: only ever in a
  // throw-away Wine prefix, never on a real PC.
  void SetUp() override {
    if (!RunningUnderWine()) GTEST_SKIP() << "changes the disk class key; runs under Wine only";
    classBefore_ = RawValues(kClass);
    backupBefore_ = RawValues(kBackup);
    HKEY halvorn = nullptr;
    halvornExisted_ =
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Halvorn", 0, KEY_READ, &halvorn) == ERROR_SUCCESS;
    if (halvorn != nullptr) ::RegCloseKey(halvorn);
    partitionManagerPlanted_ = RawValues(std::wstring(kServices) + L"partmgr").empty();

    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    folder_ = std::wstring(temp) + L"kestrix-drivers";
    ::CreateDirectoryW(folder_.c_str(), nullptr);
    for (const wchar_t* file : {L"\\kxkept.sys", L"\\partmgr.sys"}) {
      const HANDLE handle =
          ::CreateFileW((folder_ + file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
      ::CloseHandle(handle);
    }
    Service(L"KxKept", L"\\??\\" + folder_ + L"\\kxkept.sys");
    Service(L"KxNoImage", folder_ + L"\\kxnoimage.sys");
    if (partitionManagerPlanted_) Service(L"partmgr", folder_ + L"\\partmgr.sys");
  }

  void TearDown() override {
    if (!RunningUnderWine()) return;
    SetRawValues(kClass, classBefore_);
    if (classBefore_.empty()) ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kClass);
    SetRawValues(kBackup, backupBefore_);
    if (backupBefore_.empty()) ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kBackup);
    if (!halvornExisted_) ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Halvorn");
    for (const wchar_t* name : {L"KxKept", L"KxNoImage"}) {
      ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(kServices) + name).c_str());
    }
    if (partitionManagerPlanted_)
      ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(kServices) + L"partmgr").c_str());
    for (const wchar_t* file : {L"\\kxkept.sys", L"\\partmgr.sys"}) ::DeleteFileW((folder_ + file).c_str());
    ::RemoveDirectoryW(folder_.c_str());
  }

  void Service(const wchar_t* name, const std::wstring& image) {
    SetRawValues(std::wstring(kServices) + name,
                 {Text(L"ImagePath", REG_EXPAND_SZ, std::wstring_view(image.c_str(), image.size() + 1))});
  }

  std::vector<RawValue> classBefore_;
  std::vector<RawValue> backupBefore_;
  bool halvornExisted_ = false;
  bool partitionManagerPlanted_ = false;
  std::wstring folder_;
};

TEST_F(DiskClassKeyTest, KeepsWhatIsInstalledRemovesWhatIsGoneAndCanPutItBack) {
  const std::vector<RawValue> planted = {
      Text(L"UpperFilters", REG_MULTI_SZ, std::wstring_view(L"KxKept\0KxGone\0KxNoImage\0", 25)),
      Text(L"Class", REG_EXPAND_SZ, std::wstring_view(L"Worm", 5)),
      Text(L"LowerFilters", REG_MULTI_SZ, std::wstring_view(L"other\0", 7)),
  };
  SetRawValues(kClass, planted);
  Win32Registry registry;
  Win32Machine machine;
  ASSERT_TRUE(RepairDiskClassKey(registry, machine, machine));

  const auto key = registry.OpenKey(kDiskClassKey);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->ReadValue("UpperFilters")->type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_THAT(*key->ReadTextList("UpperFilters"), ElementsAre("KxKept", "PartMgr"));
  EXPECT_EQ(key->ReadText("Class"), "DiskDrive");
  EXPECT_EQ(key->ReadText("@"), "磁碟磁碟機");
  EXPECT_EQ(key->ReadTextList("LowerFilters"), std::vector<std::string>{"other"}) << "other values stay";

  const auto saved = RawValues(kBackup);
  EXPECT_THAT(saved, ::testing::Contains(planted[0])) << "saved exactly, with its type";
  EXPECT_THAT(saved, ::testing::Contains(planted[1]));

  const auto after = RawValues(kClass);
  ASSERT_TRUE(RepairDiskClassKey(registry, machine, machine));
  EXPECT_EQ(RawValues(kClass), after) << "a second start changes nothing";
  EXPECT_EQ(RawValues(kBackup), saved) << "and keeps the saved values";

  const DiskClassRestore restore = RestoreDiskClassKey(registry);
  EXPECT_THAT(restore.restored, ElementsAre("UpperFilters", "Class"));
  EXPECT_EQ(restore.deleted.size(), 6u);
  EXPECT_TRUE(restore.failed.empty());
  EXPECT_THAT(RawValues(kClass), ::testing::UnorderedElementsAreArray(planted));
}

}  // namespace
}  // namespace kestrix::win32
