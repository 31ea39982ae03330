// In-memory doubles of the platform services, the captured output and a
// harness that runs a DictationEngine on them, for the engine, tap, buffer
// converter, output and process tests.
//
// FakePlatform is every service at once. It logs each call in order
// ("audio.start", "tap.install(0)", "assets.reserve(en-US)", ...) with the
// thread that made it, fails a step once with a planned Error (failAt), and
// holds consent, the model download and the analyzer's finalisation until
// the test lets them go. Nothing sleeps: what a double finishes on one of
// its helper threads reaches the test's MainLoop through its queue.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <mutex>
#include <thread>

#include "engine/dictation_engine.h"
#include "output/output.h"
#include "runtime/main_loop.h"

namespace dictate {

using Lines = std::vector<std::string>;

struct DictationEngineInspector {
  static void startAudioCapture(DictationEngine& e) { e.startAudioCapture(); }
  // The parts of a dictation that the engine holds: all of them while it
  // dictates, none after a stop.
  static std::string holds(const DictationEngine& e) {
    std::string out;
    for (auto [has, name] : {std::pair{e.running, "running "}, {e.analyzerStarted, "started "},
                             {!!e.transcriber, "transcriber "}, {!!e.analyzer, "analyzer "},
                             {e.inputBuilder.has_value(), "input "}, {!!e.recognizerTask, "task"}})
      if (has) out += name;
    return out;
  }
};
inline const std::string kDictating = "running started transcriber analyzer input task";

inline const std::string kListening = "{\"type\":\"state\",\"value\":\"listening\"}\n";
inline const std::string kStopped = "{\"type\":\"state\",\"value\":\"stopped\"}\n";
inline const std::string kModelReady = "{\"status\":\"ready\",\"type\":\"model\"}\n";
inline const std::string kModelDownloading = "{\"status\":\"downloading\",\"type\":\"model\"}\n";
inline std::string errorLine(const std::string& message) {
  return "{\"message\":\"" + message + "\",\"type\":\"error\"}\n";
}
inline std::string textLine(const std::string& text, bool isFinal = true) {
  return "{\"text\":\"" + text + "\",\"type\":\"" + (isFinal ? "final" : "volatile") + "\"}\n";
}
inline std::shared_ptr<PcmBuffer> makeBuffer(const AudioFormat& format, uint32_t frames) {
  auto buffer = PcmBuffer::make(format, frames);
  buffer->setFrameLength(frames);
  return buffer;
}

// Every event and diagnostic line, in the order written, from any thread.
class CapturedOutput : public OutputSink {
 public:
  CapturedOutput() : previous_(setOutputSink(this)) {}
  ~CapturedOutput() override { setOutputSink(previous_); }
  void writeStdout(std::string_view line) override { writeStderr(line); }
  void writeStderr(std::string_view line) override {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
  }
  Lines lines() const { std::lock_guard lock(mutex_); return lines_; }
  void clear() { std::lock_guard lock(mutex_); lines_.clear(); }

