// Speech audio for recognition tests and the speech benchmark: Debian's test
// recordings with their transcripts, sentences spoken by espeak-ng over a
// pink-noise floor, and word error rates. Header-only, so that benchmarks
// (which link only the core library) can use it too. Single-threaded.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace dictate::speechaudio {

namespace fs = std::filesystem;

inline constexpr int kRate = 16000;
inline const fs::path kDebianTestData = "/usr/share/pocketsphinx/test/data";
inline const fs::path kDebianModel = "/usr/share/pocketsphinx/model/en-us";

struct Clip {
  std::string name;
  std::vector<int16_t> samples;  // 16 kHz mono
  std::string transcript;        // lower case, words separated by blanks
};

// 16-bit mono 16 kHz samples of a headerless .raw file or a .wav file.
inline std::vector<int16_t> readPcm16(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.eof() && !in) throw std::runtime_error("cannot read " + file.string());
  size_t offset = 0;
  size_t length = bytes.size();
  if (file.extension() == ".wav") {
    // Walk the RIFF chunks to "data"; the format is taken as 16 kHz mono s16.
    size_t pos = 12;
    while (pos + 8 <= bytes.size()) {
      uint32_t size;
      std::copy_n(bytes.data() + pos + 4, 4, reinterpret_cast<char*>(&size));
      if (std::string(bytes.data() + pos, 4) == "data") {
        offset = pos + 8;
        length = std::min<size_t>(size, bytes.size() - offset);
        break;
      }
      pos += 8 + size + (size & 1);
    }
    if (offset == 0) throw std::runtime_error("no data chunk in " + file.string());
  }
  std::vector<int16_t> samples(length / 2);
  std::copy_n(bytes.data() + offset, samples.size() * 2, reinterpret_cast<char*>(samples.data()));
  return samples;
}

inline std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out;
  std::string word;
  for (char c : text + " ") {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '\'') {
      word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (!word.empty()) {
      out.push_back(word);
      word.clear();
    }
  }
  return out;
}

// Substitutions, insertions and deletions that turn `reference` into
// `hypothesis` (word-level Levenshtein distance).
inline size_t wordErrors(const std::string& reference, const std::string& hypothesis) {
  auto ref = words(reference);
  auto hyp = words(hypothesis);
  std::vector<size_t> row(hyp.size() + 1);
  for (size_t j = 0; j <= hyp.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= ref.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= hyp.size(); ++j) {
      size_t above = row[j];
      row[j] =
          std::min({row[j] + 1, row[j - 1] + 1, diagonal + (ref[i - 1] == hyp[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[hyp.size()];
}

inline double wordErrorRate(const std::string& reference, const std::string& hypothesis) {
  size_t n = words(reference).size();
  return n == 0 ? 0.0
                : static_cast<double>(wordErrors(reference, hypothesis)) / static_cast<double>(n);
}

// Debian's real recordings with transcripts (96 words).
inline std::vector<Clip> debianRecordings() {
  std::vector<Clip> clips;
  clips.push_back(
      {"goforward", readPcm16(kDebianTestData / "goforward.raw"), "go forward ten meters"});
  auto readTranscripts = [&](const fs::path& dir, const std::string& listFile) {
    std::ifstream in(dir / listFile);
    std::string line;
    while (std::getline(in, line)) {
      auto open = line.rfind('(');
      auto close = line.rfind(')');
      if (open == std::string::npos || close == std::string::npos) continue;
      std::string id = line.substr(open + 1, close - open - 1);
      std::string text = line.substr(0, open);
      for (const char* tag : {"<s>", "</s>"}) {
        for (auto at = text.find(tag); at != std::string::npos; at = text.find(tag))
          text.erase(at, std::string(tag).size());
      }
      std::string joined;
      for (auto& w : words(text)) joined += (joined.empty() ? "" : " ") + w;
      clips.push_back({id, readPcm16(dir / (id + ".wav")), joined});
    }
  };
  readTranscripts(kDebianTestData / "librivox", "transcription");
  readTranscripts(kDebianTestData / "cards", "cards.transcription");
  return clips;
}

inline void run(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("command failed: " + command);
}

inline std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// A folder for generated audio, removed with its contents at the end.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "speech-audio-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// `text` spoken by espeak-ng (voice e.g. "en-us" or "en-us+f3") as clean
// 16 kHz samples, without padding.
inline std::vector<int16_t> speak(const std::string& text, const std::string& voice,
                                  const fs::path& work) {
  const fs::path raw = work / "espeak.wav";
  const fs::path out = work / "speech.raw";
  run("espeak-ng -v " + quoted(voice) + " -w " + quoted(raw) + " " + quoted(text));
  // No dither: the same text gives the same samples on every run.
  run("sox -D " + quoted(raw) + " -r 16000 -c 1 -b 16 -e signed -t raw " + quoted(out));
  return readPcm16(out);
}

inline std::vector<int16_t> silence(double seconds) {
  return std::vector<int16_t>(static_cast<size_t>(seconds * kRate), 0);
}

inline void append(std::vector<int16_t>& to, const std::vector<int16_t>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

// Mixes a steady pink-noise floor (about -52 dBFS, like a quiet microphone)
// into `samples`. Repeatable: sox runs with a fixed seed.
inline void addNoiseFloor(std::vector<int16_t>& samples, const fs::path& work) {
  const fs::path noiseFile = work / "noise.raw";
  double seconds = static_cast<double>(samples.size()) / kRate + 0.1;
  run("sox -R -n -r 16000 -c 1 -b 16 -e signed -t raw " + quoted(noiseFile) + " synth " +
      std::to_string(seconds) + " pinknoise vol 0.012");
  auto noise = readPcm16(noiseFile);
  for (size_t i = 0; i < samples.size() && i < noise.size(); ++i) {
    int sum = samples[i] + noise[i];
    samples[i] = static_cast<int16_t>(std::clamp(sum, -32768, 32767));
  }
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
