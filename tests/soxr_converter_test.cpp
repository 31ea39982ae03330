// The libsoxr converter on real signals: no frame lost or duplicated
// whatever the block and output sizes, the filter's quality after int16,
// rounding and clipping, and the pairs it refuses.
#include "platform/linux/soxr_converter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace dictate {
namespace {

constexpr double kPi = std::numbers::pi;
const AudioFormat kAnalyzerFormat{16000, 1, SampleFormat::int16};

// A buffer of `format` holding `interleaved` (float samples; int16 formats
// get them scaled by 32768, rounded and clipped).
std::shared_ptr<PcmBuffer> makeBuffer(const AudioFormat& format, const float* interleaved,
                                      uint32_t frames) {
  auto buffer = PcmBuffer::make(format, frames);
  const size_t samples = size_t{frames} * format.channelCount;
  for (size_t i = 0; i < samples; ++i) {
    if (format.sampleFormat == SampleFormat::float32) {
      buffer->floatData()[i] = interleaved[i];
    } else {
      const double scaled = std::round(interleaved[i] * 32768.0);
      buffer->int16Data()[i] = static_cast<int16_t>(std::clamp(scaled, -32768.0, 32767.0));
    }
  }
  buffer->setFrameLength(frames);
  return buffer;
}

// Deterministic white noise in every channel, different per channel.
std::vector<float> noise(const AudioFormat& format, double seconds, uint32_t seed = 7) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> sample(-0.45f, 0.45f);
  std::vector<float> out(static_cast<size_t>(format.sampleRate * seconds) * format.channelCount);
  for (float& s : out) s = sample(random);
  return out;
}

// The same sine in every channel.
std::vector<float> tone(const AudioFormat& format, double seconds, double hz, double amplitude) {
  const size_t frames = static_cast<size_t>(format.sampleRate * seconds);
  std::vector<float> out(frames * format.channelCount);
  for (size_t f = 0; f < frames; ++f) {
    const float s = static_cast<float>(amplitude * std::sin(2 * kPi * hz * f / format.sampleRate));
    for (uint32_t c = 0; c < format.channelCount; ++c) out[f * format.channelCount + c] = s;
  }
  return out;
}

// Chooses, for each convert() call, how much the input block hands over
// and how large the output buffer is.
struct Schedule {
  // Input block sizes offered one after another within a call; the block
  // answers noDataNow after `blocksPerCall` of them.
  std::function<uint32_t()> blockFrames;
  std::function<int()> blocksPerCall;
  // Output capacity of a call, given the input frames it will be offered.
  std::function<uint32_t(uint32_t offered)> capacity;
};

struct Outcome {
  std::vector<float> samples;  // int16 output kept as its integer values
  size_t frameBeyondCapacity = 0;
  size_t fullWithoutHaveData = 0;
  size_t calls = 0;
};

void collect(const PcmBuffer& out, Outcome& outcome) {
  for (uint32_t i = 0; i < out.frameLength(); ++i) {
    outcome.samples.push_back(
        out.format().sampleFormat == SampleFormat::int16 ? out.int16Data()[i] : out.floatData()[i]);
  }
}

