// kestrix-scan on Linux: directory trees stand in for drive letters.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>

#include "cli/scan_command.h"
#include "detect/rule_database.h"
#include "platform/posix/posix_event_log.h"
#include "platform/posix/posix_machine.h"
#include "platform/posix/posix_processes.h"
#include "platform/posix/posix_store.h"

namespace kestrix {
namespace {

std::string DefaultRulesPath() {
  std::error_code error;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  return (error ? std::filesystem::path(kRuleDatabaseName) : executable.parent_path() / kRuleDatabaseName)
      .string();
}

int Run(int argc, char** argv) {
  CLI::App app{"Sweeps directory trees mapped as drive letters for what autorun worms plant.",
               "kestrix-scan"};
  ScanOptions options;
  options.rulesPath = DefaultRulesPath();
  options.quarantineFolder = posix::DefaultQuarantineFolder().string();
  std::vector<std::string> driveMappings;
  std::string windowsDirectory = "C:\\WINDOWS";
  std::optional<std::string> tempDirectory;
  int codePage = 1252;
  app.add_option("--drive", driveMappings,
                 "Map a drive letter: L=TYPE[@N][#LABEL]:DIR, TYPE one of removable, fixed, remote, cdrom, "
                 "ramdisk, unknown; N the first extent's length; LABEL the volume's label")
      ->type_name("L=TYPE[@N][#LABEL]:DIR");
  app.add_option("--windows", windowsDirectory, "The Windows directory, a Windows path")
      ->capture_default_str();
  app.add_option("--temp", tempDirectory, "The temporary directory (default: the Windows directory's TEMP)");
  app.add_option("--codepage", codePage, "ANSI code page of text files that are not UTF-8")
      ->capture_default_str();
  AddScanOptions(app, options);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }

  posix::DriveMap drives;
  for (const std::string& mapping : driveMappings) {
    std::string error;
    auto drive = posix::ParseDriveMapping(mapping, error);
    if (!drive) {
      std::cerr << "kestrix-scan: --drive " << mapping << ": " << error << "\n";
      return 2;
    }
    drives.Map(drive->first, std::move(drive->second));
  }
  posix::PosixMachine machine(std::move(drives), codePage);
  machine.AllowHostFile(options.rulesPath);
  machine.SetWindowsDirectory(windowsDirectory);
  if (tempDirectory) machine.SetTempDirectory(*tempDirectory);
  posix::PosixProcessTable processes(machine);
  posix::PosixStoreFolder store(options.quarantineFolder);
  posix::OpenSslHashing hashing;

  posix::NoEventLog eventLog;
  return RunScan(options, {machine, machine, machine, processes, store, hashing, nullptr, &eventLog},
                 {.progress = isatty(STDERR_FILENO) != 0, .input = isatty(STDIN_FILENO) != 0});
}

}  // namespace
}  // namespace kestrix

int main(int argc, char** argv) { return kestrix::Run(argc, argv); }
