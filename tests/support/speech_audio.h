// Audio for the speech tests and benchmarks: Debian's test recordings and
// sentences spoken by espeak-ng over a pink-noise floor. Header-only, so that
// benchmarks (which link only the core library) can use it too.
// Single-threaded.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace dictate::speechaudio {

namespace fs = std::filesystem;

inline constexpr int kRate = 16000;
inline const fs::path kDebianTestData = "/usr/share/pocketsphinx/test/data";
inline const fs::path kDebianModel = "/usr/share/pocketsphinx/model/en-us";

// The whole of `file`; "" when it cannot be read.
inline std::string readFile(const fs::path& file) {
  return {std::istreambuf_iterator<char>(std::ifstream(file, std::ios::binary).rdbuf()), {}};
}

// 16-bit mono 16 kHz samples of a headerless .raw file or a .wav file.
inline std::vector<int16_t> readPcm16(const fs::path& file) {
  if (!fs::is_regular_file(file)) throw std::runtime_error("cannot read " + file.string());
  std::string bytes = readFile(file);
  if (file.extension() == ".wav") {
    auto at = bytes.find("data", 12);  // the format is taken as 16 kHz mono s16
    if (at == std::string::npos) throw std::runtime_error("no data chunk in " + file.string());
    uint32_t size;
    std::memcpy(&size, bytes.data() + at + 4, 4);
    bytes = bytes.substr(at + 8, size);
  }
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
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
  ~ScratchDir() { fs::remove_all(path_, ignored_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  std::error_code ignored_;  // of the removal
};

// `text` spoken by espeak-ng (voice e.g. "en-us" or "en-us+f3") or flite
// ("flite:rms") as clean 16 kHz samples, without padding. No dither: the
// same text gives the same samples on every run.
inline std::vector<int16_t> speak(const std::string& text, const std::string& voice,
                                  const fs::path& work) {
  const std::string wav = quoted(work / "espeak.wav"), raw = quoted(work / "speech.raw");
  if (voice.starts_with("flite:"))
    run("flite -voice " + quoted(voice.substr(6)) + " -o " + wav + " -t " + quoted(text));
  else
    run("espeak-ng -v " + quoted(voice) + " -w " + wav + " " + quoted(text));
  run("sox -D " + wav + " -r 16000 -c 1 -b 16 -e signed -t raw " + raw);
  return readPcm16(work / "speech.raw");
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
  run("sox -R -n -r 16000 -c 1 -b 16 -e signed -t raw " + quoted(work / "noise.raw") + " synth " +
      std::to_string(static_cast<double>(samples.size()) / kRate + 0.1) + " pinknoise vol 0.012");
  auto noise = readPcm16(work / "noise.raw");
  for (size_t i = 0; i < samples.size() && i < noise.size(); ++i)
    samples[i] = static_cast<int16_t>(std::clamp(samples[i] + noise[i], -32768, 32767));
}

}  // namespace dictate::speechaudio
