// BufferConverter against a recording converter: pass-through, when the
// cached converter is reused or replaced, the output capacity, the
// once-only hand-over of the source buffer and what each status becomes.
#include "audio/buffer_converter.h"

#include <gtest/gtest.h>

#include <limits>

#include "tests/support/recording_converter.h"

namespace dictate {

struct BufferConverterInspector {
  static RecordingConverter* converter(const BufferConverter& bufferConverter) {
    return dynamic_cast<RecordingConverter*>(bufferConverter.converter.get());
  }
};

namespace {

using ConvertError = BufferConverter::ConvertError;

const AudioFormat kCapture{48000, 2, SampleFormat::float32};
const AudioFormat kOtherCapture{44100, 1, SampleFormat::int16};
const AudioFormat kTarget{16000, 1, SampleFormat::int16};
const AudioFormat kOtherTarget{16000, 1, SampleFormat::float32};

std::shared_ptr<PcmBuffer> bufferOf(const AudioFormat& format, uint32_t frames) {
  auto buffer = PcmBuffer::make(format, frames);
  buffer->setFrameLength(frames);
  return buffer;
}

class BufferConverterTest : public testing::Test {
 protected:
  RecordingConverter* cached() { return BufferConverterInspector::converter(converter); }

  // The case of the ConvertError that converting throws, or nullopt.
  std::optional<ConvertError::Case> failureOf(const std::shared_ptr<PcmBuffer>& buffer,
                                              const AudioFormat& format) {
    try {
      converter.convertBuffer(buffer, format);
    } catch (const ConvertError& e) {
      return e.which();
    }
    return std::nullopt;
  }

