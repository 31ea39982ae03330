#include "platform/linux/number_words.h"

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

struct Entry {
  std::string_view word;
  NumberWord number;
};

constexpr Kind U = Kind::unit, T = Kind::teen, D = Kind::tens;
constexpr Entry kWords[] = {
    {"zero", {U, 0}},       {"one", {U, 1}},          {"two", {U, 2}},
    {"three", {U, 3}},      {"four", {U, 4}},         {"five", {U, 5}},
    {"six", {U, 6}},        {"seven", {U, 7}},        {"eight", {U, 8}},
    {"nine", {U, 9}},       {"ten", {T, 10}},         {"eleven", {T, 11}},
    {"twelve", {T, 12}},    {"thirteen", {T, 13}},    {"fourteen", {T, 14}},
    {"fifteen", {T, 15}},   {"sixteen", {T, 16}},     {"seventeen", {T, 17}},
    {"eighteen", {T, 18}},  {"nineteen", {T, 19}},    {"twenty", {D, 20}},
    {"thirty", {D, 30}},    {"forty", {D, 40}},       {"fifty", {D, 50}},
    {"sixty", {D, 60}},     {"seventy", {D, 70}},     {"eighty", {D, 80}},
    {"ninety", {D, 90}},    {"hundred", {Kind::hundred, 100}},
    {"thousand", {Kind::thousand, 1000}},
    {"first", {U, 1, true}},          {"second", {U, 2, true}},
    {"third", {U, 3, true}},          {"fourth", {U, 4, true}},
    {"fifth", {U, 5, true}},          {"sixth", {U, 6, true}},
    {"seventh", {U, 7, true}},        {"eighth", {U, 8, true}},
    {"ninth", {U, 9, true}},          {"tenth", {T, 10, true}},
    {"eleventh", {T, 11, true}},      {"twelfth", {T, 12, true}},
    {"thirteenth", {T, 13, true}},    {"fourteenth", {T, 14, true}},
    {"fifteenth", {T, 15, true}},     {"sixteenth", {T, 16, true}},
    {"seventeenth", {T, 17, true}},   {"eighteenth", {T, 18, true}},
    {"nineteenth", {T, 19, true}},    {"twentieth", {D, 20, true}},
    {"thirtieth", {D, 30, true}},     {"fortieth", {D, 40, true}},
    {"fiftieth", {D, 50, true}},      {"sixtieth", {D, 60, true}},
    {"seventieth", {D, 70, true}},    {"eightieth", {D, 80, true}},
    {"ninetieth", {D, 90, true}},     {"hundredth", {Kind::hundred, 100, true}},
    {"thousandth", {Kind::thousand, 1000, true}},
    // Only between number words: "one hundred and five", "nine oh five".
    {"and", {Kind::andWord}},         {"oh", {Kind::oh}},
};

// Words after which two numbers read as a clock time.
constexpr std::string_view kBeforeTimes[] = {"at",    "by",   "until", "till", "before",
                                             "after", "from", "to",    "around"};

NumberWord numberWord(std::string_view word) {
  for (const auto& entry : kWords)
    if (entry.word == word) return entry.number;
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
  if (at + 2 == run.size() && run[at].kind == Kind::oh &&
      run[at + 1].kind == Kind::unit && run[at + 1].value > 0)
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
    case 1: return "st";
    case 2: return "nd";
    case 3: return "rd";
    default: return "th";
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
    const bool afterTimeWord =
        i > 0 && std::find(std::begin(kBeforeTimes), std::end(kBeforeTimes), words[i - 1]) !=
                     std::end(kBeforeTimes);
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
