// kestrix-scan on Windows: the real drives, the real Windows directory.
#include <windows.h>

#include <io.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/scan_command.h"
#include "detect/rule_database.h"
#include "platform/win32/win32_machine.h"
#include "platform/win32/win32_store.h"

namespace kestrix {
namespace {

// The Program Files folder as the registry names it, as the program reads it.
std::string ProgramFilesDirectory(Registry& registry) {
  const auto key = registry.OpenKey("\\Software\\Microsoft\\Windows\\CurrentVersion");
  if (!key) return {};
  return key->ReadText("ProgramFilesDir").value_or("");
}

int Run(int argc, wchar_t** argv) {
  // The list holds Chinese and any file name: UTF-8 on the console.
  SetConsoleOutputCP(CP_UTF8);
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
  options.quarantineFolder = win32::DefaultQuarantineFolder();
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

  win32::Win32Machine machine;
  win32::Win32ProcessTable processes;
  win32::Win32StoreFolder store(options.quarantineFolder);
  win32::BcryptHashing hashing;
  return RunScan(options, {machine, machine, machine, processes, store, hashing},
                 {.progress = _isatty(_fileno(stderr)) != 0, .input = _isatty(_fileno(stdin)) != 0});
}

}  // namespace
}  // namespace kestrix

int wmain(int argc, wchar_t** argv) { return kestrix::Run(argc, argv); }
