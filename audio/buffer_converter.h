// BufferConverter brings one captured buffer into the analyzer's format. It
// wraps one platform converter, created on demand and cached while the
// formats stay the same, so that the filter state carries from one buffer
// to the next. Used only from the capture thread, one call at a time.
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
    enum Case { conversionFailed = 0, failedToCreateConverter = 1, failedToCreateConversionBuffer = 2 };
    explicit ConvertError(Case which, std::optional<Error> underlying = std::nullopt);
    Case which() const { return static_cast<Case>(code()); }
    // What the platform converter reported with conversionFailed, if anything.
    const std::optional<Error>& underlying() const { return underlying_; }

   private:
    std::optional<Error> underlying_;
  };

  explicit BufferConverter(std::shared_ptr<AudioConverterFactory> factory);

  // `buffer` itself when it is already in `format`, else a new buffer in
  // `format`. Throws ConvertError.
  std::shared_ptr<PcmBuffer> convertBuffer(const std::shared_ptr<PcmBuffer>& buffer, const AudioFormat& format);

 private:
  friend struct BufferConverterInspector;  // tests read the cache

  const std::shared_ptr<AudioConverterFactory> factory_;
  // The cached platform converter; capture thread only.
  std::unique_ptr<AudioConverter> converter;
};

}  // namespace dictate
