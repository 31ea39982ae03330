// The microphone tap: the block that converts and yields each captured
// buffer, and the engine's capture step that installs it.
#include "audio/microphone_tap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/engine_harness.h"
#include "tests/support/engine_inspector.h"

namespace dictate {
namespace {

using Inspect = DictationEngineInspector;
using Lines = std::vector<std::string>;

const AudioFormat kAnalyzerFormat{16000, 1, SampleFormat::int16};
const AudioFormat kCaptureFormat{48000, 2, SampleFormat::float32};

struct TapRig {
  MainLoop loop;  // the doubles post to it
  CapturedOutput output;
  FakeServices services;
  std::shared_ptr<FakeConverterFactory> factory = std::make_shared<FakeConverterFactory>(services);
  std::pair<AnalyzerInputStream::Sequence, AnalyzerInputStream::Continuation> stream =
      AnalyzerInputStream::make();
  TapBlock block = makeMicrophoneTapBlock(std::make_shared<BufferConverter>(factory),
                                          kAnalyzerFormat, stream.second);

  std::vector<std::shared_ptr<PcmBuffer>> yielded() {
    std::vector<std::shared_ptr<PcmBuffer>> out;
    while (auto input = stream.first.tryNext()) out.push_back(input->buffer);
    return out;
  }
};

TEST(TapBlockTest, YieldsEveryBufferInTheAnalyzerFormatEvenWhenEmpty) {
  struct Case {
    const char* name;
    AudioFormat format;
    uint32_t frames;
    bool converterProducesNothing;
    uint32_t expectedFrames;
  };
  const std::vector<Case> cases = {
      {"already in the analyzer format", kAnalyzerFormat, 1600, false, 1600},
      {"empty, in the analyzer format", kAnalyzerFormat, 0, false, 0},
      {"resampled", kCaptureFormat, 4096, false, 1366},
      {"converter produced nothing", kCaptureFormat, 4096, true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TapRig rig;
    rig.factory->produceNothing = c.converterProducesNothing;
    auto buffer = makeTestBuffer(c.format, c.frames);

    rig.block(buffer, AudioTime{123, 456});

    auto yielded = rig.yielded();
    ASSERT_EQ(yielded.size(), 1u);
    EXPECT_EQ(yielded[0]->format(), kAnalyzerFormat);
    EXPECT_EQ(yielded[0]->frameLength(), c.expectedFrames);
    EXPECT_EQ(yielded[0] == buffer, c.format == kAnalyzerFormat) << "pass-through keeps the object";
    EXPECT_TRUE(rig.output.lines().empty());
  }
}

TEST(TapBlockTest, AFailingBufferIsReportedOnceAndDroppedAndTheNextFlows) {
  TapRig rig;
  rig.services.failAt("converter.make", Error("audio", 1, "unused"), 1);

  rig.block(makeTestBuffer(kCaptureFormat, 4096), AudioTime{});
  EXPECT_TRUE(rig.yielded().empty());
  rig.block(makeTestBuffer(kCaptureFormat, 4096), AudioTime{});

  const std::string description =
      BufferConverter::ConvertError(BufferConverter::ConvertError::failedToCreateConverter)
          .localizedDescription();
  EXPECT_EQ(rig.output.lines(), Lines{"[dictate] buffer convert failed: " + description + "\n"});
  EXPECT_EQ(rig.yielded().size(), 1u);
}

TEST(TapBlockTest, BuffersAfterTheStreamIsFinishedAreDiscardedQuietly) {
  TapRig rig;
  rig.stream.second.finish();
  rig.block(makeTestBuffer(kAnalyzerFormat, 160), AudioTime{});
  EXPECT_TRUE(rig.yielded().empty());
  EXPECT_TRUE(rig.stream.first.isAtEnd());
  EXPECT_TRUE(rig.output.lines().empty());
}

// ---- the capture step of the engine ----

TEST(MicrophoneTapTest, TapsBusZeroInTheCaptureFormatAndFeedsTheAnalyzer) {
  EngineHarness h;
  const AudioFormat capture{44100, 1, SampleFormat::float32};
  h.platform.audio.node.setCaptureFormat(capture);
  ASSERT_TRUE(h.run(h.engine.start()));

  EXPECT_EQ(h.platform.audio.node.tapBufferSize(0), kTapBufferSize);
  EXPECT_EQ(h.platform.audio.node.tapFormat(0), capture);
  EXPECT_TRUE(h.platform.audio.running());

  ASSERT_TRUE(h.platform.audio.node.deliver(makeTestBuffer(capture, 4096)));
  auto inputs = h.platform.fakeSpeech.lastAnalyzer()->takeInput();
  ASSERT_EQ(inputs.size(), 1u);
  EXPECT_EQ(inputs[0].buffer->format(), *h.platform.fakeSpeech.bestFormat);
}

TEST(MicrophoneTapTest, RefusesToCaptureBeforeTheAnalyzerIsReady) {
  struct Case {
    const char* name;
    bool earlierDictation;  // leaves a format behind but no producer handle
  };
  for (const Case c : {Case{"no format", false}, Case{"no producer handle", true}}) {
    SCOPED_TRACE(c.name);
    EngineHarness h;
    if (c.earlierDictation) {
      ASSERT_TRUE(h.run(h.engine.start()));
      ASSERT_TRUE(h.run(h.engine.stop()));
      ASSERT_TRUE(Inspect::analyzerFormat(h.engine).has_value());
    }
    h.platform.log().clear();

    try {
      Inspect::startAudioCapture(h.engine);
      ADD_FAILURE() << "capture started";
    } catch (const Error& e) {
      EXPECT_EQ(e.domain(), "dictate");
      EXPECT_EQ(e.code(), 2);
      EXPECT_EQ(e.localizedDescription(), "capture started before analyzer was ready");
    }
    EXPECT_EQ(h.platform.log().calls(),
              (std::vector<std::string>{"audio.inputNode", "input.outputFormat(0)"}));
    EXPECT_EQ(h.platform.audio.node.tapCount(), 0u);
  }
}

// A failed capture start leaves its tap on the bus (the engine did not run,
// so the stop sequence does not remove it); the next start's tap replaces it.
TEST(MicrophoneTapTest, AStartAfterAFailedCaptureStartLeavesOnlyTheNewTap) {
  EngineHarness h;
  h.platform.failAt("audio.start", Error("audio", 5, "device busy"), 1);
  ASSERT_TRUE(h.run(h.engine.start()));
  EXPECT_EQ(h.output.lines(), (Lines{kModelReady, startFailedLine("device busy"), kStopped}));
  EXPECT_EQ(h.platform.log().count("analyzer.finalize"), 1u) << "the analyzer had started";
  EXPECT_EQ(h.platform.audio.node.tapCount(), 1u);
  const int staleTap = h.platform.audio.node.tapGeneration(0);

  ASSERT_TRUE(h.run(h.engine.start()));

  EXPECT_EQ(h.platform.audio.node.tapCount(), 1u);
  EXPECT_NE(h.platform.audio.node.tapGeneration(0), staleTap);
  ASSERT_TRUE(h.platform.audio.node.deliver(makeTestBuffer(kCaptureFormat, 4096)));
  EXPECT_EQ(h.platform.fakeSpeech.lastAnalyzer()->takeInput().size(), 1u)
      << "audio reaches the new analyzer";
}

// The capture thread keeps delivering while the loop stops the dictation:
// every buffer the tap accepted reaches the analyzer before its input ends,
// once and in order, and the tap block races with no engine field.
TEST(MicrophoneTapTest, EveryBufferCapturedBeforeTheStopReachesTheAnalyzer) {
  EngineHarness h;
  h.platform.audio.node.setCaptureFormat(*h.platform.fakeSpeech.bestFormat);  // pass-through
  ASSERT_TRUE(h.run(h.engine.start()));
  auto analyzer = h.platform.fakeSpeech.lastAnalyzer();

  std::atomic<int> deliveredCount{0};
  std::vector<std::shared_ptr<PcmBuffer>> delivered;  // capture thread until joined
  std::thread captureThread([&] {
    for (;;) {
      auto buffer = makeTestBuffer(*h.platform.fakeSpeech.bestFormat, 160);
      if (!h.platform.audio.node.deliver(buffer)) return;
      delivered.push_back(buffer);
      ++deliveredCount;
    }
  });
  ASSERT_TRUE(h.runUntil([&] { return deliveredCount >= 50; }));
  ASSERT_TRUE(h.run(h.engine.stop()));
  captureThread.join();

  EXPECT_TRUE(analyzer->inputEndedAtFinalize());
  auto received = analyzer->takeInput();
  ASSERT_EQ(received.size(), delivered.size());
  for (size_t i = 0; i < delivered.size(); ++i) ASSERT_EQ(received[i].buffer, delivered[i]) << i;
}

}  // namespace
}  // namespace dictate
