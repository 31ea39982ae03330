#include "platform/linux/speech/word_casing.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <unordered_set>

#include "output/output.h"

namespace dictate {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowered(std::string_view word) {
  std::string out(word);
  std::transform(out.begin(), out.end(), out.begin(), lower);
  return out;
}

// Orders words by their lower-case spelling.
bool lessIgnoringCase(std::string_view a, std::string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return lower(x) < lower(y); });
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && !lessIgnoringCase(a, b) && !lessIgnoringCase(b, a);
}

// "Mac" is preferred to "MAC" when the list has both.
bool onlyFirstIsCapital(std::string_view word) {
  return word.size() > 1 && lowered(word.substr(1)) == word.substr(1);
}

}  // namespace

WordCasing::WordCasing(const std::filesystem::path& wordList) {
  std::ifstream file(wordList, std::ios::binary);
  if (!file) {
    writeDiagnostic("word list " + wordList.string() +
                    " is missing: names and days stay in lower case (install wamerican)");
    return;
  }
  const std::string text{std::istreambuf_iterator<char>(file), {}};
  std::vector<std::string_view> lines;
  for (size_t start = 0, end; start < text.size(); start = end + 1) {
    end = std::min(text.find('\n', start), text.size());
    if (end > start) lines.emplace_back(text.data() + start, end - start);
  }
  std::unordered_set<std::string_view> lowerCase;
  for (auto line : lines) {
    if (lowered(line) == line) lowerCase.insert(line);
  }
  for (auto line : lines) {
    if (lowered(line) != line && !lowerCase.contains(lowered(line)))
      capitalised_.emplace_back(line);
  }
  std::stable_sort(capitalised_.begin(), capitalised_.end(), [](const auto& a, const auto& b) {
    if (!equalIgnoringCase(a, b)) return lessIgnoringCase(a, b);
    return onlyFirstIsCapital(a) && !onlyFirstIsCapital(b);
  });
  capitalised_.erase(std::unique(capitalised_.begin(), capitalised_.end(), equalIgnoringCase),
                     capitalised_.end());
  capitalised_.shrink_to_fit();
}

const WordCasing& WordCasing::shared() {
  static const WordCasing casing(kSystemWordList);
  return casing;
}

std::string WordCasing::apply(std::string_view text) const {
  std::string out;
  out.reserve(text.size());
  for (size_t start = 0; start <= text.size();) {
    size_t end = std::min(text.find(' ', start), text.size());
    caseWord(text.substr(start, end - start), out);
    if (end == text.size()) break;
    out += ' ';
    start = end + 1;
  }
  return out;
}

void WordCasing::caseWord(std::string_view word, std::string& out) const {
  // The list also has a lower-case "i", so "I" and its contractions are
  // cased here whatever the list says.
  if (word == "i" || word.starts_with("i'")) {
    out += 'I';
    out += word.substr(1);
    return;
  }
  auto found = std::lower_bound(
      capitalised_.begin(), capitalised_.end(), word,
      [](const std::string& a, std::string_view b) { return lessIgnoringCase(a, b); });
  if (found != capitalised_.end() && equalIgnoringCase(*found, word)) {
    out += *found;
  } else {
    out += word;
  }
}

}  // namespace dictate
