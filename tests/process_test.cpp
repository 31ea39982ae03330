// The whole process in memory: the command loop and the engine on the
// platform doubles, fed scripted command lines, with standard output and
// standard error captured as one ordered log. Checks, on the real bytes,
// every ordering the host can rely on.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/command_loop.h"
#include "runtime/async_channel.h"
#include "tests/support/engine_harness.h"

namespace dictate {
namespace {

using Lines = std::vector<std::string>;

const std::string kReady = "{\"type\":\"ready\"}\n";
const std::string kStart = "{\"cmd\":\"start\"}";
const std::string kStop = "{\"cmd\":\"stop\"}";
const std::string kQuit = "{\"cmd\":\"quit\"}";

// Command lines that the test queues, or sends later; reading them takes a
// turn of the loop, as reading standard input does. Loop thread.
class ScriptedLines : public LineSource {
 public:
  void send(std::string line) { channel_.push(InputLine{LineStatus::line, std::move(line)}); }
  void close() { channel_.finish(); }
  int reads() const { return reads_; }

  Task<InputLine> nextLine() override {
    ++reads_;
    co_await YieldToLoop{};
    std::optional<InputLine> line = co_await channel_.next();
    co_return line ? std::move(*line) : InputLine{LineStatus::endOfInput, ""};
  }

 private:
  AsyncChannel<InputLine> channel_;
  int reads_ = 0;
};

// One process on the doubles. Whatever a test leaves waiting is answered,
// opened or ended on destruction, so that the process always finishes.
struct Process {
  ~Process() {
    while (platform.fakeConsent.pendingCount() > 0) platform.fakeConsent.answer(false);
    platform.fakeAssets.download.open();
    lines.close();
    if (ended) loop.runUntil([&] { return *ended; });
    platform.services.joinHelpers();
    loop.poll();
  }

  void launch(bool once = false) {
    ended = std::make_shared<bool>(false);
    spawn(
        [](Process& p, bool once) -> Task<void> {
          co_await runDictationProcess(p.platform, p.lines, once);
          *p.ended = true;
        }(*this, once),
        [](std::exception_ptr e) { ADD_FAILURE() << "process threw: " << describeError(e); });
  }
  // Sends the lines, ends the input and runs the process to its end.
  bool runWith(const Lines& commands) {
    for (const auto& command : commands) lines.send(command);
    lines.close();
    if (!ended) launch();
    return loop.runUntil([&] { return *ended; });
  }
  bool runUntilWritten(size_t count) {
    return loop.runUntil([&] { return output.size() >= count; });
  }

