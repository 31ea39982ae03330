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
// The recognizer task asks for the results before the analyzer starts.
const Lines kStartCalls = {
    "consent.requestAccess(audio)", "speech.makeTranscriber", "speech.makeAnalyzer",
    "assets.installationRequest", "assets.reservedLocales", "speech.bestAvailableAudioFormat",
    "transcriber.results", "analyzer.start", "audio.inputNode", "input.outputFormat(0)",
    "tap.install(0)", "audio.prepare", "audio.start"};
const Lines kStopCalls = {"audio.inputNode", "tap.remove(0)", "audio.stop", "analyzer.finalize"};

// A start, results, audio, a stop and the next start. Results become text
// events unchanged and in order, empty ones skipped, and a failing result
// stream is reported once and ends the text, not the dictation. The tap
// yields every captured buffer in the analyzer's format, also an empty one
// and one already in it (as itself), up to one delivered while the tap
// goes; a buffer that fails to convert is reported and dropped. Capture
// needs the analyzer's format and input stream. Everything the analyzer
// delivers before its finalisation returns is written before "stopped",
// nothing after it, even when results keep coming.
TEST(DictationEngineTest, StartResultsAudioStopAndStartAgain) {
  EngineHarness h;
  FakePlatform& p = h.platform;
  p.captureFormat = {44100, 1, SampleFormat::float32};
  EXPECT_THROW(I::startAudioCapture(h.engine), Error) << "no analyzer format yet";
  p.logged.clear();
  ASSERT_TRUE(h.run(h.engine.start()) && h.run(h.engine.start()));  // the second does nothing
  EXPECT_EQ(p.logged, kStartCalls);
  auto speech = p.last.lock();
  EXPECT_EQ(speech->config.locale.bcp47Identifier(), "en-US");
  EXPECT_EQ(speech->config.reportingOptions, std::set{ReportingOption::volatileResults});
  EXPECT_EQ(speech->config.attributeOptions, std::set{ResultAttributeOption::audioTimeRange});
  Lines expected = {kModelReady, kListening};
  for (const auto& [text, isFinal] : std::vector<std::pair<std::string, bool>>{
           {"go", false}, {"go on", false}, {"go on", false}, {"", false}, {"go on now", true},
           {"", true}, {" ", false}}) {
    speech->channel->push({text, isFinal});
    if (!text.empty()) expected.push_back(textLine(text, isFinal));
  }
  speech->channel->fail(std::make_exception_ptr(Error("speech", 12, "decoder lost")));
  speech->channel->push({"after", true});
  expected.push_back(errorLine("recognition stream error: decoder lost"));
  EXPECT_EQ(I::holds(h.engine), kDictating) << "the dictation goes on until stopped";

  EXPECT_EQ(std::pair(p.tap->size, p.tap->format), std::pair(kTapBufferSize, p.captureFormat));
  auto passing = makeBuffer(kAnalyzerFormat, 1600);
  for (auto buffer : {makeBuffer(p.captureFormat, 4096), makeBuffer(p.captureFormat, 0), passing,
                      makeBuffer(kCaptureFormat, 4096), makeBuffer(kCaptureFormat, 4096)}) {
    // The first converter from 48 kHz is refused.
    p.converters->refuse = p.converters->requests.size() == 1 && buffer->format() == kCaptureFormat;
    ASSERT_TRUE(p.deliver(buffer));
  }
  expected.push_back("[dictate] buffer convert failed: The operation couldn't be completed. "
                     "(quillmarsh_dictate.BufferConverter.ConvertError error 1.)\n");
  EXPECT_EQ(h.written, expected);
  p.lastBuffer = makeBuffer(p.captureFormat, 441);
  const TapBlock block = p.tap->block;

  p.logged.clear();
  h.written.clear();
  ASSERT_TRUE(h.run(h.engine.stop()));
  block(makeBuffer(kAnalyzerFormat, 160), {});  // after the stream's end: dropped quietly
  EXPECT_EQ(p.logged, kStopCalls);
  EXPECT_EQ(h.written, Lines{kStopped});
  EXPECT_EQ(I::holds(h.engine), kIdle);
  EXPECT_TRUE(speech->inputEndedAtFinalize) << "input stream finished before the finalisation";
  const auto inputs = speech->takeInput();
  ASSERT_EQ(inputs.size(), 5u);
  EXPECT_EQ(inputs[2].buffer, passing);
  std::vector<uint32_t> lengths;
  for (const AnalyzerInput& input : inputs) lengths.push_back(input.buffer->frameLength());
  EXPECT_TRUE(std::all_of(inputs.begin(), inputs.end(),
                          [](auto& input) { return input.buffer->format() == kAnalyzerFormat; }));
  EXPECT_EQ(lengths, (std::vector<uint32_t>{1487, 0, 1600, 1366, 160}));
  speech.reset();
  EXPECT_TRUE(p.last.expired()) << "the engine and its recognizer task let go of it";
  EXPECT_THROW(I::startAudioCapture(h.engine), Error) << "no input stream any more";

  p.logged.clear();
  h.written.clear();
  ASSERT_TRUE(h.run(h.engine.start()));
  EXPECT_EQ(p.logged, kStartCalls);
  p.burst = {"one", "two"};
  p.late = {"late"};
  h.loop.post([c = p.last.lock()->channel] { c->push({"partial", false}); });  // still queued
  ASSERT_TRUE(h.run(h.engine.stop()));
  h.loop.poll();
  EXPECT_EQ(h.written, (Lines{kModelReady, kListening, textLine("partial", false),
                              textLine("one"), textLine("two"), kStopped}));
}

