// Audio formats, PCM buffers and time stamps: the values that pass between
// the audio engine, the converter and the speech analyzer. Samples are
// interleaved. Buffers are shared by reference (std::shared_ptr), so that a
// buffer already in the right format can travel on as the same object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace dictate {

enum class SampleFormat { float32, int16 };

struct AudioFormat {
  double sampleRate = 0;
  uint32_t channelCount = 0;
  SampleFormat sampleFormat = SampleFormat::float32;

  size_t bytesPerSample() const { return sampleFormat == SampleFormat::float32 ? 4 : 2; }
  size_t bytesPerFrame() const { return bytesPerSample() * channelCount; }
  bool isValid() const { return sampleRate > 0 && channelCount > 0; }
  std::string toString() const;

  friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

class PcmBuffer {
 public:
  // A buffer for `frameCapacity` frames of `format`, with frameLength 0, or
  // nullptr when the format is not valid or the memory cannot be had.
  static std::shared_ptr<PcmBuffer> make(const AudioFormat& format, uint32_t frameCapacity);

  const AudioFormat& format() const { return format_; }
  uint32_t frameCapacity() const { return frameCapacity_; }
  uint32_t frameLength() const { return frameLength_; }
  // Clamped to the capacity.
  void setFrameLength(uint32_t frames) { frameLength_ = frames < frameCapacity_ ? frames : frameCapacity_; }

  // Interleaved samples; the pointer matching the format's sample type.
  float* floatData() { return reinterpret_cast<float*>(data_.get()); }
  const float* floatData() const { return reinterpret_cast<const float*>(data_.get()); }
  int16_t* int16Data() { return reinterpret_cast<int16_t*>(data_.get()); }
  const int16_t* int16Data() const { return reinterpret_cast<const int16_t*>(data_.get()); }
  std::byte* bytes() { return data_.get(); }
  const std::byte* bytes() const { return data_.get(); }

 private:
  PcmBuffer(const AudioFormat& format, uint32_t capacity, std::unique_ptr<std::byte[]> data)
      : format_(format), frameCapacity_(capacity), data_(std::move(data)) {}

  AudioFormat format_;
  uint32_t frameCapacity_;
  uint32_t frameLength_ = 0;
  std::unique_ptr<std::byte[]> data_;
};

// When a captured block begins: its first frame's index in the capture and
// the monotonic clock reading, in nanoseconds, at which it was received.
struct AudioTime {
  uint64_t sampleTime = 0;
  uint64_t hostTimeNanos = 0;
};

}  // namespace dictate
