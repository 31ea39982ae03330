// Writes the decoder's all-lower-case words as people write them: "I" and
// its contractions ("I'm", "I'll"), and the names, days and months that the
// system's word list (Debian's wamerican) only knows capitalised ("Boston",
// "Friday"). A word the list also knows in lower case ("bill", "may",
// "march") is left as it is; nothing else changes, no punctuation is added.
//
// The shared instance loads the word list on first use (about 30 ms, done
// by the speech analyzer while the model loads) and is then read-only, so
// any thread may use it.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace dictate {

class WordCasing {
 public:
  // Debian's American English word list.
  static constexpr const char* kSystemWordList = "/usr/share/dict/american-english";

  // Reads `wordList` (one word a line). Without it only "I" is capitalised,
  // and one diagnostic says so.
  explicit WordCasing(const std::filesystem::path& wordList);

  // The instance on the system's word list, loaded on the first call.
  static const WordCasing& shared();

  // `text` (words separated by blanks) with each word cased.
  std::string apply(std::string_view text) const;

 private:
  void caseWord(std::string_view word, std::string& out) const;

  // The written forms of the words the list has only with capitals, sorted
  // by their lower-case spelling.
  std::vector<std::string> capitalised_;
};

}  // namespace dictate