// Feeds `signal` through `converter` call by call as `schedule` says, then
// answers endOfStream until the filter is drained.
Outcome feed(AudioConverter& converter, const std::vector<float>& signal,
             const Schedule& schedule) {
  const AudioFormat& from = converter.inputFormat();
  const size_t totalFrames = signal.size() / from.channelCount;
  size_t next = 0;
  Outcome outcome;
  for (ConverterOutputStatus status = ConverterOutputStatus::haveData;
       status != ConverterOutputStatus::endOfStream;) {
    int blocksLeft = schedule.blocksPerCall();
    uint32_t first =
        static_cast<uint32_t>(std::min<size_t>(schedule.blockFrames(), totalFrames - next));
    // Draining needs room, or it would never end.
    const uint32_t capacity = next == totalFrames ? 1000 : schedule.capacity(first);
    auto out = PcmBuffer::make(converter.outputFormat(), capacity);
    std::optional<Error> error;
    status = converter.convert(*out, error, [&](uint32_t, ConverterInputStatus& input) {
      if (next == totalFrames) {
        input = ConverterInputStatus::endOfStream;
        return std::shared_ptr<PcmBuffer>();
      }
      if (blocksLeft-- <= 0) {
        input = ConverterInputStatus::noDataNow;
        return std::shared_ptr<PcmBuffer>();
      }
      const uint32_t frames = static_cast<uint32_t>(
          std::min<size_t>(std::exchange(first, schedule.blockFrames()), totalFrames - next));
      input = ConverterInputStatus::haveData;
      auto block = makeBuffer(from, signal.data() + next * from.channelCount, frames);
      next += frames;
      return block;
    });
    EXPECT_NE(status, ConverterOutputStatus::error) << (error ? error->what() : "");
    if (status == ConverterOutputStatus::error) break;
    if (out->frameLength() > out->frameCapacity()) ++outcome.frameBeyondCapacity;
    if (out->frameLength() == out->frameCapacity() && out->frameCapacity() > 0 &&
        status != ConverterOutputStatus::haveData) {
      ++outcome.fullWithoutHaveData;
    }
    collect(*out, outcome);
    if (++outcome.calls > 100000) break;
  }
  return outcome;
}

// What the capture path does: one 4096-frame block per call into an output
// of the rounded-up resampled length.
Schedule captureSchedule(const AudioConverter& converter) {
  const double ratio = converter.outputFormat().sampleRate / converter.inputFormat().sampleRate;
  return {[] { return 4096u; }, [] { return 1; },
          [ratio](uint32_t offered) { return static_cast<uint32_t>(std::ceil(offered * ratio)); }};
}

// Random block sizes, zero to three blocks per call, unrelated capacities.
Schedule randomSchedule(std::mt19937& random) {
  return {[&random] { return std::uniform_int_distribution<uint32_t>(1, 6000)(random); },
          [&random] { return std::uniform_int_distribution<int>(0, 3)(random); },
          [&random](uint32_t) { return std::uniform_int_distribution<uint32_t>(0, 2500)(random); }};
}

struct StreamCase {
  AudioFormat from;
  AudioFormat to;
};

class SoxrConverterStreamTest : public testing::TestWithParam<StreamCase> {};

TEST_P(SoxrConverterStreamTest, AnyBlockSizesGiveTheSameSamplesAndTheRatioAfterDraining) {
  const auto [from, to] = GetParam();
  const std::vector<float> signal = noise(from, 1.5);
  const size_t inputFrames = signal.size() / from.channelCount;

  auto reference = SoxrConverter::make(from, to);
  ASSERT_TRUE(reference);
  const Outcome expected = feed(*reference, signal, captureSchedule(*reference));
  EXPECT_EQ(expected.samples.size(), std::llround(inputFrames * to.sampleRate / from.sampleRate));

  std::mt19937 random(1234);
  auto converter = SoxrConverter::make(from, to);
  const Outcome outcome = feed(*converter, signal, randomSchedule(random));
  ASSERT_EQ(outcome.samples.size(), expected.samples.size());
  EXPECT_TRUE(outcome.samples == expected.samples) << "block boundaries changed the output";
  for (const Outcome* run : {&expected, &outcome}) {
    EXPECT_EQ(run->frameBeyondCapacity, 0u);
    EXPECT_EQ(run->fullWithoutHaveData, 0u);
  }
}

