#include "tests/support/fake_platform.h"

#include <cmath>
#include <cstring>
#include <utility>

namespace dictate {

// ---- CallLog ----

void CallLog::record(std::string call) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.emplace_back(std::move(call), std::this_thread::get_id());
}

std::vector<std::string> CallLog::calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (const auto& entry : calls_) out.push_back(entry.first);
  return out;
}

std::vector<std::string> CallLog::callsOffThread(std::thread::id thread) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (const auto& [call, on] : calls_) {
    if (on != thread) out.push_back(call);
  }
  return out;
}

size_t CallLog::count(const std::string& call) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const auto& entry : calls_) n += entry.first == call ? 1 : 0;
  return n;
}

void CallLog::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

// ---- FakeServices ----

FakeServices::FakeServices() : loop(MainLoop::current().executor()) {}

FakeServices::~FakeServices() { joinHelpers(); }

void FakeServices::record(const std::string& step, const std::string& detail) {
  log.record(detail.empty() ? step : step + "(" + detail + ")");
}

void FakeServices::call(const std::string& step, const std::string& detail) {
  record(step, detail);
  if (auto failure = takePlannedFailure(step)) throw *failure;
}

std::optional<Error> FakeServices::takePlannedFailure(const std::string& step) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = failures_.find(step);
  if (it == failures_.end()) return std::nullopt;
  Error error = it->second.error;
  if (it->second.remaining > 0 && --it->second.remaining == 0) failures_.erase(it);
  return error;
}

void FakeServices::failAt(const std::string& step, Error error, int times) {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_.insert_or_assign(step, Plan{std::move(error), times});
}

void FakeServices::succeedAt(const std::string& step) {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_.erase(step);
}

void FakeServices::runOnHelperThread(std::function<void()> work) {
  std::lock_guard<std::mutex> lock(mutex_);
  helpers_.emplace_back(std::move(work));
}

void FakeServices::joinHelpers() {
  std::vector<std::thread> helpers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    helpers.swap(helpers_);
  }
  for (auto& helper : helpers) helper.join();
}

// ---- Gate ----

void Gate::open() {
  closed_ = false;
  auto held = std::exchange(held_, {});
  for (auto& handler : held) handler(true);
}

Task<void> Gate::pass() {
  if (!closed_) co_return;
  co_await Completion<bool>(
      [this](CompletionHandler<bool> done) { held_.push_back(std::move(done)); });
}

// ---- FakeConsent ----

void FakeConsent::requestAccess(MediaType, std::function<void(bool)> completionHandler) {
  services_.record("consent.requestAccess", "audio");
  const bool answer = granted;
  switch (how) {
    case ConsentAnswer::immediately: {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        answeredOn_ = std::this_thread::get_id();
      }
      completionHandler(answer);
      break;
    }
    case ConsentAnswer::onAnotherThread:
      services_.runOnHelperThread([this, answer, handler = std::move(completionHandler)] {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          answeredOn_ = std::this_thread::get_id();
        }
        handler(answer);
      });
      break;
    case ConsentAnswer::whenTestAnswers: {
      std::lock_guard<std::mutex> lock(mutex_);
      pending_.push_back(std::move(completionHandler));
      break;
    }
  }
}

void FakeConsent::answer(bool answer) {
  std::function<void(bool)> handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_.empty()) return;
    handler = std::move(pending_.front());
    pending_.erase(pending_.begin());
    answeredOn_ = std::this_thread::get_id();
  }
  handler(answer);
}

size_t FakeConsent::pendingCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_.size();
}

std::thread::id FakeConsent::answeredOn() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return answeredOn_;
}

// ---- FakeInputNode ----

AudioFormat FakeInputNode::outputFormat(int bus) {
  services_.record("input.outputFormat", std::to_string(bus));
  std::lock_guard<std::mutex> lock(mutex_);
  return captureFormat_;
}

void FakeInputNode::installTap(int bus, uint32_t bufferSize, const AudioFormat& format,
                               TapBlock block, InputLossHandler onLoss) {
  services_.record("tap.install", std::to_string(bus));
  std::lock_guard<std::mutex> lock(mutex_);
  taps_.insert_or_assign(
      bus, Tap{bufferSize, format, std::move(block), std::move(onLoss), ++generations_});
}

void FakeInputNode::removeTap(int bus) {
  services_.record("tap.remove", std::to_string(bus));
  std::lock_guard<std::mutex> lock(mutex_);
  taps_.erase(bus);
}

bool FakeInputNode::deliver(const std::shared_ptr<PcmBuffer>& buffer, int bus) {
  // Held across the call, so that removeTap waits for a block that runs.
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = taps_.find(bus);
  if (it == taps_.end()) return false;
  const AudioTime when{sampleTime_, 0};
  sampleTime_ += buffer->frameLength();
  it->second.block(buffer, when);
  return true;
}

size_t FakeInputNode::tapCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return taps_.size();
}

