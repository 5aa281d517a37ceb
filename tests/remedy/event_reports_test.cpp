#include "remedy/event_reports.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "fakes/fake_event_log.h"
#include "fakes/fake_machine.h"

namespace kestrix {
namespace {

using testing::FakeEvent;

struct NoClose final : RemovalView {
  void RequestClose() override {}
};

// A removal wired as both programs wire it, its events in a fake log.
struct Flow {
  testing::FakeEngine engine;
  testing::FakeDesktop desktop;
  testing::FakeProcessTable processes;
  NoClose view;
  ProtectedList protectedList{engine.machine, engine.machine.folding};
  std::string title = "Kestrix";
  testing::FakeStoreFolder store;
  testing::FakeHashing hashing;
  Quarantine quarantine{{engine.machine, engine.machine, store, hashing}, kDefaultQuarantineLimit};
  testing::FakeEventLog log;
  EventReports reports{log, store.Location()};
  std::string_view keptProtectedReason = kKeptAsAnswered;

  Flow() { protectedList.BuildProtectedList("C:\\WINDOWS\\"); }
  void List(std::string_view path, std::int32_t category, std::string reason) {
    engine.machine.AddFile(path);
    engine.list.AddVirus(path, category, std::move(reason));
  }
  void Clean(bool keep = true) {
    Removal({engine.machine, engine.machine.folding, engine.machine, desktop, desktop, processes,
             keep ? &quarantine : nullptr, nullptr, &reports, keptProtectedReason},
            engine.list, protectedList, view, title)
        .KillVirusClick(Sender::kNone);
  }
};

TEST(EventReports, EachFlowReportsWhatItDidAndACleanSweepNothing) {
  struct Case {
    std::string_view name;
    std::function<void(Flow&)> run;
    std::vector<FakeEvent> expected;
  };
  using enum EventSeverity;
  const Case cases[] = {
      {"a sweep that found nothing", [](Flow& f) { f.reports.SweepFound({}); }, {}},
      {"a sweep that found two files",
       [](Flow& f) {
         f.List("E:\\Autorun.inf", 1, "the drive's Autorun.inf");
         f.List("E:\\worm.exe", 0, "open=worm.exe");
         f.reports.SweepFound(f.engine.list.Entries());
       },
       {{kWarning,
         1000 | kWarningBits,
         {"2", "1", "2",
          "E:\\Autorun.inf (危险): the drive's Autorun.inf\r\nE:\\worm.exe (病毒): open=worm.exe"}}}},
      {"a removal kept in the quarantine",
       [](Flow& f) {
         f.List("E:\\worm.exe", 0, "open=worm.exe");
         f.Clean();
       },
       {{kInformation, 1001 | kInformationBits, {"E:\\worm.exe", "病毒", "open=worm.exe"}},
        {kInformation, 1002 | kInformationBits, {"E:\\worm.exe", "/fake/quarantine", "1", "HASH"}}}},
      {"a removal without the quarantine",
       [](Flow& f) {
         f.List("E:\\worm.exe", 2, "a rule");
         f.Clean(false);
       },
       {{kInformation, 1001 | kInformationBits, {"E:\\worm.exe", "可疑", "a rule"}}}},
      {"a file that cannot be deleted, its processes left running",
       [](Flow& f) {
         f.List("E:\\worm.exe", 0, "open=worm.exe");
         f.engine.machine.files[testing::FakeMachine::Key("E:\\worm.exe")].undeletable = true;
         f.Clean();
       },
       {{kWarning,
         1003 | kWarningBits,
         {"E:\\worm.exe", "病毒", "it could not be deleted; it may be in use"}}}},
      {"a protected file kept as answered",
       [](Flow& f) {
         f.List("C:\\WINDOWS\\Explorer.exe", 0, "a rule");
         f.desktop.answers = {kAnswerYes};
         f.Clean();
       },
       {{kWarning,
         1003 | kWarningBits,
         {"C:\\WINDOWS\\Explorer.exe", "病毒", "a protected Windows file, kept as answered"}}}},
      {"a protected file kept by kestrix-scan's --protected=keep",
       [](Flow& f) {
         f.List("C:\\WINDOWS\\Explorer.exe", 0, "a rule");
         f.desktop.answers = {kAnswerYes};
         f.keptProtectedReason = "--protected=keep";
         f.Clean();
       },
       {{kWarning, 1003 | kWarningBits, {"C:\\WINDOWS\\Explorer.exe", "病毒", "--protected=keep"}}}},
      {"a restore",
       [](Flow& f) {
         QuarantineRecord record;
         record.id = "7";
         record.path = "E:\\setup.exe";
         f.reports.FileRestored(record, "D:\\back\\setup.exe");
       },
       {{kInformation, 1004 | kInformationBits, {"7", "E:\\setup.exe", "D:\\back\\setup.exe"}}}},
      {"an error that ended a sweep",
       [](Flow& f) { f.reports.SweepFailed("E:\\a.inf cannot be read"); },
       {{kError, 1005 | kErrorBits, {"E:\\a.inf cannot be read"}}}},
  };
  for (const Case& c : cases) {
    Flow flow;
    c.run(flow);
    // The digest is the fake's; that it is the kept bytes' the quarantine's tests show.
    for (FakeEvent& event : flow.log.events) {
      if (event.id == kEventFileQuarantined) event.strings.at(3) = "HASH";
    }
    EXPECT_EQ(flow.log.events, c.expected) << c.name;
  }
}

TEST(EventReports, ALongFoundListGoesOnInFurtherEventsUpToALimit) {
  // files of `pathUnits` UTF-16 units each (a character of two): "first-last" per event
  const std::tuple<std::size_t, std::size_t, std::vector<std::string>> cases[] = {
      {3, 20, {"1-3"}},
      {5, 7'000, {"1-2", "3-4", "5-5"}},
      {1, 40'000, {"1-1"}},  // cut to one event's list
      {40, 7'000, {"1-2", "3-4", "5-6", "7-8", "9-10", "11-12", "13-14", "15-16"}},
  };
  for (const auto& [files, pathUnits, expected] : cases) {
    testing::FakeEventLog log;
    std::vector<SuspectEntry> entries(files);
    for (SuspectEntry& entry : entries) {
      for (entry.path = "E:\\"; entry.path.size() < pathUnits * 2;) entry.path += "\xF0\x9F\x90\x9B";
    }
    EventReports(log, "Q").SweepFound(entries);
    std::vector<std::string> ranges;
    for (const FakeEvent& event : log.events) {
      ranges.push_back(event.strings.at(1) + "-" + event.strings.at(2));
      EXPECT_EQ(CapUtf16Units(event.strings.at(3), kMaxFoundListUnits + 32), event.strings.at(3)) << files;
    }
    EXPECT_EQ(ranges, expected);
    EXPECT_EQ(log.events.back().strings.at(3).ends_with(" more not listed"), files == 40);
  }
}

}  // namespace
}  // namespace kestrix
