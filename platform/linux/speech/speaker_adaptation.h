// Adapting the speech model to one speaker from an enrolment: readings of
// known sentences. The acoustic model is adapted to the readings by MAP
// with the model's own training tools (acoustic_training.h); the adapted
// model is kept only when it reads readings held back from the adaptation
// with fewer word errors than the model it came from, both decoded as a
// dictation decodes.
//
// (For the enrolment program: EnrolmentReading::heard is new and optional;
// filling it for the held-back readings halves the guard's CPU.)
//
// The adapted model is a complete model folder in the user's data folder
// ($XDG_DATA_HOME/quillmarsh-dictate/adapted-model, by default under
// ~/.local/share), written atomically; later starts of the program load it
// in place of the speaker-independent model. Plain blocking functions: an
// adaptation takes a few seconds of CPU.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/linux/speech/pocketsphinx_decoder.h"

namespace dictate {

struct EnrolmentReading {
  std::vector<int16_t> samples;  // 16 kHz mono, the reading as recorded
  std::string text;              // the sentence that was read
  // What the speaker-independent model heard in the reading, when the
  // caller decoded it already as a dictation does (PocketSphinxDecoder with
  // its default options, one stream per reading). When every held-back
  // reading has it, they are not decoded with that model again: half the
  // guard's CPU.
  std::optional<std::string> heard = std::nullopt;
};

struct AdaptationOutcome {
  bool kept = false;       // an adapted model was written and later starts use it
  int heldBackWords = 0;
  int errorsBefore = 0;    // speaker-independent model on the held-back readings
  int errorsAfter = 0;     // adapted model on the same readings
  std::string message;     // one line for the user: what happened and why
};

// Adapts the model in `baseModelDir` (a model folder as the decoder loads it) to
// `training`, reads `heldBack` with both models, and writes the adapted model
// (atomically) to adaptedModelDir() only when it reads them better.
AdaptationOutcome adaptToSpeaker(const std::filesystem::path& baseModelDir,
                                 std::span<const EnrolmentReading> training,
                                 std::span<const EnrolmentReading> heldBack);

// $XDG_DATA_HOME (or ~/.local/share)/quillmarsh-dictate/adapted-model.
std::filesystem::path adaptedModelDir();
// The adapted model's folder in the user's store (ModelStoreLocations::userStore).
std::filesystem::path adaptedModelDir(const std::filesystem::path& userStore);

// Deletes the adapted model; true if there was one.
bool forgetAdaptedModel();

// The model folder a dictation should use: `adaptedDir` when it exists and
// has not failed to load in this process (as it stands), else `baseModelDir`.
std::filesystem::path preferredModelDir(const std::filesystem::path& baseModelDir,
                                        const std::filesystem::path& adaptedDir);

// Loads the preferred model (above). An adapted model that fails the model
// check or the load is passed over for the base model, with a diagnostic,
// and not tried again in this process while it stays as it is. One
// diagnostic says which model is in use. Throws only when the base model
// cannot be loaded.
std::unique_ptr<PocketSphinxDecoder> loadPreferredModel(
    const std::filesystem::path& baseModelDir, const std::filesystem::path& adaptedDir,
    const PocketSphinxDecoder::Options& options);

}  // namespace dictate
