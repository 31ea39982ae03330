#include "platform/linux/linux_platform.h"

#include "platform/linux/speech/decoder_adaptation.h"
#include "platform/linux/models/model_store.h"
#include "platform/linux/speech/pocketsphinx_service.h"
#include "platform/linux/audio/pulse_audio_engine.h"
#include "platform/linux/audio/pulse_consent.h"
#include "platform/linux/audio/soxr_converter.h"

namespace dictate {

namespace {

class LinuxPlatform : public Platform {
 public:
  std::unique_ptr<AudioEngine> makeAudioEngine() override { return std::make_unique<PulseAudioEngine>(); }
  std::shared_ptr<AudioConverterFactory> audioConverters() override { return converters_; }
  SpeechService& speech() override { return speech_; }
  AssetInventory& assetInventory() override { return *models_; }
  ConsentService& consent() override { return consent_; }

 private:
  std::shared_ptr<AudioConverterFactory> converters_ = std::make_shared<SoxrConverterFactory>();
  std::shared_ptr<ModelStore> models_ = std::make_shared<ModelStore>(ModelStoreLocations::fromEnvironment());
  PocketSphinxService speech_{models_, PocketSphinxDecoder::defaultOptions(),
                              defaultAdaptationDir()};
  PulseConsent consent_;
};

}  // namespace

std::unique_ptr<Platform> makeLinuxPlatform() { return std::make_unique<LinuxPlatform>(); }

}  // namespace dictate
