// The libsoxr converter on real signals: no frame lost or duplicated
// whatever the block and output sizes, the filter's quality after int16,
// rounding and clipping, and the pairs and buffers it refuses.
#include "platform/linux/audio/soxr_converter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <tuple>
#include <vector>

namespace dictate {
namespace {

using In = ConverterInputStatus;
using Out = ConverterOutputStatus;
constexpr SampleFormat F = SampleFormat::float32, I = SampleFormat::int16;
const AudioFormat kInt16{16000, 1, I}, kFloat{16000, 1, F};

// Feeds `signal` through `converter` until it is drained; returns what
// came out, int16 as its integer values. Without `random` as capture does
// it: one 4096-frame block a call into an output just large enough; with
// it, 0 to 3 blocks of 1 to 6000 frames a call into 0 to 2500 frames.
std::vector<float> feed(AudioConverter& converter, const std::vector<float>& signal,
                        std::mt19937* random = nullptr) {
  auto pick = [&](int low, int high, int capture) {
    return random ? std::uniform_int_distribution<int>(low, high)(*random) : capture;
  };
  const AudioFormat &from = converter.inputFormat(), &to = converter.outputFormat();
  const auto room = static_cast<int>(std::ceil(4096 * to.sampleRate / from.sampleRate));
  const size_t total = signal.size() / from.channelCount;
  size_t next = 0;
  std::vector<float> out;
  for (Out status = Out::haveData; status != Out::endOfStream && out.size() < 1e6;) {
    // Draining needs room, or it would never end.
    auto buffer = PcmBuffer::make(to, next == total ? 1000 : pick(0, 2500, room));
    int left = pick(0, 3, 1);
    std::optional<Error> error;
    status = converter.convert(*buffer, error, [&](uint32_t, In& s) {
      s = next == total ? In::endOfStream : left-- > 0 ? In::haveData : In::noDataNow;
      if (s != In::haveData) return std::shared_ptr<PcmBuffer>();
      const size_t frames = std::min<size_t>(pick(1, 6000, 4096), total - next);
      auto block = PcmBuffer::make(from, frames);  // int16 formats: `signal` holds int16 values
      const auto in = signal.begin() + next * from.channelCount,
                 end = in + frames * from.channelCount;
      from.sampleFormat == F ? (void)std::copy(in, end, block->floatData())
                             : (void)std::copy(in, end, block->int16Data());
      next += frames;
      block->setFrameLength(frames);
      return block;
    });
    if (status == Out::error) return ADD_FAILURE() << (error ? error->what() : "?"), out;
    EXPECT_EQ(status == Out::haveData, buffer->frameLength() == buffer->frameCapacity());
    for (uint32_t i = 0; i < buffer->frameLength(); ++i)
      out.push_back(to.sampleFormat == I ? buffer->int16Data()[i] : buffer->floatData()[i]);
  }
  return out;
}

// A converter is made for supported pairs only. The filter's delay is held
// back, so a tone comes out in phase: in the voice band at its level and
// clean after int16, above the new Nyquist frequency not at all. However
// input and output are cut up, the same samples come out, misfit buffers
// before them notwithstanding.
TEST(SoxrConverterTest, ConvertsTonesTheSameWhateverTheBlockAndBufferSizes) {
  const AudioFormat capture{48000, 2, F};
  // A tone of `hz`, or 0: no converter for the pair.
  const std::tuple<AudioFormat, AudioFormat, double> cases[] = {
      {capture, kInt16, 1000},       {{44100, 2, F}, kInt16, 1000}, {{16000, 1, F}, kInt16, 1000},
      {{48000, 1, I}, kInt16, 1000}, {{44100, 2, I}, kInt16, 1000}, {{16000, 2, I}, kInt16, 1000},
      {{96000, 6, F}, kInt16, 1000}, {capture, kFloat, 10000},      {{22050, 1, F}, kFloat, 1000},
      {{8000, 1, I}, kFloat, 1000},  {capture, {16000, 2, I}, 0},   {capture, {16000, 0, I}, 0},
      {{48000, 0, F}, kInt16, 0},    {{0, 2, F}, kInt16, 0},        {{NAN, 2, F}, kInt16, 0},
      {{INFINITY, 2, F}, kInt16, 0}, {capture, {0, 1, I}, 0},       {capture, {INFINITY, 1, I}, 0}};
  std::mt19937 random(1234);
  for (const auto& [from, to, hz] : cases) {
    SCOPED_TRACE(from.toString() + " -> " + to.toString());
    auto reference = SoxrConverterFactory().make(from, to);
    ASSERT_EQ(reference != nullptr, hz > 0);
    if (!reference) continue;
    const double outScale = to.sampleFormat == I ? 32768 : 1;
    std::vector<float> tone;  // on the int16 grid
    for (int n = 0; n < from.sampleRate * 1.5; ++n) {
      const double s = std::round(0.9 * 32768 * std::sin(2 * M_PI * hz * n / from.sampleRate));
      tone.insert(tone.end(), from.channelCount, from.sampleFormat == I ? s : s / 32768);
    }
    const std::vector<float> expected = feed(*reference, tone);
    ASSERT_EQ(expected.size(), std::llround(1.5 * to.sampleRate));
    const double gain = hz < to.sampleRate / 2 ? 0.9 * outScale : 0;
    for (size_t n = expected.size() / 4; n < expected.size() * 3 / 4; ++n)  // away from the ends
      ASSERT_NEAR(expected[n], gain * std::sin(2 * M_PI * hz * n / to.sampleRate), 3e-5 * outScale);
    // Misfit buffers are errors that leave the stream intact.
    auto converter = SoxrConverter::make(from, to);
    for (auto [in, out, code] :
         {std::tuple{PcmBuffer::make({1, 1, F}, 9), to, +kSoxrInputFormatMismatch},
          {nullptr, to, +kSoxrMissingInputBuffer},
          {PcmBuffer::make(from, 9), AudioFormat{1, 1, F}, +kSoxrOutputFormatMismatch}}) {
      std::optional<Error> error;
      const Out status = converter->convert(*PcmBuffer::make(out, 9), error,
                                            [&](uint32_t, In& s) { return s = In::haveData, in; });
      EXPECT_TRUE(status == Out::error && error && error->code() == code) << code;
    }
    EXPECT_TRUE(feed(*converter, tone, &random) == expected);
  }
}

// At equal rates the filter passes samples unchanged, which leaves what
// happens on the way to int16 to be seen exactly.
TEST(SoxrConverterTest, Int16OutputIsRoundedClippedAndAveraged) {
  constexpr float kLsb = 1.0f / 32768;
  const std::tuple<AudioFormat, std::vector<float>, std::vector<float>> cases[] = {
      {{16000, 1, F},  // ties go to the even neighbour
       {100.4f * kLsb, 100.6f * kLsb, -100.6f * kLsb, 0.5f * kLsb, 1.5f * kLsb, -2.5f * kLsb, 1, -1,
        1.5f, -7, 32766.6f * kLsb, NAN, INFINITY, -INFINITY},
       {100, 101, -101, 0, 2, -2, 32767, -32768, 32767, -32768, 32767, 0, 32767, -32768}},
      {{16000, 2, F}, {0.25f, 0.75f, -1, 1}, {16384, 0}},
      {{16000, 2, I}, {1000, 3000, -32768, -32768, 32767, -32768, 1, 2}, {2000, -32768, 0, 2}}};
  for (const auto& [from, in, out] : cases)
    EXPECT_EQ(feed(*SoxrConverter::make(from, kInt16), in), out) << from.toString();
}

}  // namespace
}  // namespace dictate