 private:
  OutputSink* previous_;
  mutable std::mutex mutex_;
  Lines lines_;
};

// A converter that asks its input block `requests` times (all at once from
// as many threads when `concurrent`) and produces the resampled length of
// what it got, at most `frames`; it keeps every call's answers.
struct ConverterScript {
  int requests = 1;
  bool concurrent = false;
  uint32_t frames = UINT32_MAX;
  ConverterOutputStatus status = ConverterOutputStatus::haveData;
  std::optional<Error> error;
};
struct InputAnswer {
  ConverterInputStatus status = ConverterInputStatus::endOfStream;  // the block must overwrite it
  std::shared_ptr<PcmBuffer> buffer;
};
struct FakeConverter : AudioConverter {
  FakeConverter(AudioFormat from, AudioFormat to, ConverterScript s) : from(from), to(to), script(s) {}
  void setPrimeMethod(ConverterPrimeMethod method) override { prime = method; }
  ConverterPrimeMethod primeMethod() const override { return prime; }
  const AudioFormat& inputFormat() const override { return from; }
  const AudioFormat& outputFormat() const override { return to; }
  ConverterOutputStatus convert(PcmBuffer& out, std::optional<Error>& error,
                                const ConverterInputBlock& input) override {
    std::vector<InputAnswer> answers(script.requests);
    std::vector<std::thread> threads;
    for (InputAnswer& a : answers) {
      auto ask = [&, packets = out.frameCapacity()] { a.buffer = input(packets, a.status); };
      script.concurrent ? (void)threads.emplace_back(ask) : ask();
    }
    for (auto& thread : threads) thread.join();
    double produced = 0;
    for (InputAnswer& a : answers) {
      if (a.buffer) produced += std::ceil(a.buffer->frameLength() * to.sampleRate / from.sampleRate);
    }
    out.setFrameLength(std::min<double>(produced, script.frames));
    calls.push_back(std::move(answers));
    error = script.error;
    return script.status;
  }
  const AudioFormat from, to;
  ConverterScript script;
  ConverterPrimeMethod prime = ConverterPrimeMethod::normal;
  std::vector<std::vector<InputAnswer>> calls;
};

struct FakeConverters : AudioConverterFactory {
  std::unique_ptr<AudioConverter> make(const AudioFormat& from, const AudioFormat& to) override {
    requests.emplace_back(from, to);
    if (refuse) return nullptr;
    return std::make_unique<FakeConverter>(reportedInput.value_or(from), to, script);
  }
  std::vector<std::pair<AudioFormat, AudioFormat>> requests;
  std::atomic<bool> refuse = false;
  ConverterScript script;
  std::optional<AudioFormat> reportedInput;  // what converters say they take, when set
};

// Holds callers until opened. Loop thread.
struct Gate {
  void open() {
    closed = false;
    for (auto& handler : std::exchange(held, {})) handler(true);
  }
  Task<void> pass() {
    if (closed) co_await Completion<bool>([this](CompletionHandler<bool> h) { held.push_back(h); });
  }
  bool closed = false;
  std::vector<CompletionHandler<bool>> held;
};

// How analyzers finish: `burst` final results delivered before the
// finalisation returns, pushed on the loop or, `fromAnotherThread`, posted
// from a helper thread; that thread posts `late` after it has returned and
// then leaves the result channel open.
struct FinalizeScript {
  Lines burst;
  bool fromAnotherThread = false;
  Lines late;
};

// The call log, planned failures and helper threads that all doubles share.
class FakeServices {
 public:
  ~FakeServices() { joinHelpers(); }
  // Makes the next call of `step` throw `error`.
  void failAt(const std::string& step, Error error) {
    std::lock_guard lock(mutex_);
    failures_.insert_or_assign(step, std::move(error));
  }
  void call(const std::string& step, const std::string& detail = "") {
    log(step + detail);
    check(step);
  }
  void log(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.emplace_back(std::move(call), std::this_thread::get_id());
  }
  void check(const std::string& step) {
    std::lock_guard lock(mutex_);
    if (auto planned = failures_.extract(step)) throw planned.mapped();
  }
  // The calls logged so far; with `offThread`, only those made elsewhere.
  Lines calls(std::optional<std::thread::id> offThread = {}) const {
    std::lock_guard lock(mutex_);
    Lines out;
    for (const auto& [call, thread] : calls_) {
      if (thread != offThread) out.push_back(call);
    }
    return out;
  }
  void clearCalls() { std::lock_guard lock(mutex_); calls_.clear(); }
  void helper(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    helpers_.emplace_back(std::move(work));
  }
  void joinHelpers() {
    std::unique_lock lock(mutex_);
    auto helpers = std::exchange(helpers_, {});
    lock.unlock();
    for (auto& thread : helpers) thread.join();
  }