uint32_t FakeInputNode::tapBufferSize(int bus) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = taps_.find(bus);
  return it == taps_.end() ? 0 : it->second.bufferSize;
}

AudioFormat FakeInputNode::tapFormat(int bus) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = taps_.find(bus);
  return it == taps_.end() ? AudioFormat{} : it->second.format;
}

int FakeInputNode::tapGeneration(int bus) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = taps_.find(bus);
  return it == taps_.end() ? 0 : it->second.generation;
}

InputLossHandler FakeInputNode::lossHandler(int bus) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = taps_.find(bus);
  return it == taps_.end() ? InputLossHandler{} : it->second.onLoss;
}

void FakeInputNode::setCaptureFormat(const AudioFormat& format) {
  std::lock_guard<std::mutex> lock(mutex_);
  captureFormat_ = format;
}

// ---- FakeAudioEngine ----

AudioInputNode& FakeAudioEngine::inputNode() {
  services_.record("audio.inputNode");
  return node;
}

void FakeAudioEngine::prepare() { services_.call("audio.prepare"); }

void FakeAudioEngine::start() {
  services_.call("audio.start");
  running_ = true;
}

bool FakeAudioEngine::isRunning() {
  services_.record("audio.isRunning");
  return running_;
}

void FakeAudioEngine::stop() {
  services_.record("audio.stop");
  running_ = false;
}

void FakeAudioEngine::loseInput(const Error& reason) {
  running_ = false;
  if (InputLossHandler onLoss = node.lossHandler()) onLoss(reason);
}

namespace {

// What the engine owns: a handle on the platform's one audio engine double,
// so that the test can reach it after the engine has taken "its" engine.
class AudioEngineHandle : public AudioEngine {
 public:
  explicit AudioEngineHandle(FakeAudioEngine& engine) : engine_(engine) {}
  AudioInputNode& inputNode() override { return engine_.inputNode(); }
  void prepare() override { engine_.prepare(); }
  void start() override { engine_.start(); }
  bool isRunning() override { return engine_.isRunning(); }
  void stop() override { engine_.stop(); }

 private:
  FakeAudioEngine& engine_;
};

class FakeConverter : public AudioConverter {
 public:
  FakeConverter(const AudioFormat& from, const AudioFormat& to, bool produceNothing)
      : from_(from), to_(to), produceNothing_(produceNothing) {}
  void setPrimeMethod(ConverterPrimeMethod method) override { prime_ = method; }
  ConverterPrimeMethod primeMethod() const override { return prime_; }
  const AudioFormat& inputFormat() const override { return from_; }
  const AudioFormat& outputFormat() const override { return to_; }

  ConverterOutputStatus convert(PcmBuffer& output, std::optional<Error>&,
                                const ConverterInputBlock& input) override {
    ConverterInputStatus status = ConverterInputStatus::noDataNow;
    std::shared_ptr<PcmBuffer> source = input(output.frameCapacity(), status);
    if (!source || status != ConverterInputStatus::haveData || produceNothing_) {
      output.setFrameLength(0);
      return ConverterOutputStatus::inputRanDry;
    }
    const double ratio = to_.sampleRate / from_.sampleRate;
    output.setFrameLength(static_cast<uint32_t>(std::ceil(source->frameLength() * ratio)));
    std::memset(output.bytes(), 0, output.frameLength() * to_.bytesPerFrame());
    return ConverterOutputStatus::haveData;
  }

 private:
  const AudioFormat from_;
  const AudioFormat to_;
  const bool produceNothing_;
  ConverterPrimeMethod prime_ = ConverterPrimeMethod::normal;
};

}  // namespace

// ---- FakeConverterFactory ----

std::unique_ptr<AudioConverter> FakeConverterFactory::make(const AudioFormat& from,
                                                           const AudioFormat& to) {
  services_.record("converter.make");
  if (services_.takePlannedFailure("converter.make")) return nullptr;
  return std::make_unique<FakeConverter>(from, to, produceNothing.load());
}

std::shared_ptr<PcmBuffer> makeTestBuffer(const AudioFormat& format, uint32_t frames) {
  auto buffer = PcmBuffer::make(format, frames);
  if (buffer && frames > 0) {
    buffer->setFrameLength(frames);
    std::memset(buffer->bytes(), 0, frames * format.bytesPerFrame());
  }
  return buffer;
}

// ---- FakeTranscriber ----

FakeTranscriber::FakeTranscriber(FakeServices& services, TranscriberConfiguration config)
    : services_(services), config_(std::move(config)) {}

std::shared_ptr<ResultChannel> FakeTranscriber::results() {
  services_.record("transcriber.results");
  return channel_;
}

void FakeTranscriber::postResult(std::string text, bool isFinal) {
  services_.loop.post([channel = channel_, text = std::move(text), isFinal] {
    channel->push(TranscriptionResult{text, isFinal});
  });
}

void FakeTranscriber::postFailure(Error error) {
  services_.loop.post([channel = channel_, error = std::move(error)] {
    channel->fail(std::make_exception_ptr(error));
  });
}

