// BufferConverter on the fake converters: pass-through, when the cached
// converter is reused or replaced, the once-only hand-over of the source
// buffer, the output capacity and what each status becomes.
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
using enum ConverterInputStatus;
// The output capacity of a conversion, or the ConvertError it threw.
using Outcome = std::variant<uint32_t, ConvertError::Case>;

const AudioFormat kCapture{48000, 2, SampleFormat::float32};
const AudioFormat kTarget{16000, 1, SampleFormat::int16};

struct Rig {
  FakeConverter* cached() { return BufferConverterInspector::cached(converter); }
  Outcome convert(const AudioFormat& from, const AudioFormat& to, uint32_t frames = 300) {
    try {
      return converter.convertBuffer(makeBuffer(from, frames), to)->frameCapacity();
    } catch (const ConvertError& e) {
      return e.which();
    }
  }
  std::shared_ptr<FakeConverters> factory = std::make_shared<FakeConverters>();
  BufferConverter converter{factory};
};

TEST(BufferConverterTest, TheConverterIsMadeOnceAndRemadeOnlyForOtherFormats) {
  const AudioFormat otherCapture{44100, 1, SampleFormat::int16};
  const AudioFormat otherTarget{16000, 1, SampleFormat::float32};
  Rig rig;
  rig.factory->script.requests = 3;
  auto source = makeBuffer(kTarget, 100);
  EXPECT_EQ(rig.converter.convertBuffer(source, kTarget), source) << "passes as the same object";
  rig.convert(kCapture, kTarget);
  rig.converter.convertBuffer(source = makeBuffer(kCapture, 300), kTarget);
  ASSERT_EQ(rig.cached()->calls.size(), 2u) << "made once";
  EXPECT_EQ(rig.cached()->prime, ConverterPrimeMethod::none);
  // The source is handed over once, then noDataNow, never endOfStream.
  EXPECT_EQ(rig.cached()->calls[1],
            (std::vector<InputAnswer>{{haveData, source}, {noDataNow, nullptr}, {noDataNow, nullptr}}));
  // A change of either format makes a new converter; one that cannot be
  // made leaves the cache empty, and the next call tries again.
  rig.convert(kCapture, otherTarget);
  rig.convert(otherCapture, otherTarget);
  rig.factory->refuse = true;
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(rig.convert(kCapture, kTarget), Outcome(ConvertError::failedToCreateConverter));
  }
  EXPECT_EQ(rig.cached(), nullptr);
  rig.factory->refuse = false;
  EXPECT_EQ(rig.convert(kCapture, kTarget), Outcome(100u));
  EXPECT_EQ(rig.factory->requests, (std::vector<std::pair<AudioFormat, AudioFormat>>{
                                       {kCapture, kTarget}, {kCapture, otherTarget},
                                       {otherCapture, otherTarget}, {kCapture, kTarget},
                                       {kCapture, kTarget}, {kCapture, kTarget}}));
}

// The capacity is the input length at the converter's own rates, rounded
// up; one that is no 32-bit count is a buffer failure that keeps the
// converter.
TEST(BufferConverterTest, CapacityIsTheRoundedUpLengthAtTheConvertersOwnRates) {
  const std::tuple<uint32_t, double, std::optional<uint32_t>> cases[] = {
      {5, 32000, 3},       {4, 32000, 2},     {0, 48000, 0},       {4096, 48000, 1366},
      {4096, 44100, 1487}, {441, 44100, 160}, {3, 16000 / 3.0, 9}, {7, 16000, 7},
      {4096, 1e-300, {}},  {4096, 0, {}}};
  for (const auto& [frames, rate, capacity] : cases) {
    SCOPED_TRACE(testing::Message() << frames << " frames at " << rate);
    Rig rig;  // the buffer says 48 kHz, the converter otherwise
    rig.factory->reportedInput = AudioFormat{rate, 2, SampleFormat::float32};
    EXPECT_EQ(rig.convert(kCapture, kTarget, frames),
              capacity ? Outcome(*capacity) : Outcome(ConvertError::failedToCreateConversionBuffer));
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
      EXPECT_EQ(std::tuple(status != Status::error, out->frameCapacity(), out->frameLength()),
                std::tuple(true, 100u, frames));
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
