#include "audio/microphone_tap.h"

#include <exception>
#include <string>

#include "output/output.h"
#include "platform/error.h"

namespace dictate {

TapBlock makeMicrophoneTapBlock(std::shared_ptr<BufferConverter> converter,
                                const AudioFormat& analyzerFormat,
                                AnalyzerInputStream::Continuation input) {
  // The block runs on the capture thread and touches only its own copies.
  return [converter = std::move(converter), format = analyzerFormat, input = std::move(input)](
             const std::shared_ptr<PcmBuffer>& buffer, const AudioTime&) {
    try {
      std::shared_ptr<PcmBuffer> converted;
      try {
        converted = converter->convertBuffer(buffer, format);
      } catch (...) {
        writeDiagnostic("buffer convert failed: " + describeError(std::current_exception()));
        return;
      }
      // After the stop sequence has finished the stream, the yield discards
      // the buffer; that is the intended end of a dictation's audio.
      input.yield(AnalyzerInput{std::move(converted)});
    } catch (...) {
      // Only an allocation failure can land here. The buffer is lost; nothing
      // may escape into the audio engine's thread.
    }
  };
}

}  // namespace dictate
