// In-memory doubles of the platform services, and a harness that runs a
// DictationEngine on them and captures what it writes, for the engine, tap,
// buffer converter, output and process tests.
//
// FakePlatform is every service at once. It logs each call in order
// ("audio.start", "tap.install(0)", "assets.reserve(en-US)", ...), fails a
// step once with a planned Error (failAt), and holds consent and the
// analyzer's finalisation until the test lets them go. Nothing sleeps or
// runs on a thread of its own: the doubles are used on the loop's thread.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <thread>

#include "engine/dictation_engine.h"
#include "output/output.h"
#include "runtime/main_loop.h"

namespace dictate {

using Lines = std::vector<std::string>;

struct DictationEngineInspector {
  static void startAudioCapture(DictationEngine& e) { e.startAudioCapture(); }
  // Which parts of a dictation the engine holds: all while it dictates,
  // none after a stop.
  static std::vector<bool> holds(const DictationEngine& e) {
    return {e.running, e.analyzerStarted, !!e.transcriber, !!e.analyzer, !!e.inputBuilder,
            !!e.recognizerTask};
  }
};
inline const std::vector<bool> kDictating(6, true), kIdle(6, false);

inline const std::string kListening = "{\"type\":\"state\",\"value\":\"listening\"}\n";
inline const std::string kStopped = "{\"type\":\"state\",\"value\":\"stopped\"}\n";
inline const std::string kModelReady = "{\"status\":\"ready\",\"type\":\"model\"}\n";
inline std::string errorLine(const std::string& m) {
  return "{\"message\":\"" + m + "\",\"type\":\"error\"}\n";
}
inline std::string textLine(const std::string& text, bool isFinal = true) {
  return "{\"text\":\"" + text + "\",\"type\":\"" + (isFinal ? "final" : "volatile") + "\"}\n";
}
inline std::shared_ptr<PcmBuffer> makeBuffer(const AudioFormat& format, uint32_t frames) {
  auto buffer = PcmBuffer::make(format, frames);
  buffer->setFrameLength(frames);
  return buffer;
}

// Converters that ask their input block `asks` times per call and produce
// the resampled length of what they got, at most `frames`, with `status`
// and `error`, all read at each call. Each keeps the answers it got.
struct FakeConverter;
struct FakeConverters : AudioConverterFactory {
  std::unique_ptr<AudioConverter> make(const AudioFormat& from, const AudioFormat& to) override;
  std::vector<std::pair<AudioFormat, AudioFormat>> requests;
  bool refuse = false;
  int asks = 1;
  uint32_t frames = UINT32_MAX;
  ConverterOutputStatus status = ConverterOutputStatus::haveData;
  std::optional<Error> error;
  std::optional<AudioFormat> reportedInput;  // what converters say they take, when set
  FakeConverter* last = nullptr;             // the last one made, while its owner keeps it
};
using InputAnswer = std::pair<ConverterInputStatus, std::shared_ptr<PcmBuffer>>;
struct FakeConverter : AudioConverter {
  FakeConverter(FakeConverters& f, AudioFormat from, AudioFormat to) : f(f), from(from), to(to) {}
  void setPrimeMethod(ConverterPrimeMethod method) override { prime = method; }
  ConverterPrimeMethod primeMethod() const override { return prime; }
  const AudioFormat& inputFormat() const override { return from; }
  const AudioFormat& outputFormat() const override { return to; }
  ConverterOutputStatus convert(PcmBuffer& out, std::optional<Error>& error,
                                const ConverterInputBlock& input) override {
    double produced = 0;
    for (auto& [status, buffer] : calls.emplace_back(f.asks, InputAnswer{})) {
      status = ConverterInputStatus::endOfStream;  // for the block to overwrite
      buffer = input(out.frameCapacity(), status);
      if (buffer) produced += std::ceil(buffer->frameLength() * to.sampleRate / from.sampleRate);
    }
    out.setFrameLength(std::min<double>(produced, f.frames));
    error = f.error;
    return f.status;
  }
  FakeConverters& f;
  const AudioFormat from, to;
  ConverterPrimeMethod prime = ConverterPrimeMethod::normal;
  std::vector<std::vector<InputAnswer>> calls;
};
inline std::unique_ptr<AudioConverter> FakeConverters::make(const AudioFormat& from,
                                                           const AudioFormat& to) {
  requests.emplace_back(from, to);
  if (refuse) return nullptr;
  auto made = std::make_unique<FakeConverter>(*this, reportedInput.value_or(from), to);
  last = made.get();
  return made;
}

// The call log and planned failures that all doubles share, and how
// analyzers finish: unless `holdFinalisation`, they post the `burst` of
// final results and the channel's end to the loop, return after them, then
// post the `late` results (with which the channel stays open).
struct FakeServices {
  // Makes the next call of `step` throw `error`.
  void failAt(const std::string& step, Error error) { failures.insert_or_assign(step, error); }
  void call(const std::string& step, const std::string& detail = "") {
    logged.push_back(step + detail);
    if (auto planned = failures.extract(step)) throw planned.mapped();
  }
  // Lets the finalisation held, if any, and later ones go on.
  void releaseFinalisation() {
    holdFinalisation = false;
    if (auto held = std::exchange(heldFinalisation, std::nullopt)) (*held)(true);
  }

