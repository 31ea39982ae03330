#include "platform/linux/speech/dictation_formatter.h"

#include <vector>

#include "platform/linux/speech/number_words.h"
#include "platform/linux/speech/spoken_punctuation.h"

namespace dictate {

namespace {

std::vector<std::string> split(std::string_view text) {
  std::vector<std::string> words;
  for (size_t start = 0; start < text.size();) {
    size_t end = std::min(text.find(' ', start), text.size());
    if (end > start) words.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

// Nobody dictates a mark right after an article: "the new line of phones"
// and "a full stop" are the words, which the decoder may still hear as the
// mark.
bool isArticle(std::string_view word) { return word == "a" || word == "an" || word == "the"; }

}  // namespace

std::string DictationFormatter::format(std::string_view words, bool isFinal) {
  Place place = place_;
  std::string text;
  auto writeWord = [&](std::string word) {
    place.afterArticle = isArticle(word);
    if (place.blank) text += ' ';
    if (place.capital && word[0] >= 'a' && word[0] <= 'z')
      word[0] = static_cast<char>(word[0] - 'a' + 'A');
    text += word;
    place.capital = false;
    place.blank = true;
  };
  for (const std::string& word : writeNumbers(split(casing_.apply(words)))) {
    const SpokenMark* mark = findSpokenMark(word);
    if (!mark || place.afterArticle) {
      for (const std::string& part : split(mark ? mark->said() : word)) writeWord(part);
      continue;
    }
    if (mark->spacing == SpokenMark::Spacing::beforeWord && place.blank) text += ' ';
    text += mark->written;
    place.blank = mark->spacing == SpokenMark::Spacing::afterWord;
    place.capital = place.capital || mark->endsSentence;
    place.afterArticle = false;
  }
  if (isFinal) place_ = place;
  return text;
}

}  // namespace dictate
