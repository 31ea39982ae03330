// The platform's sample-rate and format converter, pulled by a block that
// supplies input on demand. A converter keeps its filter state from one
// convert() call to the next.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/audio_buffer.h"
#include "platform/error.h"

namespace dictate {

enum class ConverterInputStatus { haveData, noDataNow, endOfStream };

// Values as the platform defines them; 3 is the error status.
enum class ConverterOutputStatus { haveData = 0, inputRanDry = 1, endOfStream = 2, error = 3 };

enum class ConverterPrimeMethod { pre, normal, none };

// Asked for input during convert(); returns a buffer and sets the status to
// haveData, or returns nullptr with noDataNow or endOfStream.
using ConverterInputBlock =
    std::function<std::shared_ptr<PcmBuffer>(uint32_t packetCount, ConverterInputStatus& status)>;

class AudioConverter {
 public:
  virtual ~AudioConverter() = default;

  virtual void setPrimeMethod(ConverterPrimeMethod method) = 0;
  virtual ConverterPrimeMethod primeMethod() const = 0;
  virtual const AudioFormat& inputFormat() const = 0;
  virtual const AudioFormat& outputFormat() const = 0;

  // Fills `output` (setting its frameLength) from what `input` supplies.
  // On the error status, `error` may hold what went wrong.
  virtual ConverterOutputStatus convert(PcmBuffer& output, std::optional<Error>& error,
                                        const ConverterInputBlock& input) = 0;
};

class AudioConverterFactory {
 public:
  virtual ~AudioConverterFactory() = default;
  // A converter from `from` to `to`, or nullptr for a pair it cannot convert.
  virtual std::unique_ptr<AudioConverter> make(const AudioFormat& from, const AudioFormat& to) = 0;
};

}  // namespace dictate
