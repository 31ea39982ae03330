// BufferConverter brings one captured buffer into the analyzer's format. It
// wraps one platform converter, created on demand and cached while the
// source and target formats stay the same, so that the filter state carries
// from one buffer to the next. The engine owns one for its whole life; only
// the capture thread uses it, one call at a time, so the cache has no lock.
#pragma once

#include <memory>
#include <optional>

#include "platform/audio_converter.h"
#include "platform/error.h"

namespace dictate {

class BufferConverter {
 public:
  class ConvertError : public Error {
   public:
    enum Case {
      conversionFailed = 0,
      failedToCreateConverter = 1,
      failedToCreateConversionBuffer = 2
    };
    explicit ConvertError(Case which, std::optional<Error> underlying = std::nullopt);
    Case which() const { return static_cast<Case>(code()); }
    // What the platform converter reported with conversionFailed, if anything.
    const std::optional<Error>& underlying() const { return underlying_; }

   private:
    std::optional<Error> underlying_;
  };

  explicit BufferConverter(std::shared_ptr<AudioConverterFactory> factory);

  // `buffer` itself when it is already in `format`, else a new buffer in
  // `format` holding what the converter produced from it (possibly fewer
  // frames than its capacity, possibly none). Throws ConvertError:
  // failedToCreateConverter when no converter exists for the pair;
  // failedToCreateConversionBuffer when the output cannot be allocated or
  // its capacity (the input length times the converter's rate ratio, rounded
  // up) is not a finite count that fits 32 bits; conversionFailed with what
  // the converter reported.
  std::shared_ptr<PcmBuffer> convertBuffer(const std::shared_ptr<PcmBuffer>& buffer,
                                           const AudioFormat& format);

 private:
  // The cached converter when it was made for `from` -> `to`, else a new one
  // (primed with none) in its place; throws failedToCreateConverter, leaving
  // the cache empty, when the factory has none.
  AudioConverter& converterFor(const AudioFormat& from, const AudioFormat& to);

  friend struct BufferConverterInspector;  // tests read the cache

  const std::shared_ptr<AudioConverterFactory> factory_;
  // The cached platform converter; capture thread only.
  std::unique_ptr<AudioConverter> converter;
};

}  // namespace dictate
