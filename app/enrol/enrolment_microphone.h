// The microphone an enrolment records from: the one the dictation helper
// uses (the source PULSE_SOURCE names, or the audio server's default),
// captured with the program's PulseAudio engine and brought to the
// decoder's 16 kHz mono 16-bit samples by its converter. Capture runs from
// construction to destruction without a gap, so that audio played or spoken
// while a reading is being checked waits for the next one. Captured blocks
// are converted on the engine's capture thread and queued; the enrolment's
// thread takes them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "audio/buffer_converter.h"
#include "platform/error.h"
#include "platform/linux/audio/pulse_audio_engine.h"

namespace dictate {

class EnrolmentMicrophone {
 public:
  // Starts capture; throws an Error that says in plain words why it cannot
  // (no audio server, no microphone, a PULSE_SOURCE the server lacks).
  EnrolmentMicrophone();
  ~EnrolmentMicrophone();
  EnrolmentMicrophone(const EnrolmentMicrophone&) = delete;
  EnrolmentMicrophone& operator=(const EnrolmentMicrophone&) = delete;

  // The samples captured since the last call, after waiting up to `wait`
  // for the first of them (none when nothing came). Throws an Error once
  // capture has been lost and what came before has been taken.
  std::vector<int16_t> take(std::chrono::milliseconds wait);
  // Drops what was captured and not taken.
  void discard();
  // Gives back samples taken but not used, to be taken again first.
  void putBack(std::vector<int16_t> samples);

 private:
  // Capture thread.
  void onBlock(const std::shared_ptr<PcmBuffer>& buffer);
  void onLoss(const Error& reason);

  PulseAudioEngine engine_;
  BufferConverter converter_;  // capture thread only, once capture runs

  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<int16_t> queued_;  // guarded by mutex_: filled on the capture thread
  std::optional<Error> loss_;    // guarded by mutex_: set on the capture thread
};

}  // namespace dictate
