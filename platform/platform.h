// Every service the engine needs of the operating system, handed to it at
// construction. The Linux implementation lives in platform/linux/; tests
// use in-memory doubles.
#pragma once

#include <memory>

#include "platform/assets.h"
#include "platform/audio_converter.h"
#include "platform/audio_engine.h"
#include "platform/consent.h"
#include "platform/speech.h"

namespace dictate {

class Platform {
 public:
  virtual ~Platform() = default;
  virtual std::unique_ptr<AudioEngine> makeAudioEngine() = 0;
  virtual std::shared_ptr<AudioConverterFactory> audioConverters() = 0;
  virtual SpeechService& speech() = 0;
  virtual AssetInventory& assetInventory() = 0;
  virtual ConsentService& consent() = 0;
};

}  // namespace dictate
