// The audio capture service: an engine whose input node is the user's
// microphone, tapped for blocks of captured audio. The engine is driven from
// the main loop; the tap block, and the tap's loss handler, run on the
// engine's capture thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/audio_buffer.h"
#include "platform/error.h"

namespace dictate {

// Called on the capture thread, once per captured block, one call at a time.
// Must not block on the main loop.
using TapBlock = std::function<void(const std::shared_ptr<PcmBuffer>& buffer, const AudioTime& when)>;

// Called on the capture thread when capture ends by itself (the audio
// server or the stream gone for good), with the reason in plain words, as
// soon as the loss is known. A source that the audio service replaces by
// another without a gap is not a loss. Must not block on the main loop.
using InputLossHandler = std::function<void(const Error& reason)>;

class AudioInputNode {
 public:
  virtual ~AudioInputNode() = default;

  // The capture format on `bus`: the device's own rate and channel count.
  virtual AudioFormat outputFormat(int bus) = 0;

  // Delivers captured audio in `format` to `block` in blocks of
  // `bufferSize` frames once the engine runs. If capture is lost while the
  // tap is installed, `onLoss` (when set) is called once, then `block` gets
  // the audio captured before the loss that it has not had yet (the last
  // block may be short), and capture stays ended until the next start(). A
  // tap already on `bus` (one left by a start that failed, say) is replaced
  // and released first, so a bus never has two taps.
  virtual void installTap(int bus, uint32_t bufferSize, const AudioFormat& format, TapBlock block,
                          InputLossHandler onLoss) = 0;

  // After it returns, neither the tap's block nor its loss handler is
  // called again, and both have been released. After a loss, it returns
  // once the block has had all the audio captured before the loss. Does
  // nothing when `bus` has no tap.
  virtual void removeTap(int bus) = 0;
};

class AudioEngine {
 public:
  virtual ~AudioEngine() = default;

  virtual AudioInputNode& inputNode() = 0;
  virtual void prepare() = 0;
  // Starts capture; throws an Error with the audio service's description.
  virtual void start() = 0;
  // False once stopped, and also once capture has been lost.
  virtual bool isRunning() = 0;
  virtual void stop() = 0;
};

}  // namespace dictate
