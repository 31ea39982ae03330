#include "platform/linux/speech/number_words.h"

#include <algorithm>
#include <optional>
#include <string_view>

namespace dictate {

namespace {

enum class Kind { none, unit, teen, tens, hundred, thousand, andWord, oh };

struct NumberWord {
  Kind kind = Kind::none;
  int value = 0;
  bool ordinal = false;
};

// Number words by value: below twenty, then the tens; and their ordinals.
constexpr std::string_view kBelowTwenty[] = {
    "zero",     "one",     "two",     "three",     "four",     "five",    "six",
    "seven",    "eight",   "nine",    "ten",       "eleven",   "twelve",  "thirteen",
    "fourteen", "fifteen", "sixteen", "seventeen", "eighteen", "nineteen"};
constexpr std::string_view kBelowTwentyth[] = {
    "",           "first",     "second",    "third",       "fourth",     "fifth",     "sixth",
    "seventh",    "eighth",    "ninth",     "tenth",       "eleventh",   "twelfth",   "thirteenth",
    "fourteenth", "fifteenth", "sixteenth", "seventeenth", "eighteenth", "nineteenth"};
constexpr std::string_view kTens[] = {"twenty", "thirty",  "forty",  "fifty",
                                      "sixty",  "seventy", "eighty", "ninety"};
constexpr std::string_view kTenths[] = {"twentieth", "thirtieth",  "fortieth",  "fiftieth",
                                        "sixtieth",  "seventieth", "eightieth", "ninetieth"};

// Words after which two numbers read as a clock time.
constexpr std::string_view kBeforeTimes[] = {"at",    "by",   "until", "till",  "before",
                                             "after", "from", "to",    "around"};

NumberWord numberWord(std::string_view word) {
  for (int i = 0; i < 20; ++i) {
    const Kind kind = i < 10 ? Kind::unit : Kind::teen;
    if (word == kBelowTwenty[i]) return {kind, i};
    if (i > 0 && word == kBelowTwentyth[i]) return {kind, i, true};
  }
  for (int i = 0; i < 8; ++i) {
    if (word == kTens[i]) return {Kind::tens, 20 + 10 * i};
    if (word == kTenths[i]) return {Kind::tens, 20 + 10 * i, true};
  }
  if (word == "hundred" || word == "hundredth") return {Kind::hundred, 100, word != "hundred"};
  if (word == "thousand" || word == "thousandth") return {Kind::thousand, 1000, word != "thousand"};
  // Only between number words: "one hundred and five", "nine oh five".
  if (word == "and") return {Kind::andWord};
  if (word == "oh") return {Kind::oh};
  return {};
}

struct Number {
  long value;
  size_t end;  // one past its last word
};

// A number below a hundred at `at`: "seven", "twelve", "forty two".
std::optional<Number> belowHundred(const std::vector<NumberWord>& run, size_t at) {
  if (at >= run.size()) return std::nullopt;
  const NumberWord& first = run[at];
  if (first.kind == Kind::unit || first.kind == Kind::teen) return Number{first.value, at + 1};
  if (first.kind != Kind::tens) return std::nullopt;
  if (!first.ordinal && at + 1 < run.size() && run[at + 1].kind == Kind::unit &&
      run[at + 1].value > 0)
    return Number{first.value + run[at + 1].value, at + 2};
  return Number{first.value, at + 1};
}

// A number below a thousand: "three hundred and five", "twelve".
std::optional<Number> belowThousand(const std::vector<NumberWord>& run, size_t at) {
  long hundreds = 0;
  if (at + 1 < run.size() && run[at].kind == Kind::unit && !run[at].ordinal &&
      run[at + 1].kind == Kind::hundred) {
    hundreds = run[at].value * 100;
    at += 2;
    if (run[at - 1].ordinal) return Number{hundreds, at};
    if (at < run.size() && run[at].kind == Kind::andWord) ++at;
  }
  auto rest = belowHundred(run, at);
  if (!rest) return hundreds ? std::optional<Number>(Number{hundreds, at}) : std::nullopt;
  return Number{hundreds + rest->value, rest->end};
}

// The whole run as one number: "two thousand and twenty six".
std::optional<long> cardinal(const std::vector<NumberWord>& run) {
  auto high = belowThousand(run, 0);
  if (!high) return std::nullopt;
  if (high->end < run.size() && run[high->end].kind == Kind::thousand) {
    size_t at = high->end + 1;
    long value = high->value * 1000;
    if (at < run.size() && !run[at - 1].ordinal) {
      if (run[at].kind == Kind::andWord) ++at;
      auto low = belowThousand(run, at);
      if (!low) return std::nullopt;
      value += low->value;
      at = low->end;
    }
    return at == run.size() ? std::optional<long>(value) : std::nullopt;
  }
  return high->end == run.size() ? std::optional<long>(high->value) : std::nullopt;
}

// Two digits after a number word: "thirty", "oh five", "fifteen". -1 when
// the run's words from `at` are not that.
long twoDigits(const std::vector<NumberWord>& run, size_t at) {
  if (at + 2 == run.size() && run[at].kind == Kind::oh && run[at + 1].kind == Kind::unit &&
      run[at + 1].value > 0)
    return run[at + 1].value;
  auto number = belowHundred(run, at);
  if (!number || number->end != run.size() || number->value < 10) return -1;
  return number->value;
}

std::string withSeparators(long value) {
  std::string digits = std::to_string(value);
  if (value < 10000) return digits;
  for (auto at = static_cast<ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3)
    digits.insert(static_cast<size_t>(at), ",");
  return digits;
}

std::string ordinalSuffix(long value) {
  if (value % 100 >= 11 && value % 100 <= 13) return "th";
  switch (value % 10) {
    case 1:
      return "st";
    case 2:
      return "nd";
    case 3:
      return "rd";
    default:
      return "th";
  }
}

// How people write the run of number words, or nothing when they would
// keep the words. `afterTimeWord`: the word before it introduces a time.
std::optional<std::string> written(const std::vector<NumberWord>& run, bool afterTimeWord) {
  const bool ordinal = run.back().ordinal;
  if (afterTimeWord && !ordinal && run.size() >= 2 && run[0].value >= 1 && run[0].value <= 12 &&
      (run[0].kind == Kind::unit || run[0].kind == Kind::teen)) {
    long minutes = twoDigits(run, 1);
    if (minutes >= 0 && minutes < 60)
      return std::to_string(run[0].value) + (minutes < 10 ? ":0" : ":") + std::to_string(minutes);
  }
  if (auto value = cardinal(run)) {
    if (*value < 10) return std::nullopt;
    return ordinal ? std::to_string(*value) + ordinalSuffix(*value) : withSeparators(*value);
  }
  // A year: "nineteen ninety nine", "twenty twenty six", "nineteen oh five",
  // "eighteen hundred".
  auto century = belowHundred(run, 0);
  if (ordinal || !century || century->value < 13 || century->value > 20) return std::nullopt;
  if (century->end + 1 == run.size() && run.back().kind == Kind::hundred)
    return std::to_string(century->value) + "00";
  long year = twoDigits(run, century->end);
  if (year < 0) return std::nullopt;
  return std::to_string(century->value) + (year < 10 ? "0" : "") + std::to_string(year);
}

// The words with each hyphenated number ("twenty-five") split in two.
std::vector<std::string> splitHyphens(const std::vector<std::string>& words) {
  std::vector<std::string> out;
  for (const auto& word : words) {
    size_t hyphen = word.find('-');
    if (hyphen != std::string::npos &&
        numberWord(std::string_view(word).substr(0, hyphen)).kind == Kind::tens &&
        numberWord(std::string_view(word).substr(hyphen + 1)).kind == Kind::unit) {
      out.push_back(word.substr(0, hyphen));
      out.push_back(word.substr(hyphen + 1));
    } else {
      out.push_back(word);
    }
  }
  return out;
}

}  // namespace

std::vector<std::string> writeNumbers(const std::vector<std::string>& spoken) {
  const std::vector<std::string> words = splitHyphens(spoken);
  std::vector<std::string> out;
  for (size_t i = 0; i < words.size();) {
    // The longest run of number words from here: "and" only after
    // "hundred" or "thousand", "oh" only before a digit, an ordinal only
    // last.
    std::vector<NumberWord> run;
    size_t end = i;
    for (; end < words.size(); ++end) {
      NumberWord number = numberWord(words[end]);
      NumberWord next = end + 1 < words.size() ? numberWord(words[end + 1]) : NumberWord{};
      if (number.kind == Kind::none) break;
      if (number.kind == Kind::andWord &&
          (run.empty() || (run.back().kind != Kind::hundred && run.back().kind != Kind::thousand) ||
           next.kind == Kind::none || next.kind == Kind::andWord || next.kind == Kind::oh))
        break;
      if (number.kind == Kind::oh && (run.empty() || next.kind != Kind::unit)) break;
      run.push_back(number);
      if (number.ordinal) {
        ++end;
        break;
      }
    }
    if (run.empty()) {
      out.push_back(words[i++]);
      continue;
    }
    const bool afterTimeWord = i > 0 && std::find(std::begin(kBeforeTimes), std::end(kBeforeTimes),
                                                  words[i - 1]) != std::end(kBeforeTimes);
    if (auto text = written(run, afterTimeWord)) {
      out.push_back(*text);
    } else {
      out.insert(out.end(), words.begin() + static_cast<ptrdiff_t>(i),
                 words.begin() + static_cast<ptrdiff_t>(end));
    }
    i = end;
  }
  return out;
}

}  // namespace dictate
