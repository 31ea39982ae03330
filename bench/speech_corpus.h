// The benchmarks' speech corpus: Debian's recordings with their
// transcripts, dictation-like sentences for synthetic speech, and word error
// rates (numbers compared as the program writes them). Header-only.
// Single-threaded.
#pragma once

#include <algorithm>
#include <cctype>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/speech/number_words.h"
#include "tests/support/speech_audio.h"

namespace dictate::speechaudio {

struct Clip {
  std::string name;
  std::vector<int16_t> samples;  // 16 kHz mono
  std::string transcript;        // lower case, words separated by blanks
};

// Lower-case words: letters, digits and apostrophes.
inline std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out(1);
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '\'') out.back() += static_cast<char>(std::tolower(c));
    if (!std::isalnum(c) && c != '\'' && !out.back().empty()) out.emplace_back();
  }
  if (out.back().empty()) out.pop_back();
  return out;
}

// The words of `text` with its numbers written as the program writes them,
// so that "ten" and "10" are the same word to a reference either way.
inline std::vector<std::string> comparedWords(const std::string& text) {
  std::string written;
  for (const auto& word : writeNumbers(words(text))) written += word + " ";
  return words(written);
}

// Substitutions, insertions and deletions that turn `reference` into
// `hypothesis` (word-level Levenshtein distance).
inline size_t wordErrors(const std::string& reference, const std::string& hypothesis) {
  auto ref = comparedWords(reference), hyp = comparedWords(hypothesis);
  std::vector<size_t> row(hyp.size() + 1), next(hyp.size() + 1);
  for (size_t j = 0; j < row.size(); ++j) row[j] = j;
  for (size_t i = 0; i < ref.size(); ++i) {
    next[0] = i + 1;
    for (size_t j = 0; j < hyp.size(); ++j)
      next[j + 1] = std::min({row[j + 1] + 1, next[j] + 1, row[j] + (ref[i] != hyp[j])});
    std::swap(row, next);
  }
  return row.back();
}

inline double wordErrorRate(const std::string& reference, const std::string& hypothesis) {
  size_t n = comparedWords(reference).size();
  return n == 0 ? 0.0 : static_cast<double>(wordErrors(reference, hypothesis)) / n;
}

// Debian's real recordings with transcripts (96 words).
inline std::vector<Clip> debianRecordings() {
  std::vector<Clip> clips = {
      {"goforward", readPcm16(kDebianTestData / "goforward.raw"), "go forward ten meters"}};
  for (auto [dir, list] :
       {std::pair{"librivox", "transcription"}, {"cards", "cards.transcription"}}) {
    std::ifstream in(kDebianTestData / dir / list);
    // Lines read "<s> words </s> (name)".
    for (std::string line; std::getline(in, line);) {
      size_t open = line.find("<s>"), close = line.find("</s>"), paren = line.rfind('(');
      if (open != 0 || close == std::string::npos || paren == std::string::npos) continue;
      std::string name = line.substr(paren + 1, line.find(')', paren) - paren - 1), text;
      for (auto& w : words(line.substr(3, close - 3))) text += (text.empty() ? "" : " ") + w;
      clips.push_back({name, readPcm16(kDebianTestData / dir / (name + ".wav")), text});
    }
  }
  return clips;
}

// Dictation-like sentences for synthetic speech.
inline const std::vector<std::string>& dictationSentences() {
  static const std::vector<std::string> sentences = {
      "please send the report to the team before the meeting on friday morning",
      "the weather today is cold and windy with a chance of rain in the evening",
      "we need to buy milk bread eggs and coffee on the way home",
      "remind me to call my mother at six o'clock tonight",
      "the quick brown fox jumps over the lazy dog near the river bank",
      "our new office is on the third floor of the building next to the station",
      "i would like to book a table for four people at eight tonight",
      "the train to the city leaves every twenty minutes during the day",
      "can you check whether the printer in the hall has enough paper",
      "she finished reading the book and wrote a short summary for the class",
      "the project deadline has been moved to the end of next month",
      "turn left at the second light and the shop is on your right",
  };
  return sentences;
}

}  // namespace dictate::speechaudio
