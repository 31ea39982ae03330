// Re-estimating an acoustic model on recordings of known sentences with the
// model's own training tools: sphinx_fe makes the features with the
// model's feat.params, bw aligns them with the transcripts and gathers the
// statistics, map_adapt moves the model's Gaussians, mixture weights and
// transitions towards them (maximum a posteriori: the model is the prior,
// so states the recordings never reach stay as they were). The tools run as
// child processes in a folder of their own; the one piece they lack, the
// mixture weights as floating-point numbers when the model ships only their
// quantised form (sendump), is ours.
//
// Plain blocking functions for any thread; no state of their own.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "platform/linux/models/kept_files.h"

namespace dictate {

// One recording and the words said in it (lower case, as the dictionary
// spells them).
struct TrainingUtterance {
  std::span<const int16_t> samples;  // 16 kHz mono
  std::vector<std::string> words;
};

// The words of `text` as the dictionary spells them: lower case, letters,
// digits and apostrophes; anything else separates words.
std::vector<std::string> dictionaryWords(std::string_view text);

// Writes the mixture weights quantised in the `sendump` file as an s3
// mixture-weight file (senones x streams x densities, each mixture
// normalised). Throws std::runtime_error when `sendump` is not one.
void writeMixtureWeights(const std::filesystem::path& sendump, const std::filesystem::path& out);

// Writes into `outDir` the acoustic model in `acousticDir` adapted by MAP to
// `utterances`: means, variances, mixture_weights and transition_matrices,
// beside copies of the model's other files (no sendump). `work` holds the
// intermediate files. Throws std::runtime_error, naming the tool and the
// end of its log, when a tool fails.
void mapAdapt(const std::filesystem::path& acousticDir, const std::filesystem::path& dictionary,
              std::span<const TrainingUtterance> utterances, const std::filesystem::path& work,
              const std::filesystem::path& outDir);

// Where sphinxtrain's programs are (/usr/lib/sphinxtrain).
inline constexpr const char* kSphinxTrainDir = "/usr/lib/sphinxtrain";

}  // namespace dictate