  const Executor loop = MainLoop::current().executor();
  Lines burst, late;
  bool holdFinalisation = false;
  std::optional<CompletionHandler<bool>> heldFinalisation;
  Lines logged;
  std::map<std::string, Error> failures;
};

// A transcriber and, once the engine has asked for an analyzer running it,
// that analyzer too.
struct FakeSpeech : SpeechTranscriber, SpeechAnalyzer {
  FakeSpeech(FakeServices& s, TranscriberConfiguration c) : services(s), config(std::move(c)) {}
  const TranscriberConfiguration& configuration() const override { return config; }
  std::shared_ptr<ResultChannel> results() override {
    services.call("transcriber.results");
    return channel;
  }
  Task<void> start(AnalyzerInputStream::Sequence in) override {
    co_await YieldToLoop{};  // starting takes a turn of the loop, as on a real platform
    services.call("analyzer.start");
    input.emplace(std::move(in));
  }
  Task<void> finalizeAndFinishThroughEndOfInput() override {
    services.call("analyzer.finalize");  // a failing one leaves the channel alone
    if (services.holdFinalisation) {
      co_await Completion<bool>(
          [this](CompletionHandler<bool> h) { services.heldFinalisation.emplace(h); });
    }
    received = takeInput();
    inputEndedAtFinalize = input && input->isAtEnd();
    auto post = [&](const Lines& texts) {
      for (const auto& t : texts) services.loop.post([c = channel, t] { c->push({t, true}); });
    };
    post(services.burst);
    if (services.late.empty()) services.loop.post([c = channel] { c->finish(); });
    co_await YieldToLoop{};  // returns after the burst, as a real analyzer's thread delivers it
    post(services.late);
  }
  // Everything yielded into the input stream so far.
  std::vector<AnalyzerInput> takeInput() {
    while (auto value = input ? input->tryNext() : std::nullopt) received.push_back(*value);
    return std::exchange(received, {});
  }
  FakeServices& services;
  const TranscriberConfiguration config;
  const std::shared_ptr<ResultChannel> channel = std::make_shared<ResultChannel>();
  std::optional<AnalyzerInputStream::Sequence> input;
  std::vector<AnalyzerInput> received;
  bool inputEndedAtFinalize = false;
};

struct FakePlatform : FakeServices, Platform, ConsentService, AudioEngine, AudioInputNode,
                      SpeechService, AssetInventory {
  std::unique_ptr<AudioEngine> makeAudioEngine() override {
    // The engine owns a handle on this double, which the test keeps reaching.
    struct Handle : AudioEngine {
      explicit Handle(AudioEngine& e) : e(e) {}
      AudioInputNode& inputNode() override { return e.inputNode(); }
      void prepare() override { e.prepare(); }
      void start() override { e.start(); }
      bool isRunning() override { return e.isRunning(); }
      void stop() override { e.stop(); }
      AudioEngine& e;
    };
    return std::make_unique<Handle>(*this);
  }
  std::shared_ptr<AudioConverterFactory> audioConverters() override { return converters; }
  SpeechService& speech() override { return *this; }
  AssetInventory& assetInventory() override { return *this; }
  ConsentService& consent() override { return *this; }

  // A held request waits for answerConsent, which the test calls on the
  // loop thread or on one other thread while the loop waits.
  void requestAccess(MediaType, std::function<void(bool)> done) override {
    call("consent.requestAccess(audio)");
    holdConsent ? void(heldConsent = done) : done(granted);
  }
  void answerConsent(bool answer) {
    if (heldConsent) std::exchange(heldConsent, {})(answer);
  }

  AudioInputNode& inputNode() override { call("audio.inputNode"); return *this; }
  void prepare() override { call("audio.prepare"); }
  void start() override { call("audio.start"); capturing = true; }
  bool isRunning() override { call("audio.isRunning"); return capturing; }
  void stop() override { call("audio.stop"); capturing = false; }
  AudioFormat outputFormat(int bus) override {
    call("input.outputFormat(" + std::to_string(bus) + ")");
    return captureFormat;
  }
  struct Tap { uint32_t size; AudioFormat format; TapBlock block; InputLossHandler onLoss; };
  void installTap(int bus, uint32_t size, const AudioFormat& format, TapBlock block,
                  InputLossHandler onLoss) override {
    call("tap.install(" + std::to_string(bus) + ")");
    tap = Tap{size, format, std::move(block), std::move(onLoss)};
  }
  // The tap gets `lastBuffer`, when set, as a capture thread may deliver
  // one while the tap is being removed.
  void removeTap(int bus) override {
    call("tap.remove(" + std::to_string(bus) + ")");
    if (lastBuffer) deliver(std::exchange(lastBuffer, {}));
    tap.reset();
  }
  // Calls the tap as the capture thread does; false when there is none.
  bool deliver(const std::shared_ptr<PcmBuffer>& buffer) {
    if (tap) tap->block(buffer, AudioTime{});
    return tap.has_value();
  }

  std::shared_ptr<SpeechTranscriber> makeTranscriber(const TranscriberConfiguration& c) override {
    call("speech.makeTranscriber");
    auto transcriber = std::make_shared<FakeSpeech>(*this, c);
    return (last = transcriber).lock();
  }
  // Both take only the last transcriber: another module list is a fault.
  std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const SpeechModules& modules) override {
    call("speech.makeAnalyzer");
    return modules == SpeechModules{last.lock()} ? last.lock() : nullptr;
  }
  Task<std::optional<AudioFormat>> bestAvailableAudioFormat(const SpeechModules& m) override {
    call("speech.bestAvailableAudioFormat");
    co_return m == SpeechModules{last.lock()} ? bestFormat : std::nullopt;
  }

