// The engine's start and stop sequences and its consent check, on the
// platform doubles: which platform calls are made in which order, what the
// host reads, and what the engine's fields hold afterwards.
#include "engine/dictation_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/engine_harness.h"
#include "tests/support/engine_inspector.h"

namespace dictate {
namespace {

using Inspect = DictationEngineInspector;
using Calls = std::vector<std::string>;
using Lines = std::vector<std::string>;

const Calls kStartCalls = {
    "consent.requestAccess(audio)",
    "speech.makeTranscriber",
    "speech.makeAnalyzer",
    "assets.installationRequest",
    "assets.reservedLocales",
    "speech.bestAvailableAudioFormat",
    "analyzer.start",
    "transcriber.results",  // the recognizer task, while the analyzer starts
    "audio.inputNode",
    "input.outputFormat(0)",
    "tap.install(0)",
    "audio.prepare",
    "audio.start",
};

const Calls kFullStopCalls = {"audio.isRunning", "audio.inputNode", "tap.remove(0)", "audio.stop",
                              "analyzer.finalize"};

class DictationEngineTest : public ::testing::Test {
 protected:
  void startAndClearRecords() {
    ASSERT_TRUE(h.run(h.engine.start()));
    ASSERT_TRUE(Inspect::running(h.engine));
    h.platform.log().clear();
    h.output.clear();
  }
  void expectIdle() {
    EXPECT_FALSE(Inspect::running(h.engine));
    EXPECT_FALSE(Inspect::analyzerStarted(h.engine));
    EXPECT_EQ(Inspect::transcriber(h.engine), nullptr);
    EXPECT_EQ(Inspect::analyzer(h.engine), nullptr);
    EXPECT_FALSE(Inspect::inputBuilder(h.engine).has_value());
    EXPECT_FALSE(Inspect::recognizerTask(h.engine).has_value());
  }

