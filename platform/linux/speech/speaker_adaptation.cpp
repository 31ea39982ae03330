#include "platform/linux/speech/speaker_adaptation.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <mutex>
#include <system_error>
#include <unordered_set>

#include "output/output.h"
#include "platform/linux/models/model_check.h"
#include "platform/linux/models/model_store.h"
#include "platform/linux/speech/acoustic_training.h"

namespace dictate {

namespace fs = std::filesystem;

namespace {

constexpr const char* kAdaptedFolder = "adapted-model";

std::unordered_set<std::string> dictionaryEntries(const fs::path& dictionary) {
  std::unordered_set<std::string> words;
  std::ifstream in(dictionary);
  for (std::string line; std::getline(in, line);) {
    auto end = line.find_first_of(" \t(");
    if (end != 0) words.insert(line.substr(0, end));
  }
  return words;
}

size_t editDistance(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return row[b.size()];
}

int wordErrors(const EnrolmentReading& reading, const std::string& heard) {
  return static_cast<int>(editDistance(dictionaryWords(reading.text), dictionaryWords(heard)));
}

// The word errors of the model in `modelDir` on `readings`, decoded as a
// dictation decodes them: the program's options, one stream per reading,
// the cepstral mean carried from one to the next.
int wordErrors(const fs::path& modelDir, std::span<const EnrolmentReading> readings) {
  auto decoder = PocketSphinxDecoder::load(modelDir);
  int errors = 0;
  std::vector<TranscriptionResult> results;
  for (const auto& reading : readings) {
    results.clear();
    decoder->beginStream();
    decoder->feed(reading.samples, results);
    decoder->endStream(results);
    std::string heard;
    for (const auto& result : results) {
      if (result.isFinal) heard += result.text + ' ';
    }
    errors += wordErrors(reading, heard);
  }
  return errors;
}

// The speaker-independent model's errors: from what the caller heard
// already, when it did for every reading.
int baseWordErrors(const fs::path& modelDir, std::span<const EnrolmentReading> readings) {
  if (!std::all_of(readings.begin(), readings.end(), [](const auto& r) { return r.heard; }))
    return wordErrors(modelDir, readings);
  int errors = 0;
  for (const auto& reading : readings) errors += wordErrors(reading, *reading.heard);
  return errors;
}

// Puts the model folder `staged` in place of `target` in one step: a
// reader sees the old model or the new one, never a part or none.
void install(const fs::path& staged, const fs::path& target) {
  if (::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
    fs::remove_all(staged);  // now the old model
    return;
  }
  if (errno == EINVAL) {
    // A file system that cannot exchange: the old model goes first.
    fs::remove_all(target);
  } else if (errno != ENOENT) {
    throw std::system_error(errno, std::generic_category(), target.string());
  }
  fs::rename(staged, target);
}

// The adapted model's files, made in `staged`: the adapted acoustic model,
// and links to the words of the model it came from, which adaptation
// leaves as they are.
void stageModel(const fs::path& baseModelDir, std::span<const TrainingUtterance> utterances,
                const fs::path& work, const fs::path& staged) {
  mapAdapt(baseModelDir / kAcousticModelFolder, baseModelDir / kDictionaryFile, utterances, work,
           staged / kAcousticModelFolder);
  for (const char* name : {kLanguageModelFile, kDictionaryFile})
    fs::create_symlink(fs::absolute(baseModelDir / name), staged / name);
  if (auto damage = checkModelOnce(staged, PocketSphinxDecoder::defaultOptions()))
    throw std::runtime_error(*damage);
}

std::string outcomeLine(const AdaptationOutcome& outcome) {
  std::string counts = std::to_string(outcome.errorsBefore) + " word errors in " +
                       std::to_string(outcome.heldBackWords) + " words before, " +
                       std::to_string(outcome.errorsAfter) + " after";
  if (outcome.kept) return "The speech model is now adapted to your voice (" + counts + ").";
  return "The adapted model read the test sentences no better (" + counts +
         "), so the speech model stays as it was.";
}

// Adapted model folders that failed to load in this process, by path and
// modification time, so that each is tried once rather than at every
// dictation.
std::mutex rejectedMutex;
std::vector<std::pair<fs::path, fs::file_time_type>> rejected;  // under rejectedMutex

std::optional<fs::file_time_type> modified(const fs::path& dir) {
  std::error_code ec;
  auto time = fs::last_write_time(dir / kAcousticModelFolder, ec);
  if (ec) return std::nullopt;
  return time;
}

}  // namespace

fs::path adaptedModelDir(const fs::path& userStore) { return userStore / kAdaptedFolder; }

fs::path adaptedModelDir() {
  return adaptedModelDir(ModelStoreLocations::fromEnvironment().userStore);
}

bool forgetAdaptedModel() {
  std::error_code ec;
  return fs::remove_all(adaptedModelDir(), ec) > 0 && !ec;
}

AdaptationOutcome adaptToSpeaker(const fs::path& baseModelDir,
                                 std::span<const EnrolmentReading> training,
                                 std::span<const EnrolmentReading> heldBack) {
  AdaptationOutcome outcome;
  try {
    const auto known = dictionaryEntries(baseModelDir / kDictionaryFile);
    std::vector<TrainingUtterance> utterances;
    for (const auto& reading : training) {
      auto words = dictionaryWords(reading.text);
      // bw cannot align a word it cannot spell; such a reading is left out.
      if (words.empty() || !std::all_of(words.begin(), words.end(),
                                        [&](const auto& w) { return known.contains(w); }))
        continue;
      utterances.push_back({reading.samples, std::move(words)});
    }
    for (const auto& reading : heldBack)
      outcome.heldBackWords += static_cast<int>(dictionaryWords(reading.text).size());
    if (utterances.empty() || outcome.heldBackWords == 0) {
      outcome.message = "Nothing to adapt to: no usable readings, or none held back to test on.";
      return outcome;
    }
    const fs::path target = adaptedModelDir();
    fs::create_directories(target.parent_path());
    ScratchFolder work;
    // Staged beside its place, so that it is renamed, not copied, there.
    ScratchFolder staged(target.parent_path(), ".adapted-model-");
    stageModel(baseModelDir, utterances, work.path(), staged.path());
    outcome.errorsBefore = baseWordErrors(baseModelDir, heldBack);
    outcome.errorsAfter = wordErrors(staged.path(), heldBack);
    outcome.kept = outcome.errorsAfter < outcome.errorsBefore;
    if (outcome.kept) install(staged.path(), target);
    outcome.message = outcomeLine(outcome);
  } catch (const std::exception& e) {
    outcome.kept = false;
    outcome.message = std::string("Adaptation failed: ") + e.what();
  }
  return outcome;
}

std::unique_ptr<PocketSphinxDecoder> loadPreferredModel(const fs::path& baseModelDir,
                                                        const fs::path& adaptedDir,
                                                        const PocketSphinxDecoder::Options& options) {
  if (preferredModelDir(baseModelDir, adaptedDir) == adaptedDir) {
    try {
      auto decoder = PocketSphinxDecoder::load(adaptedDir, options);
      writeDiagnostic("speech model: adapted to this speaker (" + adaptedDir.string() + ")");
      return decoder;
    } catch (const std::exception& e) {
      writeDiagnostic("the adapted speech model cannot be used (" + std::string(e.what()) +
                      "); using the speaker-independent model");
      std::lock_guard<std::mutex> lock(rejectedMutex);
      if (auto time = modified(adaptedDir)) rejected.emplace_back(adaptedDir, *time);
    }
  }
  auto decoder = PocketSphinxDecoder::load(baseModelDir, options);
  writeDiagnostic("speech model: speaker-independent (" + baseModelDir.string() + ")");
  return decoder;
}

fs::path preferredModelDir(const fs::path& baseModelDir, const fs::path& adaptedDir) {
  std::error_code ec;
  if (!fs::is_directory(adaptedDir, ec)) return baseModelDir;
  auto time = modified(adaptedDir);
  std::lock_guard<std::mutex> lock(rejectedMutex);
  for (const auto& [dir, when] : rejected) {
    if (dir == adaptedDir && time == when) return baseModelDir;
  }
  return adaptedDir;
}

}  // namespace dictate
