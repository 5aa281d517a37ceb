#include <windows.h>
// Tool Help's declarations need <windows.h> before them.
#include <mutex>
#include <optional>
#include <tlhelp32.h>

#include "platform/win32/win32_files.h"
#include "platform/win32/win32_machine.h"

namespace kestrix::win32 {

namespace {

// Naming the image and ending the process, and no more: the limited query
// right is granted where the full one is not (to other sessions' processes
// with the debug privilege, and for protected ones), and it reads 64-bit
// processes from a 32-bit build too.
constexpr DWORD kProcessAccess = PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION;
constexpr DWORD kTerminateWaitMilliseconds = 5000;
// The longest path the system has.
constexpr DWORD kImagePathChars = 32768;

// GetProcAddress answers with one generic type; going through void(*)()
// is the cast the compiler accepts between function types.
template <typename Function>
Function Bind(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

std::string NarrowUpToNul(const wchar_t* text, std::size_t capacity) {
  std::wstring_view view(text, capacity);
  return Narrow(view.substr(0, view.find(L'\0')));
}

// Tool Help is bound by name, so the program starts even where kernel32
// lacks it.
struct ToolHelp {
  decltype(&::CreateToolhelp32Snapshot) createSnapshot = nullptr;
  decltype(&::Process32FirstW) first = nullptr;
  decltype(&::Process32NextW) next = nullptr;
};

const ToolHelp* BoundToolHelp() {
  static std::mutex mutex;
  static std::optional<ToolHelp> bound;
  const std::lock_guard lock(mutex);
  if (!bound) {
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) return nullptr;
    bound = ToolHelp{
        .createSnapshot = Bind<decltype(ToolHelp::createSnapshot)>(kernel, "CreateToolhelp32Snapshot"),
        .first = Bind<decltype(ToolHelp::first)>(kernel, "Process32FirstW"),
        .next = Bind<decltype(ToolHelp::next)>(kernel, "Process32NextW"),
    };
  }
  if (bound->createSnapshot == nullptr || bound->first == nullptr || bound->next == nullptr) return nullptr;
  return &*bound;
}

class Win32ProcessHandle final : public ProcessHandle {
 public:
  Win32ProcessHandle(HANDLE handle, DWORD id) : handle_(handle), id_(id) {}
  ~Win32ProcessHandle() override { ::CloseHandle(handle_); }
  Win32ProcessHandle(const Win32ProcessHandle&) = delete;
  Win32ProcessHandle& operator=(const Win32ProcessHandle&) = delete;

  std::optional<std::string> MainModulePath() override {
    const auto path = ImagePath();
    return path ? std::optional(Narrow(*path)) : std::nullopt;
  }

  // The image's file opened without data access and with every sharing, as
  // a running program's file still opens, and known by its identity.
  std::optional<FileIdentity> MainModuleIdentity() override {
    const auto path = ImagePath();
    if (!path) return std::nullopt;
    const ScopedHandle file(::CreateFileW(ExtendedPath(*path).c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file.Valid() || !::GetFileInformationByHandle(file.Get(), &info)) return std::nullopt;
    return IdentityOf(file.Get(), info);
  }

  // Returns once the process has ended (or after a few seconds): its file
  // stays busy until then, and the caller deletes it right after. The
  // waiting handle is opened first, while ours still holds the process id.
  void Terminate() override {
    const HANDLE waiter = ::OpenProcess(SYNCHRONIZE, FALSE, id_);
    ::TerminateProcess(handle_, 0);
    if (waiter == nullptr) return;
    ::WaitForSingleObject(waiter, kTerminateWaitMilliseconds);
    ::CloseHandle(waiter);
  }

 private:
  // The image's path in full and in its Win32 form, of any length.
  std::optional<std::wstring> ImagePath() const {
    std::wstring buffer(kImagePathChars, L'\0');
    DWORD length = kImagePathChars;
    if (!::QueryFullProcessImageNameW(handle_, 0, buffer.data(), &length) || length == 0) return std::nullopt;
    buffer.resize(length);
    return buffer;
  }

  HANDLE handle_;
  DWORD id_;
};

}  // namespace

bool Win32ProcessTable::SetDebugPrivilege(bool enable) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  bool changed = false;
  if (::LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &privileges.Privileges[0].Luid)) {
    // AdjustTokenPrivileges succeeds even when it assigned nothing; only the
    // last error tells, so no earlier error may linger in it.
    ::SetLastError(ERROR_SUCCESS);
    ::AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), nullptr, nullptr);
    changed = ::GetLastError() == ERROR_SUCCESS;
  }
  ::CloseHandle(token);
  return changed;
}

std::vector<ProcessEntry> Win32ProcessTable::Snapshot() {
  std::vector<ProcessEntry> entries;
  const ToolHelp* toolHelp = BoundToolHelp();
  if (toolHelp == nullptr) return entries;
  const HANDLE snapshot = toolHelp->createSnapshot(TH32CS_SNAPALL, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return entries;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = toolHelp->first(snapshot, &entry); more; more = toolHelp->next(snapshot, &entry)) {
    entries.push_back({.id = entry.th32ProcessID, .exeFile = NarrowUpToNul(entry.szExeFile, MAX_PATH)});
  }
  ::CloseHandle(snapshot);
  return entries;
}

std::unique_ptr<ProcessHandle> Win32ProcessTable::OpenProcess(std::uint32_t id) {
  // Ending our own process while walking the table would end the program.
  if (id == ::GetCurrentProcessId()) return nullptr;
  const HANDLE handle = ::OpenProcess(kProcessAccess, FALSE, id);
  if (handle == nullptr) return nullptr;
  return std::make_unique<Win32ProcessHandle>(handle, id);
}

}  // namespace kestrix::win32