  const Executor loop = MainLoop::current().executor();
  FinalizeScript finalize;
  Gate finalizing, download;

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, std::thread::id>> calls_;
  std::map<std::string, Error> failures_;
  std::vector<std::thread> helpers_;
};

struct FakeTranscriber : SpeechTranscriber {
  FakeTranscriber(FakeServices& s, TranscriberConfiguration c) : services(s), config(std::move(c)) {}
  const TranscriberConfiguration& configuration() const override { return config; }
  std::shared_ptr<ResultChannel> results() override {
    services.log("transcriber.results");
    return channel;
  }
  // Any thread: the result reaches the channel through the loop's queue.
  void post(std::string text, bool isFinal) {
    services.loop.post([c = channel, text, isFinal] { c->push({text, isFinal}); });
  }
  void postFailure(Error e) {
    services.loop.post([c = channel, e] { c->fail(std::make_exception_ptr(e)); });
  }
  FakeServices& services;
  const TranscriberConfiguration config;
  const std::shared_ptr<ResultChannel> channel = std::make_shared<ResultChannel>();
};

struct FakeAnalyzer : SpeechAnalyzer {
  FakeAnalyzer(FakeServices& s, SpeechModules m) : services(s), modules(std::move(m)) {}
  Task<void> start(AnalyzerInputStream::Sequence in) override {
    services.log("analyzer.start");
    co_await YieldToLoop{};  // starting takes a turn of the loop, as on a real platform
    services.check("analyzer.start");
    input.emplace(std::move(in));
  }
  Task<void> finalizeAndFinishThroughEndOfInput() override {
    services.call("analyzer.finalize");  // a failing one leaves the channel alone
    co_await services.finalizing.pass();
    received = takeInput();
    inputEndedAtFinalize = input && input->isAtEnd();
    auto channel = std::dynamic_pointer_cast<FakeTranscriber>(modules.at(0))->channel;
    const FinalizeScript script = services.finalize;
    if (!script.fromAnotherThread) {
      for (const auto& text : script.burst) channel->push({text, true});
      if (script.late.empty()) channel->finish();
      co_return;
    }
    auto starter = [&](CompletionHandler<bool> done) {
      services.helper([loop = services.loop, channel, script, done] {
        for (const auto& text : script.burst) loop.post([=] { channel->push({text, true}); });
        if (script.late.empty()) loop.post([=] { channel->finish(); });
        done(true);  // the finalisation returns after the burst
        for (const auto& text : script.late) loop.post([=] { channel->push({text, true}); });
      });
    };
    co_await Completion<bool>(std::move(starter));
  }
  // Everything yielded into the input stream so far.
  std::vector<AnalyzerInput> takeInput() {
    while (auto value = input ? input->tryNext() : std::nullopt) received.push_back(*value);
    return std::exchange(received, {});
  }
  FakeServices& services;
  const SpeechModules modules;
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

  // Held requests wait for answerConsent, which the test calls on the loop
  // thread or on one other thread while the loop waits.
  void requestAccess(MediaType, std::function<void(bool)> done) override {
    log("consent.requestAccess(audio)");
    holdConsent ? heldConsent.push_back(done) : done(granted);
  }
  bool answerConsent(bool answer) {
    if (heldConsent.empty()) return false;
    auto done = heldConsent.front();
    heldConsent.erase(heldConsent.begin());
    done(answer);
    return true;
  }

  AudioInputNode& inputNode() override { log("audio.inputNode"); return *this; }
  void prepare() override { call("audio.prepare"); }
  void start() override { call("audio.start"); capturing = true; }
  bool isRunning() override { log("audio.isRunning"); return capturing; }
  void stop() override { log("audio.stop"); capturing = false; }
  AudioFormat outputFormat(int bus) override {
    log("input.outputFormat(" + std::to_string(bus) + ")");
    return captureFormat;
  }
  struct Tap {
    uint32_t size;
    AudioFormat format;
    TapBlock block;
    InputLossHandler onLoss;
  };
  void installTap(int bus, uint32_t size, const AudioFormat& format, TapBlock block,
                  InputLossHandler onLoss) override {
    log("tap.install(" + std::to_string(bus) + ")");
    std::lock_guard lock(tapMutex_);
    tap_ = Tap{size, format, std::move(block), std::move(onLoss)};
  }
  void removeTap(int bus) override {
    log("tap.remove(" + std::to_string(bus) + ")");
    std::lock_guard lock(tapMutex_);
    tap_.reset();
  }
  // Calls the tap as the capture thread does, so that removeTap waits for
  // it; false when there is none.
  bool deliver(const std::shared_ptr<PcmBuffer>& buffer) {
    std::lock_guard lock(tapMutex_);
    if (tap_) tap_->block(buffer, AudioTime{});
    return tap_.has_value();
  }
  std::optional<Tap> tap() const { std::lock_guard lock(tapMutex_); return tap_; }

