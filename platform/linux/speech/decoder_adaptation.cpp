#include "platform/linux/speech/decoder_adaptation.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "output/output.h"
#include "platform/linux/models/kept_files.h"
#include "platform/linux/models/model_store.h"
#include "platform/linux/speech/pocketsphinx_decoder.h"

namespace dictate {

namespace fs = std::filesystem;

namespace {

constexpr const char* kHeader = "quillmarsh-dictate adaptation 1";
// A real file is a few hundred bytes; anything much larger is not ours.
constexpr size_t kMaxFileSize = 4096;
// Cepstral means are tens at most; a larger value is damage.
constexpr float kMaxMagnitude = 1000;

// FNV-1a: a stable, dependency-free name for the model's identity.
uint64_t fnv1a(const std::string& text) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3ULL;
  return hash;
}

// Where the model is and the sizes of the files its features and means come
// from: a model installed elsewhere or replaced by another is a new model.
std::string modelIdentity(const fs::path& modelDir) {
  std::error_code ec;
  fs::path dir = fs::weakly_canonical(modelDir, ec);
  if (ec) dir = modelDir;
  std::string identity = dir.string();
  for (const char* name : {"feat.params", "means", "variances", "mdef"}) {
    auto size = fs::file_size(modelDir / kAcousticModelFolder / name, ec);
    identity += '\n' + std::to_string(ec ? 0 : size);
  }
  return identity;
}

std::optional<std::vector<float>> parse(const std::string& text, const std::string& key) {
  std::istringstream in(text);
  std::string header, modelWord, model, cmnWord;
  size_t size = 0;
  if (!std::getline(in, header) || header != kHeader) return std::nullopt;
  if (!(in >> modelWord >> model) || modelWord != "model" || model != key) return std::nullopt;
  if (!(in >> cmnWord >> size) || cmnWord != "cmn" || size == 0 || size > 64) return std::nullopt;
  std::vector<float> mean(size);
  for (float& value : mean) {
    if (!(in >> value) || !std::isfinite(value) || std::fabs(value) > kMaxMagnitude)
      return std::nullopt;
  }
  std::string rest;
  if (in >> rest) return std::nullopt;
  return mean;
}

}  // namespace

fs::path defaultAdaptationDir() {
  const char* state = std::getenv("XDG_STATE_HOME");
  fs::path base = state && *state ? fs::path(state) : fs::path();
  if (base.empty() || base.is_relative()) {
    const char* home = std::getenv("HOME");
    base = fs::path(home && *home ? home : "/") / ".local" / "state";
  }
  return base / "quillmarsh-dictate" / "adaptation";
}

std::string adaptationKey(const fs::path& modelDir) {
  char name[32];
  std::snprintf(name, sizeof name, "en-us-%016llx",
                static_cast<unsigned long long>(fnv1a(modelIdentity(modelDir))));
  return name;
}

bool restoreAdaptation(PocketSphinxDecoder& decoder, const fs::path& dir) {
  const std::string key = adaptationKey(decoder.modelDir());
  const fs::path file = dir / key;
  bool missing = false;
  auto text = readKeptFile(file, kMaxFileSize, &missing);
  if (missing) {
    writeDiagnostic("no saved adaptation for the speech model yet (" + file.string() +
                    "): the decoder adapts from the model's generic mean");
  }
  if (!text) return false;
  auto mean = parse(*text, key);
  if (!mean) {
    writeDiagnostic("ignoring damaged or foreign speech adaptation " + file.string());
    return false;
  }
  if (!decoder.adopt(*mean)) {
    writeDiagnostic("ignoring speech adaptation " + file.string() +
                    ": it was made for other features");
    return false;
  }
  return true;
}

bool saveAdaptation(const fs::path& dir, const fs::path& modelDir, std::span<const float> mean) {
  static std::atomic<bool> reported{false};
  const std::string key = adaptationKey(modelDir);
  std::string text =
      std::string(kHeader) + "\nmodel " + key + "\ncmn " + std::to_string(mean.size());
  char value[32];
  for (float v : mean) {
    std::snprintf(value, sizeof value, " %.9g", static_cast<double>(v));
    text += value;
  }
  text += '\n';
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!replaceKeptFile(dir / key, text)) return true;
  if (!reported.exchange(true)) {
    writeDiagnostic("speech adaptation not saved in " + dir.string() +
                    ": the next process adapts again");
  }
  return false;
}

}  // namespace dictate
