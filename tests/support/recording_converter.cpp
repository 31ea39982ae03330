#include "tests/support/recording_converter.h"

#include <algorithm>
#include <thread>

namespace dictate {

RecordingConverter::RecordingConverter(const AudioFormat& from, const AudioFormat& to,
                                       ConverterScript script, std::shared_ptr<int> liveCount)
    : script(std::move(script)), from_(from), to_(to), liveCount_(std::move(liveCount)) {
  ++*liveCount_;
}

RecordingConverter::~RecordingConverter() { --*liveCount_; }

void RecordingConverter::setPrimeMethod(ConverterPrimeMethod method) {
  primeMethods.push_back(method);
}

ConverterOutputStatus RecordingConverter::convert(PcmBuffer& output, std::optional<Error>& error,
                                                  const ConverterInputBlock& input) {
  ConvertCall call{output.frameCapacity(), output.format(), {}};
  const uint32_t packets = output.frameCapacity();
  if (script.concurrentRequests > 0) {
    call.answers = askConcurrently(input, packets);
  }
  for (int i = 0; i < script.inputRequests; ++i) {
    // Starts from a status the block must overwrite.
    InputAnswer answer{packets, ConverterInputStatus::endOfStream, nullptr};
    answer.buffer = input(packets, answer.status);
    call.answers.push_back(std::move(answer));
  }
  calls.push_back(std::move(call));
  output.setFrameLength(std::min(script.framesProduced, output.frameCapacity()));
  error = script.error;
  return script.status;
}

std::vector<InputAnswer> RecordingConverter::askConcurrently(const ConverterInputBlock& input,
                                                             uint32_t packets) {
  // Each thread writes only its own slot; joining publishes them.
  std::vector<InputAnswer> answers(
      script.concurrentRequests, InputAnswer{packets, ConverterInputStatus::endOfStream, nullptr});
  std::vector<std::thread> threads;
  for (InputAnswer& answer : answers) {
    threads.emplace_back(
        [&input, &answer, packets] { answer.buffer = input(packets, answer.status); });
  }
  for (std::thread& thread : threads) thread.join();
  return answers;
}

std::unique_ptr<AudioConverter> RecordingConverterFactory::make(const AudioFormat& from,
                                                                const AudioFormat& to) {
  requests.emplace_back(from, to);
  if (refuse) return nullptr;
  return std::make_unique<RecordingConverter>(
      reportedInputFormat.value_or(from), reportedOutputFormat.value_or(to), script, liveCount_);
}

}  // namespace dictate