  std::shared_ptr<SpeechTranscriber> makeTranscriber(const TranscriberConfiguration& c) override {
    log("speech.makeTranscriber");
    auto transcriber = std::make_shared<FakeTranscriber>(*this, c);
    lastTranscriber = transcriber;
    ++transcribersMade;
    return transcriber;
  }
  std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const SpeechModules& modules) override {
    log("speech.makeAnalyzer");
    auto analyzer = std::make_shared<FakeAnalyzer>(*this, modules);
    lastAnalyzer = analyzer;
    return analyzer;
  }
  Task<std::optional<AudioFormat>> bestAvailableAudioFormat(const SpeechModules& m) override {
    log("speech.bestAvailableAudioFormat");
    formatQuery.clear();
    for (const auto& module : m) formatQuery.push_back(module.get());
    co_return bestFormat;
  }

  Task<std::unique_ptr<AssetInstallationRequest>> assetInstallationRequest(
      const SpeechModules&) override {
    struct Download : AssetInstallationRequest {
      explicit Download(FakePlatform& p) : p(p) {}
      Task<void> downloadAndInstall() override {
        p.log("assets.downloadAndInstall");
        co_await p.download.pass();
        p.check("assets.downloadAndInstall");
        p.installed = true;
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
  std::vector<std::function<void(bool)>> heldConsent;
  std::atomic<bool> capturing = false;
  AudioFormat captureFormat{48000, 2, SampleFormat::float32};
  const std::shared_ptr<FakeConverters> converters = std::make_shared<FakeConverters>();
  std::optional<AudioFormat> bestFormat = AudioFormat{16000, 1, SampleFormat::int16};
  std::vector<const void*> formatQuery;  // the modules of the last format query
  bool installed = true;
  std::vector<Locale> reserved{Locale("en-US")};
  std::weak_ptr<FakeTranscriber> lastTranscriber;
  std::weak_ptr<FakeAnalyzer> lastAnalyzer;
  int transcribersMade = 0;

 private:
  mutable std::mutex tapMutex_;
  std::optional<Tap> tap_;
};

// A DictationEngine on a FakePlatform; the test's thread is the loop thread.
struct EngineHarness {
  // Stops the engine, so that no coroutine outlives the test.
  ~EngineHarness() {
    release();
    run(engine.stop());
    platform.joinHelpers();
    loop.poll();
  }
  // Answers and opens whatever a test left waiting.
  void release() {
    while (platform.answerConsent(false)) {
    }
    platform.download.open();
    platform.finalizing.open();
  }
  // Starts `task` on the loop; the flag is set when it has finished.
  std::shared_ptr<bool> launch(Task<void> task) {
    auto done = std::make_shared<bool>(false);
    spawn(mark(std::move(task), done), [](auto e) { ADD_FAILURE() << describeError(e); });
    return done;
  }
  static Task<void> mark(Task<void> task, std::shared_ptr<bool> done) {
    co_await std::move(task);
    *done = true;
  }
  bool run(Task<void> task) { return runUntil([done = launch(std::move(task))] { return *done; }); }
  bool runUntil(const std::function<bool()>& done) { return loop.runUntil(done); }

  MainLoop loop;
  CapturedOutput output;
  FakePlatform platform;
  DictationEngine engine{platform};
};

}  // namespace dictate