// Every start ends listening or with its error and "stopped", every stop
// leaves nothing behind (a second finds nothing to stop), and after any
// failure the next start succeeds. The model is installed ("downloading"
// first) and reserved, matched by BCP 47 identifier, before anything else.
TEST(DictationEngineTest, StartOutcomes) {
  const std::string downloading = "{\"status\":\"downloading\",\"type\":\"model\"}\n";
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
  const Lines ok = {kModelReady, kListening, kStopped}, stopped = {};
  // The inventory's calls, the output, and the stop's calls.
  using Arrange = std::function<void(FakePlatform&)>;
  const std::vector<std::tuple<const char*, Arrange, Lines, Lines, Lines>> cases = {
      {"installed and reserved", [](FakePlatform&) {}, check, ok, kStopCalls},
      {"missing, nothing reserved", failing("none", true),
       {download[0], download[1], check[1], reserve[2]},
       {downloading, kModelReady, kListening, kStopped}, kStopCalls},
      {"another locale reserved", [](FakePlatform& p) { p.reserved = {Locale("fr-FR")}; },
       reserve, ok, kStopCalls},
      {"reserved, spelt otherwise",
       [](FakePlatform& p) { p.reserved = {Locale("de-DE"), Locale("EN_us")}; }, check, ok,
       kStopCalls},
      {"request fails", failing(check[0].c_str()), {check[0]}, {failed, kStopped}, stopped},
      {"download fails", failing(download[1].c_str(), true), download,
       {downloading, failed, kStopped}, stopped},
      {"reservation fails", failing("assets.reserve"), reserve, {failed, kStopped}, stopped},
      {"no format fits", [](FakePlatform& p) { p.bestFormat = std::nullopt; }, check,
       {kModelReady, errorLine("start failed: no compatible audio format"), kStopped}, stopped},
      {"analyzer start fails", failing("analyzer.start"), reserve,
       {kModelReady, failed, kStopped}, stopped},
      // The audio engine never ran: its tap goes all the same.
      {"capture start fails", failing("audio.start"), reserve,
       {kModelReady, failed, kStopped}, kStopCalls},
      {"finalisation fails", failing("analyzer.finalize"), reserve, ok, kStopCalls},
  };
  for (const auto& [name, arrange, assetCalls, output, stopCalls] : cases) {
    SCOPED_TRACE(name);
    EngineHarness h;
    arrange(h.platform);
    ASSERT_TRUE(h.run(h.engine.start()) && h.run(h.engine.stop()) && h.run(h.engine.stop()));
    EXPECT_EQ(h.written, output);
    EXPECT_EQ(I::holds(h.engine), kIdle);
    Lines calls = h.platform.logged, assets;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(assets),
                 [](const std::string& call) { return call.starts_with("assets."); });
    EXPECT_EQ(assets, assetCalls);
    // The stop's calls follow the start's last (also a failed start's own stop).
    auto startCall = [](const std::string& call) {
      return !std::count(kStopCalls.begin(), kStopCalls.end(), call);
    };
    EXPECT_EQ(Lines(std::find_if(calls.rbegin(), calls.rend(), startCall).base(), calls.end()),
              stopCalls);

    h.written.clear();
    h.platform.bestFormat = kAnalyzerFormat;
    h.platform.installed = true;
    ASSERT_TRUE(h.run(h.engine.start()));
    EXPECT_EQ(h.written, (Lines{kModelReady, kListening}));
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
      ASSERT_TRUE(h.loop.runUntil([&] { return h.platform.heldConsent != nullptr; }));
      h.loop.poll();
      EXPECT_EQ(h.platform.logged, Lines{"consent.requestAccess(audio)"}) << "waits";
      std::thread([&] { h.platform.answerConsent(granted); }).join();
      EXPECT_TRUE(h.written.empty()) << "the start goes on on the loop thread";
    }
    ASSERT_TRUE(h.loop.runUntil([&] { return *done; }) && h.run(h.engine.stop()));
    EXPECT_EQ(h.written, (granted ? Lines{kModelReady, kListening, kStopped}
                                  : Lines{"[dictate] microphone access not granted\n",
                                          errorLine("microphone or speech permission denied")}));
    EXPECT_EQ(h.platform.logged.size(), granted ? kStartCalls.size() + kStopCalls.size() : 1);
  }
}

