// The rule database as a user or a worm could write it: the bytes are
// Kestrix.dat on an in-memory machine that holds a few planted files, and
// every pass of a sweep runs over them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "detect/rule_database.h"
#include "fakes/fake_machine.h"

namespace {

constexpr std::string_view kRulesPath = "C:\\Kestrix\\Kestrix.dat";

void PlantFiles(kestrix::testing::FakeMachine& machine) {
  for (const std::string_view path :
       {"E:\\RavMonE.exe", "E:\\amvo.exe", "E:\\cqdis.exe", "E:\\setup.exe", "E:\\Desktop_.ini",
        "E:\\RECYCLER\\Lcass.exe", "E:\\Heap41a\\svchost.exe", "E:\\x.exe", "E:\\é.exe",
        "C:\\WINDOWS\\RavMon.exe", "C:\\WINDOWS\\xcopy.exe", "C:\\WINDOWS\\system32\\amvo.dll",
        "C:\\WINDOWS\\system32\\svchost.exe", "C:\\WINDOWS\\system\\c.cmd",
        "C:\\WINDOWS\\system32\\drivers\\spoclsv.exe", "C:\\WINDOWS\\TEMP\\ravmon.exe",
        "C:\\Program Files\\Common Files\\x.exe"}) {
    machine.AddFile(path);
  }
  machine.AddFile("E:\\empty.exe", "").hidden = true;
  machine.AddFile("E:\\locked.exe").attributesLocked = true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestrix::testing::FakeEngine engine;
  kestrix::testing::FakeMachine& machine = engine.machine;
  PlantFiles(machine);
  machine.AddFile(kRulesPath, std::string(reinterpret_cast<const char*>(data), size));

  kestrix::RuleList rules = kestrix::LoadRuleDatabase(machine, kRulesPath);
  for (const kestrix::TextLine& line : rules) kestrix::RuleCategory(line.text);

  // The passes of one sweep, in its order.
  kestrix::RulePass(engine.context, rules, "E:\\", {"!DSKROOT"});
  kestrix::RulePass(engine.context, rules, "E:\\",
                    {"!ALL", "@WinPath", "@SYS32path", "@SYSpath", "@DSKROOT"});
  kestrix::RulePass(engine.context, rules, "C:\\WINDOWS\\",
                    {"!ALL", "!WinPath", "@SYS32path", "@SYSpath", "@DSKROOT"});
  kestrix::RulePass(engine.context, rules, "C:\\WINDOWS\\system32\\",
                    {"!ALL", "@WinPath", "!SYS32path", "@SYSpath", "@DSKROOT"});
  kestrix::RulePass(engine.context, rules, "C:\\WINDOWS\\system\\",
                    {"!ALL", "@WinPath", "@SYS32path", "!SYSpath", "!DSKROOT"});
  kestrix::ExpandRuleMacros(machine.folding, rules, "<WinPath>", "C:\\WINDOWS\\");
  kestrix::ExpandRuleMacros(machine.folding, rules, "<PROGRAM>", "C:\\Program Files\\");
  kestrix::ExpandRuleMacros(machine.folding, rules, "<TMPROOT>", "C:\\WINDOWS\\TEMP\\");
  kestrix::FixedPathPass(engine.context, rules);

  // Only files that exist are listed.
  for (const kestrix::SuspectEntry& entry : engine.list.Entries()) {
    if (machine.Find(entry.path) == nullptr) std::abort();
  }
  return 0;
}
