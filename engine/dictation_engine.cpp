#include "engine/dictation_engine.h"

namespace dictate {

DictationEngine::DictationEngine(Platform& platform)
    : platform_(platform),
      audioEngine(platform.makeAudioEngine()),
      converter(std::make_shared<BufferConverter>(platform.audioConverters())),
      preferredLocale("en-US") {}

Task<void> DictationEngine::start() { co_return; }

Task<void> DictationEngine::stop() { co_return; }

}  // namespace dictate