// ---- FakeAnalyzer ----

FakeAnalyzer::FakeAnalyzer(FakeServices& services, const FinalizeScript& script,
                           Gate& finalizing, SpeechModules modules)
    : services_(services), script_(script), finalizing_(finalizing), modules_(std::move(modules)) {}

Task<void> FakeAnalyzer::start(AnalyzerInputStream::Sequence input) {
  services_.record("analyzer.start");
  // Starting is asynchronous, as on a real platform: the loop runs other
  // work (the recognizer task's first step) meanwhile.
  co_await YieldToLoop{};
  if (auto failure = services_.takePlannedFailure("analyzer.start")) throw *failure;
  input_.emplace(std::move(input));
}

std::vector<AnalyzerInput> FakeAnalyzer::takeInput() {
  if (input_) {
    while (auto value = input_->tryNext()) received_.push_back(std::move(*value));
  }
  return std::exchange(received_, {});
}

std::shared_ptr<ResultChannel> FakeAnalyzer::resultChannel() const {
  auto transcriber =
      modules_.empty() ? nullptr : std::dynamic_pointer_cast<FakeTranscriber>(modules_.front());
  return transcriber ? transcriber->channel() : nullptr;
}

Task<void> FakeAnalyzer::finalizeAndFinishThroughEndOfInput() {
  // A failing finalisation leaves the result channel alone.
  services_.call("analyzer.finalize");
  co_await finalizing_.pass();
  if (input_) {
    while (auto value = input_->tryNext()) received_.push_back(std::move(*value));
    inputEndedAtFinalize_ = input_->isAtEnd();
  }
  auto channel = resultChannel();
  const std::vector<std::string> burst = script_.burst;
  const std::vector<std::string> late = script_.late;
  if (!script_.fromAnotherThread && late.empty()) {
    for (const auto& text : burst) channel->push(TranscriptionResult{text, true});
    channel->finish();
    co_return;
  }
  const Executor loop = services_.loop;
  co_await Completion<bool>([&](CompletionHandler<bool> done) {
    services_.runOnHelperThread([loop, channel, burst, late, done] {
      for (const auto& text : burst) {
        loop.post([channel, text] { channel->push(TranscriptionResult{text, true}); });
      }
      if (late.empty()) loop.post([channel] { channel->finish(); });
      done(true);  // resumes the finalising caller after the burst
      for (const auto& text : late) {
        loop.post([channel, text] { channel->push(TranscriptionResult{text, true}); });
      }
    });
  });
}

// ---- FakeSpeech ----

std::shared_ptr<SpeechTranscriber> FakeSpeech::makeTranscriber(
    const TranscriberConfiguration& config) {
  services_.record("speech.makeTranscriber");
  auto transcriber = std::make_shared<FakeTranscriber>(services_, config);
  lastTranscriber_ = transcriber;
  ++transcribersMade_;
  return transcriber;
}

std::shared_ptr<SpeechAnalyzer> FakeSpeech::makeAnalyzer(const SpeechModules& modules) {
  services_.record("speech.makeAnalyzer");
  auto analyzer = std::make_shared<FakeAnalyzer>(services_, finalize, finalizing, modules);
  lastAnalyzer_ = analyzer;
  return analyzer;
}

Task<std::optional<AudioFormat>> FakeSpeech::bestAvailableAudioFormat(
    const SpeechModules& modules) {
  services_.record("speech.bestAvailableAudioFormat");
  formatQueryModuleCount = modules.size();
  formatQueryModule = modules.empty() ? nullptr : modules.front().get();
  co_return bestFormat;
}

// ---- FakeAssets ----

class FakeAssets::Request : public AssetInstallationRequest {
 public:
  explicit Request(FakeAssets& assets) : assets_(assets) {}
  Task<void> downloadAndInstall() override {
    assets_.services_.record("assets.downloadAndInstall");
    co_await assets_.download.pass();
    if (auto failure = assets_.services_.takePlannedFailure("assets.downloadAndInstall"))
      throw *failure;
    assets_.installed = true;
  }

 private:
  FakeAssets& assets_;
};

Task<std::unique_ptr<AssetInstallationRequest>> FakeAssets::assetInstallationRequest(
    const SpeechModules&) {
  services_.call("assets.installationRequest");
  if (installed) co_return nullptr;
  co_return std::make_unique<Request>(*this);
}

Task<std::vector<Locale>> FakeAssets::reservedLocales() {
  services_.call("assets.reservedLocales");
  co_return reserved;
}

Task<bool> FakeAssets::reserve(const Locale& locale) {
  services_.call("assets.reserve", locale.identifier());
  reserved.push_back(locale);
  co_return true;
}

// ---- FakePlatform ----

FakePlatform::FakePlatform() = default;

FakePlatform::~FakePlatform() { services.joinHelpers(); }

std::unique_ptr<AudioEngine> FakePlatform::makeAudioEngine() {
  return std::make_unique<AudioEngineHandle>(audio);
}

}  // namespace dictate
