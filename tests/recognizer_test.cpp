// The recognizer task: results become text events in order and unchanged, a
// failing result stream is reported once, and no text delivered before the
// analyzer's finalisation returns is lost or written after "stopped".
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/engine_harness.h"
#include "tests/support/engine_inspector.h"

namespace dictate {
namespace {

using Lines = std::vector<std::string>;

class RecognizerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(h.run(h.engine.start()));
    transcriber = h.platform.fakeSpeech.lastTranscriber();
    ASSERT_NE(transcriber, nullptr);
    h.output.clear();
  }
  void TearDown() override { transcriber.reset(); }

  EngineHarness h;
  std::shared_ptr<FakeTranscriber> transcriber;
};

TEST_F(RecognizerTest, ResultsBecomeEventsUnchangedAndInOrder) {
  struct Result {
    std::string text;
    bool isFinal;
    std::string line;  // "" when nothing is written
  };
  const std::vector<Result> results = {
      {"go", false, volatileLine("go")},
      {"go forward", false, volatileLine("go forward")},
      {"go forward", false, volatileLine("go forward")},  // repeats are not suppressed
      {"", false, ""},
      {"go forward ten meters", true, finalLine("go forward ten meters")},
      {"", true, ""},
      {"  \n", true, finalLine("  \\n")},
      {" ", false, volatileLine(" ")},
      {"say \"hi\" \\ now\r\tend", true, finalLine("say \\\"hi\\\" \\\\ now\\r\\tend")},
      {"caf\xC3\xA9 a/b \x01", false, volatileLine("caf\xC3\xA9 a\\/b \\u0001")},
  };
  Lines expected;
  for (const auto& r : results) {
    transcriber->postResult(r.text, r.isFinal);
    if (!r.line.empty()) expected.push_back(r.line);
  }
  h.loop.poll();

  EXPECT_EQ(h.output.lines(), expected);
}

TEST_F(RecognizerTest, ResultsPostedFromAnotherThreadArriveInOrder) {
  constexpr int kResults = 500;
  std::thread analyzerThread([&] {
    for (int i = 0; i < kResults; ++i) transcriber->postResult(std::to_string(i), i % 2 == 1);
  });
  ASSERT_TRUE(h.runUntil([&] { return h.output.size() == kResults; }));
  analyzerThread.join();

  Lines expected;
  for (int i = 0; i < kResults; ++i) {
    expected.push_back(i % 2 == 1 ? finalLine(std::to_string(i)) : volatileLine(std::to_string(i)));
  }
  EXPECT_EQ(h.output.lines(), expected);
}

TEST_F(RecognizerTest, AFailingStreamIsReportedOnceAndEndsTheText) {
  transcriber->postResult("before", false);
  transcriber->postFailure(Error("speech", 12, "decoder lost"));
  transcriber->postResult("after", true);
  h.loop.poll();

  EXPECT_EQ(
      h.output.lines(),
      (Lines{volatileLine("before"),
             "{\"message\":\"recognition stream error: decoder lost\",\"type\":\"error\"}\n"}));
  EXPECT_TRUE(DictationEngineInspector::recognizerTask(h.engine)->isDone());
  EXPECT_TRUE(DictationEngineInspector::running(h.engine)) << "the dictation goes on until stopped";

  // A start while running launches no second task; the stop still reports.
  ASSERT_TRUE(h.run(h.engine.start()));
  EXPECT_EQ(h.platform.fakeSpeech.transcribersMade(), 1);
  ASSERT_TRUE(h.run(h.engine.stop()));
  EXPECT_EQ(h.output.lines().back(), kStopped);
  EXPECT_EQ(h.output.size(), 3u);
}

// Everything the analyzer delivers before its finalisation returns is
// written, in order, before "stopped"; nothing is written after it, even
// when results keep coming. The burst comes from another thread through
// the loop's queue, as a real analyzer delivers it; repeated so that the
// threads interleave differently.
TEST(RecognizerStopTest, NoTextIsLostOrWrittenAfterStopped) {
  constexpr int kRepetitions = 200;
  const std::vector<std::string> burst = {"one", "two", "three", "four", "five", "six", "seven"};
  EngineHarness h;
  h.platform.fakeSpeech.finalize = FinalizeScript{burst, true, {"late one", "late two"}};
  for (int rep = 0; rep < kRepetitions; ++rep) {
    SCOPED_TRACE(rep);
    h.output.clear();
    ASSERT_TRUE(h.run(h.engine.start()));
    auto transcriber = h.platform.fakeSpeech.lastTranscriber();
    transcriber->postResult("partial", false);  // still queued when the stop begins
    ASSERT_TRUE(h.run(h.engine.stop()));
    transcriber.reset();
    h.platform.services.joinHelpers();  // every late result is posted now
    h.loop.poll();

    Lines expected = {kModelReady, kListening, volatileLine("partial")};
    for (const auto& text : burst) expected.push_back(finalLine(text));
    expected.push_back(kStopped);
    ASSERT_EQ(h.output.lines(), expected);
  }
}

TEST(RecognizerStopTest, ABurstPushedOnTheLoopIsWrittenBeforeStopped) {
  EngineHarness h;
  h.platform.fakeSpeech.finalize = FinalizeScript{{"a", "", "b"}, false, {}};
  ASSERT_TRUE(h.run(h.engine.start()));
  ASSERT_TRUE(h.run(h.engine.stop()));
  h.loop.poll();

  EXPECT_EQ(h.output.lines(),
            (Lines{kModelReady, kListening, finalLine("a"), finalLine("b"), kStopped}));
}

}  // namespace
}  // namespace dictate
