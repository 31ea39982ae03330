// In-memory doubles of every platform service, bundled as FakePlatform.
//
// Each double records the calls made to it, in order, into one CallLog that
// all of them share ("consent.requestAccess(audio)", "audio.isRunning",
// "tap.remove(0)", "analyzer.finalize", ...), and can be told to fail at
// any step with a given Error (failAt). Nothing sleeps: work that a double
// finishes later or on another thread reaches the test's MainLoop through
// its Executor, and the test steps the loop (poll, runUntil).
//
// A FakePlatform is made on the loop thread while its MainLoop exists, and
// is destroyed on that thread; its destructor joins the helper threads that
// its doubles started. The input node and the call log may be used from any
// thread; everything else belongs to the loop thread.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/platform.h"
#include "runtime/main_loop.h"
#include "runtime/task.h"

namespace dictate {

// The calls made to the doubles, in order, with the thread that made each.
// Any thread.
class CallLog {
 public:
  void record(std::string call);
  std::vector<std::string> calls() const;
  // The calls not made on `thread`.
  std::vector<std::string> callsOffThread(std::thread::id thread) const;
  size_t count(const std::string& call) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, std::thread::id>> calls_;  // guarded by mutex_
};

// Shared by all doubles of one FakePlatform.
class FakeServices {
 public:
  FakeServices();
  ~FakeServices();

  // Records "step" or "step(detail)" and throws the error planned for
  // `step`, if any.
  void call(const std::string& step, const std::string& detail = "");
  void record(const std::string& step, const std::string& detail = "");
  // The error planned for `step`, counted as used; std::nullopt if none.
  std::optional<Error> takePlannedFailure(const std::string& step);

  // Makes `step` fail with `error` the next `times` times it is called
  // (every time when `times` is negative). Loop thread.
  void failAt(const std::string& step, Error error, int times = -1);
  void succeedAt(const std::string& step);

  // Runs `work` on a new thread, joined by joinHelpers() or destruction.
  void runOnHelperThread(std::function<void()> work);
  void joinHelpers();

  CallLog log;
  const Executor loop;

 private:
  struct Plan {
    Error error;
    int remaining;
  };
  std::mutex mutex_;
  std::map<std::string, Plan> failures_;  // guarded by mutex_
  std::vector<std::thread> helpers_;      // guarded by mutex_
};

// Holds callers until the test opens it. Loop thread.
class Gate {
 public:
  void close() { closed_ = true; }
  // Lets every held caller and every later one through.
  void open();
  bool isClosed() const { return closed_; }
  size_t heldCount() const { return held_.size(); }
  Task<void> pass();

 private:
  bool closed_ = false;
  std::vector<CompletionHandler<bool>> held_;
};

enum class ConsentAnswer { immediately, onAnotherThread, whenTestAnswers };

class FakeConsent : public ConsentService {
 public:
  explicit FakeConsent(FakeServices& services) : services_(services) {}
  void requestAccess(MediaType media, std::function<void(bool)> completionHandler) override;

  // Answers the oldest held request, on the calling thread.
  void answer(bool granted);
  size_t pendingCount() const;

  ConsentAnswer how = ConsentAnswer::immediately;
  bool granted = true;
  // The thread that called the last handler. Loop thread, after the answer
  // has been handed over.
  std::thread::id answeredOn() const;

 private:
  FakeServices& services_;
  mutable std::mutex mutex_;
  std::vector<std::function<void(bool)>> pending_;  // guarded by mutex_
  std::thread::id answeredOn_;                      // guarded by mutex_
};

// The input node: taps per bus. Any thread.
class FakeInputNode : public AudioInputNode {
 public:
  explicit FakeInputNode(FakeServices& services) : services_(services) {}
  AudioFormat outputFormat(int bus) override;
  void installTap(int bus, uint32_t bufferSize, const AudioFormat& format, TapBlock block,
                  InputLossHandler onLoss) override;
  void removeTap(int bus) override;