  Task<std::unique_ptr<AssetInstallationRequest>> assetInstallationRequest(
      const SpeechModules&) override {
    struct Download : AssetInstallationRequest {
      explicit Download(FakePlatform& p) : p(p) {}
      Task<void> downloadAndInstall() override {
        p.call("assets.downloadAndInstall");
        p.installed = true;
        co_return;
      }
      FakePlatform& p;
    };
    call("assets.installationRequest");
    co_return installed ? nullptr : std::make_unique<Download>(*this);
  }
  Task<std::vector<Locale>> reservedLocales() override {
    call("assets.reservedLocales");
    co_return reserved;
  }
  Task<bool> reserve(const Locale& locale) override {
    call("assets.reserve", "(" + locale.identifier() + ")");
    reserved.push_back(locale);
    co_return true;
  }

  bool holdConsent = false, granted = true;
  std::function<void(bool)> heldConsent;
  bool capturing = false;
  AudioFormat captureFormat{48000, 2, SampleFormat::float32};
  std::optional<Tap> tap;
  std::shared_ptr<PcmBuffer> lastBuffer;
  const std::shared_ptr<FakeConverters> converters = std::make_shared<FakeConverters>();
  std::optional<AudioFormat> bestFormat = AudioFormat{16000, 1, SampleFormat::int16};
  bool installed = true;
  std::vector<Locale> reserved{Locale("en-US")};
  std::weak_ptr<FakeSpeech> last;  // the last transcriber made, while something holds it
};

// A DictationEngine on a FakePlatform, capturing what it writes; the test's
// thread is the loop's.
struct EngineHarness : OutputSink {
  EngineHarness() : previous(setOutputSink(this)) {}
  // Lets go what a test left waiting and stops the engine, so that no
  // coroutine outlives the test.
  ~EngineHarness() override {
    platform.answerConsent(false);
    platform.releaseFinalisation();
    run(engine.stop());
    loop.poll();
    setOutputSink(previous);
  }
  void writeStdout(std::string_view line) override { written.emplace_back(line); }
  void writeStderr(std::string_view line) override { written.emplace_back(line); }
  // Starts `task` on the loop; the flag is set when it has finished.
  std::shared_ptr<bool> launch(Task<void> task) {
    auto done = std::make_shared<bool>(false);
    spawn([](Task<void> task, std::shared_ptr<bool> done) -> Task<void> {
      co_await std::move(task);
      *done = true;
    }(std::move(task), done), [](auto e) { ADD_FAILURE() << describeError(e); });
    return done;
  }
  bool run(Task<void> task) {
    return loop.runUntil([done = launch(std::move(task))] { return *done; });
  }

  OutputSink* previous;
  Lines written;  // every event and diagnostic line, in order
  MainLoop loop;
  FakePlatform platform;
  DictationEngine engine{platform};
};

}  // namespace dictate
