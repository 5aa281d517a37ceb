#include "cli/scan_report.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace kestrix {
namespace {

ScanOutcome TwoEntries() {
  ScanOutcome outcome;
  outcome.entries.push_back({"1", "E:\\Autorun.inf", "危险", 1, false, "an Autorun.inf"});
  outcome.entries.push_back({"2", "E:\\ravmone.exe", "病毒", 0, false, "Kestrix.dat line 3: ravmone.exe !ALL 0"});
  return outcome;
}

TEST(ScanReport, JsonListsEntriesInOrderWithTheOutcome) {
  EXPECT_EQ(FormatJsonReport(TwoEntries()),
            "{\"entries\":[{\"category\":\"危险\",\"image\":1,\"number\":1,\"path\":\"E:\\\\Autorun.inf\","
            "\"reason\":\"an Autorun.inf\"},{\"category\":\"病毒\",\"image\":0,\"number\":2,"
            "\"path\":\"E:\\\\ravmone.exe\",\"reason\":\"Kestrix.dat line 3: ravmone.exe !ALL 0\"}],"
            "\"error\":null,\"finished\":true}\n");

  ScanOutcome failed = TwoEntries();
  failed.error = "Cannot open file \"F:\\Autorun.inf\". Permission denied";
  const auto json = nlohmann::json::parse(FormatJsonReport(failed));
  EXPECT_FALSE(json["finished"]);
  EXPECT_EQ(json["error"], *failed.error);
  EXPECT_EQ(json["entries"].size(), 2u) << "what was found before the error is still reported";

  ScanOutcome odd;
  odd.entries.push_back({"1", "E:\\\xff.exe", "垃圾", 3, false, "\xff.exe !ALL 3"});
  EXPECT_NO_THROW(nlohmann::json::parse(FormatJsonReport(odd)));
}

TEST(ScanReport, TextHasALinePerEntryAndTheCount) {
  EXPECT_EQ(FormatTextReport(TwoEntries()),
            "   1  危险  E:\\Autorun.inf  (an Autorun.inf)\n"
            "   2  病毒  E:\\ravmone.exe  (Kestrix.dat line 3: ravmone.exe !ALL 0)\n"
            "病毒數量：2\n");
}

TEST(ScanReport, CleaningTellsWhatItMadeVisibleAgain) {
  ScanOutcome outcome;
  outcome.clean = CleanOutcome{{"E:\\Photos.lnk"}, {}, {}, {"E:\\Photos", "E:\\\xC2\xA0"}};
  EXPECT_EQ(nlohmann::json::parse(FormatJsonReport(outcome))["recovered"],
            nlohmann::json({"E:\\Photos", "E:\\\xC2\xA0"}));
  EXPECT_EQ(FormatTextReport(outcome),
            "病毒數量：0\nmade visible again: E:\\Photos\nmade visible again: E:\\\xC2\xA0\n");
  EXPECT_EQ(ScanExitStatus(outcome), 0);
}

TEST(ScanReport, ExitStatusTellsCleanInfectedAndFailed) {
  ScanOutcome outcome;
  EXPECT_EQ(ScanExitStatus(outcome), 0);
  outcome = TwoEntries();
  EXPECT_EQ(ScanExitStatus(outcome), 1);
  outcome.error = "Cannot open file";
  EXPECT_EQ(ScanExitStatus(outcome), 2);
  outcome.entries.clear();
  EXPECT_EQ(ScanExitStatus(outcome), 2);
}

}  // namespace
}  // namespace kestrix