  // Calls the block on `bus` as the capture thread would; false when the
  // bus has no tap. Waits for removeTap like a real capture thread.
  bool deliver(const std::shared_ptr<PcmBuffer>& buffer, int bus = 0);
  size_t tapCount() const;
  uint32_t tapBufferSize(int bus = 0) const;
  AudioFormat tapFormat(int bus = 0) const;
  // Each installTap makes a new generation; 0 when the bus has no tap.
  int tapGeneration(int bus = 0) const;
  // A copy of the loss handler of the tap on `bus`; empty when none.
  InputLossHandler lossHandler(int bus = 0) const;

  void setCaptureFormat(const AudioFormat& format);

 private:
  struct Tap {
    uint32_t bufferSize;
    AudioFormat format;
    TapBlock block;
    InputLossHandler onLoss;
    int generation;
  };
  FakeServices& services_;
  mutable std::mutex mutex_;
  std::map<int, Tap> taps_;                                     // guarded by mutex_
  int generations_ = 0;                                         // guarded by mutex_
  AudioFormat captureFormat_{48000, 2, SampleFormat::float32};  // guarded by mutex_
  uint64_t sampleTime_ = 0;                                     // guarded by mutex_
};

class FakeAudioEngine : public AudioEngine {
 public:
  explicit FakeAudioEngine(FakeServices& services) : services_(services), node(services) {}
  AudioInputNode& inputNode() override;
  void prepare() override;
  void start() override;
  bool isRunning() override;
  void stop() override;

  // Capture ends by itself (a device gone, say), without a stop() call.
  void haltOnItsOwn() { running_ = false; }
  // Capture is lost: it ends, and the tap on bus 0 is told `reason` on the
  // calling thread, as a capture thread would tell it.
  void loseInput(const Error& reason);
  bool running() const { return running_; }

 private:
  FakeServices& services_;
  std::atomic<bool> running_{false};  // loop thread; read by tests on any thread

 public:
  FakeInputNode node;
};

// Converters that resample by frame count only (the samples are zeros).
// Used on the capture thread.
class FakeConverterFactory : public AudioConverterFactory {
 public:
  explicit FakeConverterFactory(FakeServices& services) : services_(services) {}
  // nullptr when "converter.make" is planned to fail.
  std::unique_ptr<AudioConverter> make(const AudioFormat& from, const AudioFormat& to) override;
  // Converters made from now on produce no frames. Set by the test, read
  // on the capture thread.
  std::atomic<bool> produceNothing{false};

 private:
  FakeServices& services_;
};

class FakeTranscriber : public SpeechTranscriber {
 public:
  FakeTranscriber(FakeServices& services, TranscriberConfiguration config);
  const TranscriberConfiguration& configuration() const override { return config_; }
  std::shared_ptr<ResultChannel> results() override;

  // Any thread: the result (or the failure) reaches the channel through
  // the loop's queue.
  void postResult(std::string text, bool isFinal);
  void postFailure(Error error);
  // Loop thread.
  const std::shared_ptr<ResultChannel>& channel() const { return channel_; }

 private:
  FakeServices& services_;
  const TranscriberConfiguration config_;
  const std::shared_ptr<ResultChannel> channel_ = std::make_shared<ResultChannel>();
};

// How analyzers finish; read at each finalisation. Loop thread.
struct FinalizeScript {
  // Final results delivered during the finalisation, before it returns.
  std::vector<std::string> burst;
  // Deliver the burst from a helper thread through the loop's queue
  // (otherwise pushed on the loop before returning).
  bool fromAnotherThread = false;
  // Results posted from the helper thread after the finalisation has
  // returned; the result channel is then left open.
  std::vector<std::string> late;
};

class FakeAnalyzer : public SpeechAnalyzer {
 public:
  FakeAnalyzer(FakeServices& services, const FinalizeScript& script, Gate& finalizing,
               SpeechModules modules);
  Task<void> start(AnalyzerInputStream::Sequence input) override;
  Task<void> finalizeAndFinishThroughEndOfInput() override;

