#include "platform/linux/speech/voice_warp.h"

#include <sphinxbase/cmd_ln.h>
#include <sphinxbase/fe.h>
// Debian's yin.h declares its first function extern "C" without a brace and
// then closes a block it never opened: this brace is the one it closes.
extern "C" {
#include <sphinxbase/yin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <string>

#include "platform/linux/speech/pocketsphinx_decoder.h"

namespace dictate {

namespace {
constexpr int kSampleRate = 16000;
constexpr int kWindowSamples = 400;  // 25 ms, two periods of an 80 Hz voice
constexpr int kStepSamples = 160;    // 10 ms
constexpr size_t kRecentSteps = 150;
constexpr size_t kVoicedStepsNeeded = 5;
// A step is voiced when the pitch tracker's best difference is below 0.2
// (in its Q15 scale), and its pitch is a voice's.
constexpr uint16 kVoicedBestDiff = 6554;
constexpr float kLowestPitchHz = 60, kHighestPitchHz = 500;

// Formants are the peaks of the spectral envelope that linear prediction of
// this order fits to a step (two poles a kilohertz, and two for the slope).
constexpr int kPredictionOrder = 18;
constexpr int kEnvelopeStepHz = 10, kEnvelopeLowHz = 200, kEnvelopeHighHz = 5500;

// Men's voices measure 85-155 Hz, women's 165-255 Hz; the fourth formant
// lies near 3.2-3.7 kHz in men's and 4-4.3 kHz in women's. Pitch alone also
// stretches men who speak high, whom it costs a quarter more errors, so both
// must be high. Searched on the speech benchmark's tuning half with 40 more
// tuning sentences made the same way (bench/more_sentences.txt), and on 70
// sentences spoken by flite's woman's voice (slt) and by three of its men's,
// these also at 170 Hz (errors of the words):
//                              tuning 1320   woman+men 1446   men at 170 Hz 1446
//   model's own front end          501              424                448
//   24 %, pitch at the onset       456              386                557
//   24 %, pitch and formant        459              380                462
// 12 % and 18 % gained less on every set, 30 % no more.
constexpr float kWarpAbovePitchHz = 150;
constexpr float kWarpAboveFormantHz = 3900;
constexpr const char* kWarp = "1.24";
// The voice is measured once this many frames of the utterance are out
// (the 0.2 s before speech included), or at its end if it is shorter: at
// the onset alone the formant is too unsteady to tell.
constexpr int32 kDecideFrames = 100;
constexpr int32 kMaxFrames = 128;

// The frequency of the fourth peak of `window`'s spectral envelope, 0 when
// it has fewer.
float fourthPeak(std::span<const int16_t> window) {
  constexpr int p = kPredictionOrder;
  constexpr int bins = (kEnvelopeHighHz - kEnvelopeLowHz) / kEnvelopeStepHz + 1;
  static const auto basis = [] {
    std::array<std::array<std::pair<double, double>, p + 1>, bins> table{};
    for (int b = 0; b < bins; ++b) {
      double omega = 2 * std::numbers::pi * (kEnvelopeLowHz + b * kEnvelopeStepHz) / kSampleRate;
      for (int j = 0; j <= p; ++j) table[b][j] = {std::cos(omega * j), std::sin(omega * j)};
    }
    return table;
  }();
  std::array<double, kWindowSamples> x{};
  for (int i = 0; i < kWindowSamples; ++i) {
    double emphasised = window[i] - (i > 0 ? 0.97 * window[i - 1] : 0.0);
    x[i] = emphasised * (0.54 - 0.46 * std::cos(2 * std::numbers::pi * i / (kWindowSamples - 1)));
  }
  std::array<double, p + 1> r{}, a{}, previous{};
  for (int k = 0; k <= p; ++k)
    for (int i = k; i < kWindowSamples; ++i) r[k] += x[i] * x[i - k];
  if (r[0] <= 0) return 0;
  r[0] *= 1.0001;  // a little white noise keeps the recursion stable
  a[0] = 1;
  double error = r[0];
  for (int i = 1; i <= p; ++i) {
    double k = r[i];
    for (int j = 1; j < i; ++j) k += a[j] * r[i - j];
    k = -k / error;
    previous = a;
    for (int j = 1; j < i; ++j) a[j] = previous[j] + k * previous[i - j];
    a[i] = k;
    error *= 1 - k * k;
  }
  double before = 0, last = 0;
  int peaks = 0;
  for (int b = 0; b < bins; ++b) {
    double re = 0, im = 0;
    for (int j = 0; j <= p; ++j) {
      re += a[j] * basis[b][j].first;
      im -= a[j] * basis[b][j].second;
    }
    double power = 1 / (re * re + im * im);
    if (b >= 2 && last > before && last >= power && ++peaks == 4)
      return static_cast<float>(kEnvelopeLowHz + (b - 1) * kEnvelopeStepHz);
    before = last;
    last = power;
  }
  return 0;
}
}  // namespace

VoiceMeasure::VoiceMeasure() : yin_(yin_init(kWindowSamples, 0.1f, 0.2f, 0)) {
  window_.reserve(kWindowSamples + kStepSamples);
  yin_start(yin_);
}

VoiceMeasure::~VoiceMeasure() { yin_free(yin_); }

void VoiceMeasure::reset() {
  yin_end(yin_);
  yin_start(yin_);
  window_.clear();
  sinceStep_ = 0;
  recent_.clear();
}

void VoiceMeasure::feed(std::span<const int16_t> samples) {
  for (int16_t sample : samples) {
    window_.push_back(sample);
    if (++sinceStep_ < kStepSamples || window_.size() < kWindowSamples) continue;
    sinceStep_ = 0;
    window_.erase(window_.begin(), window_.end() - kWindowSamples);
    yin_write(yin_, window_.data());
    uint16 period = 0, bestDiff = 0;
    Step step;
    if (yin_read(yin_, &period, &bestDiff) && period > 0 && bestDiff < kVoicedBestDiff) {
      float hz = static_cast<float>(kSampleRate) / period;
      if (hz >= kLowestPitchHz && hz <= kHighestPitchHz) step = {hz, fourthPeak(window_)};
    }
    recent_.push_back(step);
    if (recent_.size() > kRecentSteps) recent_.erase(recent_.begin());
  }
}

float VoiceMeasure::median(float Step::*field) const {
  std::vector<float> voiced;
  for (const Step& step : recent_)
    if (step.*field > 0) voiced.push_back(step.*field);
  if (voiced.size() < kVoicedStepsNeeded) return 0;
  std::nth_element(voiced.begin(), voiced.begin() + voiced.size() / 2, voiced.end());
  return voiced[voiced.size() / 2];
}

float VoiceMeasure::pitch() const { return median(&Step::pitch); }
float VoiceMeasure::fourthFormant() const { return median(&Step::formant); }

std::unique_lock<std::mutex> lockFrontEndMaking() {
  static std::mutex making;
  return std::unique_lock<std::mutex>(making);
}

VoiceWarpFrontEnd::VoiceWarpFrontEnd(cmd_ln_s* config) {
  auto lock = lockFrontEndMaking();
  plainFrontEnd_ = fe_init_auto_r(config);
  // Making a front end without a warp turns the library's warp off, and a
  // warp given in the same words as the last one is taken as still set: so
  // each stretched front end gives its warp in other words than the one
  // before (a leading space the library skips).
  static bool spaced = false;
  spaced = !spaced;
  const std::string warp = spaced ? std::string(" ") + kWarp : std::string(kWarp);
  // The configuration is the decoder's, so it is put back as it was.
  std::string type = cmd_ln_str_r(config, "-warp_type") ? cmd_ln_str_r(config, "-warp_type") : "";
  std::string params =
      cmd_ln_str_r(config, "-warp_params") ? cmd_ln_str_r(config, "-warp_params") : "";
  cmd_ln_set_str_r(config, "-warp_type", "inverse_linear");
  cmd_ln_set_str_r(config, "-warp_params", warp.c_str());
  warpedFrontEnd_ = fe_init_auto_r(config);
  cmd_ln_set_str_r(config, "-warp_type", type.empty() ? nullptr : type.c_str());
  cmd_ln_set_str_r(config, "-warp_params", params.empty() ? nullptr : params.c_str());
  if (!plainFrontEnd_ || !warpedFrontEnd_) {
    fe_free(plainFrontEnd_);
    fe_free(warpedFrontEnd_);
    throw speechError(kModelLoadFailed, "speech decoder's feature extraction could not be made");
  }
  cepstra_ = fe_get_output_size(plainFrontEnd_);
  for (Output* out : {&plainOut_, &warpedOut_}) {
    out->values.resize(static_cast<size_t>(kMaxFrames * cepstra_));
    for (int32 i = 0; i < kMaxFrames; ++i) out->rows.push_back(out->values.data() + i * cepstra_);
  }
}

VoiceWarpFrontEnd::~VoiceWarpFrontEnd() {
  fe_free(plainFrontEnd_);
  fe_free(warpedFrontEnd_);
}

void VoiceWarpFrontEnd::startStream() {
  for (fe_t* frontEnd : {plainFrontEnd_, warpedFrontEnd_}) {
    fe_start_stream(frontEnd);
    fe_start_utt(frontEnd);
  }
  voice_.reset();
  startUtterance();
}

void VoiceWarpFrontEnd::startUtterance() {
  fe_start_utt(plainFrontEnd_);
  fe_start_utt(warpedFrontEnd_);
  if (chosen_) lastWarped_ = warped_;
  plainValues_.clear();
  warpedValues_.clear();
  warpable_ = true;
  chosen_ = warped_ = false;
  searching_ = lastWarped_;
}

void VoiceWarpFrontEnd::run(fe_t* frontEnd, std::span<const int16_t> samples, Output& out) {
  const int16* data = samples.data();
  size_t left = samples.size();
  out.count = 0;
  while (left > 0 && out.count < kMaxFrames) {
    int32 frames = kMaxFrames - out.count, first = 0;
    fe_process_frames(frontEnd, &data, &left, out.rows.data() + out.count, &frames, &first);
    if (out.count == 0) out.firstIndex = first;
    out.count += frames;
    if (frames == 0) break;
  }
}

// Each front end detects speech from its own spectrum: the stretched frames
// can stand in for the model's own only while they are the same frames.
bool VoiceWarpFrontEnd::sameFrames(const Output& plain, const Output& warped) {
  return warped.count == plain.count && (plain.count == 0 || warped.firstIndex == plain.firstIndex);
}

void VoiceWarpFrontEnd::keep(const Output& plain, const Output& warped) {
  if (chosen_) return;
  plainValues_.insert(plainValues_.end(), plain.values.data(),
                      plain.values.data() + plain.count * cepstra_);
  if (!warpable_) return;
  if (!sameFrames(plain, warped)) {
    warpable_ = false;
    return;
  }
  warpedValues_.insert(warpedValues_.end(), warped.values.data(),
                       warped.values.data() + warped.count * cepstra_);
}

CepstraFrames VoiceWarpFrontEnd::restartWith(bool warped) {
  searching_ = warped;
  std::vector<float>& values = warped ? warpedValues_ : plainValues_;
  utteranceRows_.clear();
  for (size_t at = 0; at < values.size(); at += static_cast<size_t>(cepstra_))
    utteranceRows_.push_back(values.data() + at);
  return {utteranceRows_, true};
}

CepstraFrames VoiceWarpFrontEnd::choose(const Output& plain, const Output& warped, bool ending) {
  keep(plain, warped);
  if (!chosen_) {
    const auto frames = static_cast<int32>(plainValues_.size() / static_cast<size_t>(cepstra_));
    if ((ending || frames >= kDecideFrames) && frames > 0) {
      chosen_ = true;
      warped_ = warpable_ && voice_.pitch() > kWarpAbovePitchHz &&
                voice_.fourthFormant() > kWarpAboveFormantHz;
    } else if (searching_ && !warpable_) {
      // The stretched frames parted from the model's own before the choice:
      // this utterance cannot be stretched.
      chosen_ = true;
    }
    if (chosen_ && warped_ != searching_) return restartWith(warped_);
  }
  const Output& out = searching_ && sameFrames(plain, warped) ? warped : plain;
  return {{out.rows.data(), static_cast<size_t>(out.count)}, false};
}

CepstraFrames VoiceWarpFrontEnd::process(std::span<const int16_t> samples) {
  voice_.feed(samples);
  run(plainFrontEnd_, samples, plainOut_);
  run(warpedFrontEnd_, samples, warpedOut_);
  return choose(plainOut_, warpedOut_, false);
}

CepstraFrames VoiceWarpFrontEnd::finishUtterance() {
  int32 plainFrames = 0, warpedFrames = 0;
  fe_end_utt(plainFrontEnd_, plainOut_.rows[0], &plainFrames);
  fe_end_utt(warpedFrontEnd_, warpedOut_.rows[0], &warpedFrames);
  plainOut_.count = plainFrames;
  warpedOut_.count = warpedFrames;
  plainOut_.firstIndex = warpedOut_.firstIndex = 0;
  return choose(plainOut_, warpedOut_, true);
}

bool VoiceWarpFrontEnd::inSpeech() const { return fe_get_vad_state(plainFrontEnd_) != 0; }

}  // namespace dictate
