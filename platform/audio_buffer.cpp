#include "platform/audio_buffer.h"

#include <cstdio>
#include <new>

namespace dictate {

std::string AudioFormat::toString() const {
  char text[96];
  std::snprintf(text, sizeof text, "%g Hz, %u ch, %s", sampleRate, channelCount,
                sampleFormat == SampleFormat::float32 ? "float32" : "int16");
  return text;
}

std::shared_ptr<PcmBuffer> PcmBuffer::make(const AudioFormat& format, uint32_t frameCapacity) {
  // A generous bound: ten minutes of 8-channel 192 kHz audio.
  constexpr size_t kMaxBytes = size_t{1} << 31;
  if (!format.isValid()) return nullptr;
  size_t bytes = size_t{frameCapacity} * format.bytesPerFrame();
  if (bytes > kMaxBytes) return nullptr;
  // At least one byte, so that a zero-capacity buffer still has storage.
  std::unique_ptr<std::byte[]> data(new (std::nothrow) std::byte[bytes > 0 ? bytes : 1]);
  if (!data) return nullptr;
  return std::shared_ptr<PcmBuffer>(new PcmBuffer(format, frameCapacity, std::move(data)));
}

}  // namespace dictate
