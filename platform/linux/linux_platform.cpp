#include "platform/linux/linux_platform.h"

#include <stdexcept>

#include "platform/linux/soxr_converter.h"

namespace dictate {

namespace {

// Services that are not wired yet answer as if unavailable.
class UnavailableConsent : public ConsentService {
 public:
  void requestAccess(MediaType, std::function<void(bool)> handler) override { handler(true); }
};

class UnavailableInputNode : public AudioInputNode {
 public:
  AudioFormat outputFormat(int) override { return {}; }
  void installTap(int, uint32_t, const AudioFormat&, TapBlock) override {}
  void removeTap(int) override {}
};

class UnavailableAudioEngine : public AudioEngine {
 public:
  AudioInputNode& inputNode() override { return node_; }
  void prepare() override {}
  void start() override { throw Error("audio", 1, "no audio capture available"); }
  bool isRunning() override { return false; }
  void stop() override {}

 private:
  UnavailableInputNode node_;
};

class UnavailableConverters : public AudioConverterFactory {
 public:
  std::unique_ptr<AudioConverter> make(const AudioFormat&, const AudioFormat&) override { return nullptr; }
};

class UnavailableSpeech : public SpeechService, public AssetInventory {
 public:
  std::shared_ptr<SpeechTranscriber> makeTranscriber(const TranscriberConfiguration&) override { return nullptr; }
  std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const SpeechModules&) override { return nullptr; }
  Task<std::optional<AudioFormat>> bestAvailableAudioFormat(const SpeechModules&) override { co_return std::nullopt; }
  Task<std::unique_ptr<AssetInstallationRequest>> assetInstallationRequest(const SpeechModules&) override {
    throw Error("speech", 1, "no speech recognition available");
    co_return nullptr;
  }
  Task<std::vector<Locale>> reservedLocales() override { co_return std::vector<Locale>{}; }
  Task<bool> reserve(const Locale&) override { co_return false; }
};

class LinuxPlatform : public Platform {
 public:
  std::unique_ptr<AudioEngine> makeAudioEngine() override { return std::make_unique<UnavailableAudioEngine>(); }
  std::shared_ptr<AudioConverterFactory> audioConverters() override { return converters_; }
  SpeechService& speech() override { return speech_; }
  AssetInventory& assetInventory() override { return speech_; }
  ConsentService& consent() override { return consent_; }

 private:
  std::shared_ptr<AudioConverterFactory> converters_ = std::make_shared<SoxrConverterFactory>();
  UnavailableSpeech speech_;
  UnavailableConsent consent_;
};

}  // namespace

std::unique_ptr<Platform> makeLinuxPlatform() { return std::make_unique<LinuxPlatform>(); }

}  // namespace dictate