  EngineHarness h;
};

TEST_F(DictationEngineTest, StartRunsConsentSetupAndCaptureInOrderThenListens) {
  ASSERT_TRUE(h.run(h.engine.start()));

  EXPECT_EQ(h.platform.log().calls(), kStartCalls);
  EXPECT_EQ(h.output.lines(), (Lines{kModelReady, kListening}));
  EXPECT_TRUE(Inspect::running(h.engine));
  EXPECT_TRUE(Inspect::analyzerStarted(h.engine));
  EXPECT_EQ(Inspect::analyzerFormat(h.engine), h.platform.fakeSpeech.bestFormat);
  ASSERT_TRUE(Inspect::inputBuilder(h.engine).has_value());
  ASSERT_TRUE(Inspect::recognizerTask(h.engine).has_value());
  EXPECT_FALSE(Inspect::recognizerTask(h.engine)->isDone());

  // The transcriber's fixed configuration, and the one-module lists.
  auto transcriber = h.platform.fakeSpeech.lastTranscriber();
  ASSERT_NE(transcriber, nullptr);
  const TranscriberConfiguration& config = transcriber->configuration();
  EXPECT_EQ(config.locale.bcp47Identifier(), "en-US");
  EXPECT_TRUE(config.transcriptionOptions.empty());
  EXPECT_EQ(config.reportingOptions, std::set<ReportingOption>{ReportingOption::volatileResults});
  EXPECT_EQ(config.attributeOptions,
            std::set<ResultAttributeOption>{ResultAttributeOption::audioTimeRange});
  EXPECT_EQ(h.platform.fakeSpeech.lastAnalyzer()->modules(), SpeechModules{transcriber});
  EXPECT_EQ(h.platform.fakeSpeech.formatQueryModuleCount, 1u);
  EXPECT_EQ(h.platform.fakeSpeech.formatQueryModule, transcriber.get());
  EXPECT_EQ(Inspect::transcriber(h.engine), transcriber);
}

TEST_F(DictationEngineTest, StartWhileRunningDoesNothing) {
  startAndClearRecords();
  auto analyzer = Inspect::analyzer(h.engine);

  ASSERT_TRUE(h.run(h.engine.start()));

  EXPECT_TRUE(h.platform.log().calls().empty());
  EXPECT_TRUE(h.output.lines().empty());
  EXPECT_EQ(Inspect::analyzer(h.engine), analyzer);
  EXPECT_EQ(h.platform.fakeSpeech.transcribersMade(), 1);
}

TEST_F(DictationEngineTest, StopTearsDownInOrderAndKeepsTheFormat) {
  startAndClearRecords();
  const TaskHandle task = *Inspect::recognizerTask(h.engine);
  auto analyzer = h.platform.fakeSpeech.lastAnalyzer();

  ASSERT_TRUE(h.run(h.engine.stop()));

  EXPECT_EQ(h.platform.log().calls(), kFullStopCalls);
  EXPECT_TRUE(analyzer->inputEndedAtFinalize()) << "input stream finished before the finalisation";
  EXPECT_EQ(h.output.lines(), Lines{kStopped});
  expectIdle();
  EXPECT_EQ(Inspect::analyzerFormat(h.engine), h.platform.fakeSpeech.bestFormat);
  EXPECT_TRUE(task.isCancelled());
  EXPECT_EQ(h.platform.audio.node.tapCount(), 0u);
  EXPECT_FALSE(h.platform.audio.running());

  // The recognizer task ends on the loop and lets go of the transcriber.
  analyzer.reset();  // which holds it as its module
  h.loop.poll();
  EXPECT_TRUE(task.isDone());
  EXPECT_EQ(h.platform.fakeSpeech.lastTranscriber(), nullptr);
}

TEST_F(DictationEngineTest, StopVariants) {
  struct Case {
    const char* name;
    std::function<void(EngineHarness&)> arrange;  // before the start
    std::function<void(EngineHarness&)> disturb;  // between start and stop
    Lines startOutput;
    Calls stopCalls;
  };
  const Error modelError("assets", 7, "model request broke");
  const std::vector<Case> cases = {
      {"failed before the analyzer started",
       [&](EngineHarness& h) { h.platform.failAt("assets.installationRequest", modelError); },
       [](EngineHarness&) {},
       {startFailedLine("model request broke"), kStopped},
       {"audio.isRunning"}},
      {"audio engine no longer running",
       [](EngineHarness&) {},
       [](EngineHarness& h) { h.platform.audio.haltOnItsOwn(); },
       {kModelReady, kListening, kStopped},
       {"audio.isRunning", "analyzer.finalize"}},
      {"finalisation throws",
       [](EngineHarness& h) {
         h.platform.failAt("analyzer.finalize", Error("speech", 3, "cannot finish"));
       },
       [](EngineHarness&) {},
       {kModelReady, kListening, kStopped},
       kFullStopCalls},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineHarness h;
    c.arrange(h);
    ASSERT_TRUE(h.run(h.engine.start()));
    c.disturb(h);
    // A failed start has run its stop already.
    if (Inspect::analyzer(h.engine)) {
      ASSERT_TRUE(h.run(h.engine.stop()));
    }

    EXPECT_EQ(h.output.lines(), c.startOutput);
    const Calls calls = h.platform.log().calls();
    const auto stopBegins = std::find(calls.begin(), calls.end(), "audio.isRunning");
    EXPECT_EQ(Calls(stopBegins, calls.end()), c.stopCalls);
    EXPECT_FALSE(Inspect::running(h.engine));
    EXPECT_EQ(Inspect::analyzer(h.engine), nullptr);
    EXPECT_FALSE(Inspect::recognizerTask(h.engine).has_value());
  }
}

TEST_F(DictationEngineTest, StopWithNothingToStopIsSilent) {
  ASSERT_TRUE(h.run(h.engine.stop()));  // fresh engine
  startAndClearRecords();
  ASSERT_TRUE(h.run(h.engine.stop()));
  h.platform.log().clear();
  h.output.clear();

  ASSERT_TRUE(h.run(h.engine.stop()));  // second stop of one dictation

  EXPECT_TRUE(h.platform.log().calls().empty());
  EXPECT_TRUE(h.output.lines().empty());
}

// The fields at each way out of the setup, before the stop sequence runs.
TEST_F(DictationEngineTest, SetupFieldsAtEachWayOut) {
  struct Case {
    const char* name;
    std::function<void(FakePlatform&)> arrange;
    bool fails;
    bool newFormat;
    bool taskAndStream;
  };
  const AudioFormat oldFormat{16000, 1, SampleFormat::int16};
  const AudioFormat newFormat{24000, 1, SampleFormat::float32};
  const std::vector<Case> cases = {
      {"model step fails",
       [](FakePlatform& p) { p.failAt("assets.reservedLocales", Error("assets", 1, "no list")); },
       true, false, false},
      {"no compatible format", [](FakePlatform& p) { p.fakeSpeech.bestFormat = std::nullopt; },
       true, false, false},
      {"analyzer start fails",
       [](FakePlatform& p) { p.failAt("analyzer.start", Error("speech", 2, "no start")); }, true,
       true, true},
      {"success", [](FakePlatform&) {}, false, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineHarness h;
    // An earlier dictation leaves its format behind.
    ASSERT_TRUE(h.run(h.engine.start()));
    ASSERT_TRUE(h.run(h.engine.stop()));
    h.platform.fakeSpeech.bestFormat = newFormat;
    c.arrange(h.platform);

    bool threw = false;
    ASSERT_TRUE(h.run([](DictationEngine& e, bool& threw) -> Task<void> {
      try {
        co_await Inspect::setUpTranscriber(e);
      } catch (const Error&) {
        threw = true;
      }
    }(h.engine, threw)));

    EXPECT_EQ(threw, c.fails);
    EXPECT_EQ(Inspect::transcriber(h.engine), h.platform.fakeSpeech.lastTranscriber());
    EXPECT_EQ(Inspect::analyzer(h.engine), h.platform.fakeSpeech.lastAnalyzer());
    EXPECT_NE(Inspect::analyzer(h.engine), nullptr);
    EXPECT_EQ(Inspect::analyzerFormat(h.engine), c.newFormat ? newFormat : oldFormat);
    EXPECT_EQ(Inspect::recognizerTask(h.engine).has_value(), c.taskAndStream);
    if (c.taskAndStream) {
      EXPECT_FALSE(Inspect::recognizerTask(h.engine)->isDone());
    }
    EXPECT_EQ(Inspect::inputBuilder(h.engine).has_value(), c.taskAndStream);
    EXPECT_EQ(Inspect::analyzerStarted(h.engine), !c.fails);
    EXPECT_FALSE(Inspect::running(h.engine));
  }
}

TEST_F(DictationEngineTest, EachStartBuildsNewObjectsOnTheSameEngine) {
  ASSERT_TRUE(h.run(h.engine.start()));
  auto* audioEngine = Inspect::audioEngine(h.engine);
  auto* converter = Inspect::converter(h.engine);
  const Locale* locale = &Inspect::preferredLocale(h.engine);
  auto firstTranscriber = Inspect::transcriber(h.engine);
  auto firstAnalyzer = h.platform.fakeSpeech.lastAnalyzer();
  auto firstInput = *Inspect::inputBuilder(h.engine);
  const TaskHandle firstTask = *Inspect::recognizerTask(h.engine);
  ASSERT_TRUE(h.run(h.engine.stop()));
  ASSERT_TRUE(h.run(h.engine.start()));

  EXPECT_EQ(Inspect::audioEngine(h.engine), audioEngine);
  EXPECT_EQ(Inspect::converter(h.engine), converter);
  EXPECT_EQ(&Inspect::preferredLocale(h.engine), locale);
  EXPECT_NE(Inspect::transcriber(h.engine), firstTranscriber);
  EXPECT_NE(Inspect::analyzer(h.engine), firstAnalyzer);
  EXPECT_FALSE(Inspect::recognizerTask(h.engine)->isCancelled());
  EXPECT_TRUE(firstTask.isCancelled());
  // The first input stream stays finished; the new one takes audio.
  EXPECT_EQ(firstInput.yield(AnalyzerInput{}), AnalyzerInputStream::YieldResult::terminated);
  EXPECT_EQ(Inspect::inputBuilder(h.engine)->yield(AnalyzerInput{}),
            AnalyzerInputStream::YieldResult::enqueued);
  EXPECT_EQ(h.platform.log().count("consent.requestAccess(audio)"), 2u);
}

// ---- a lost audio input ----

// A loss ends its own running dictation once, with its error, the finals of
// the audio already captured and "stopped", whatever stop or start meets it;
// a loss reported for a capture that is over changes nothing.
TEST(DictationEngineLossTest, ALossStopsOnlyItsOwnRunningDictationOnce) {
  const Error reason("pulseaudio", 11, "the audio server has gone away");
  const std::string lost =
      "{\"message\":\"audio input lost: the audio server has gone away\",\"type\":\"error\"}\n";
  // As the capture thread reports it.
  auto report = [&](const InputLossHandler& onLoss) {
    std::thread([&] { onLoss(reason); }).join();
  };
  auto holdFinalisation = [](EngineHarness& h) {
    h.platform.fakeSpeech.finalizing.close();
    return h.runUntil([&] { return h.platform.fakeSpeech.finalizing.heldCount() == 1; });
  };
  auto openAndRun = [](EngineHarness& h, Task<void> operation) {
    auto done = h.launch(std::move(operation));
    h.platform.fakeSpeech.finalizing.open();
    return h.runUntil([&] { return *done; });
  };
  struct Case {
    const char* name;
    std::function<void(EngineHarness&, const InputLossHandler&)> act;
    Lines expected;
    bool runningAfter;
  };
  const std::vector<Case> cases = {
      {"lost while running",
       [&](EngineHarness& h, const InputLossHandler&) {
         std::thread([&] { h.platform.audio.loseInput(reason); }).join();
         ASSERT_TRUE(h.runUntil([&] { return !Inspect::analyzer(h.engine); }));
       },
       {lost, finalLine("heard"), kStopped},
       false},
      {"reported twice",
       [&](EngineHarness& h, const InputLossHandler& onLoss) {
         report(onLoss);
         report(onLoss);
         ASSERT_TRUE(h.runUntil([&] { return !Inspect::analyzer(h.engine); }));
         h.loop.poll();
       },
       {lost, finalLine("heard"), kStopped},
       false},
      {"reported while a stop finalises",
       [&](EngineHarness& h, const InputLossHandler& onLoss) {
         auto done = h.launch(h.engine.stop());
         ASSERT_TRUE(holdFinalisation(h));
         report(onLoss);
         h.loop.poll();
         h.platform.fakeSpeech.finalizing.open();
         ASSERT_TRUE(h.runUntil([&] { return *done; }));
       },
       {finalLine("heard"), kStopped},
       false},
      {"a stop while the loss's stop finalises",
       [&](EngineHarness& h, const InputLossHandler& onLoss) {
         h.platform.fakeSpeech.finalizing.close();
         report(onLoss);
         ASSERT_TRUE(holdFinalisation(h));
         ASSERT_TRUE(openAndRun(h, h.engine.stop()));
       },
       {lost, finalLine("heard"), kStopped},
       false},
      {"a start while the loss's stop finalises",
       [&](EngineHarness& h, const InputLossHandler& onLoss) {
         h.platform.fakeSpeech.finalizing.close();
         report(onLoss);
         ASSERT_TRUE(holdFinalisation(h));
         ASSERT_TRUE(openAndRun(h, h.engine.start()));
       },
       {lost, finalLine("heard"), kStopped, kModelReady, kListening},
       true},
      {"reported late, for the dictation before",
       [&](EngineHarness& h, const InputLossHandler& onLoss) {
         ASSERT_TRUE(h.run(h.engine.stop()));
         report(onLoss);
         h.loop.poll();
         ASSERT_TRUE(h.run(h.engine.start()));
         report(onLoss);
         h.loop.poll();
       },
       {finalLine("heard"), kStopped, kModelReady, kListening},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineHarness h;
    h.platform.fakeSpeech.finalize = FinalizeScript{{"heard"}, false, {}};
    ASSERT_TRUE(h.run(h.engine.start()));
    h.output.clear();
    const InputLossHandler onLoss = h.platform.audio.node.lossHandler();
    ASSERT_TRUE(onLoss);

    c.act(h, onLoss);

    EXPECT_EQ(h.output.lines(), c.expected);
    EXPECT_EQ(Inspect::running(h.engine), c.runningAfter);
    EXPECT_EQ(h.platform.audio.running(), c.runningAfter) << "the lost capture is stopped";
  }
}

// ---- consent ----

struct ConsentCase {
  const char* name;
  ConsentAnswer how;
  bool granted;
};

class ConsentTest : public ::testing::TestWithParam<ConsentCase> {};

TEST_P(ConsentTest, AnswerDecidesTheStartAndTheCheckResumesOnTheLoop) {
  const ConsentCase& c = GetParam();
  EngineHarness h;
  h.platform.fakeConsent.how = c.how;
  h.platform.fakeConsent.granted = c.granted;
  std::thread answerer;

  auto done = h.launch(h.engine.start());
  if (c.how == ConsentAnswer::whenTestAnswers) {
    ASSERT_TRUE(h.runUntil([&] { return h.platform.fakeConsent.pendingCount() == 1; }));
    h.loop.poll();
    EXPECT_EQ(h.platform.log().calls(), Calls{"consent.requestAccess(audio)"})
        << "waits for the answer";
    EXPECT_TRUE(h.output.lines().empty());
    answerer = std::thread([&] { h.platform.fakeConsent.answer(c.granted); });
  }
  ASSERT_TRUE(h.runUntil([&] { return *done; }));
  if (answerer.joinable()) answerer.join();

  const Lines expected =
      c.granted ? Lines{kModelReady, kListening} : Lines{kAccessNotGranted, kPermissionDenied};
  EXPECT_EQ(h.output.lines(), expected);
  EXPECT_TRUE(h.platform.log().callsOffThread(std::this_thread::get_id()).empty())
      << "every platform call after the answer comes from the loop thread";
  EXPECT_EQ(Inspect::running(h.engine), c.granted);
  if (!c.granted) {
    EXPECT_EQ(h.platform.log().calls(), Calls{"consent.requestAccess(audio)"});
    EXPECT_EQ(Inspect::analyzer(h.engine), nullptr);
  }
  if (c.how != ConsentAnswer::immediately) {
    EXPECT_NE(h.platform.fakeConsent.answeredOn(), std::this_thread::get_id());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ConsentTest,
    ::testing::Values(ConsentCase{"grantedAtOnce", ConsentAnswer::immediately, true},
                      ConsentCase{"refusedAtOnce", ConsentAnswer::immediately, false},
                      ConsentCase{"grantedOnServiceThread", ConsentAnswer::onAnotherThread, true},
                      ConsentCase{"refusedOnServiceThread", ConsentAnswer::onAnotherThread, false},
                      ConsentCase{"grantedLater", ConsentAnswer::whenTestAnswers, true},
                      ConsentCase{"refusedLater", ConsentAnswer::whenTestAnswers, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DictationEngineTest, EveryStartAsksForConsentAgain) {
  h.platform.fakeConsent.granted = false;
  ASSERT_TRUE(h.run(h.engine.start()));
  ASSERT_TRUE(h.run(h.engine.stop()));  // nothing to stop after a refusal
  h.platform.fakeConsent.granted = true;
  ASSERT_TRUE(h.run(h.engine.start()));
  ASSERT_TRUE(h.run(h.engine.stop()));
  ASSERT_TRUE(h.run(h.engine.start()));

  EXPECT_EQ(h.platform.log().count("consent.requestAccess(audio)"), 3u);
  EXPECT_EQ(h.output.lines(), (Lines{kAccessNotGranted, kPermissionDenied, kModelReady, kListening,
                                     kStopped, kModelReady, kListening}));
}

}  // namespace
}  // namespace dictate
