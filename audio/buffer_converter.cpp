#include "audio/buffer_converter.h"

#include <cmath>
#include <limits>
#include <mutex>
#include <string>

namespace dictate {

namespace {

// The once-only hand-over flag of one conversion, shared by the call and its
// input block. The block may be called from any thread the platform
// converter likes, so the flag sits behind a lock, held only for the
// read-and-set.
class HandOverFlag {
 public:
  // True the first time only.
  bool claim() {
    std::lock_guard<std::mutex> hold(lock_);
    const bool first = !handedOver_;
    handedOver_ = true;
    return first;
  }

 private:
  std::mutex lock_;
  bool handedOver_ = false;  // guarded by lock_; any thread that calls the block
};

// The output capacity for `frames` input frames: the resampled length
// rounded up, from the converter's own rates. nullopt when the product is
// not a finite count that fits 32 bits (only nonsense rates get there).
std::optional<uint32_t> outputCapacity(const AudioConverter& converter, uint32_t frames) {
  const double ratio = converter.outputFormat().sampleRate / converter.inputFormat().sampleRate;
  const double capacity = std::ceil(static_cast<double>(frames) * ratio);
  if (!std::isfinite(capacity) || capacity < 0 ||
      capacity > static_cast<double>(std::numeric_limits<uint32_t>::max())) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(capacity);
}

}  // namespace

BufferConverter::ConvertError::ConvertError(Case which, std::optional<Error> underlying)
    : Error("quillmarsh_dictate.BufferConverter.ConvertError", which,
            "The operation couldn't be completed. (quillmarsh_dictate.BufferConverter.ConvertError "
            "error " +
                std::to_string(static_cast<int>(which)) + ".)"),
      underlying_(std::move(underlying)) {}

BufferConverter::BufferConverter(std::shared_ptr<AudioConverterFactory> factory)
    : factory_(std::move(factory)) {}

std::shared_ptr<PcmBuffer> BufferConverter::convertBuffer(const std::shared_ptr<PcmBuffer>& buffer,
                                                          const AudioFormat& format) {
  if (buffer->format() == format) return buffer;
  AudioConverter& platformConverter = converterFor(buffer->format(), format);
  const std::optional<uint32_t> capacity = outputCapacity(platformConverter, buffer->frameLength());
  std::shared_ptr<PcmBuffer> output =
      capacity ? PcmBuffer::make(platformConverter.outputFormat(), *capacity) : nullptr;
  if (!output) throw ConvertError(ConvertError::failedToCreateConversionBuffer);

  auto flag = std::make_shared<HandOverFlag>();
  const ConverterInputBlock input = [flag, buffer](uint32_t, ConverterInputStatus& status) {
    if (flag->claim()) {
      status = ConverterInputStatus::haveData;
      return buffer;
    }
    status = ConverterInputStatus::noDataNow;
    return std::shared_ptr<PcmBuffer>();
  };
  std::optional<Error> error;
  if (platformConverter.convert(*output, error, input) == ConverterOutputStatus::error) {
    throw ConvertError(ConvertError::conversionFailed, std::move(error));
  }
  return output;
}

AudioConverter& BufferConverter::converterFor(const AudioFormat& from, const AudioFormat& to) {
  // A converter made for another capture format must not be fed this one,
  // so the input format has to match as well as the target.
  if (converter && converter->outputFormat() == to && converter->inputFormat() == from) {
    return *converter;
  }
  converter = factory_->make(from, to);
  if (!converter) throw ConvertError(ConvertError::failedToCreateConverter);
  converter->setPrimeMethod(ConverterPrimeMethod::none);
  return *converter;
}

}  // namespace dictate