  MainLoop loop;
  CapturedOutput output;
  FakePlatform platform;
  ScriptedLines lines;
  std::shared_ptr<bool> ended;
};

TEST(ProcessTest, ASuccessfulDictationListensBeforeItsTextAndStopsAfterIt) {
  Process p;
  p.platform.fakeAssets.installed = false;
  p.platform.fakeSpeech.finalize = FinalizeScript{{"go forward ten meters"}, true, {}};
  p.launch();
  p.lines.send(kStart);
  ASSERT_TRUE(p.runUntilWritten(4));
  p.platform.fakeSpeech.lastTranscriber()->postResult("go forward", false);
  p.lines.send(kStart);  // already running: nothing at all

  ASSERT_TRUE(p.runWith({kStop}));

  EXPECT_EQ(p.output.lines(),
            (Lines{kReady, kModelDownloading, kModelReady, kListening, volatileLine("go forward"),
                   finalLine("go forward ten meters"), kStopped}));
  EXPECT_EQ(p.platform.fakeSpeech.transcribersMade(), 1);
}

TEST(ProcessTest, ARefusedConsentIsReportedWithoutStopped) {
  Process p;
  p.platform.fakeConsent.granted = false;
  ASSERT_TRUE(p.runWith({kStart, kStop}));
  EXPECT_EQ(p.output.lines(), (Lines{kReady, kAccessNotGranted, kPermissionDenied}));
  EXPECT_EQ(p.output.stderrText(), kAccessNotGranted);
}

TEST(ProcessTest, EachFailedStartReportsItsErrorThenStopped) {
  struct Case {
    const char* name;
    const char* failingStep;  // nullptr: no format fits
    std::string description;
    bool download;
    Lines expected;
  };
  const std::vector<Case> cases = {
      {"model request",
       "assets.installationRequest",
       "no model index",
       false,
       {kReady, startFailedLine("no model index"), kStopped}},
      {"download",
       "assets.downloadAndInstall",
       "download refused: 403",
       true,
       {kReady, kModelDownloading, startFailedLine("download refused: 403"), kStopped}},
      {"reservation",
       "assets.reserve",
       "reservation \"full\"",
       false,
       {kReady, startFailedLine("reservation \\\"full\\\""), kStopped}},
      {"no format",
       nullptr,
       "",
       false,
       {kReady, kModelReady, startFailedLine("no compatible audio format"), kStopped}},
      {"analyzer start",
       "analyzer.start",
       "decoder/model mismatch",
       false,
       {kReady, kModelReady, startFailedLine("decoder\\/model mismatch"), kStopped}},
      {"capture",
       "audio.start",
       "no audio server is running (Connection refused)",
       false,
       {kReady, kModelReady, startFailedLine("no audio server is running (Connection refused)"),
        kStopped}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Process p;
    p.platform.fakeAssets.installed = !c.download;
    p.platform.fakeAssets.reserved = {};
    if (c.failingStep) {
      p.platform.failAt(c.failingStep, Error("platform", 4, c.description));
    } else {
      p.platform.fakeSpeech.bestFormat = std::nullopt;
    }
    // The stop after the failed start finds nothing left to stop.
    ASSERT_TRUE(p.runWith({kStart, kStop}));
    EXPECT_EQ(p.output.lines(), c.expected);
  }
}

TEST(ProcessTest, AStartAfterAFailedOneRunsTheWholeSequenceAgain) {
  Process p;
  p.platform.failAt("analyzer.start", Error("speech", 1, "busy"), 1);
  ASSERT_TRUE(p.runWith({kStart, kStart, kStop}));
  EXPECT_EQ(p.output.lines(), (Lines{kReady, kModelReady, startFailedLine("busy"), kStopped,
                                     kModelReady, kListening, kStopped}));
  EXPECT_EQ(p.platform.log().count("consent.requestAccess(audio)"), 2u);
}

TEST(ProcessTest, OnceWithEmptyInputStartsThenStops) {
  Process p;
  p.lines.close();
  p.launch(/*once=*/true);
  ASSERT_TRUE(p.loop.runUntil([&] { return *p.ended; }));
  EXPECT_EQ(p.output.lines(), (Lines{kReady, kModelReady, kListening, kStopped}));
}

TEST(ProcessTest, QuitOrEndOfInputWhileDictatingStopsFirst) {
  for (const Lines& commands : {Lines{kStart, kQuit, kStart}, Lines{kStart}}) {
    Process p;
    ASSERT_TRUE(p.runWith(commands));
    EXPECT_EQ(p.output.lines(), (Lines{kReady, kModelReady, kListening, kStopped}));
    EXPECT_EQ(p.lines.reads(), 2) << "nothing is read after quit";
  }
}

// A "stop" that the host sends while a start waits (for consent, for a
// download) stays unread until that start has finished.
TEST(ProcessTest, AStopSentDuringAStartIsHandledAfterIt) {
  struct Case {
    const char* name;
    std::function<void(FakePlatform&)> hold;
    std::function<bool(FakePlatform&)> isHeld;
    std::function<void(FakePlatform&)> release;
    Lines whileHeld;
    Lines atEnd;
  };
  const std::vector<Case> cases = {
      {"consent",
       [](FakePlatform& p) { p.fakeConsent.how = ConsentAnswer::whenTestAnswers; },
       [](FakePlatform& p) { return p.fakeConsent.pendingCount() == 1; },
       [](FakePlatform& p) { p.fakeConsent.answer(true); },
       {kReady},
       {kReady, kModelReady, kListening, kStopped}},
      {"download",
       [](FakePlatform& p) {
         p.fakeAssets.installed = false;
         p.fakeAssets.download.close();
       },
       [](FakePlatform& p) { return p.fakeAssets.download.heldCount() == 1; },
       [](FakePlatform& p) { p.fakeAssets.download.open(); },
       {kReady, kModelDownloading},
       {kReady, kModelDownloading, kModelReady, kListening, kStopped}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Process p;
    c.hold(p.platform);
    p.lines.send(kStart);
    p.lines.send(kStop);
    p.launch();

    ASSERT_TRUE(p.loop.runUntil([&] { return c.isHeld(p.platform); }));
    p.loop.poll();
    EXPECT_EQ(p.output.lines(), c.whileHeld);
    EXPECT_EQ(p.lines.reads(), 1) << "the stop is not read yet";

    c.release(p.platform);
    ASSERT_TRUE(p.runWith({}));
    EXPECT_EQ(p.output.lines(), c.atEnd);
  }
}

// Many dictations in one process, with the consent answer coming from
// another thread: every cycle writes the same events.
TEST(ProcessTest, AThousandStartStopCyclesWriteTheSameEventsEachTime) {
  constexpr int kCycles = 1000;
  Process p;
  p.platform.fakeConsent.how = ConsentAnswer::onAnotherThread;
  p.platform.fakeSpeech.finalize = FinalizeScript{{"done"}, false, {}};
  p.launch();
  ASSERT_TRUE(p.runUntilWritten(1));
  const Lines cycle = {kModelReady, kListening, finalLine("done"), kStopped};
  for (int i = 0; i < kCycles; ++i) {
    p.output.clear();
    p.lines.send(kStart);
    p.lines.send(kStop);
    ASSERT_TRUE(p.runUntilWritten(cycle.size())) << "cycle " << i;
    p.platform.services.joinHelpers();
    p.loop.poll();
    ASSERT_EQ(p.output.lines(), cycle) << "cycle " << i;
  }
  ASSERT_TRUE(p.runWith({}));
  EXPECT_EQ(p.platform.log().count("consent.requestAccess(audio)"), static_cast<size_t>(kCycles));
}

}  // namespace
}  // namespace dictate
