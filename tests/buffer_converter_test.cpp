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

const AudioFormat kCapture{48000, 2, SampleFormat::float32};
const AudioFormat kOtherCapture{44100, 1, SampleFormat::int16};
const AudioFormat kTarget{16000, 1, SampleFormat::int16};
const AudioFormat kOtherTarget{16000, 1, SampleFormat::float32};

struct Rig {
  FakeConverter* cached() { return BufferConverterInspector::cached(converter); }
  // What converting 300 frames gives: the output, or the ConvertError's case.
  std::variant<std::shared_ptr<PcmBuffer>, ConvertError::Case> convert(const AudioFormat& from,
                                                                      const AudioFormat& to) {
    try {
      return converter.convertBuffer(makeBuffer(from, 300), to);
    } catch (const ConvertError& e) {
      return e.which();
    }
  }
  std::shared_ptr<FakeConverters> factory = std::make_shared<FakeConverters>();
  BufferConverter converter{factory};
};

TEST(BufferConverterTest, TheConverterIsMadeOnceAndRemadeOnlyForOtherFormats) {
  Rig rig;
  auto buffer = makeBuffer(kTarget, 100);
  EXPECT_EQ(rig.converter.convertBuffer(buffer, kTarget), buffer) << "passes as the same object";
  rig.convert(kCapture, kTarget);
  rig.convert(kCapture, kTarget);
  EXPECT_EQ(rig.converter.convertBuffer(buffer, kTarget), buffer);
  EXPECT_EQ(rig.cached()->calls.size(), 2u) << "a passing buffer is not converted";
  EXPECT_EQ(rig.cached()->prime, ConverterPrimeMethod::none);
  // A change of either format makes a new converter; one that cannot be
  // made leaves the cache empty, and the next call tries again.
  rig.convert(kCapture, kOtherTarget);
  rig.convert(kOtherCapture, kOtherTarget);
  rig.factory->refuse = true;
  for (int i = 0; i < 2; ++i) EXPECT_EQ(rig.convert(kCapture, kTarget).index(), 1u);
  EXPECT_EQ(rig.cached(), nullptr);
  rig.factory->refuse = false;
  EXPECT_EQ(rig.convert(kCapture, kTarget).index(), 0u);
  EXPECT_EQ(rig.factory->requests,
            (std::vector<std::pair<AudioFormat, AudioFormat>>{
                {kCapture, kTarget}, {kCapture, kOtherTarget}, {kOtherCapture, kOtherTarget},
                {kCapture, kTarget}, {kCapture, kTarget}, {kCapture, kTarget}}));
  EXPECT_EQ(rig.cached()->calls.size(), 1u);
}

// The converter gets the source once, then noDataNow and never endOfStream.
TEST(BufferConverterTest, TheSourceIsHandedOverExactlyOnce) {
  Rig rig;
  rig.factory->script.requests = 3;
  for (int round = 0; round < 2; ++round) {
    auto buffer = makeBuffer(kCapture, 300);
    rig.converter.convertBuffer(buffer, kTarget);
    const auto& answers = rig.cached()->calls.back();
    EXPECT_EQ(answers[0].buffer, buffer);
    EXPECT_EQ(answers[0].status, ConverterInputStatus::haveData);
    for (int i : {1, 2}) EXPECT_EQ(answers[i].status, ConverterInputStatus::noDataNow);
    EXPECT_FALSE(answers[1].buffer || answers[2].buffer);
  }
}

// The capacity is the input length at the converter's own rates, rounded
// up; one that is no 32-bit count is a buffer failure that keeps the
// converter.
TEST(BufferConverterTest, CapacityIsTheRoundedUpLengthAtTheConvertersOwnRates) {
  const std::tuple<uint32_t, double, std::optional<uint32_t>> cases[] = {
      {5, 32000, 3},       {4, 32000, 2},     {0, 48000, 0},        {4096, 48000, 1366},
      {4096, 44100, 1487}, {441, 44100, 160}, {3, 16000 / 3.0, 9}, {7, 16000, 7},
      {4096, 1e-300, {}},  {4096, 0, {}}};
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
  const std::tuple<Status, uint32_t, std::optional<Error>> cases[] = {
      {Status::haveData, 100, {}},  {Status::inputRanDry, 37, {}},
      {Status::inputRanDry, 0, {}}, {Status::endOfStream, 12, {}},
      {Status::error, 5, Error("soxr", 4, "out of memory")}, {Status::error, 5, {}}};
  Rig rig;
  rig.convert(kCapture, kTarget);
  for (const auto& [status, frames, error] : cases) {
    SCOPED_TRACE(static_cast<int>(status));
    rig.cached()->script = {1, frames, status, error};
    try {
      auto out = rig.converter.convertBuffer(makeBuffer(kCapture, 300), kTarget);
      EXPECT_NE(status, Status::error);
      EXPECT_EQ(out->frameCapacity(), 100u);
      EXPECT_EQ(out->frameLength(), frames);
    } catch (const ConvertError& e) {
      EXPECT_EQ(std::tuple(status, e.which(), e.underlying().has_value()),
                std::tuple(Status::error, ConvertError::conversionFailed, error.has_value()));
      EXPECT_EQ(error ? e.underlying()->localizedDescription() : "", error ? "out of memory" : "");
    }
  }
  EXPECT_EQ(rig.factory->requests.size(), 1u) << "a failed conversion keeps the converter";
}

}  // namespace
}  // namespace dictate
