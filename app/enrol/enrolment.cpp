#include "app/enrol/enrolment.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/enrol/enrolment_microphone.h"
#include "app/enrol/reading_check.h"
#include "platform/linux/models/model_store.h"
#include "platform/linux/speech/dictation_formatter.h"
#include "platform/linux/speech/pocketsphinx_decoder.h"
#include "platform/linux/speech/speaker_adaptation.h"

namespace dictate {

namespace {

using namespace std::chrono_literals;

// Every kHoldBackEvery-th reading judges the adaptation instead of feeding it.
constexpr size_t kHoldBackEvery = 4;
constexpr size_t kMinimumTraining = 10;
constexpr size_t kMinimumHeldBack = 3;
// Scripted use gives up after this many unusable readings in a row: the
// microphone is most likely the wrong one, or nobody is reading.
constexpr int kMostRejectedInARow = 3;
// A reading without speech ends after kSpeechWait; any after kLongestReading.
constexpr double kSpeechWaitSeconds = 8;
constexpr double kLongestReadingSeconds = 30;
// Kept around the speech: the adaptation's alignment wants some silence.
constexpr size_t kMarginBefore = 6400, kMarginAfter = 8000;

void say(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

// A line the user typed; nothing at the end of input.
std::optional<std::string> readLine() {
  std::string line;
  char c;
  while (::read(STDIN_FILENO, &c, 1) == 1) {
    if (c == '\n') return line;
    line += c;
  }
  return line.empty() ? std::nullopt : std::optional(line);
}

// Whether the user pressed Enter (the line is consumed).
bool enterPressed() {
  pollfd input{STDIN_FILENO, POLLIN, 0};
  if (::poll(&input, 1, 0) != 1) return false;
  readLine();
  return true;
}

std::vector<std::string> loadSentences(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::vector<std::string> sentences;
  for (std::string line; std::getline(in, line);) {
    if (line.find_first_not_of(" \t\r") == std::string::npos || line.front() == '#') continue;
    sentences.push_back(line.substr(0, line.find_last_not_of(" \t\r") + 1));
  }
  return sentences;
}

void showLevel(double dbfs) {
  constexpr int kWidth = 30;  // one mark per 2 dB from -60 dBFS
  const int marks = std::clamp(static_cast<int>((dbfs + 60) / 2), 0, kWidth);
  std::fprintf(stderr, "\r  level [%s%s] %4.0f dBFS ", std::string(marks, '#').c_str(),
               std::string(kWidth - marks, ' ').c_str(), std::max(dbfs, -99.0));
}

struct Recording {
  std::vector<int16_t> samples;
  ReadingLevel level;
};

// Records one reading: until a pause after speech, Enter on a terminal,
// kSpeechWait without speech, or kLongestReading. Keeps the speech and a
// margin of what is around it.
Recording record(EnrolmentMicrophone& microphone, bool interactive) {
  Recording reading;
  const auto began = std::chrono::steady_clock::now();
  while (!reading.level.pausedAfterSpeech()) {
    // What was captured while the last reading was checked may hold the
    // next one too: measured a frame at a time, the rest given back.
    std::vector<int16_t> samples = microphone.take(100ms);
    size_t used = 0;
    while (used < samples.size() && !reading.level.pausedAfterSpeech()) {
      const size_t frame = std::min(ReadingLevel::kFrameSamples, samples.size() - used);
      reading.level.add(std::span(samples).subspan(used, frame));
      used += frame;
    }
    reading.samples.insert(reading.samples.end(), samples.begin(),
                           samples.begin() + static_cast<long>(used));
    if (used < samples.size())
      microphone.putBack({samples.begin() + static_cast<long>(used), samples.end()});
    const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - began;
    const double seconds =
        std::max(waited.count(), static_cast<double>(reading.samples.size()) / 16000);
    if (interactive) showLevel(reading.level.lastDbfs());
    if ((interactive && enterPressed()) || seconds >= kLongestReadingSeconds ||
        (!reading.level.heardSpeech() && seconds >= kSpeechWaitSeconds))
      break;
  }
  if (interactive) std::fprintf(stderr, "\n");
  if (reading.level.heardSpeech()) {
    const size_t end = std::min(reading.samples.size(), reading.level.speechEnd() + kMarginAfter);
    reading.samples.resize(end);
    const size_t begin = reading.level.speechBegin();
    reading.samples.erase(
        reading.samples.begin(),
        reading.samples.begin() + static_cast<long>(begin - std::min(begin, kMarginBefore)));
  }
  return reading;
}

// What the speaker-independent model hears in `samples`.
std::string hear(PocketSphinxDecoder& decoder, const std::vector<int16_t>& samples) {
  std::vector<TranscriptionResult> results;
  decoder.beginStream();
  decoder.feed(samples, results);
  decoder.endStream(results);
  std::string text;
  for (const TranscriptionResult& result : results) {
    if (result.isFinal && !result.text.empty()) text += (text.empty() ? "" : " ") + result.text;
  }
  return text;
}

// What the decoder heard as the dictation writes it: its spoken marks as
// marks, its numbers in digits.
std::string written(const std::string& heard) {
  DictationFormatter formatter(WordCasing::shared());
  return formatter.format(heard, true);
}

// The enrolment's state: the readings so far and what they are read with.
class Enrolment {
 public:
  Enrolment(std::vector<std::string> sentences, bool interactive,
            std::unique_ptr<PocketSphinxDecoder> decoder, EnrolmentMicrophone& microphone)
      : sentences_(std::move(sentences)),
        interactive_(interactive),
        decoder_(std::move(decoder)),
        microphone_(microphone) {}

  // False when the user stopped, or scripted readings kept failing.
  bool readAll();
  EnrolmentStatus adapt(const std::filesystem::path& modelDir);

 private:
  std::optional<bool> readInteractively(size_t index);
  bool readScripted(size_t index);
  // The reading and why it cannot be used, if it cannot.
  std::optional<std::string> recordAndCheck(size_t index);
  void keep(size_t index);

  const std::vector<std::string> sentences_;
  const bool interactive_;
  const std::unique_ptr<PocketSphinxDecoder> decoder_;
  EnrolmentMicrophone& microphone_;
  Recording last_;
  std::string lastHeard_;
  std::vector<EnrolmentReading> training_, heldBack_;
  int rejectedInARow_ = 0;
};

bool Enrolment::readAll() {
  for (size_t i = 0; i < sentences_.size(); ++i) {
    say("[" + std::to_string(i + 1) + "/" + std::to_string(sentences_.size()) + "] " +
        sentences_[i]);
    if (interactive_ ? !readInteractively(i).value_or(false) : !readScripted(i)) return false;
  }
  return true;
}

std::optional<std::string> Enrolment::recordAndCheck(size_t index) {
  last_ = record(microphone_, interactive_);
  lastHeard_ = last_.level.heardSpeech() ? hear(*decoder_, last_.samples) : "";
  auto fault = readingFault(last_.level, sentences_[index], lastHeard_);
  if (fault && !lastHeard_.empty()) *fault += " (heard: \"" + written(lastHeard_) + "\")";
  return fault;
}

// True when the reading is kept, false when the user stopped.
std::optional<bool> Enrolment::readInteractively(size_t index) {
  for (;;) {
    say("  Press Enter, then read the sentence aloud; a pause (or Enter) ends it. q: stop.");
    std::optional<std::string> answer = readLine();
    if (!answer || *answer == "q") return false;
    microphone_.discard();
    if (auto fault = recordAndCheck(index)) {
      say("  Not used: " + *fault + ". Say it again.");
      continue;
    }
    say("  Heard: \"" + written(lastHeard_) + "\"");
    say("  Enter: keep it and go on. r: say it again. q: stop.");
    answer = readLine();
    if (!answer || *answer == "q") return false;
    if (*answer != "r") return keep(index), true;
  }
}

// False when too many readings in a row could not be used.
bool Enrolment::readScripted(size_t index) {
  if (auto fault = recordAndCheck(index)) {
    say("  not used: " + *fault);
    if (++rejectedInARow_ < kMostRejectedInARow) return true;
    say("stopped: " + std::to_string(kMostRejectedInARow) +
        " readings in a row could not be used; is the microphone the right one?");
    return false;
  }
  say("  used (peak " + std::to_string(std::lround(last_.level.peakDbfs())) + " dBFS; heard \"" +
      written(lastHeard_) + "\")");
  rejectedInARow_ = 0;
  keep(index);
  return true;
}

void Enrolment::keep(size_t index) {
  std::string words;
  for (const std::string& word : sentenceWords(sentences_[index]))
    words += (words.empty() ? "" : " ") + word;
  auto& to = (index + 1) % kHoldBackEvery == 0 ? heldBack_ : training_;
  // What the reading check heard spares the adaptation decoding it again.
  to.push_back({std::move(last_.samples), std::move(words), lastHeard_});
}

EnrolmentStatus Enrolment::adapt(const std::filesystem::path& modelDir) {
  if (training_.size() < kMinimumTraining || heldBack_.size() < kMinimumHeldBack) {
    say("Too few usable readings (" + std::to_string(training_.size()) + " to adapt with, " +
        std::to_string(heldBack_.size()) + " to check with; at least " +
        std::to_string(kMinimumTraining) + " and " + std::to_string(kMinimumHeldBack) +
        " are needed): the speech model is unchanged.");
    return kEnrolmentFailed;
  }
  say("Adapting the speech model to " + std::to_string(training_.size()) + " readings...");
  const AdaptationOutcome outcome = adaptToSpeaker(modelDir, training_, heldBack_);
  say(outcome.message);
  return outcome.kept ? kEnrolmentKept : kEnrolmentNotKept;
}

}  // namespace

EnrolmentStatus runEnrolment(const EnrolmentSettings& settings) {
  std::vector<std::string> sentences = loadSentences(settings.sentencesFile);
  if (sentences.empty()) {
    say("No sentences to read in " + settings.sentencesFile.string() + ".");
    return kEnrolmentFailed;
  }
  const std::optional<std::filesystem::path> modelDir =
      ModelStore(ModelStoreLocations::fromEnvironment()).findModel(Locale("en-US"));
  if (!modelDir) {
    say("No speech model is installed: install Debian's pocketsphinx-en-us, or start "
        "quillmarsh-dictate once, which downloads one.");
    return kEnrolmentFailed;
  }
  std::unique_ptr<PocketSphinxDecoder> decoder;
  std::optional<EnrolmentMicrophone> microphone;
  try {
    decoder = PocketSphinxDecoder::load(*modelDir);
  } catch (const Error& e) {
    say("The speech model cannot be used: " + e.localizedDescription() + ".");
    return kEnrolmentFailed;
  }
  try {
    microphone.emplace();
  } catch (const Error& e) {
    say("Cannot record from the microphone: " + e.localizedDescription() + ".");
    return kEnrolmentFailed;
  }
  Enrolment enrolment(std::move(sentences), settings.interactive, std::move(decoder), *microphone);
  try {
    if (!enrolment.readAll()) return settings.interactive ? kEnrolmentStopped : kEnrolmentFailed;
  } catch (const Error& e) {
    say("The enrolment stopped: " + e.localizedDescription() + ".");
    return kEnrolmentFailed;
  }
  return enrolment.adapt(*modelDir);
}

}  // namespace dictate