std::string caseName(const testing::TestParamInfo<StreamCase>& info) {
  auto name = [](const AudioFormat& f) {
    return std::to_string(static_cast<int>(f.sampleRate)) + "Hz" + std::to_string(f.channelCount) +
           "ch" + (f.sampleFormat == SampleFormat::float32 ? "Float" : "Int16");
  };
  return name(info.param.from) + "To" + name(info.param.to);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, SoxrConverterStreamTest,
    testing::Values(
        StreamCase{{48000, 2, SampleFormat::float32}, kAnalyzerFormat},
        StreamCase{{44100, 2, SampleFormat::float32}, kAnalyzerFormat},
        StreamCase{{16000, 1, SampleFormat::float32}, kAnalyzerFormat},
        StreamCase{{48000, 1, SampleFormat::int16}, kAnalyzerFormat},
        StreamCase{{44100, 2, SampleFormat::int16}, kAnalyzerFormat},
        StreamCase{{16000, 2, SampleFormat::int16}, kAnalyzerFormat},
        StreamCase{{48000, 2, SampleFormat::float32}, {16000, 1, SampleFormat::float32}},
        StreamCase{{22050, 1, SampleFormat::float32}, {16000, 1, SampleFormat::float32}}),
    caseName);

// At equal rates every sample comes out as it went in, so a ramp shows any
// frame lost, repeated or moved whatever the call pattern.
TEST(SoxrConverterTest, EqualRatesPassEverySampleOnceInOrder) {
  const AudioFormat from{16000, 2, SampleFormat::int16};
  std::vector<float> ramp;
  for (int i = 0; i < 40000; ++i) {
    const float value = static_cast<float>(i % 65536 - 32768) / 32768.0f;
    ramp.insert(ramp.end(), {value, value});
  }
  std::mt19937 random(99);
  auto converter = SoxrConverter::make(from, kAnalyzerFormat);
  const Outcome outcome = feed(*converter, ramp, randomSchedule(random));
  ASSERT_EQ(outcome.samples.size(), 40000u);
  for (int i = 0; i < 40000; ++i) {
    ASSERT_EQ(outcome.samples[i], i % 65536 - 32768) << "at frame " << i;
  }
}

// Converts the whole of `signal` in one call and drains the filter.
std::vector<float> convertAll(const AudioFormat& from, const AudioFormat& to,
                              const std::vector<float>& signal) {
  auto converter = SoxrConverter::make(from, to);
  EXPECT_TRUE(converter);
  if (!converter) return {};
  const uint32_t frames = static_cast<uint32_t>(signal.size() / from.channelCount);
  const auto room = static_cast<uint32_t>(std::ceil(frames * to.sampleRate / from.sampleRate));
  return feed(*converter, signal,
              {[frames] { return frames; }, [] { return 1; }, [room](uint32_t) { return room; }})
      .samples;
}

struct ToneFit {
  double amplitude;
  double snrDb;
};

// Fits a sine of `hz` to the middle half of `samples`, away from the
// filter's start and end; whole periods only.
ToneFit fitTone(const std::vector<float>& samples, double rate, double hz) {
  const size_t period = static_cast<size_t>(rate / hz);
  const size_t begin = samples.size() / 4;
  const size_t count = samples.size() / 2 / period * period;
  double sinPart = 0, cosPart = 0;
  for (size_t n = begin; n < begin + count; ++n) {
    sinPart += samples[n] * std::sin(2 * kPi * hz * n / rate);
    cosPart += samples[n] * std::cos(2 * kPi * hz * n / rate);
  }
  sinPart *= 2.0 / count;
  cosPart *= 2.0 / count;
  double signalPower = 0, noisePower = 0;
  for (size_t n = begin; n < begin + count; ++n) {
    const double fit =
        sinPart * std::sin(2 * kPi * hz * n / rate) + cosPart * std::cos(2 * kPi * hz * n / rate);
    signalPower += fit * fit;
    noisePower += (samples[n] - fit) * (samples[n] - fit);
  }
  return {std::hypot(sinPart, cosPart), 10 * std::log10(signalPower / noisePower)};
}

