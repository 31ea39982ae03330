#include "platform/linux/linux_platform.h"

#include <stdexcept>

#include "platform/linux/model_store.h"
#include "platform/linux/pocketsphinx_service.h"
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

class LinuxPlatform : public Platform {
 public:
  std::unique_ptr<AudioEngine> makeAudioEngine() override { return std::make_unique<UnavailableAudioEngine>(); }
  std::shared_ptr<AudioConverterFactory> audioConverters() override { return converters_; }
  SpeechService& speech() override { return speech_; }
  AssetInventory& assetInventory() override { return *models_; }
  ConsentService& consent() override { return consent_; }

 private:
  std::shared_ptr<AudioConverterFactory> converters_ = std::make_shared<SoxrConverterFactory>();
  std::shared_ptr<ModelStore> models_ = std::make_shared<ModelStore>(ModelStoreLocations::fromEnvironment());
  PocketSphinxService speech_{models_};
  UnavailableConsent consent_;
};

}  // namespace

std::unique_ptr<Platform> makeLinuxPlatform() { return std::make_unique<LinuxPlatform>(); }

}  // namespace dictate
