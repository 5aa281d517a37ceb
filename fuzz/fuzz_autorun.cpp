// Autorun.inf as a worm writes it: the bytes are E:\Autorun.inf on an
// in-memory stick that holds a few programs and scripts it could name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "detect/autorun.h"
#include "fakes/fake_machine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestrix::testing::FakeEngine engine;
  kestrix::testing::FakeMachine& machine = engine.machine;
  for (const std::string_view path :
       {"E:\\x.exe", "E:\\ x.exe", "E:\\setup.com", "E:\\setup.bat", "E:\\run.pif", "E:\\x.ico",
        "E:\\sub\\y.exe", "E:\\RECYCLER\\z.exe", "E:\\x.vbs", "E:\\sub\\z.dll", "E:\\\"x.exe\"", "E:\\é.exe",
        "D:\\w\\x.exe", "C:\\x.exe"}) {
    machine.AddFile(path);
  }
  machine.AddFile("E:\\locked.exe").attributesLocked = true;
  machine.AddFile("E:\\Autorun.inf", std::string(reinterpret_cast<const char*>(data), size)).hidden = true;

  kestrix::AnalyseAutorun(engine.context, "E:\\", "E:\\Autorun.inf");

  const auto& entries = engine.list.Entries();
  if (entries.empty() || entries.front().path != "E:\\Autorun.inf") std::abort();
  for (const kestrix::SuspectEntry& entry : entries) {
    if (machine.Find(entry.path) == nullptr) std::abort();
  }
  return 0;
}
