#include <windows.h>
// Tool Help's declarations need <windows.h> before them.
#include <array>
#include <mutex>
#include <optional>
#include <tlhelp32.h>

#include "platform/win32/win32_machine.h"

namespace kestrix::win32 {

namespace {

// Terminate, read memory and query information: what finding a process's
// executable and ending it take, and no more.
constexpr DWORD kProcessAccess = PROCESS_TERMINATE | PROCESS_VM_READ | PROCESS_QUERY_INFORMATION;
constexpr DWORD kTerminateWaitMilliseconds = 5000;
// MAX_PATH and its NUL, with one to spare.
constexpr DWORD kModulePathChars = 261;

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

using GetModuleFileNameExFunction = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);

// PSAPI is loaded on first use; a load that fails is tried again next time.
GetModuleFileNameExFunction BoundGetModuleFileNameEx() {
  static std::mutex mutex;
  static HMODULE psapi = nullptr;
  const std::lock_guard lock(mutex);
  if (psapi == nullptr) psapi = ::LoadLibraryW(L"PSAPI.dll");
  if (psapi == nullptr) return nullptr;
  static const auto function = Bind<GetModuleFileNameExFunction>(psapi, "GetModuleFileNameExW");
  return function;
}

class Win32ProcessHandle final : public ProcessHandle {
 public:
  Win32ProcessHandle(HANDLE handle, DWORD id) : handle_(handle), id_(id) {}
  ~Win32ProcessHandle() override { ::CloseHandle(handle_); }
  Win32ProcessHandle(const Win32ProcessHandle&) = delete;
  Win32ProcessHandle& operator=(const Win32ProcessHandle&) = delete;

  std::optional<std::string> MainModulePath() override {
    const auto getModuleFileNameEx = BoundGetModuleFileNameEx();
    if (getModuleFileNameEx == nullptr) return std::nullopt;
    std::array<wchar_t, kModulePathChars + 1> buffer{};
    const DWORD length = getModuleFileNameEx(handle_, nullptr, buffer.data(), kModulePathChars);
    if (length == 0) return std::nullopt;
    return NarrowUpToNul(buffer.data(), length);
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
