// kestrix-scan on Windows: the real drives, the real Windows directory.
#include <windows.h>

#include <io.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli/scan_command.h"
#include "detect/rule_database.h"
#include "platform/win32/win32_event_log.h"
#include "platform/win32/win32_machine.h"
#include "platform/win32/win32_store.h"
#include "settings/policy.h"

namespace kestrix {
namespace {

// The Program Files folder as the registry names it, as the program reads it.
std::string ProgramFilesDirectory(Registry& registry) {
  const auto key = registry.OpenKey("\\Software\\Microsoft\\Windows\\CurrentVersion");
  if (!key) return {};
  return key->ReadText("ProgramFilesDir").value_or("");
}

// The console as the program found it.
struct SavedConsole {
  UINT codePage = 0;  // 0: no console
  HANDLE error = nullptr;
  DWORD mode = 0;
  bool hasMode = false;
};

// The console is shared with the shell that started the program: its code
// page and modes are given back however the program ends, Ctrl+C included.
class ConsoleState {
 public:
  ConsoleState() {
    saved_.codePage = GetConsoleOutputCP();
    // The list holds Chinese and any file name: UTF-8 on the console.
    if (saved_.codePage != 0) SetConsoleOutputCP(CP_UTF8);
    // The progress line erases with ESC[K, which a console before Windows 10
    // prints as it is; there it pads with blanks instead.
    saved_.error = GetStdHandle(STD_ERROR_HANDLE);
    if (GetConsoleMode(saved_.error, &saved_.mode)) {
      saved_.hasMode = true;
      escapes_ = (saved_.mode & kVirtualTerminal) != 0 ||
                 SetConsoleMode(saved_.error, saved_.mode | kVirtualTerminal) != FALSE;
    }
    SetConsoleCtrlHandler(OnControl, TRUE);
  }
  ~ConsoleState() {
    // What is still buffered is UTF-8: it goes out before the code page changes.
    std::cout.flush();
    std::fflush(nullptr);
    Restore();
    SetConsoleCtrlHandler(OnControl, FALSE);
  }
  ConsoleState(const ConsoleState&) = delete;
  ConsoleState& operator=(const ConsoleState&) = delete;

  // The console understands escape sequences.
  bool Escapes() const { return escapes_; }

 private:
  static constexpr DWORD kVirtualTerminal = 0x0004;  // ENABLE_VIRTUAL_TERMINAL_PROCESSING

  static void Restore() {
    if (saved_.codePage != 0) SetConsoleOutputCP(saved_.codePage);
    if (saved_.hasMode) SetConsoleMode(saved_.error, saved_.mode);
  }
  // Runs on a thread of its own; the next handler, Windows' own, then ends
  // the process.
  static BOOL WINAPI OnControl(DWORD) {
    Restore();
    return FALSE;
  }

  // The control handler has no context of its own to reach.
  static inline SavedConsole saved_;
  bool escapes_ = false;
};

int Run(int argc, wchar_t** argv) {
  // An empty card reader, or an Autorun.inf naming a drive without media,
  // fails its call instead of stopping the sweep with a "no disk" box.
  SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  ConsoleState console;
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(win32::Narrow(argv[i]));
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(argument.data());

  CLI::App app{"Sweeps this computer's drives for what autorun worms plant.", "kestrix-scan"};
  win32::Win32Registry registry;
  std::string executable = win32::ExecutablePath();
  ScanOptions options;
  options.rulesPath =
      executable.substr(0, executable.find_last_of('\\') + 1) + std::string(kRuleDatabaseName);
  options.programFiles = ProgramFilesDirectory(registry);
  const std::string defaultFolder = win32::DefaultQuarantineFolder();
  options.quarantineFolder = defaultFolder;
  // The administrator's limit is the default, and wins over one given here.
  const auto managedLimit = ReadPolicy(registry).quarantineLimit;
  if (managedLimit) options.quarantineLimit = *managedLimit;
  AddScanOptions(app, options);
  bool restoreDiskClass = false;
  app.add_flag("--restore-disk-class", restoreDiskClass,
               "Put back the disk-drive class values kestrix.exe's repair changed");
  try {
    app.parse(static_cast<int>(pointers.size()), pointers.data());
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  if (restoreDiskClass) return RunDiskClassRestore(registry, options.json);
  if (managedLimit && options.quarantineLimit != *managedLimit) {
    std::cerr << "kestrix-scan: the administrator's policy sets the quarantine limit to " << *managedLimit
              << " bytes\n";
    options.quarantineLimit = *managedLimit;
  }

  win32::Win32Machine machine;
  win32::Win32ProcessTable processes;
  win32::Win32StoreFolder store(options.quarantineFolder);
  win32::BcryptHashing hashing;
  // The other of the machine's store and this user's, listed too unless a
  // store was named.
  const auto otherFolder =
      options.quarantineFolder == defaultFolder ? win32::OtherQuarantineFolder() : std::nullopt;
  std::optional<win32::Win32StoreFolder> otherStore;
  if (otherFolder) otherStore.emplace(*otherFolder);
  win32::Win32EventLog eventLog;
  return RunScan(
      options,
      {machine, machine, machine, processes, store, hashing, otherStore ? &*otherStore : nullptr, &eventLog},
      {.progress = _isatty(_fileno(stderr)) != 0,
       .input = _isatty(_fileno(stdin)) != 0,
       .escapes = console.Escapes()});
}

}  // namespace
}  // namespace kestrix

int wmain(int argc, wchar_t** argv) { return kestrix::Run(argc, argv); }
