// Feature extraction that fits the model to higher voices.
//
// The acoustic model reads voices with short vocal tracts (most women's,
// children's) worse than deep ones: their formants sit higher than the
// model's. Each utterance is therefore turned into cepstra by two front ends
// made from the decoder's configuration: the model's own, and one whose
// filter bank is stretched so that a short vocal tract's formants fall where
// the model expects a long one's. The search starts on the model's own
// cepstra; once the utterance has gone on long enough to measure the voice,
// or when it ends, a voice that is both high and has high formants switches
// the utterance to the stretched cepstra, from its start. An utterance after
// one that was stretched starts on the stretched cepstra instead, and goes
// back to the model's own only if the voice is no longer high: the search
// starts again only when the voice changed. The model's own front end also
// detects speech, as the library's would.
#ifndef DICTATE_PLATFORM_LINUX_SPEECH_VOICE_WARP_H_
#define DICTATE_PLATFORM_LINUX_SPEECH_VOICE_WARP_H_

#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

struct cmd_ln_s;
struct fe_s;
struct yin_s;

namespace dictate {

// The pitch and the fourth formant of the voice in the last 1.5 s of 16 kHz
// audio: the medians over its voiced 10 ms steps.
class VoiceMeasure {
 public:
  VoiceMeasure();
  ~VoiceMeasure();
  VoiceMeasure(const VoiceMeasure&) = delete;
  VoiceMeasure& operator=(const VoiceMeasure&) = delete;

  void feed(std::span<const int16_t> samples);
  // In Hz; 0 when too few of the recent steps were voiced to tell.
  float pitch() const;
  float fourthFormant() const;
  void reset();

 private:
  struct Step {
    float pitch = 0;    // 0 when unvoiced
    float formant = 0;  // 0 when unvoiced or not found
  };
  float median(float Step::*field) const;

  yin_s* yin_;
  std::vector<int16_t> window_;  // the last analysis window, and up to a step more
  size_t sinceStep_ = 0;
  std::vector<Step> recent_;
};

// The frames to search next. With `restart`, the search starts the
// utterance again and `rows` are all of its frames so far.
struct CepstraFrames {
  std::span<float* const> rows;
  bool restart = false;
};

// The library keeps a filter bank's warp in process-wide state, which
// making any front end sets and reads, the decoder's own included. Hold
// this while making one.
std::unique_lock<std::mutex> lockFrontEndMaking();

class VoiceWarpFrontEnd {
 public:
  // Throws an Error when a front end cannot be made from `config`. Takes
  // lockFrontEndMaking() itself.
  explicit VoiceWarpFrontEnd(cmd_ln_s* config);
  ~VoiceWarpFrontEnd();
  VoiceWarpFrontEnd(const VoiceWarpFrontEnd&) = delete;
  VoiceWarpFrontEnd& operator=(const VoiceWarpFrontEnd&) = delete;

  void startStream();
  // The next utterance chooses its front end afresh.
  void startUtterance();
  // The frames of speech that `samples` complete; rows are valid until the
  // next call. None while there is no speech.
  CepstraFrames process(std::span<const int16_t> samples);
  // The utterance's last, partial frame, if any.
  CepstraFrames finishUtterance();
  bool inSpeech() const;

 private:
  struct Output {
    std::vector<float> values;
    std::vector<float*> rows;
    int32_t count = 0;
    int32_t firstIndex = 0;
  };
  void run(fe_s* frontEnd, std::span<const int16_t> samples, Output& out);
  static bool sameFrames(const Output& plain, const Output& warped);
  void keep(const Output& plain, const Output& warped);
  CepstraFrames choose(const Output& plain, const Output& warped, bool ending);
  CepstraFrames restartWith(bool warped);

  fe_s* plainFrontEnd_ = nullptr;
  fe_s* warpedFrontEnd_ = nullptr;
  Output plainOut_, warpedOut_;
  int cepstra_ = 0;
  VoiceMeasure voice_;
  // The utterance's frames of each front end so far (until the choice);
  // `warpable_` is false once the stretched ones have not matched the
  // model's own frame for frame.
  std::vector<float> plainValues_, warpedValues_;
  std::vector<float*> utteranceRows_;
  bool warpable_ = true;
  bool chosen_ = false;
  bool warped_ = false;     // the choice, once made
  bool searching_ = false;  // whether the search has the stretched frames
  bool lastWarped_ = false; // the last utterance's choice
};

}  // namespace dictate

#endif  // DICTATE_PLATFORM_LINUX_SPEECH_VOICE_WARP_H_
