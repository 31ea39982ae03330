#include "platform/linux/noise_floor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace dictate {
namespace {

constexpr int kRate = 16000;

// Alternating seconds of a tone at `speechRms` and of hiss at `floorRms`,
// ending in hiss, and the RMS of what raise() added to that last second.
double addedToTheLastPause(double speechRms, double floorRms, size_t firstSlice = 1 << 20) {
  std::vector<int16_t> input;
  uint32_t state = 1;
  for (int i = 0; i < 10 * kRate; ++i) {
    state = state * 1103515245u + 12345u;
    double hiss = (static_cast<double>(state >> 16) / 32768.0 - 1.0) * std::sqrt(3.0) * floorRms;
    double tone = (i / kRate) % 2 == 0 ? speechRms * std::sqrt(2.0) * std::sin(i * 0.4) : 0;
    input.push_back(static_cast<int16_t>(std::lround(tone + hiss)));
  }
  // Cut into slices of growing, odd sizes: the result must not depend on it.
  auto output = input;
  NoiseFloor floor;
  std::span<int16_t> rest(output);
  for (size_t size = firstSlice; !rest.empty(); size = size * 3 + 7) {
    size = std::min(size, rest.size());
    floor.raise(rest.first(size));
    rest = rest.subspan(size);
  }
  double sum = 0;
  for (size_t i = input.size() - kRate; i < input.size(); ++i)
    sum += std::pow(output[i] - input[i], 2);
  return std::sqrt(sum / kRate);
}

TEST(NoiseFloorTest, RaisesOnlyAFloorFarBelowTheSpeechTheSameWayHoweverSliced) {
  const double clean = addedToTheLastPause(1800, 10);
  EXPECT_GT(clean, 60);  // brought to 28 dB below the speech
  EXPECT_LT(clean, 80);
  EXPECT_EQ(addedToTheLastPause(1800, 10, 1), clean);
  const double quietVoice = addedToTheLastPause(600, 5);
  EXPECT_GT(quietVoice, 18);
  EXPECT_LT(quietVoice, 36);
  EXPECT_EQ(addedToTheLastPause(1800, 45), 0);  // 30 dB below: left as it is
  EXPECT_EQ(addedToTheLastPause(1800, 150), 0);
}

}  // namespace
}  // namespace dictate
