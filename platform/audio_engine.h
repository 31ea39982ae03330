// The audio capture service: an engine whose input node is the default
// microphone, tapped for blocks of captured audio. The engine is driven from
// the main loop; the tap block runs on the engine's capture thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/audio_buffer.h"

namespace dictate {

// Called on the capture thread, once per captured block, one call at a time.
// Must not block on the main loop.
using TapBlock = std::function<void(const std::shared_ptr<PcmBuffer>& buffer, const AudioTime& when)>;

class AudioInputNode {
 public:
  virtual ~AudioInputNode() = default;

  // The capture format on `bus`: the device's own rate and channel count.
  virtual AudioFormat outputFormat(int bus) = 0;

  // Delivers captured audio in `format` to `block` in blocks of
  // `bufferSize` frames once the engine runs. A tap already on `bus` (one
  // left by a start that failed, say) is replaced and released first, so a
  // bus never has two taps.
  virtual void installTap(int bus, uint32_t bufferSize, const AudioFormat& format, TapBlock block) = 0;

  // After it returns, the tap's block is not called again and has been
  // released. Does nothing when `bus` has no tap.
  virtual void removeTap(int bus) = 0;
};

class AudioEngine {
 public:
  virtual ~AudioEngine() = default;

  virtual AudioInputNode& inputNode() = 0;
  virtual void prepare() = 0;
  // Starts capture; throws an Error with the audio service's description.
  virtual void start() = 0;
  virtual bool isRunning() = 0;
  virtual void stop() = 0;
};

}  // namespace dictate
