#include "platform/linux/speech/spoken_punctuation.h"

#include <pocketsphinx.h>
#include <sphinxbase/ngram_model.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/speech/pocketsphinx_decoder.h"

namespace dictate {

namespace {

using Spacing = SpokenMark::Spacing;

constexpr std::array kMarks = {
    SpokenMark{"_comma", ",", Spacing::afterWord, false},
    SpokenMark{"_period", ".", Spacing::afterWord, true},
    SpokenMark{"_full_stop", ".", Spacing::afterWord, true},
    SpokenMark{"_question_mark", "?", Spacing::afterWord, true},
    SpokenMark{"_exclamation_mark", "!", Spacing::afterWord, true},
    SpokenMark{"_exclamation_point", "!", Spacing::afterWord, true},
    SpokenMark{"_colon", ":", Spacing::afterWord, false},
    SpokenMark{"_semicolon", ";", Spacing::afterWord, false},
    SpokenMark{"_new_line", "\n", Spacing::lineBreak, false},
    SpokenMark{"_new_paragraph", "\n\n", Spacing::lineBreak, true},
    SpokenMark{"_open_quote", "\"", Spacing::beforeWord, false},
    SpokenMark{"_close_quote", "\"", Spacing::afterWord, false},
    SpokenMark{"_end_quote", "\"", Spacing::afterWord, false},
    SpokenMark{"_open_parenthesis", "(", Spacing::beforeWord, false},
    SpokenMark{"_close_parenthesis", ")", Spacing::afterWord, false},
};

// How each mark's words sound, as Debian's dictionary has them, one line a
// way of saying them (a mark's later lines are its alternatives); "period"
// also with a long first vowel or a short last one, as many say it.
constexpr std::pair<std::string_view, std::string_view> kPronunciations[] = {
    {"_comma", "K AA M AH"},
    {"_period", "P IH R IY AH D"},
    {"_period", "P IY R IY AH D"},
    {"_period", "P IH R IY IH D"},
    {"_full_stop", "F UH L S T AA P"},
    {"_question_mark", "K W EH S CH AH N M AA R K"},
    {"_question_mark", "K W EH SH AH N M AA R K"},
    {"_exclamation_mark", "EH K S K L AH M EY SH AH N M AA R K"},
    {"_exclamation_point", "EH K S K L AH M EY SH AH N P OY N T"},
    {"_colon", "K OW L AH N"},
    {"_semicolon", "S EH M IY K OW L AH N"},
    {"_semicolon", "S EH M AH K OW L AH N"},
    {"_new_line", "N UW L AY N"},
    {"_new_line", "N Y UW L AY N"},
    {"_new_paragraph", "N UW P AE R AH G R AE F"},
    {"_new_paragraph", "N Y UW P AE R AH G R AE F"},
    {"_new_paragraph", "N UW P EH R AH G R AE F"},
    {"_new_paragraph", "N Y UW P EH R AH G R AE F"},
    {"_open_quote", "OW P AH N K W OW T"},
    {"_close_quote", "K L OW Z K W OW T"},
    {"_close_quote", "K L OW S K W OW T"},
    {"_end_quote", "EH N D K W OW T"},
    {"_open_parenthesis", "OW P AH N P ER EH N TH AH S IH S"},
    {"_close_parenthesis", "K L OW Z P ER EH N TH AH S IH S"},
    {"_close_parenthesis", "K L OW S P ER EH N TH AH S IH S"},
};

// The marks' own language model (log10 probabilities): each mark as likely
// after any word, where the model's language model knows nothing of the
// marks; one that ends a sentence likely to end the utterance too, and one
// within a sentence unlikely to begin it. Measured with
// bench/punctuation_bench.cpp (255 marks said by seven voices; 1713 words of
// plain sentences, one frame grid):
//   a mark after any word       -3     -2     -2     -1.5   -1.5   -1
//   the end after a full stop    -      -     -0.3    -     -0.3    -
//   marks placed right          64 %   80 %   81 %   84 %   85 %   85 %
//   invented per 200 words      0.1    0.4           -      0.6
// At -1.5, the end after every mark, or the marks rarer in writing (quotes,
// parentheses) less likely, placed no more marks right and invented as
// many; most marks invented came from a comma at the start of an utterance.
//
// Nobody dictates a mark right after "a", "an" or "the" (the formatter
// writes one there as its words), so the marks are 300 times less likely
// there than after another word; else the decoder would hear "late today full
// stop" as "laid to do a _full_stop" and the mark would be lost. With
// "period" said in three ways, this placed 109 of the tuning half's 120
// marks right instead of 103, and 122 of the report half's 135 instead of
// 118; marks invented in plain sentences: 0.35 per 200 words.
constexpr std::string_view kMarkLogProbability = "-1.5";
constexpr std::string_view kRarerMarkLogProbability = "-2.5";
constexpr std::string_view kEndAfterMarkLogProbability = "-0.3";
constexpr std::string_view kStartWithMarkLogProbability = "-3.5";
constexpr std::string_view kMarkAfterArticleLogProbability = "-4";
constexpr std::string_view kArticles[] = {"a", "an", "the"};

bool isRarer(const SpokenMark& mark) {
  return mark.written == "\"" || mark.written == "(" || mark.written == ")";
}

// In ARPA text, which the library reads from a file name.
std::string marksModelText() {
  std::string unigrams = "-99 </s>\n-99 <s> 0\n", bigrams;
  size_t pairs = 0;
  auto pair = [&](std::string_view logProbability, std::string_view first,
                  std::string_view second) {
    bigrams.append(logProbability).append(" ").append(first).append(" ").append(second);
    bigrams += '\n';
    ++pairs;
  };
  for (std::string_view article : kArticles) unigrams.append("-99 ").append(article).append(" 0\n");
  for (const auto& mark : kMarks) {
    unigrams.append(isRarer(mark) ? kRarerMarkLogProbability : kMarkLogProbability);
    unigrams.append(" ").append(mark.word).append(" 0\n");
    for (std::string_view article : kArticles)
      pair(kMarkAfterArticleLogProbability, article, mark.word);
    if (mark.spacing != Spacing::afterWord) continue;
    if (mark.endsSentence)
      pair(kEndAfterMarkLogProbability, mark.word, "</s>");
    else
      pair(kStartWithMarkLogProbability, "<s>", mark.word);
  }
  return "\\data\\\nngram 1=" + std::to_string(kMarks.size() + std::size(kArticles) + 2) +
         "\nngram 2=" + std::to_string(pairs) + "\n\n\\1-grams:\n" + unigrams + "\n\\2-grams:\n" +
         bigrams + "\n\\end\\\n";
}

ngram_model_t* readMarksModel(cmd_ln_t* config, logmath_t* lmath) {
  int fd = memfd_create("spoken-marks", MFD_CLOEXEC);
  if (fd < 0) return nullptr;
  const std::string text = marksModelText();
  ngram_model_t* model = nullptr;
  if (write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())) {
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    model = ngram_model_read(config, path.c_str(), NGRAM_ARPA, lmath);
  }
  close(fd);
  return model;
}

}  // namespace