TEST(SoxrConverterTest, TonesInTheVoiceBandKeepTheirLevelAndStayCleanAfterInt16) {
  for (double rate : {48000.0, 44100.0}) {
    SCOPED_TRACE(rate);
    const AudioFormat from{rate, 2, SampleFormat::float32};
    const std::vector<float> out = convertAll(from, kAnalyzerFormat, tone(from, 1.0, 1000, 0.9));
    const ToneFit fit = fitTone(out, 16000, 1000);
    EXPECT_NEAR(20 * std::log10(fit.amplitude / (0.9 * 32768)), 0.0, 0.01);
    EXPECT_GT(fit.snrDb, 90.0);
  }
}

TEST(SoxrConverterTest, ToneAboveTheNewNyquistIsRejected) {
  const AudioFormat from{48000, 2, SampleFormat::float32};
  const std::vector<float> out =
      convertAll(from, {16000, 1, SampleFormat::float32}, tone(from, 1.0, 10000, 0.9));
  ASSERT_EQ(out.size(), 16000u);
  double power = 0;
  for (size_t n = out.size() / 4; n < out.size() * 3 / 4; ++n) power += out[n] * out[n];
  const double rms = std::sqrt(power / (out.size() / 2));
  EXPECT_LT(20 * std::log10(rms / (0.9 / std::sqrt(2.0))), -90.0);
}

// At equal rates the filter passes samples unchanged, which leaves what
// happens on the way to int16 to be seen exactly.
TEST(SoxrConverterTest, Int16OutputIsRoundedClippedAndAveraged) {
  constexpr float kLsb = 1.0f / 32768;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    const char* what;
    AudioFormat from;
    std::vector<float> in;
    std::vector<float> expected;
  };
  const AudioFormat mono{16000, 1, SampleFormat::float32};
  const AudioFormat stereo{16000, 2, SampleFormat::float32};
  const AudioFormat stereo16{16000, 2, SampleFormat::int16};
  const Case cases[] = {
      {"rounds to nearest", mono, {100.4f * kLsb, 100.6f * kLsb, -100.6f * kLsb}, {100, 101, -101}},
      {"ties go to even", mono, {0.5f * kLsb, 1.5f * kLsb, -2.5f * kLsb}, {0, 2, -2}},
      {"clips",
       mono,
       {1.0f, -1.0f, 1.5f, -7.0f, 32766.6f * kLsb},
       {32767, -32768, 32767, -32768, 32767}},
      {"NaN is silence, infinities clip", mono, {nan, inf, -inf}, {0, 32767, -32768}},
      {"averages float channels", stereo, {0.25f, 0.75f, -1.0f, 1.0f}, {16384, 0}},
      {"averages int16 channels",
       stereo16,
       {1000 * kLsb, 3000 * kLsb, -1.0f, -1.0f, 32767 * kLsb, -1.0f, kLsb, 2 * kLsb},
       {2000, -32768, 0, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(convertAll(c.from, kAnalyzerFormat, c.in), c.expected);
  }
}

TEST(SoxrConverterTest, RefusesPairsItCannotConvert) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const AudioFormat capture{48000, 2, SampleFormat::float32};
  const std::pair<AudioFormat, AudioFormat> refused[] = {
      {capture, {16000, 2, SampleFormat::int16}},  // only mono output
      {capture, {16000, 0, SampleFormat::int16}},
      {{48000, 0, SampleFormat::float32}, kAnalyzerFormat},
      {{0, 2, SampleFormat::float32}, kAnalyzerFormat},
      {{-48000, 2, SampleFormat::float32}, kAnalyzerFormat},
      {{nan, 2, SampleFormat::float32}, kAnalyzerFormat},
      {{inf, 2, SampleFormat::float32}, kAnalyzerFormat},
      {capture, {0, 1, SampleFormat::int16}},
      {capture, {inf, 1, SampleFormat::int16}},
  };
  SoxrConverterFactory factory;
  for (const auto& [from, to] : refused) {
    EXPECT_EQ(factory.make(from, to), nullptr) << from.toString() << " -> " << to.toString();
  }
  const std::pair<AudioFormat, AudioFormat> accepted[] = {
      {capture, kAnalyzerFormat},
      {{8000, 1, SampleFormat::int16}, {16000, 1, SampleFormat::float32}},
      {{96000, 6, SampleFormat::float32}, kAnalyzerFormat},
  };
  for (const auto& [from, to] : accepted) {
    auto converter = factory.make(from, to);
    ASSERT_NE(converter, nullptr) << from.toString() << " -> " << to.toString();
    EXPECT_EQ(converter->inputFormat(), from);
    EXPECT_EQ(converter->outputFormat(), to);
  }
}

