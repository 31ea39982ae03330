#include "platform/linux/speech/voice_warp.h"

#include <gtest/gtest.h>
#include <pocketsphinx.h>
#include <sphinxbase/fe.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
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

std::vector<int16_t> hiss(size_t samples, int amplitude) {
  std::vector<int16_t> out(samples);
  uint32_t state = 7;
  for (int16_t& x : out) {
    state = state * 1103515245u + 12345u;
    x = static_cast<int16_t>(static_cast<int>(state >> 16) % (2 * amplitude) - amplitude);
  }
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

  measure.feed(hiss(32000, 2000));
  EXPECT_EQ(measure.pitch(), 0);
  EXPECT_EQ(measure.fourthFormant(), 0);

  measure.feed(deep);
  measure.reset();
  EXPECT_EQ(measure.pitch(), 0) << "a new stream forgets the last voice";
}

// The library keeps the warp in process-wide state that making any front
// end sets: every stretched front end a process makes must stretch a high
// voice, not only its first.
TEST(VoiceWarpFrontEndTest, EveryFrontEndAProcessMakesStretchesAHighVoice) {
  std::unique_ptr<cmd_ln_t, decltype(&cmd_ln_free_r)> owned(
      cmd_ln_parse_r(nullptr, ps_args(), 0, nullptr, FALSE), cmd_ln_free_r);
  ASSERT_NE(owned, nullptr);
  cmd_ln_t* config = owned.get();
  auto audio = hiss(8000, 30);
  auto high = vowel(220, {600, 1800, 2900, 4200}, 2.0);
  audio.insert(audio.end(), high.begin(), high.end());

  // The model's own cepstra, from a front end of the library's.
  fe_t* plain = fe_init_auto_r(config);
  const size_t cepstra = static_cast<size_t>(fe_get_output_size(plain));
  int32 frames = 300;
  std::vector<float> plainValues(static_cast<size_t>(frames) * cepstra);
  std::vector<float*> plainRows;
  for (int32 i = 0; i < frames; ++i)
    plainRows.push_back(&plainValues[static_cast<size_t>(i) * cepstra]);
  const int16* data = audio.data();
  size_t left = audio.size();
  fe_start_utt(plain);
  fe_process_frames(plain, &data, &left, plainRows.data(), &frames, nullptr);
  fe_free(plain);

  for (int made = 1; made <= 3; ++made) {
    SCOPED_TRACE(made);
    VoiceWarpFrontEnd frontEnd(config);
    frontEnd.startStream();
    CepstraFrames restart;
    for (size_t at = 0; at < audio.size() && !restart.restart; at += 1600)
      restart =
          frontEnd.process(std::span(audio).subspan(at, std::min<size_t>(1600, audio.size() - at)));
    ASSERT_TRUE(restart.restart);
    ASSERT_LE(restart.rows.size(), static_cast<size_t>(frames));
    double difference = 0;
    for (size_t i = 0; i < restart.rows.size(); ++i)
      for (size_t c = 0; c < cepstra; ++c)
        difference += std::abs(restart.rows[i][c] - plainRows[i][c]);
    EXPECT_GT(difference / static_cast<double>(restart.rows.size()), 0.5);
  }
}

// An utterance after a stretched one starts stretched, with no search
// started again while the voice stays high; a deep voice after it goes back
// to the model's own frames, which does start the search again.
TEST(VoiceWarpFrontEndTest, NextUtteranceStartsFromTheLastChoice) {
  std::unique_ptr<cmd_ln_t, decltype(&cmd_ln_free_r)> owned(
      cmd_ln_parse_r(nullptr, ps_args(), 0, nullptr, FALSE), cmd_ln_free_r);
  ASSERT_NE(owned, nullptr);
  VoiceWarpFrontEnd frontEnd(owned.get());
  frontEnd.startStream();
  auto utterance = [&](std::vector<int16_t> voice) {
    auto audio = hiss(16000, 30);
    audio.insert(audio.end(), voice.begin(), voice.end());
    int restarts = 0;
    for (size_t at = 0; at < audio.size(); at += 1600)
      restarts += frontEnd.process(std::span(audio).subspan(at, std::min<size_t>(1600, audio.size() - at))).restart;
    restarts += frontEnd.finishUtterance().restart;
    frontEnd.startUtterance();
    return restarts;
  };
  auto high = vowel(220, {600, 1800, 2900, 4200}, 3.0);
  EXPECT_EQ(utterance(high), 1) << "the first utterance is searched on the model's own frames first";
  EXPECT_EQ(utterance(high), 0);
  EXPECT_EQ(utterance(vowel(110, {500, 1500, 2500, 3400}, 3.0)), 1);
  EXPECT_EQ(utterance(vowel(110, {500, 1500, 2500, 3400}, 3.0)), 0);
}

}  // namespace
}  // namespace dictate
