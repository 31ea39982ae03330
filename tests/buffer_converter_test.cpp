// BufferConverter on the fake converters: pass-through, when the cached
// converter is reused or replaced, the output capacity, the once-only
// hand-over of the source buffer and what each status becomes.
#include "audio/buffer_converter.h"

#include <gtest/gtest.h>

#include "tests/support/fake_platform.h"

namespace dictate {

struct BufferConverterInspector {
  static FakeConverter* cached(const BufferConverter& c) {
    return dynamic_cast<FakeConverter*>(c.converter.get());
  }
};

namespace {

using ConvertError = BufferConverter::ConvertError;
using Status = ConverterOutputStatus;
using Pairs = std::vector<std::pair<AudioFormat, AudioFormat>>;

const AudioFormat kCapture{48000, 2, SampleFormat::float32};
const AudioFormat kOtherCapture{44100, 1, SampleFormat::int16};
const AudioFormat kTarget{16000, 1, SampleFormat::int16};
const AudioFormat kOtherTarget{16000, 1, SampleFormat::float32};

struct Rig {
  FakeConverter* cached() { return BufferConverterInspector::cached(converter); }
  // The case of the ConvertError that converting throws, or nullopt.
  std::optional<ConvertError::Case> failure(const AudioFormat& from, const AudioFormat& to) {
    try {
      converter.convertBuffer(makeBuffer(from, 300), to);
    } catch (const ConvertError& e) {
      return e.which();
    }
    return std::nullopt;
  }
  std::shared_ptr<FakeConverters> factory = std::make_shared<FakeConverters>();
  BufferConverter converter{factory};
};

TEST(BufferConverterTest, TheConverterIsMadeOnceAndRemadeOnlyForOtherFormats) {
  Rig rig;
  auto buffer = makeBuffer(kTarget, 100);
  EXPECT_EQ(rig.converter.convertBuffer(buffer, kTarget), buffer) << "passes as the same object";
  EXPECT_TRUE(rig.factory->requests.empty());
  EXPECT_EQ(rig.failure(kCapture, kTarget), std::nullopt);
  EXPECT_EQ(rig.failure(kCapture, kTarget), std::nullopt);
  EXPECT_EQ(rig.converter.convertBuffer(buffer, kTarget), buffer);
  EXPECT_EQ(rig.factory->requests, (Pairs{{kCapture, kTarget}}));
  EXPECT_EQ(rig.cached()->calls.size(), 2u) << "a passing buffer is not converted";
  EXPECT_EQ(rig.cached()->prime, ConverterPrimeMethod::none);
  // A change of either format makes a new converter; one that cannot be
  // made leaves the cache empty, and the next call tries again.
  rig.failure(kCapture, kOtherTarget);
  rig.failure(kOtherCapture, kOtherTarget);
  rig.factory->refuse = true;
  EXPECT_EQ(rig.failure(kCapture, kTarget), ConvertError::failedToCreateConverter);
  EXPECT_EQ(rig.cached(), nullptr);
  EXPECT_EQ(rig.failure(kCapture, kTarget), ConvertError::failedToCreateConverter);
  rig.factory->refuse = false;
  EXPECT_EQ(rig.failure(kCapture, kTarget), std::nullopt);
  EXPECT_EQ(rig.factory->requests,
            (Pairs{{kCapture, kTarget}, {kCapture, kOtherTarget}, {kOtherCapture, kOtherTarget},
                   {kCapture, kTarget}, {kCapture, kTarget}, {kCapture, kTarget}}));
  EXPECT_EQ(rig.cached()->calls.size(), 1u);
}

// The converter gets the source once, then noDataNow and never endOfStream,
// also when it asks from several threads at once.
TEST(BufferConverterTest, TheSourceIsHandedOverExactlyOnce) {
  for (bool concurrent : {false, true}) {
    Rig rig;
    rig.factory->script.requests = 4;
    rig.factory->script.concurrent = concurrent;
    for (int round = 0; round < 5; ++round) {
      auto buffer = makeBuffer(kCapture, 300);
      rig.converter.convertBuffer(buffer, kTarget);
      int handedOver = 0;
      for (const InputAnswer& answer : rig.cached()->calls.back()) {
        handedOver += answer.buffer == buffer;
        EXPECT_EQ(answer.status, answer.buffer ? ConverterInputStatus::haveData
                                               : ConverterInputStatus::noDataNow);
      }
      EXPECT_EQ(handedOver, 1);
    }
  }
}

// The capacity is the input length at the converter's own rates, rounded
// up; one that is no 32-bit count is a buffer failure that keeps the
// converter.
TEST(BufferConverterTest, CapacityIsTheRoundedUpLengthAtTheConvertersOwnRates) {
  const std::tuple<uint32_t, double, std::optional<uint32_t>> cases[] = {
      {5, 32000, 3},    {4, 32000, 2},       {0, 48000, 0},      {4096, 48000, 1366},
      {4096, 44100, 1487}, {441, 44100, 160}, {3, 16000 / 3.0, 9}, {7, 16000, 7},
      {4096, 1e-300, {}}, {4096, 0, {}}};
  for (const auto& [frames, rate, capacity] : cases) {
    SCOPED_TRACE(testing::Message() << frames << " frames at " << rate);
    Rig rig;  // the buffer says 48 kHz, the converter otherwise
    rig.factory->reportedInput = AudioFormat{rate, 2, SampleFormat::float32};
    std::optional<uint32_t> made;
    try {
      made = rig.converter.convertBuffer(makeBuffer(kCapture, frames), kTarget)->frameCapacity();
    } catch (const ConvertError& e) {
      EXPECT_EQ(e.which(), ConvertError::failedToCreateConversionBuffer);
    }
    EXPECT_EQ(made, capacity);
    ASSERT_NE(rig.cached(), nullptr);
    EXPECT_EQ(rig.cached()->calls.size(), capacity ? 1u : 0u);
  }
}

// Every status but error returns the output as the converter left it; error
// throws conversionFailed with what the converter said, and keeps it.
TEST(BufferConverterTest, WhatEachStatusBecomes) {
  struct Case {
    Status status;
    uint32_t frames;
    std::optional<Error> error;
  };
  const Case cases[] = {{Status::haveData, 100, {}},   {Status::inputRanDry, 37, {}},
                        {Status::inputRanDry, 0, {}},  {Status::endOfStream, 12, {}},
                        {Status::error, 5, Error("soxr", 4, "out of memory")},
                        {Status::error, 5, {}}};
  Rig rig;
  rig.failure(kCapture, kTarget);
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.status));
    rig.cached()->script = {1, false, c.frames, c.status, c.error};
    try {
      auto out = rig.converter.convertBuffer(makeBuffer(kCapture, 300), kTarget);
      EXPECT_NE(c.status, Status::error);
      EXPECT_EQ(out->frameCapacity(), 100u);
      EXPECT_EQ(out->frameLength(), c.frames);
    } catch (const ConvertError& e) {
      EXPECT_EQ(c.status, Status::error);
      EXPECT_EQ(e.which(), ConvertError::conversionFailed);
      ASSERT_EQ(e.underlying().has_value(), c.error.has_value());
      if (!c.error) continue;
      EXPECT_EQ(e.underlying()->domain(), "soxr");
      EXPECT_EQ(e.underlying()->code(), 4);
      EXPECT_EQ(e.underlying()->localizedDescription(), "out of memory");
    }
  }
  EXPECT_EQ(rig.factory->requests.size(), 1u) << "a failed conversion keeps the converter";
}

TEST(BufferConverterTest, ErrorDescriptionIsGenericAndNamesTypeAndCode) {
  const std::pair<ConvertError::Case, int> cases[] = {{ConvertError::conversionFailed, 0},
                                                      {ConvertError::failedToCreateConverter, 1},
                                                      {ConvertError::failedToCreateConversionBuffer, 2}};
  for (const auto& [which, code] : cases) {
    const ConvertError error(which, Error("soxr", 1, "hidden"));
    EXPECT_EQ(error.domain(), "quillmarsh_dictate.BufferConverter.ConvertError");
    EXPECT_EQ(error.code(), code);
    EXPECT_EQ(describeError(std::make_exception_ptr(error)),
              "The operation couldn't be completed. (quillmarsh_dictate.BufferConverter."
              "ConvertError error " + std::to_string(code) + ".)");
  }
}

}  // namespace
}  // namespace dictate
