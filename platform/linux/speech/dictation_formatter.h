// Writes the decoder's words as people write them, result after result
// through one dictation: words cased (word_casing.h), numbers in digits
// where people write them so (number_words.h), spoken punctuation and line
// breaks as marks joined to their words (spoken_punctuation.h), and a
// capital where the dictation and each sentence begin.
//
// The dictation's text is its final texts put one after another: a text
// that goes on after a word or a mark starts with the blank between them,
// and a mark joins the word before it even when that word ended an earlier
// text. A volatile text is written as its final will be, if its words stay.
//
// One formatter per dictation, used by one thread at a time (the analyzer's
// worker).
#pragma once

#include <string>
#include <string_view>

#include "platform/linux/speech/word_casing.h"

namespace dictate {

class DictationFormatter {
 public:
  explicit DictationFormatter(const WordCasing& casing) : casing_(casing) {}

  // The written form of a result's `words` (the decoder's, separated by
  // blanks), after everything this dictation's finals wrote. A final's text
  // becomes part of that; a volatile one does not.
  std::string format(std::string_view words, bool isFinal);

 private:
  // Where the dictation's text stands after its last final.
  struct Place {
    bool capital = true;  // the next word begins a sentence
    bool blank = false;   // the next word is separated by a blank
    bool afterArticle = false;
  };

  const WordCasing& casing_;
  Place place_;
};

}  // namespace dictate
