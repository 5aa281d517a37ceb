// A shortcut as a worm could write it: the bytes are E:\Photos.lnk on an
// in-memory stick, read and judged as the sweep judges a stick's shortcuts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "detect/command_line.h"
#include "detect/shortcut_decoys.h"
#include "fakes/fake_machine.h"
#include "platform/common/shell_link.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto link = kestrix::ParseShellLink(bytes, [](std::string_view ansi) { return std::string(ansi); });
  if (link) kestrix::SplitArguments(link->arguments);

  kestrix::testing::FakeEngine engine;
  kestrix::testing::FakeMachine& machine = engine.machine;
  for (const std::string_view path : {"E:\\x.vbs", "E:\\_\\y.js", "E:\\a.dll", "E:\\RECYCLER\\w.exe", "E:\\Photos",
                                      "D:\\x.vbs", "C:\\WINDOWS\\system32\\cmd.exe"}) {
    machine.AddFile(path);
  }
  machine.AddFolder("E:\\\xC2\xA0", kestrix::kAttributeHidden | kestrix::kAttributeSystem);
  machine.AddFolder("E:\\__", kestrix::kAttributeHidden | kestrix::kAttributeSystem);
  kestrix::testing::FakeFile& payload = machine.AddFile("E:\\__\\z.exe");
  payload.hidden = payload.system = true;
  machine.AddFile("E:\\Photos.lnk", std::string(bytes));
  kestrix::ShortcutRecovery recovery;
  kestrix::FindShortcutDecoys(engine.context, "E:\\", kestrix::DriveType::kRemovable, "", &recovery);

  // Whatever the shortcut says, only files of the stick are listed, and
  // only when the shortcut itself is; no mark is changed.
  if (!machine.attributeResets.empty()) std::abort();
  const auto& entries = engine.list.Entries();
  if (!entries.empty() && entries.front().path != "E:\\Photos.lnk") std::abort();
  for (const kestrix::SuspectEntry& entry : entries) {
    if (!entry.path.starts_with("E:\\") || machine.Find(entry.path) == nullptr) std::abort();
  }
  return 0;
}
