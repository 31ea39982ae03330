// The punctuation marks and line breaks that a person dictates by saying
// them ("comma", "full stop", "new paragraph"), and the language model that
// lets the decoder hear them.
//
// The decoder hears each one as a word of its own, spelt apart from every
// English word ("_full_stop"), so that its text tells the mark from the
// word: in "a long period of rain" the language model keeps the word. The
// table is read-only; listenForSpokenMarks() runs on the thread that loads
// the decoder, before anything decodes with it.
#pragma once

#include <string>
#include <string_view>

struct ps_decoder_s;
struct cmd_ln_s;

namespace dictate {

struct SpokenMark {
  // Where a mark goes: right after the word before it (","), right before
  // the word after it ("("), or on its own as a line break.
  enum class Spacing { afterWord, beforeWord, lineBreak };

  std::string_view word;     // the decoder's word: "_question_mark"
  std::string_view written;  // "?"
  Spacing spacing;
  bool endsSentence;  // the next word begins with a capital

  // What is said: "question mark".
  std::string said() const;
};

// The mark that the decoder's `word` stands for, or null for any other word.
const SpokenMark* findSpokenMark(std::string_view word);

// Adds the marks' words to the dictionary of a decoder made without a
// search, and gives it the search on the speech model's language model (the
// file `languageModel`) beside a small model of the marks' own. Throws an
// Error when the library refuses either.
void listenForSpokenMarks(ps_decoder_s* decoder, cmd_ln_s* config,
                          const std::string& languageModel);

}  // namespace dictate
