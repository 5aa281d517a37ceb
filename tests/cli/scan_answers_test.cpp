#include "cli/scan_answers.h"

#include <gtest/gtest.h>

#include "fakes/fake_machine.h"

namespace kestrix {
namespace {

class ScanAnswersTest : public ::testing::Test {
 protected:
  testing::FakeEngine engine;
  std::FILE* sink = std::tmpfile();
  void TearDown() override { std::fclose(sink); }

  std::string Printed() {
    std::rewind(sink);
    std::string text;
    for (int c; (c = std::fgetc(sink)) != EOF;) text += static_cast<char>(c);
    return text;
  }
  int AskLeftover(ScanAnswers& answers) {
    return answers.ShowMessage("還有\r是否", "Kestrix", kQuestionYesNoSystemModal);
  }
  int AskKeep(ScanAnswers& answers) {
    return answers.ShowMessage("檔案 C:\\boot.ini", "要保留嗎?", kQuestionYesNo);
  }
};

TEST_F(ScanAnswersTest, TerminatesOnlyWhileRepeatedPassesMakeProgress) {
  engine.list.AddVirus("a", 0);
  engine.list.AddVirus("b", 0);
  ScanAnswers answers(ProtectedAnswer::kKeep, true, engine.list, sink, nullptr);
  EXPECT_EQ(AskLeftover(answers), kAnswerYes);
  engine.list.Delete(0);
  EXPECT_EQ(AskLeftover(answers), kAnswerYes) << "the repeated pass removed a file";
  EXPECT_EQ(AskLeftover(answers), kAnswerNo) << "it removed nothing: asking again would never end";
  EXPECT_EQ(Printed(), "還有\n是否 是\n還有\n是否 是\n還有\n是否 否\n");

  ScanAnswers without(ProtectedAnswer::kKeep, false, engine.list, sink, nullptr);
  EXPECT_EQ(AskLeftover(without), kAnswerNo);
}

TEST_F(ScanAnswersTest, AnswersTheKeepQuestionAsToldAndKeepsWithoutATerminal) {
  ScanAnswers keep(ProtectedAnswer::kKeep, false, engine.list, sink, nullptr);
  EXPECT_EQ(AskKeep(keep), kAnswerYes);
  ScanAnswers remove(ProtectedAnswer::kDelete, false, engine.list, sink, nullptr);
  EXPECT_EQ(AskKeep(remove), kAnswerNo);

  std::string asked;
  ScanAnswers noTerminal(ProtectedAnswer::kAsk, false, engine.list, sink, [&](std::string_view question) {
    asked = question;
    return std::optional<bool>();
  });
  EXPECT_EQ(AskKeep(noTerminal), kAnswerYes);
  EXPECT_EQ(asked, "要保留嗎? 檔案 C:\\boot.ini");
  ScanAnswers user(ProtectedAnswer::kAsk, false, engine.list, sink,
                   [](std::string_view) { return std::optional(false); });
  EXPECT_EQ(AskKeep(user), kAnswerNo);
}

TEST_F(ScanAnswersTest, RecordsAndPrintsBalloons) {
  ScanAnswers answers(ProtectedAnswer::kKeep, false, engine.list, sink, nullptr);
  answers.ShowBalloon("Kestrix", "成功清除 2 個病毒.", BalloonKind::kInfo, 10);
  ASSERT_EQ(answers.Balloons().size(), 1u);
  EXPECT_EQ(answers.Balloons()[0].text, "成功清除 2 個病毒.");
  EXPECT_EQ(answers.Balloons()[0].kind, 1);
  EXPECT_EQ(Printed(), "成功清除 2 個病毒.\n");
}

}  // namespace
}  // namespace kestrix