std::string SpokenMark::said() const {
  std::string text(word.substr(1));
  std::replace(text.begin(), text.end(), '_', ' ');
  return text;
}

const SpokenMark* findSpokenMark(std::string_view word) {
  if (!word.starts_with('_')) return nullptr;
  auto found = std::find_if(kMarks.begin(), kMarks.end(),
                            [&](const SpokenMark& mark) { return mark.word == word; });
  return found == kMarks.end() ? nullptr : &*found;
}

// The model's language model predicts the words "comma" and "period" after
// "Friday" once in 4 million and once in 50 000 times: the decoder would
// rarely hear them. The marks' own model gives each of their words a fixed
// probability after any word, and the search scores every word with the sum
// of both models' probabilities (each raised to the language weight, which
// the library applies inside each model).
//
// In the model's language model the marks' words have no probability of
// their own, so that an English word scores as before: each is a word of the
// class of the sentence start ("<s>", which nothing predicts) when it ends a
// sentence or a line, and of the sentence end ("</s>") otherwise, at a
// weight that leaves it nothing of the end's probability. After a mark, the
// model thus predicts the next word as at the start of a sentence (half a
// point fewer word errors on the benchmark's sentences with marks than from
// unigrams alone), or after any other mark as after a sentence's end, from
// its unigrams alone (the sentence start did no better there).
//
// Being in that model before they join the dictionary, the marks' words are
// not added to it as plain words: this library's trie reads those out of
// bounds when they are the history. The decoder was made without a search,
// so that the one search on both models is built once, with the marks'
// words in its lexical tree: building a search takes about as long as
// reading the language model.
void listenForSpokenMarks(ps_decoder_s* decoder, cmd_ln_s* config,
                          const std::string& languageModel) {
  auto refused = [](const std::string& what) {
    return speechError(kModelLoadFailed, "the decoder library refused " + what);
  };
  ngram_model_t* words =
      ngram_model_read(config, languageModel.c_str(), NGRAM_AUTO, ps_get_logmath(decoder));
  if (!words) throw refused("the language model");
  // The set takes its own references to both models, and the search one to
  // the set.
  struct Release {
    void operator()(ngram_model_t* model) const { ngram_model_free(model); }
  };
  std::unique_ptr<ngram_model_t, Release> ownWords(words);
  for (bool startsSentence : {true, false}) {
    std::vector<std::string> members;
    for (const auto& mark : kMarks)
      if ((mark.endsSentence || mark.spacing == Spacing::lineBreak) == startsSentence)
        members.emplace_back(mark.word);
    std::vector<char*> memberWords;
    for (auto& member : members) memberWords.push_back(member.data());
    const std::vector<float32> weights(members.size(), startsSentence ? 1.0f : 1e-30f);
    if (ngram_model_add_class(words, startsSentence ? "<s>" : "</s>", 1.0f, memberWords.data(),
                              weights.data(), static_cast<int32>(members.size())) < 0)
      throw refused("the marks' words in the language model");
  }
  int alternative = 0;
  for (size_t i = 0; i < std::size(kPronunciations); ++i) {
    const auto& [word, phones] = kPronunciations[i];
    alternative = i > 0 && kPronunciations[i - 1].first == word ? alternative + 1 : 1;
    std::string entry(word);
    if (alternative > 1) entry += "(" + std::to_string(alternative) + ")";
    if (ps_add_word(decoder, entry.c_str(), std::string(phones).c_str(), FALSE) < 0)
      throw refused("the word " + entry);
  }
  std::unique_ptr<ngram_model_t, Release> marks(readMarksModel(config, ps_get_logmath(decoder)));
  if (!marks) throw refused("the language model of spoken punctuation");
  ngram_model_t* models[2] = {words, marks.get()};
  const char* names[2] = {"words", "marks"};
  const float32 weights[2] = {1.0f, 1.0f};
  ngram_model_t* set = ngram_model_set_init(config, models, const_cast<char**>(names), weights, 2);
  if (!set) throw refused("the set of language models");
  const bool searching =
      ps_set_lm(decoder, "_default", set) == 0 && ps_set_search(decoder, "_default") == 0;
  ngram_model_free(set);
  if (!searching) throw refused("the search with spoken punctuation");
}

}  // namespace dictate