  std::shared_ptr<RecordingConverterFactory> factory =
      std::make_shared<RecordingConverterFactory>();
  BufferConverter converter{factory};
};

TEST_F(BufferConverterTest, BufferInTheTargetFormatPassesAsTheSameObjectTouchingNothing) {
  auto buffer = bufferOf(kTarget, 100);
  EXPECT_EQ(converter.convertBuffer(buffer, kTarget), buffer);
  EXPECT_TRUE(factory->requests.empty());
  EXPECT_EQ(cached(), nullptr);

  converter.convertBuffer(bufferOf(kCapture, 300), kTarget);
  RecordingConverter* before = cached();
  EXPECT_EQ(converter.convertBuffer(buffer, kTarget), buffer);
  EXPECT_EQ(cached(), before);
  EXPECT_EQ(before->calls.size(), 1u) << "a passing buffer is not converted";
}

TEST_F(BufferConverterTest, ConverterIsMadeOnceAndPrimedWithNoneOnlyThen) {
  converter.convertBuffer(bufferOf(kCapture, 300), kTarget);
  converter.convertBuffer(bufferOf(kCapture, 300), kTarget);
  ASSERT_EQ(factory->requests.size(), 1u);
  EXPECT_EQ(factory->requests[0], std::make_pair(kCapture, kTarget));
  EXPECT_EQ(cached()->calls.size(), 2u);
  EXPECT_EQ(cached()->primeMethods,
            (std::vector{ConverterPrimeMethod::normal, ConverterPrimeMethod::none}));
}

TEST_F(BufferConverterTest, AChangeOfEitherFormatReplacesTheConverter) {
  struct Case {
    const char* what;
    AudioFormat nextCapture;
    AudioFormat nextTarget;
  };
  const Case cases[] = {
      {"new target format", kCapture, kOtherTarget},
      {"new capture format, same target", kOtherCapture, kTarget},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto factory = std::make_shared<RecordingConverterFactory>();
    BufferConverter converter(factory);
    converter.convertBuffer(bufferOf(kCapture, 300), kTarget);
    converter.convertBuffer(bufferOf(c.nextCapture, 300), c.nextTarget);
    ASSERT_EQ(factory->requests.size(), 2u);
    EXPECT_EQ(factory->requests[1], std::make_pair(c.nextCapture, c.nextTarget));
    EXPECT_EQ(factory->live(), 1) << "the old converter is released";
    RecordingConverter* current = BufferConverterInspector::converter(converter);
    EXPECT_EQ(current->inputFormat(), c.nextCapture);
    EXPECT_EQ(current->calls.size(), 1u);
  }
}

TEST_F(BufferConverterTest, FailedCreationEmptiesTheCacheAndTheNextCallTriesAgain) {
  converter.convertBuffer(bufferOf(kCapture, 300), kTarget);
  factory->refuse = true;
  EXPECT_EQ(failureOf(bufferOf(kCapture, 300), kOtherTarget),
            ConvertError::failedToCreateConverter);
  EXPECT_EQ(cached(), nullptr);
  EXPECT_EQ(factory->live(), 0);
  EXPECT_EQ(failureOf(bufferOf(kCapture, 300), kOtherTarget),
            ConvertError::failedToCreateConverter);

  factory->refuse = false;
  EXPECT_EQ(failureOf(bufferOf(kCapture, 300), kOtherTarget), std::nullopt);
  EXPECT_EQ(factory->requests.size(), 4u);
  ASSERT_NE(cached(), nullptr);
  EXPECT_EQ(cached()->outputFormat(), kOtherTarget);
}

TEST_F(BufferConverterTest, SourceIsHandedOverOnceThenNoDataNowNeverEndOfStream) {
  factory->script.inputRequests = 3;
  auto buffer = bufferOf(kCapture, 300);
  converter.convertBuffer(buffer, kTarget);
  const std::vector<InputAnswer>& answers = cached()->calls.at(0).answers;
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(answers[0].status, ConverterInputStatus::haveData);
  EXPECT_EQ(answers[0].buffer, buffer);
  for (size_t i = 1; i < answers.size(); ++i) {
    EXPECT_EQ(answers[i].status, ConverterInputStatus::noDataNow);
    EXPECT_EQ(answers[i].buffer, nullptr);
  }
  // The next call hands over its own buffer afresh.
  auto next = bufferOf(kCapture, 300);
  converter.convertBuffer(next, kTarget);
  EXPECT_EQ(cached()->calls.at(1).answers.at(0).buffer, next);
}

TEST_F(BufferConverterTest, RequestsFromSeveralThreadsAtOnceGetTheSourceExactlyOnce) {
  factory->script.inputRequests = 0;
  factory->script.concurrentRequests = 4;
  for (int round = 0; round < 5; ++round) {
    auto buffer = bufferOf(kCapture, 300);
    converter.convertBuffer(buffer, kTarget);
    int handedOver = 0;
    for (const InputAnswer& answer : cached()->calls.back().answers) {
      if (answer.status == ConverterInputStatus::haveData && answer.buffer == buffer)
        ++handedOver;
      else
        EXPECT_EQ(answer.status, ConverterInputStatus::noDataNow);
    }
    EXPECT_EQ(handedOver, 1);
  }
}

TEST_F(BufferConverterTest, CapacityIsTheRoundedUpLengthAtTheConvertersOwnRates) {
  struct Case {
    uint32_t frames;
    double converterInputRate;
    double converterOutputRate;
    uint32_t capacity;
  };
  const Case cases[] = {
      {5, 32000, 16000, 3},       {4, 32000, 16000, 2},       {0, 48000, 16000, 0},
      {4096, 48000, 16000, 1366}, {4096, 44100, 16000, 1487}, {441, 44100, 16000, 160},
      {3, 16000, 48000, 9},       {7, 16000, 16000, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.frames << " frames, " << c.converterInputRate << " -> "
                                    << c.converterOutputRate);
    // The buffer and target say 48 kHz -> 16 kHz; the converter says otherwise.
    auto factory = std::make_shared<RecordingConverterFactory>();
    factory->reportedInputFormat = AudioFormat{c.converterInputRate, 2, SampleFormat::float32};
    factory->reportedOutputFormat = AudioFormat{c.converterOutputRate, 1, SampleFormat::int16};
    BufferConverter converter(factory);
    auto out = converter.convertBuffer(bufferOf(kCapture, c.frames), kTarget);
    EXPECT_EQ(out->frameCapacity(), c.capacity);
    EXPECT_EQ(out->format(), *factory->reportedOutputFormat);
    EXPECT_EQ(BufferConverterInspector::converter(converter)->calls.at(0).capacity, c.capacity);
  }
}

TEST_F(BufferConverterTest, CapacityBeyondThirtyTwoBitsIsABufferFailureAndKeepsTheConverter) {
  for (double rate : {1e-300, 0.0}) {
    SCOPED_TRACE(rate);
    auto factory = std::make_shared<RecordingConverterFactory>();
    factory->reportedInputFormat = AudioFormat{rate, 2, SampleFormat::float32};
    BufferConverter converter(factory);
    try {
      converter.convertBuffer(bufferOf(kCapture, 4096), kTarget);
      ADD_FAILURE() << "no error";
    } catch (const ConvertError& e) {
      EXPECT_EQ(e.which(), ConvertError::failedToCreateConversionBuffer);
    }
    ASSERT_NE(BufferConverterInspector::converter(converter), nullptr);
    EXPECT_TRUE(BufferConverterInspector::converter(converter)->calls.empty());
  }
}

TEST_F(BufferConverterTest, EveryStatusButErrorReturnsTheOutputAsTheConverterLeftIt) {
  struct Case {
    ConverterOutputStatus status;
    uint32_t framesProduced;
  };
  const Case cases[] = {
      {ConverterOutputStatus::haveData, 100},
      {ConverterOutputStatus::inputRanDry, 37},
      {ConverterOutputStatus::inputRanDry, 0},
      {ConverterOutputStatus::endOfStream, 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.status));
    factory->script.status = c.status;
    factory->script.framesProduced = c.framesProduced;
    BufferConverter converter(factory);
    auto out = converter.convertBuffer(bufferOf(kCapture, 300), kTarget);
    EXPECT_EQ(out->frameCapacity(), 100u);
    EXPECT_EQ(out->frameLength(), c.framesProduced);
  }
}

TEST_F(BufferConverterTest, ErrorStatusThrowsConversionFailedWithWhatTheConverterSaid) {
  converter.convertBuffer(bufferOf(kCapture, 300), kTarget);
  const std::optional<Error> payloads[] = {Error("soxr", 4, "out of memory"), std::nullopt};
  for (const std::optional<Error>& payload : payloads) {
    cached()->script.status = ConverterOutputStatus::error;
    cached()->script.error = payload;
    try {
      converter.convertBuffer(bufferOf(kCapture, 300), kTarget);
      ADD_FAILURE() << "no error";
    } catch (const ConvertError& e) {
      EXPECT_EQ(e.which(), ConvertError::conversionFailed);
      ASSERT_EQ(e.underlying().has_value(), payload.has_value());
      if (payload) {
        EXPECT_EQ(e.underlying()->domain(), "soxr");
        EXPECT_EQ(e.underlying()->code(), 4);
        EXPECT_EQ(e.underlying()->localizedDescription(), "out of memory");
      }
    }
  }
  EXPECT_EQ(factory->requests.size(), 1u) << "a failed conversion keeps the converter";
  EXPECT_EQ(cached()->calls.size(), 3u);
}

TEST(BufferConverterErrorTest, DescriptionIsGenericAndNamesTypeAndCode) {
  const std::pair<ConvertError::Case, const char*> cases[] = {
      {ConvertError::conversionFailed, "0"},
      {ConvertError::failedToCreateConverter, "1"},
      {ConvertError::failedToCreateConversionBuffer, "2"},
  };
  for (const auto& [which, code] : cases) {
    const ConvertError error(which, Error("soxr", 1, "hidden"));
    EXPECT_EQ(error.domain(), "quillmarsh_dictate.BufferConverter.ConvertError");
    EXPECT_EQ(error.code(), static_cast<int>(which));
    EXPECT_EQ(describeError(std::make_exception_ptr(error)),
              std::string("The operation couldn't be completed. "
                          "(quillmarsh_dictate.BufferConverter.ConvertError error ") +
                  code + ".)");
  }
}

}  // namespace
}  // namespace dictate