// A block that hands over `buffer` once with `status`, then noDataNow.
ConverterInputBlock once(std::shared_ptr<PcmBuffer> buffer, ConverterInputStatus status) {
  return [buffer, status, given = false](uint32_t, ConverterInputStatus& out) mutable {
    out = std::exchange(given, true) ? ConverterInputStatus::noDataNow : status;
    return out == ConverterInputStatus::haveData ? buffer : nullptr;
  };
}

TEST(SoxrConverterTest, MisfitBuffersAreErrorsAndLeaveTheStreamIntact) {
  const AudioFormat from{48000, 2, SampleFormat::float32};
  const std::vector<float> signal = noise(from, 0.2);
  const uint32_t frames = static_cast<uint32_t>(signal.size() / 2);
  auto converter = SoxrConverter::make(from, kAnalyzerFormat);
  struct Case {
    const char* what;
    std::shared_ptr<PcmBuffer> input;
    std::shared_ptr<PcmBuffer> output;
    int code;
  };
  const Case cases[] = {
      {"input in another format", makeBuffer({44100, 2, SampleFormat::float32}, signal.data(), 100),
       PcmBuffer::make(kAnalyzerFormat, 100), kSoxrInputFormatMismatch},
      {"haveData without a buffer", nullptr, PcmBuffer::make(kAnalyzerFormat, 100),
       kSoxrMissingInputBuffer},
      {"output in another format", makeBuffer(from, signal.data(), 100),
       PcmBuffer::make({16000, 1, SampleFormat::float32}, 100), kSoxrOutputFormatMismatch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::optional<Error> error;
    EXPECT_EQ(converter->convert(*c.output, error, once(c.input, ConverterInputStatus::haveData)),
              ConverterOutputStatus::error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), kSoxrErrorDomain);
    EXPECT_EQ(error->code(), c.code);
    EXPECT_EQ(c.output->frameLength(), 0u);
  }
  // The same converter still turns a whole signal into its full length.
  const Outcome outcome = feed(*converter, signal, captureSchedule(*converter));
  EXPECT_EQ(outcome.samples.size(), std::llround(frames / 3.0));
}

TEST(SoxrConverterTest, AfterTheEndItAnswersEndOfStreamWithoutAskingAgain) {
  const AudioFormat from{48000, 1, SampleFormat::float32};
  const std::vector<float> signal = noise(from, 0.1);
  auto converter = SoxrConverter::make(from, kAnalyzerFormat);
  const Outcome outcome = feed(*converter, signal, captureSchedule(*converter));
  EXPECT_EQ(outcome.samples.size(), 1600u);
  int asked = 0;
  auto out = PcmBuffer::make(kAnalyzerFormat, 100);
  std::optional<Error> error;
  const auto status = converter->convert(*out, error, [&](uint32_t, ConverterInputStatus& s) {
    ++asked;
    s = ConverterInputStatus::haveData;
    return makeBuffer(from, signal.data(), 100);
  });
  EXPECT_EQ(status, ConverterOutputStatus::endOfStream);
  EXPECT_EQ(out->frameLength(), 0u);
  EXPECT_EQ(asked, 0);
}

}  // namespace
}  // namespace dictate
