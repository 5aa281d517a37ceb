// A command line as a decoy or an Autorun.inf could hold it, read as cmd and
// the script hosts read it, on an in-memory stick with files and folders it
// could name. What it runs or opens lies on the stick and exists; looking
// changes no mark.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "detect/launched_files.h"
#include "fakes/fake_machine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestrix::testing::FakeEngine engine;
  kestrix::testing::FakeMachine& machine = engine.machine;
  for (const std::string_view path : {"E:\\x.vbs", "E:\\x.exe", "E:\\a b.bat", "E:\\__\\y.js", "E:\\x.chk",
                                      "E:\\sub\\run.cmd", "D:\\x.exe", "C:\\Windows\\system32\\cmd.exe"}) {
    machine.AddFile(path);
  }
  for (const std::string_view folder : {"E:\\__", "E:\\sub", "E:\\Photos"}) machine.AddFolder(folder);
  const std::string bases[] = {"E:\\sub", "E:\\"};
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const kestrix::Launches launches =
      kestrix::FindLaunches(engine.context, line, "E:\\", bases, {.withProgram = true, .resetMarks = false});
  if (!machine.attributeResets.empty()) std::abort();
  for (const kestrix::LaunchedFile& file : launches.files) {
    if (!file.path.starts_with("E:\\") || machine.Find(file.path) == nullptr) std::abort();
  }
  for (const std::string& folder : launches.openedFolders) {
    if (!folder.starts_with("E:\\") || !machine.CurrentAttributes(folder) || machine.FileExists(folder))
      std::abort();
  }
  return 0;
}
