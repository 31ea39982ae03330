// A platform converter and factory for tests that records what it is asked
// (creations, prime methods, every convert() call with its output buffer and
// each answer of the input block) and plays a scripted part: how often it
// asks for input, from how many threads at once, how many frames it claims
// to produce, which status and error it returns. The test owns the factory;
// the code under test owns the converters it makes. Everything is touched on
// the test's thread, except that a convert() told to ask from several
// threads calls the block from them and records the answers after joining.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/audio_converter.h"

namespace dictate {

struct ConverterScript {
  int inputRequests = 1;       // times convert() asks the block, one after another
  int concurrentRequests = 0;  // when > 0, asks this many times at once from as many threads
  uint32_t framesProduced = std::numeric_limits<uint32_t>::max();  // clamped to the capacity
  ConverterOutputStatus status = ConverterOutputStatus::haveData;
  std::optional<Error> error;  // written to the error slot
};

struct InputAnswer {
  uint32_t packetCount;  // what the converter asked for
  ConverterInputStatus status;
  std::shared_ptr<PcmBuffer> buffer;
};

struct ConvertCall {
  uint32_t capacity;
  AudioFormat outputBufferFormat;
  std::vector<InputAnswer> answers;
};

class RecordingConverter : public AudioConverter {
 public:
  RecordingConverter(const AudioFormat& from, const AudioFormat& to, ConverterScript script,
                     std::shared_ptr<int> liveCount);
  ~RecordingConverter() override;

  void setPrimeMethod(ConverterPrimeMethod method) override;
  ConverterPrimeMethod primeMethod() const override { return primeMethods.back(); }
  const AudioFormat& inputFormat() const override { return from_; }
  const AudioFormat& outputFormat() const override { return to_; }
  ConverterOutputStatus convert(PcmBuffer& output, std::optional<Error>& error,
                                const ConverterInputBlock& input) override;

  // Starts with the default method; one entry per setPrimeMethod().
  std::vector<ConverterPrimeMethod> primeMethods{ConverterPrimeMethod::normal};
  std::vector<ConvertCall> calls;
  ConverterScript script;

 private:
  std::vector<InputAnswer> askConcurrently(const ConverterInputBlock& input, uint32_t packets);

  AudioFormat from_;
  AudioFormat to_;
  std::shared_ptr<int> liveCount_;
};

class RecordingConverterFactory : public AudioConverterFactory {
 public:
  std::unique_ptr<AudioConverter> make(const AudioFormat& from, const AudioFormat& to) override;

  // The pairs make() was asked for, in order, including refused ones.
  std::vector<std::pair<AudioFormat, AudioFormat>> requests;
  // While set, make() returns nullptr.
  bool refuse = false;
  // Given to every converter made from now on.
  ConverterScript script;
  // When set, converters made from now on report these formats instead of
  // the ones they were made for.
  std::optional<AudioFormat> reportedInputFormat;
  std::optional<AudioFormat> reportedOutputFormat;
  // Converters made and not yet destroyed.
  int live() const { return *liveCount_; }

 private:
  std::shared_ptr<int> liveCount_ = std::make_shared<int>(0);
};

}  // namespace dictate
