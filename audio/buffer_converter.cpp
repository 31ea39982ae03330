#include "audio/buffer_converter.h"

namespace dictate {

BufferConverter::ConvertError::ConvertError(Case which, std::optional<Error> underlying)
    : Error("quillmarsh_dictate.BufferConverter.ConvertError", which,
            "The operation couldn't be completed. (quillmarsh_dictate.BufferConverter.ConvertError error " +
                std::to_string(static_cast<int>(which)) + ".)"),
      underlying_(std::move(underlying)) {}

BufferConverter::BufferConverter(std::shared_ptr<AudioConverterFactory> factory) : factory_(std::move(factory)) {}

std::shared_ptr<PcmBuffer> BufferConverter::convertBuffer(const std::shared_ptr<PcmBuffer>& buffer,
                                                          const AudioFormat& format) {
  if (buffer->format() == format) return buffer;
  throw ConvertError(ConvertError::failedToCreateConverter);
}

}  // namespace dictate
