// Hostile input must cost time linear in its size: a huge binary
// Autorun.inf, a rule file of endless lines, one line of megabytes.
// Run: kestrix_bench --benchmark_filter=. and read the fitted complexity.
#include <benchmark/benchmark.h>

#include <random>

#include "detect/autorun.h"
#include "detect/rule_database.h"
#include "detect/shortcut_decoys.h"
#include "fakes/fake_machine.h"
#include "platform/common/text_file.h"
#include "platform/posix/ansi_decoder.h"
#include "support/shell_link_bytes.h"

namespace kestrix {
namespace {

std::string RandomBytes(std::size_t size) {
  std::mt19937 random(42);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(1 + random() % 255);  // no NUL: read it all
  return bytes;
}

std::string LongLines(std::size_t size) {
  std::string text;
  while (text.size() < size) text += "open = " + std::string(100'000, 'x') + ".exe -s,1\r\n";
  return text;
}

void AnalyseAutorunOf(benchmark::State& state, std::string (*make)(std::size_t)) {
  testing::FakeEngine engine;
  engine.machine.drives['E'] = {};
  engine.machine.AddFile("E:\\Autorun.inf", make(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) {
    engine.list.Clear();
    AnalyseAutorun(engine.context, "E:\\", "E:\\Autorun.inf");
  }
  state.SetComplexityN(state.range(0));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK_CAPTURE(AnalyseAutorunOf, binary, RandomBytes)
    ->RangeMultiplier(4)
    ->Range(1 << 18, 1 << 24)
    ->Complexity();
BENCHMARK_CAPTURE(AnalyseAutorunOf, long_lines, LongLines)
    ->RangeMultiplier(4)
    ->Range(1 << 18, 1 << 24)
    ->Complexity();

void RulePassOverManyRules(benchmark::State& state) {
  testing::FakeEngine engine;
  RuleList rules;
  for (std::int64_t i = 0; i < state.range(0); ++i)
    rules.push_back("worm" + std::to_string(i) + ".exe !ALL 0");
  for (std::int64_t i = 0; i < state.range(0); i += 8)
    engine.machine.AddFile("E:\\worm" + std::to_string(i) + ".exe");
  for (auto _ : state) {
    engine.list.Clear();
    RulePass(engine.context, rules, "E:\\", {"!ALL", "@WinPath", "@SYS32path", "@SYSpath", "@DSKROOT"});
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(RulePassOverManyRules)->RangeMultiplier(4)->Range(1 << 10, 1 << 16)->Complexity();

// A worm that made a decoy for each of a stick's files: the pass over the
// root must stay near linear in the number of entries.
void ShortcutPassOverAWormedRoot(benchmark::State& state) {
  testing::FakeEngine engine;
  testing::FakeFile& payload = engine.machine.AddFile("E:\\x.vbs");
  payload.hidden = payload.system = true;
  const std::string decoy = testing::ShellLinkBytes(
      {.target = "C:\\WINDOWS\\system32\\cmd.exe", .arguments = "/c start x.vbs&exit"});
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    testing::FakeFile& file = engine.machine.AddFile("E:\\file " + std::to_string(i) + ".docx");
    file.hidden = file.system = true;
    engine.machine.AddFile("E:\\file " + std::to_string(i) + ".lnk", decoy);
  }
  for (auto _ : state) {
    engine.list.Clear();
    ShortcutRecovery recovery;
    FindShortcutDecoys(engine.context, "E:\\", DriveType::kRemovable, "", &recovery);
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(ShortcutPassOverAWormedRoot)->RangeMultiplier(4)->Range(1 << 8, 1 << 12)->Complexity();

void DecodeAnsiBinary(benchmark::State& state) {
  const std::string bytes = RandomBytes(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(posix::DecodeAnsi(bytes, 936));
  state.SetComplexityN(state.range(0));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(DecodeAnsiBinary)->RangeMultiplier(4)->Range(1 << 18, 1 << 24)->Complexity();

// Lines of GBK text. Pairs such as C2 B7 (路) are valid UTF-8 as well, so
// each such line is given in both readings; D6 D0 (中) is not. Both files
// have the same size; the second reading may cost at most as much again.
std::string GbkLines(std::size_t size, std::string_view pair) {
  std::string line = "open=";
  for (int i = 0; i < 40; ++i) line += pair;
  line += ".exe\r\n";
  std::string text;
  while (text.size() < size) text += line;
  return text;
}

void ReadTextLinesOf(benchmark::State& state, std::string_view pair) {
  const std::string bytes = GbkLines(static_cast<std::size_t>(state.range(0)), pair);
  const AnsiDecoder gbk = [](std::string_view ansi) { return posix::DecodeAnsi(ansi, 936); };
  for (auto _ : state) {
    std::size_t lines = 0;
    MemoryByteReader reader(bytes);
    std::string reason;
    ReadTextLines(reader, gbk, [&](std::string_view, std::size_t) { ++lines; }, reason);
    benchmark::DoNotOptimize(lines);
  }
  state.SetComplexityN(state.range(0));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK_CAPTURE(ReadTextLinesOf, one_reading, "\xD6\xD0")->RangeMultiplier(4)->Range(1 << 18, 1 << 24)->Complexity();
BENCHMARK_CAPTURE(ReadTextLinesOf, two_readings, "\xC2\xB7")->RangeMultiplier(4)->Range(1 << 18, 1 << 24)->Complexity();

}  // namespace
}  // namespace kestrix

BENCHMARK_MAIN();
