#include "app/enrol/reading_check.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

namespace dictate {

namespace {

// A frame is speech when it is this much above the noise floor, and above
// kSpeechFloorDbfs whatever the floor (a line that is digitally silent, or
// nearly, has a floor far below any microphone's).
constexpr double kSpeechAboveFloorDb = 15;
constexpr double kSpeechFloorDbfs = -50;
// The floor is the quietest frame of the last two seconds: a sentence has
// quieter moments between its words, a room's noise fills the pauses.
constexpr size_t kFloorFrames = 67;
// A reading needs this much speech; and it ends after this long a pause
// (longer than a comma's, shorter than a wait for the next sentence).
constexpr double kMinimumSpeechSeconds = 0.4;
constexpr double kEndingPauseSeconds = 1.0;
// Clipping: samples this close to full scale, more than one in kClipShare
// of the speech.
constexpr int kClipLevel = 32500;
constexpr size_t kClipShare = 2000;
// A reading must let the speaker-independent model hear this share of its
// sentence's words, in order. That model gets many words of a good reading
// wrong, more on some voices than others, while a reading of another
// sentence shares only a few short words with it. Measured on our 26
// sentences read by seven synthetic voices over a -52 dBFS floor: readings
// of another sentence shared at most 30 % of the words; good readings
// shared 9-100 % (espeak-ng's woman, the model's worst voice: a fifth of
// her readings below 32 %; two of 26 of espeak-ng's man; no voice made from
// recordings of people). The word error rate tells the two apart less well:
// good readings reached 133 %, readings of another sentence went as low as 70 %.
constexpr double kLeastShareHeard = 0.32;

double toDbfs(double amplitude) { return 20 * std::log10(std::max(amplitude, 1.0) / 32768.0); }

}  // namespace

void ReadingLevel::add(std::span<const int16_t> samples) {
  while (!samples.empty()) {
    const size_t take = std::min(samples.size(), kFrameSamples - partial_.size());
    partial_.insert(partial_.end(), samples.begin(), samples.begin() + take);
    samples = samples.subspan(take);
    if (partial_.size() == kFrameSamples) addFrame(partial_), partial_.clear();
  }
}

void ReadingLevel::addFrame(std::span<const int16_t> frame) {
  double energy = 0;
  for (int16_t s : frame) {
    energy += static_cast<double>(s) * s;
    peak_ = std::max(peak_, std::abs(static_cast<int>(s)));
    clipped_ += std::abs(static_cast<int>(s)) >= kClipLevel;
  }
  lastDbfs_ = toDbfs(std::sqrt(energy / static_cast<double>(frame.size())));
  recent_.push_back(lastDbfs_);
  if (recent_.size() > kFloorFrames) recent_.pop_front();
  const double floorDbfs = *std::min_element(recent_.begin(), recent_.end());
  if (lastDbfs_ > std::max(kSpeechFloorDbfs, floorDbfs + kSpeechAboveFloorDb)) {
    if (speechFrames_++ == 0) speechBegin_ = frames_ * kFrameSamples;
    speechEnd_ = (frames_ + 1) * kFrameSamples;
  }
  ++frames_;
}

double ReadingLevel::peakDbfs() const { return toDbfs(peak_); }

double ReadingLevel::speechSeconds() const {
  return static_cast<double>(speechFrames_ * kFrameSamples) / kSampleRate;
}

bool ReadingLevel::heardSpeech() const { return speechSeconds() >= kMinimumSpeechSeconds; }

bool ReadingLevel::pausedAfterSpeech() const {
  return heardSpeech() && static_cast<double>(frames_ * kFrameSamples - speechEnd_) / kSampleRate >=
                              kEndingPauseSeconds;
}

std::vector<std::string> sentenceWords(std::string_view text) {
  std::vector<std::string> words(1);
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || (c == '\'' && !words.back().empty())) {
      words.back() += static_cast<char>(std::tolower(u));
    } else if (!words.back().empty()) {
      words.emplace_back();
    }
  }
  for (std::string& word : words) {
    while (!word.empty() && word.back() == '\'') word.pop_back();  // a closing quote
  }
  std::erase_if(words, [](const std::string& word) { return word.empty(); });
  return words;
}

size_t wordsHeardInOrder(std::span<const std::string> reference,
                         std::span<const std::string> heard) {
  // One row of the table of common lengths: row[j] for heard's first j words.
  std::vector<size_t> row(heard.size() + 1, 0);
  for (const std::string& word : reference) {
    size_t diagonal = 0;
    for (size_t j = 1; j <= heard.size(); ++j) {
      const size_t above = row[j];
      row[j] = word == heard[j - 1] ? diagonal + 1 : std::max(row[j], row[j - 1]);
      diagonal = above;
    }
  }
  return row.back();
}

std::optional<std::string> readingFault(const ReadingLevel& level, std::string_view sentence,
                                        std::string_view heard) {
  if (!level.heardSpeech()) return "no speech was heard";
  const size_t speechSamples = level.speechEnd() - level.speechBegin();
  if (level.clippedSamples() * kClipShare > speechSamples)
    return "it is too loud (clipped): speak further from the microphone or turn its level down";
  const std::vector<std::string> expected = sentenceWords(sentence);
  const std::vector<std::string> words = sentenceWords(heard);
  if (static_cast<double>(wordsHeardInOrder(expected, words)) <
      kLeastShareHeard * static_cast<double>(expected.size()))
    return "it does not sound like the sentence";
  return std::nullopt;
}

}  // namespace dictate
