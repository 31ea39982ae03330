// What a decoder has learned about the microphone and voice (its cepstral
// mean), kept across processes, so that a later process starts from the
// mean an earlier one reached rather than from the model's generic one.
//
// One small text file per model in a state folder
// ($XDG_STATE_HOME/quillmarsh-dictate/adaptation, by default
// ~/.local/state/...). Its name and its first lines identify the model (its
// folder and the sizes of its acoustic model's files), so that no model
// adopts another's mean. Kept as kept_files.h says: written whole, and
// read only when it is a regular file. A missing, foreign or damaged file,
// or anything else in its place, is ignored with a diagnostic; a folder that cannot be written only
// costs the saving (one diagnostic per process).
//
// Called on the thread that holds the decoder; no state of its own.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace dictate {

class PocketSphinxDecoder;

// $XDG_STATE_HOME (or ~/.local/state)/quillmarsh-dictate/adaptation.
std::filesystem::path defaultAdaptationDir();

// The name of the file that holds the adaptation to the model in `modelDir`.
std::string adaptationKey(const std::filesystem::path& modelDir);

// Gives `decoder` the mean saved in `dir` for its model. Returns whether one
// was adopted; otherwise the decoder is unchanged and a diagnostic says why.
bool restoreAdaptation(PocketSphinxDecoder& decoder, const std::filesystem::path& dir);

// Saves `mean`, learned by a decoder of the model in `modelDir`, in `dir`.
// Returns false when it could not be written.
bool saveAdaptation(const std::filesystem::path& dir, const std::filesystem::path& modelDir,
                    std::span<const float> mean);

}  // namespace dictate