  const SpeechModules& modules() const { return modules_; }
  // Everything yielded into the input stream so far, in order. Loop thread.
  std::vector<AnalyzerInput> takeInput();
  // Whether the input stream had ended when the finalisation began.
  bool inputEndedAtFinalize() const { return inputEndedAtFinalize_; }

 private:
  std::shared_ptr<ResultChannel> resultChannel() const;

  FakeServices& services_;
  const FinalizeScript& script_;
  Gate& finalizing_;
  const SpeechModules modules_;
  std::optional<AnalyzerInputStream::Sequence> input_;
  std::vector<AnalyzerInput> received_;
  bool inputEndedAtFinalize_ = false;
};

// A buffer of `frames` zero frames in `format`.
std::shared_ptr<PcmBuffer> makeTestBuffer(const AudioFormat& format, uint32_t frames);

class FakeSpeech : public SpeechService {
 public:
  explicit FakeSpeech(FakeServices& services) : services_(services) {}
  std::shared_ptr<SpeechTranscriber> makeTranscriber(
      const TranscriberConfiguration& config) override;
  std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const SpeechModules& modules) override;
  Task<std::optional<AudioFormat>> bestAvailableAudioFormat(const SpeechModules& modules) override;

  // The format answer; std::nullopt when none fits.
  std::optional<AudioFormat> bestFormat = AudioFormat{16000, 1, SampleFormat::int16};
  FinalizeScript finalize;
  // Closed: finalisations wait, once begun, until the test opens it.
  Gate finalizing;

  // The objects made most recently, while something still holds them.
  std::shared_ptr<FakeTranscriber> lastTranscriber() const { return lastTranscriber_.lock(); }
  std::shared_ptr<FakeAnalyzer> lastAnalyzer() const { return lastAnalyzer_.lock(); }
  int transcribersMade() const { return transcribersMade_; }
  // The first module of the latest format query, and how many it had.
  const SpeechTranscriber* formatQueryModule = nullptr;
  size_t formatQueryModuleCount = 0;

 private:
  FakeServices& services_;
  std::weak_ptr<FakeTranscriber> lastTranscriber_;
  std::weak_ptr<FakeAnalyzer> lastAnalyzer_;
  int transcribersMade_ = 0;
};

class FakeAssets : public AssetInventory {
 public:
  explicit FakeAssets(FakeServices& services) : services_(services) {}
  Task<std::unique_ptr<AssetInstallationRequest>> assetInstallationRequest(
      const SpeechModules& modules) override;
  Task<std::vector<Locale>> reservedLocales() override;
  Task<bool> reserve(const Locale& locale) override;

  bool installed = true;
  std::vector<Locale> reserved{Locale("en-US")};
  // Closed: downloads wait until the test opens it.
  Gate download;

 private:
  class Request;
  FakeServices& services_;
};

class FakePlatform : public Platform {
 public:
  FakePlatform();
  ~FakePlatform() override;

  std::unique_ptr<AudioEngine> makeAudioEngine() override;
  std::shared_ptr<AudioConverterFactory> audioConverters() override { return converters; }
  SpeechService& speech() override { return fakeSpeech; }
  AssetInventory& assetInventory() override { return fakeAssets; }
  ConsentService& consent() override { return fakeConsent; }

  CallLog& log() { return services.log; }
  void failAt(const std::string& step, Error error, int times = -1) {
    services.failAt(step, std::move(error), times);
  }
  void succeedAt(const std::string& step) { services.succeedAt(step); }

  FakeServices services;
  FakeConsent fakeConsent{services};
  FakeAudioEngine audio{services};
  const std::shared_ptr<FakeConverterFactory> converters =
      std::make_shared<FakeConverterFactory>(services);
  FakeSpeech fakeSpeech{services};
  FakeAssets fakeAssets{services};
};

}  // namespace dictate
