// BufferConverter on the fake converters: pass-through, when the cached
// converter is reused or replaced, the once-only hand-over of the source
// buffer, the output capacity and what each status becomes.
#include "audio/buffer_converter.h"

#include <gtest/gtest.h>

#include "tests/support/fake_platform.h"

namespace dictate {
namespace {

using ConvertError = BufferConverter::ConvertError;
using Status = ConverterOutputStatus;
using enum ConverterInputStatus;
// The output capacity of a conversion, or the ConvertError it threw.
using Outcome = std::variant<uint32_t, ConvertError::Case>;

const AudioFormat kCapture{48000, 2, SampleFormat::float32};
const AudioFormat kTarget{16000, 1, SampleFormat::int16};

struct Rig {
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
  rig.factory->asks = 3;
  auto source = makeBuffer(kTarget, 100);
  EXPECT_EQ(rig.converter.convertBuffer(source, kTarget), source) << "passes as the same object";
  rig.convert(kCapture, kTarget);
  rig.converter.convertBuffer(source = makeBuffer(kCapture, 300), kTarget);
  ASSERT_EQ(rig.factory->last->calls.size(), 2u) << "made once";
  EXPECT_EQ(rig.factory->last->prime, ConverterPrimeMethod::none);
  // The source is handed over once, then noDataNow, never endOfStream.
  const std::vector<InputAnswer> once = {{haveData, source}, {noDataNow, {}}, {noDataNow, {}}};
  EXPECT_EQ(rig.factory->last->calls[1], once);
  // A change of either format makes a new converter; when one cannot be
  // made, each next call tries again.
  rig.convert(kCapture, otherTarget);
  rig.convert(otherCapture, otherTarget);
  rig.factory->refuse = true;
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(rig.convert(kCapture, kTarget), Outcome(ConvertError::failedToCreateConverter));
  }
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
  const Outcome noBuffer = ConvertError::failedToCreateConversionBuffer;
  const std::tuple<uint32_t, double, Outcome> cases[] = {
      {5, 32000, 3u},     {4, 32000, 2u},          {0, 48000, 0u},         {4096, 48000, 1366u},
      {441, 44100, 160u}, {4096, 44100, 1487u},    {3, 16000 / 3.0, 9u},   {7, 16000, 7u},
      {4096, 0, noBuffer}, {4096, 1e-300, noBuffer}};
  for (const auto& [frames, rate, outcome] : cases) {
    SCOPED_TRACE(testing::Message() << frames << " frames at " << rate);
    Rig rig;  // the buffer says 48 kHz, the converter otherwise
    rig.factory->reportedInput = AudioFormat{rate, 2, SampleFormat::float32};
    EXPECT_EQ(rig.convert(kCapture, kTarget, frames), outcome);
    EXPECT_EQ(rig.factory->last->calls.size(), outcome == noBuffer ? 0u : 1u);
  }
}

// Every status but error returns the output as the converter left it; error
// throws conversionFailed with what the converter said, and keeps it.
TEST(BufferConverterTest, WhatEachStatusBecomes) {
  Rig rig;
  rig.convert(kCapture, kTarget);
  rig.factory->frames = 12;
  rig.factory->status = Status::endOfStream;
  EXPECT_EQ(rig.converter.convertBuffer(makeBuffer(kCapture, 300), kTarget)->frameLength(), 12u);
  for (auto error : {std::optional(Error("soxr", 4, "out of memory")), std::optional<Error>()}) {
    rig.factory->status = Status::error;
    rig.factory->error = error;
    try {
      rig.converter.convertBuffer(makeBuffer(kCapture, 300), kTarget);
      ADD_FAILURE() << "converted";
    } catch (const ConvertError& e) {
      EXPECT_EQ(e.which(), ConvertError::conversionFailed);
      EXPECT_EQ(e.underlying() ? e.underlying()->localizedDescription() : "none",
                error ? "out of memory" : "none");
    }
  }
  EXPECT_EQ(rig.factory->requests.size(), 1u) << "a failed conversion keeps the converter";
}

}  // namespace
}  // namespace dictate
