// The benchmarks' speech corpus: dictation-like sentences for synthetic
// speech, and word error rates. Header-only. Single-threaded.
#pragma once

#include <algorithm>
#include <cctype>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

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

// Substitutions, insertions and deletions that turn `reference` into
// `hypothesis` (word-level Levenshtein distance).
inline size_t wordErrors(const std::string& reference, const std::string& hypothesis) {
  auto ref = words(reference), hyp = words(hypothesis);
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
  size_t n = words(reference).size();
  return n == 0 ? 0.0 : static_cast<double>(wordErrors(reference, hypothesis)) / n;
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
