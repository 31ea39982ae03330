// The engine on the platform doubles: the start and stop sequences with the
// model check, consent, the capture tap, the recognizer task and a lost
// audio input; which platform calls are made in which order, what the host
// reads, and what the engine holds afterwards.
#include "engine/dictation_engine.h"

#include <gtest/gtest.h>

#include "audio/microphone_tap.h"
#include "tests/support/fake_platform.h"

namespace dictate {
namespace {

using I = DictationEngineInspector;

const AudioFormat kAnalyzerFormat{16000, 1, SampleFormat::int16};
const AudioFormat kCaptureFormat{48000, 2, SampleFormat::float32};
const Lines kStartCalls = {"consent.requestAccess(audio)", "speech.makeTranscriber",
                           "speech.makeAnalyzer", "assets.installationRequest",
                           "assets.reservedLocales", "speech.bestAvailableAudioFormat",
                           "analyzer.start",
                           "transcriber.results",  // the recognizer task, while the analyzer starts
                           "audio.inputNode", "input.outputFormat(0)", "tap.install(0)",
                           "audio.prepare", "audio.start"};
const Lines kStopCalls = {"audio.isRunning", "audio.inputNode", "tap.remove(0)", "audio.stop",
                          "analyzer.finalize"};

TEST(DictationEngineTest, StartCaptureStopAndStartAgain) {
  EngineHarness h;
  FakePlatform& p = h.platform;
  p.captureFormat = {44100, 1, SampleFormat::float32};
  ASSERT_TRUE(h.run(h.engine.start()));
  EXPECT_EQ(p.calls(), kStartCalls);
  EXPECT_EQ(h.output.lines(), (Lines{kModelReady, kListening}));
  EXPECT_EQ(I::holds(h.engine), kDictating);
  auto transcriber = p.lastTranscriber.lock();
  auto analyzer = p.lastAnalyzer.lock();
  const TranscriberConfiguration& config = transcriber->configuration();
  EXPECT_EQ(config.locale.bcp47Identifier(), "en-US");
  EXPECT_TRUE(config.transcriptionOptions.empty());
  EXPECT_EQ(config.reportingOptions, std::set{ReportingOption::volatileResults});
  EXPECT_EQ(config.attributeOptions, std::set{ResultAttributeOption::audioTimeRange});
  EXPECT_EQ(analyzer->modules, SpeechModules{transcriber});
  EXPECT_EQ(p.formatQuery, std::vector<const void*>{transcriber.get()});
  // Bus 0 is tapped in the capture format; its audio reaches the analyzer
  // in the analyzer's.
  EXPECT_EQ(p.tap()->size, kTapBufferSize);
  EXPECT_EQ(p.tap()->format, p.captureFormat);
  ASSERT_TRUE(p.deliver(makeBuffer(p.captureFormat, 4096)));
  auto input = analyzer->takeInput();
  ASSERT_EQ(input.size(), 1u);
  EXPECT_EQ(input[0].buffer->format(), kAnalyzerFormat);

  p.clearCalls();
  h.output.clear();
  ASSERT_TRUE(h.run(h.engine.start()));  // already running: nothing at all
  transcriber.reset();
  ASSERT_TRUE(h.run(h.engine.stop()));
  EXPECT_EQ(p.calls(), kStopCalls);
  EXPECT_TRUE(analyzer->inputEndedAtFinalize) << "input stream finished before the finalisation";
  EXPECT_EQ(h.output.lines(), Lines{kStopped});
  EXPECT_EQ(I::holds(h.engine), "");
  EXPECT_FALSE(p.tap() || p.capturing);
  // The recognizer task ends and lets go of the transcriber, which the
  // analyzer held as its module.
  analyzer.reset();
  h.loop.poll();
  EXPECT_TRUE(p.lastTranscriber.expired());

  p.clearCalls();
  h.output.clear();
  ASSERT_TRUE(h.run(h.engine.stop()));  // nothing left to stop
  EXPECT_TRUE(p.calls().empty() && h.output.lines().empty());
  ASSERT_TRUE(h.run(h.engine.start()));
  EXPECT_EQ(p.calls(), kStartCalls);
  EXPECT_EQ(p.transcribersMade, 2);
}

// Every start ends listening or with its error and "stopped", every stop
// leaves nothing behind, and after any failure the next start succeeds. The
// model is installed ("downloading" first) and reserved, matched by BCP 47
// identifier, before anything else.
TEST(DictationEngineTest, StartOutcomes) {
  const std::string failed = errorLine("start failed: it broke");
  auto failing = [](const char* step, bool missing = false) {
    return [=](FakePlatform& p) {
      p.installed = !missing;
      p.reserved = {};
      p.failAt(step, Error("platform", 4, "it broke"));
    };
  };
  const Lines check = {"assets.installationRequest", "assets.reservedLocales"};
  const Lines reserve = {check[0], check[1], "assets.reserve(en-US)"};
  const Lines download = {check[0], "assets.downloadAndInstall"};
  const Lines stopped = {"audio.isRunning"};
  struct Case {
    const char* name;
    std::function<void(FakePlatform&)> arrange;
    Lines assetCalls, output;
    Lines stopCalls;  // from "audio.isRunning" on
  };
  const std::vector<Case> cases = {
      {"installed and reserved", [](FakePlatform&) {}, check,
       {kModelReady, kListening, kStopped}, kStopCalls},
      {"missing, nothing reserved", failing("none", true),
       {download[0], download[1], check[1], reserve[2]},
       {kModelDownloading, kModelReady, kListening, kStopped}, kStopCalls},
      {"another locale reserved", [](FakePlatform& p) { p.reserved = {Locale("fr-FR")}; },
       reserve, {kModelReady, kListening, kStopped}, kStopCalls},
      {"reserved, spelt otherwise",
       [](FakePlatform& p) { p.reserved = {Locale("de-DE"), Locale("EN_us")}; }, check,
       {kModelReady, kListening, kStopped}, kStopCalls},
      {"request fails", failing(check[0].c_str()), {check[0]}, {failed, kStopped}, stopped},
      {"download fails", failing(download[1].c_str(), true), download,
       {kModelDownloading, failed, kStopped}, stopped},
      {"reservation fails", failing("assets.reserve"), reserve, {failed, kStopped}, stopped},
      {"no format fits", [](FakePlatform& p) { p.bestFormat = std::nullopt; }, check,
       {kModelReady, errorLine("start failed: no compatible audio format"), kStopped}, stopped},
      {"analyzer start fails", failing("analyzer.start"), reserve,
       {kModelReady, failed, kStopped}, stopped},
      // The audio engine never ran: its tap stays until the next start's
      // replaces it, and the started analyzer is finalised.
      {"capture start fails", failing("audio.start"), reserve, {kModelReady, failed, kStopped},
       {"audio.isRunning", "analyzer.finalize"}},
      {"finalisation fails", failing("analyzer.finalize"), reserve,
       {kModelReady, kListening, kStopped}, kStopCalls},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EngineHarness h;
    c.arrange(h.platform);
    ASSERT_TRUE(h.run(h.engine.start()));
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(h.run(h.engine.stop()));
    EXPECT_EQ(h.output.lines(), c.output);
    EXPECT_EQ(I::holds(h.engine), "");
    const Lines calls = h.platform.calls();
    Lines assetCalls;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(assetCalls),
                 [](const std::string& call) { return call.starts_with("assets."); });
    EXPECT_EQ(assetCalls, c.assetCalls);
    EXPECT_EQ(Lines(std::find(calls.begin(), calls.end(), "audio.isRunning"), calls.end()),
              c.stopCalls);

    h.output.clear();
    h.platform.bestFormat = kAnalyzerFormat;
    h.platform.installed = true;
    ASSERT_TRUE(h.run(h.engine.start()));
    EXPECT_EQ(h.output.lines(), (Lines{kModelReady, kListening}));
    ASSERT_TRUE(h.platform.deliver(makeBuffer(kCaptureFormat, 4096)));
    EXPECT_EQ(h.platform.lastAnalyzer.lock()->takeInput().size(), 1u) << "audio reaches it";
  }
}

// Capture needs the analyzer's format and input stream: a fresh engine has
// neither, a stopped one only the format.
TEST(DictationEngineTest, CaptureRefusesToStartBeforeTheAnalyzerIsReady) {
  for (bool earlierDictation : {false, true}) {
    EngineHarness h;
    if (earlierDictation) {
      ASSERT_TRUE(h.run(h.engine.start()) && h.run(h.engine.stop()));
    }
    h.platform.clearCalls();
    EXPECT_THROW(I::startAudioCapture(h.engine), Error);
    EXPECT_EQ(h.platform.calls(), (Lines{"audio.inputNode", "input.outputFormat(0)"}));
  }
}

// However late the answer comes, and on whatever thread, the check resumes
// on the loop and the answer decides the start. A stop then finds nothing
// to stop after a refusal.
TEST(DictationEngineTest, ConsentAnswerDecidesTheStart) {
  for (int how = 0; how < 4; ++how) {
    const bool granted = how % 2, late = how >= 2;
    SCOPED_TRACE(how);
    EngineHarness h;
    h.platform.holdConsent = late;
    h.platform.granted = granted;
    auto done = h.launch(h.engine.start());
    if (late) {
      ASSERT_TRUE(h.runUntil([&] { return h.platform.heldConsent.size() == 1; }));
      h.loop.poll();
      EXPECT_EQ(h.platform.calls(), Lines{"consent.requestAccess(audio)"}) << "waits";
      EXPECT_TRUE(h.output.lines().empty());
      std::thread([&] { h.platform.answerConsent(granted); }).join();
    }
    ASSERT_TRUE(h.runUntil([&] { return *done; }) && h.run(h.engine.stop()));
    EXPECT_EQ(h.output.lines(),
              (granted ? Lines{kModelReady, kListening, kStopped}
                       : Lines{"[dictate] microphone access not granted\n",
                               errorLine("microphone or speech permission denied")}));
    EXPECT_EQ(h.platform.calls().size(), granted ? kStartCalls.size() + kStopCalls.size() : 1);
    EXPECT_TRUE(h.platform.calls(std::this_thread::get_id()).empty()) << "all from the loop";
  }
}

// A loss ends its own running dictation once, with its error, the finals of
// the audio already captured and "stopped", whatever stop or start meets it;
// a loss reported for a capture that is over changes nothing.
TEST(DictationEngineTest, ALossStopsOnlyItsOwnRunningDictationOnce) {
  const std::string lost = errorLine("audio input lost: the audio server has gone away");
  auto stopHeldThenRun = [](EngineHarness& h, const std::function<void()>& report, bool start) {
    h.platform.finalizing.closed = true;
    report();
    ASSERT_TRUE(h.runUntil([&] { return h.platform.finalizing.held.size() == 1; }));
    auto done = h.launch(start ? h.engine.start() : h.engine.stop());
    h.platform.finalizing.open();
    ASSERT_TRUE(h.runUntil([&] { return *done; }));
  };
  struct Case {
    const char* name;
    std::function<void(EngineHarness&, const std::function<void()>& report)> act;
    Lines expected;
  };
  const std::vector<Case> cases = {
      {"reported twice",
       [](EngineHarness&, auto& report) {
         report();
         report();
       },
       {lost, textLine("heard"), kStopped}},
      {"reported while a stop finalises",
       [](EngineHarness& h, auto& report) {
         h.platform.finalizing.closed = true;
         auto done = h.launch(h.engine.stop());
         ASSERT_TRUE(h.runUntil([&] { return h.platform.finalizing.held.size() == 1; }));
         report();
         h.platform.finalizing.open();
         ASSERT_TRUE(h.runUntil([&] { return *done; }));
       },
       {textLine("heard"), kStopped}},
      {"a stop while the loss's stop finalises",
       [&](EngineHarness& h, auto& report) { stopHeldThenRun(h, report, false); },
       {lost, textLine("heard"), kStopped}},
      {"a start while the loss's stop finalises",
       [&](EngineHarness& h, auto& report) { stopHeldThenRun(h, report, true); },
       {lost, textLine("heard"), kStopped, kModelReady, kListening}},
      {"reported late, for the dictation before",
       [](EngineHarness& h, auto& report) {
         ASSERT_TRUE(h.run(h.engine.stop()));
         report();
         ASSERT_TRUE(h.run(h.engine.start()));
         report();
       },
       {textLine("heard"), kStopped, kModelReady, kListening}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineHarness h;
    h.platform.finalize.burst = {"heard"};
    ASSERT_TRUE(h.run(h.engine.start()));
    h.output.clear();
    const InputLossHandler onLoss = h.platform.tap()->onLoss;
    const Error reason("pulseaudio", 11, "the audio server has gone away");
    // As the capture thread reports it.
    c.act(h, [&] { std::thread([&] { onLoss(reason); }).join(); });
    h.platform.finalizing.open();
    h.loop.poll();

    EXPECT_EQ(h.output.lines(), c.expected);
    const bool dictating = c.expected.back() == kListening;
    EXPECT_EQ(I::holds(h.engine), dictating ? kDictating : "");
    EXPECT_EQ(h.platform.capturing, dictating) << "the lost capture is stopped";
  }
}

// The capture thread keeps delivering while the loop stops the dictation:
// every buffer the tap accepted reaches the analyzer before its input ends,
// once and in order, and the tap block races with no engine field.
TEST(DictationEngineTest, EveryBufferCapturedBeforeTheStopReachesTheAnalyzer) {
  EngineHarness h;
  h.platform.captureFormat = kAnalyzerFormat;  // passed through
  ASSERT_TRUE(h.run(h.engine.start()));
  auto analyzer = h.platform.lastAnalyzer.lock();
  std::atomic<int> deliveredCount{0};
  std::vector<std::shared_ptr<PcmBuffer>> delivered;  // capture thread until joined
  std::thread captureThread([&] {
    for (auto buffer = makeBuffer(kAnalyzerFormat, 160); h.platform.deliver(buffer);
         buffer = makeBuffer(kAnalyzerFormat, 160)) {
      delivered.push_back(buffer);
      ++deliveredCount;
    }
  });
  ASSERT_TRUE(h.runUntil([&] { return deliveredCount >= 50; }));
  ASSERT_TRUE(h.run(h.engine.stop()));
  captureThread.join();
  EXPECT_TRUE(analyzer->inputEndedAtFinalize);
  auto received = analyzer->takeInput();
  ASSERT_EQ(received.size(), delivered.size());
  for (size_t i = 0; i < delivered.size(); ++i) ASSERT_EQ(received[i].buffer, delivered[i]) << i;
}

// Results become text events unchanged and in order, empty ones skipped; a
// failing result stream is reported once and ends the text, not the
// dictation.
TEST(RecognizerTest, ResultsBecomeEventsUntilTheStreamFails) {
  EngineHarness h;
  ASSERT_TRUE(h.run(h.engine.start()));
  auto transcriber = h.platform.lastTranscriber.lock();
  h.output.clear();
  Lines expected;
  for (const auto& [text, isFinal] : std::vector<std::pair<std::string, bool>>{
           {"go", false}, {"go on", false}, {"go on", false}, {"", false}, {"go on now", true},
           {"", true}, {" ", false}}) {
    transcriber->post(text, isFinal);
    if (!text.empty()) expected.push_back(textLine(text, isFinal));
  }
  transcriber->postFailure(Error("speech", 12, "decoder lost"));
  transcriber->post("after", true);
  h.loop.poll();
  expected.push_back(errorLine("recognition stream error: decoder lost"));
  EXPECT_EQ(h.output.lines(), expected);
  EXPECT_EQ(I::holds(h.engine), kDictating) << "the dictation goes on until stopped";
}

// Everything the analyzer delivers before its finalisation returns is
// written before "stopped", nothing after it, even when results keep
// coming. The burst comes from another thread through the loop's queue, as
// a real analyzer delivers it; repeated so that the threads interleave
// differently.
TEST(RecognizerTest, NoTextIsLostOrWrittenAfterStopped) {
  const Lines burst = {"one", "two", "three", "four", "five", "six", "seven"};
  EngineHarness h;
  h.platform.finalize = FinalizeScript{burst, true, {"late one", "late two"}};
  Lines expected = {kModelReady, kListening, textLine("partial", false)};
  for (const auto& text : burst) expected.push_back(textLine(text));
  expected.push_back(kStopped);
  for (int rep = 0; rep < 200; ++rep) {
    SCOPED_TRACE(rep);
    h.output.clear();
    ASSERT_TRUE(h.run(h.engine.start()));
    h.platform.lastTranscriber.lock()->post("partial", false);  // queued when the stop begins
    ASSERT_TRUE(h.run(h.engine.stop()));
    h.platform.joinHelpers();  // every late result is posted now
    h.loop.poll();
    ASSERT_EQ(h.output.lines(), expected);
  }
}

// The tap block yields every captured buffer in the analyzer's format, also
// an empty one, and one already in it as itself; a buffer that fails to
// convert is reported and dropped; after the stream's end buffers go quietly.
TEST(TapBlockTest, YieldsEveryBufferInTheAnalyzerFormat) {
  CapturedOutput output;
  auto converters = std::make_shared<FakeConverters>();
  auto [stream, input] = AnalyzerInputStream::make();
  TapBlock block =
      makeMicrophoneTapBlock(std::make_shared<BufferConverter>(converters), kAnalyzerFormat, input);
  struct Case {
    AudioFormat format;
    uint32_t frames, produced;
    bool refused;
    std::optional<uint32_t> yielded;
  };
  const Case cases[] = {{kAnalyzerFormat, 1600, UINT32_MAX, false, 1600},
                        {kAnalyzerFormat, 0, UINT32_MAX, false, 0},
                        {kCaptureFormat, 4096, 0, true, {}},
                        {kCaptureFormat, 4096, UINT32_MAX, false, 1366},
                        {{44100, 1, SampleFormat::float32}, 4096, 0, false, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frames + c.produced);
    converters->refuse = c.refused;
    converters->script.frames = c.produced;
    auto buffer = makeBuffer(c.format, c.frames);
    block(buffer, AudioTime{123, 456});
    auto yielded = stream.tryNext();
    ASSERT_EQ(yielded.has_value(), c.yielded.has_value());
    EXPECT_FALSE(stream.tryNext());
    if (!yielded) continue;
    EXPECT_EQ(yielded->buffer->format(), kAnalyzerFormat);
    EXPECT_EQ(yielded->buffer->frameLength(), c.yielded);
    EXPECT_EQ(yielded->buffer == buffer, c.format == kAnalyzerFormat);
  }
  input.finish();
  block(makeBuffer(kAnalyzerFormat, 160), {});
  EXPECT_TRUE(stream.isAtEnd());
  EXPECT_EQ(output.lines(),
            Lines{"[dictate] buffer convert failed: The operation couldn't be completed. "
                  "(quillmarsh_dictate.BufferConverter.ConvertError error 1.)\n"});
}

}  // namespace
}  // namespace dictate