// A loss ends its own running dictation once, with its error, the finals of
// the audio already captured and "stopped", whatever stop or start meets it;
// a loss reported for a capture that is over changes nothing.
TEST(DictationEngineTest, ALossStopsOnlyItsOwnRunningDictationOnce) {
  const std::string lost = errorLine("audio input lost: the audio server has gone away");
  using Report = std::function<void()>;
  // While a stop's finalisation is held (the loss's, or the command's when
  // the loss comes second), the loss is reported or the command given.
  auto whileHeld = [](bool lossFirst, bool start) {
    return [=](EngineHarness& h, const Report& report) {
      h.platform.holdFinalisation = true;
      if (lossFirst) report();
      auto first = lossFirst ? nullptr : h.launch(h.engine.stop());
      ASSERT_TRUE(h.loop.runUntil([&] { return h.platform.heldFinalisation.has_value(); }));
      auto second = lossFirst ? h.launch(start ? h.engine.start() : h.engine.stop()) : nullptr;
      if (!lossFirst) report();
      h.platform.releaseFinalisation();
      ASSERT_TRUE(h.loop.runUntil([&] { return *(first ? first : second); }));
    };
  };
  const std::vector<std::tuple<const char*, std::function<void(EngineHarness&, const Report&)>,
                               Lines>>
      cases = {
          {"reported twice", [](EngineHarness&, const Report& report) { report(); report(); },
           {lost, textLine("heard"), kStopped}},
          {"reported while a stop finalises", whileHeld(false, false),
           {textLine("heard"), kStopped}},
          {"a stop while the loss's stop finalises", whileHeld(true, false),
           {lost, textLine("heard"), kStopped}},
          {"a start while the loss's stop finalises", whileHeld(true, true),
           {lost, textLine("heard"), kStopped, kModelReady, kListening}},
          // The audio engine has marked capture lost, but neither the loss
          // nor the last block captured before it has been handed over when
          // the host stops: the tap goes and the engine stops all the same,
          // and that block reaches the analyzer before its input ends.
          {"a stop while the loss is on its way",
           [](EngineHarness& h, const Report& report) {
             h.platform.capturing = false;
             h.platform.lastBuffer = makeBuffer(h.platform.captureFormat, 4096);
             const auto speech = h.platform.last.lock();
             ASSERT_TRUE(h.run(h.engine.stop()));
             EXPECT_EQ(Lines(h.platform.logged.end() - 4, h.platform.logged.end()), kStopCalls);
             EXPECT_EQ(speech->received.size(), 1u) << "the last block captured is lost";
             report();
           },
           {textLine("heard"), kStopped}},
          {"reported late, for the dictation before",
           [](EngineHarness& h, const Report& report) {
             ASSERT_TRUE(h.run(h.engine.stop()));
             report();
             ASSERT_TRUE(h.run(h.engine.start()));
             report();
           },
           {textLine("heard"), kStopped, kModelReady, kListening}},
      };
  for (const auto& [name, act, expected] : cases) {
    SCOPED_TRACE(name);
    EngineHarness h;
    h.platform.burst = {"heard"};
    ASSERT_TRUE(h.run(h.engine.start()));
    h.written.clear();
    const InputLossHandler onLoss = h.platform.tap->onLoss;
    const Error reason("pulseaudio", 11, "the audio server has gone away");
    act(h, [&] { std::thread([&] { onLoss(reason); }).join(); });  // as the capture thread does
    h.loop.poll();
    EXPECT_EQ(h.written, expected);
    const bool dictating = expected.back() == kListening;
    EXPECT_EQ(I::holds(h.engine), dictating ? kDictating : kIdle);
    EXPECT_EQ(h.platform.capturing, dictating) << "the lost capture is stopped";
  }
}

}  // namespace
}  // namespace dictate
