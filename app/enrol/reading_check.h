// What makes an enrolment reading fit to adapt the speech model with: it
// holds speech, it is not clipped, and the speaker-independent model hears
// in it roughly the sentence that was to be read. ReadingLevel follows a
// reading as it is recorded (its level, where its speech is, when it has
// paused); the rest are plain functions. Single-threaded, as the enrolment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dictate {

class ReadingLevel {
 public:
  static constexpr int kSampleRate = 16000;
  // The level is measured over frames of this many samples (30 ms).
  static constexpr size_t kFrameSamples = 480;

  // Measures `samples`, which continue those added before.
  void add(std::span<const int16_t> samples);

  // The loudness of the latest whole frame, in dB below full scale.
  double lastDbfs() const { return lastDbfs_; }
  // The loudest sample so far, in dB below full scale.
  double peakDbfs() const;
  // How much of the reading was speech: frames well above the quietest
  // heard (and above a fixed floor, so that a silent line is not speech).
  double speechSeconds() const;
  // Samples at or next to full scale.
  size_t clippedSamples() const { return clipped_; }
  // Whether enough speech was heard for a reading, and it has been followed
  // by a pause long enough to end a sentence.
  bool heardSpeech() const;
  bool pausedAfterSpeech() const;
  // The first and the last sample of the speech heard (both 0 before any).
  size_t speechBegin() const { return speechBegin_; }
  size_t speechEnd() const { return speechEnd_; }

 private:
  void addFrame(std::span<const int16_t> frame);

  std::vector<int16_t> partial_;  // the samples of the frame not yet whole
  size_t frames_ = 0;
  size_t speechFrames_ = 0;
  size_t speechBegin_ = 0;
  size_t speechEnd_ = 0;
  size_t clipped_ = 0;
  int peak_ = 0;
  double lastDbfs_ = -96;
  std::deque<double> recent_;  // the latest frames' levels, for the noise floor
};

// The words of `text` as the model's dictionary spells them: lower case,
// marks dropped, apostrophes within words kept.
std::vector<std::string> sentenceWords(std::string_view text);

// How many words of `reference` are in `heard`, in their order (the
// length of the longest sequence the two have in common).
size_t wordsHeardInOrder(std::span<const std::string> reference,
                         std::span<const std::string> heard);

// Why a reading of `sentence` cannot be used, in words for the user, or
// nothing when it can; `heard` is what the speaker-independent model made
// of it.
std::optional<std::string> readingFault(const ReadingLevel& level, std::string_view sentence,
                                        std::string_view heard);

}  // namespace dictate
