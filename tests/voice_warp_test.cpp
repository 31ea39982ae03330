#include "platform/linux/voice_warp.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace dictate {
namespace {

constexpr double kRate = 16000;

// `seconds` of a sustained vowel: a pulse train at `pitch` through one
// resonance (80 Hz wide) at each of `formants`.
std::vector<int16_t> vowel(double pitch, std::array<double, 4> formants, double seconds) {
  std::vector<double> signal(static_cast<size_t>(seconds * kRate));
  double phase = 1;
  for (double& x : signal) {
    phase += pitch / kRate;
    if (phase >= 1) {
      phase -= 1;
      x = 1;
    }
  }
  for (double hz : formants) {
    double r = std::exp(-std::numbers::pi * 80 / kRate);
    double a1 = 2 * r * std::cos(2 * std::numbers::pi * hz / kRate), a2 = -r * r;
    double y1 = 0, y2 = 0;
    for (double& x : signal) {
      double y = x + a1 * y1 + a2 * y2;
      y2 = y1;
      y1 = y;
      x = y;
    }
  }
  double peak = 0;
  for (double x : signal) peak = std::max(peak, std::abs(x));
  std::vector<int16_t> out;
  for (double x : signal) out.push_back(static_cast<int16_t>(std::lround(x / peak * 8000)));
  return out;
}

// A deep voice and a high one are told apart by both measures, whatever
// sizes the audio comes in; the measure follows a change of voice within
// its window, and hiss has neither pitch nor formants.
TEST(VoiceMeasureTest, MeasuresPitchAndFourthFormantOfTheRecentVoice) {
  VoiceMeasure measure;
  EXPECT_EQ(measure.pitch(), 0);
  auto deep = vowel(110, {500, 1500, 2500, 3400}, 1.0);
  for (size_t at = 0; at < deep.size(); at += 333)
    measure.feed(std::span(deep).subspan(at, std::min<size_t>(333, deep.size() - at)));
  EXPECT_NEAR(measure.pitch(), 110, 5);
  EXPECT_NEAR(measure.fourthFormant(), 3400, 150);

  auto high = vowel(220, {600, 1800, 2900, 4200}, 2.0);
  measure.feed(high);
  EXPECT_NEAR(measure.pitch(), 220, 10);
  EXPECT_NEAR(measure.fourthFormant(), 4200, 150);

  std::vector<int16_t> hiss(32000);
  uint32_t state = 7;
  for (int16_t& x : hiss) {
    state = state * 1103515245u + 12345u;
    x = static_cast<int16_t>(static_cast<int>(state >> 16) % 4000 - 2000);
  }
  measure.feed(hiss);
  EXPECT_EQ(measure.pitch(), 0);
  EXPECT_EQ(measure.fourthFormant(), 0);

  measure.feed(deep);
  measure.reset();
  EXPECT_EQ(measure.pitch(), 0) << "a new stream forgets the last voice";
}

}  // namespace
}  // namespace dictate
