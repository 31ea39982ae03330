// The speech service on Linux: transcribers and analyzers that recognise
// speech on the user's machine with PocketSphinx and the US English model.
//
// The platform owns one service for the life of the process. Its operations
// are called on the main loop; constructing it does nothing slow (no model
// is looked for or loaded until an analyzer starts). It keeps the loaded
// decoder between dictations (see PocketSphinxDecoderCache).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include "platform/linux/models/model_store.h"
#include "platform/linux/speech/pocketsphinx_decoder.h"
#include "platform/speech.h"

namespace dictate {

// A transcriber is the configuration of one dictation and the channel its
// results arrive in; the analyzer does the work. Loop thread only.
class PocketSphinxTranscriber : public SpeechTranscriber {
 public:
  explicit PocketSphinxTranscriber(TranscriberConfiguration configuration)
      : configuration_(std::move(configuration)), results_(std::make_shared<ResultChannel>()) {}
  const TranscriberConfiguration& configuration() const override { return configuration_; }
  std::shared_ptr<ResultChannel> results() override { return results_; }

 private:
  const TranscriberConfiguration configuration_;
  const std::shared_ptr<ResultChannel> results_;
};

class PocketSphinxService : public SpeechService {
 public:
  // With `adaptationDir`, a newly loaded decoder starts from the adaptation
  // saved there and each dictation saves it (decoder_adaptation.h); without,
  // every process adapts afresh.
  explicit PocketSphinxService(
      std::shared_ptr<const ModelStore> store,
      PocketSphinxDecoder::Options options = PocketSphinxDecoder::defaultOptions(),
      std::optional<std::filesystem::path> adaptationDir = std::nullopt);

  // Any locale is accepted here; an analyzer for a locale without a model
  // fails to start, and the asset inventory refuses to install one.
  std::shared_ptr<SpeechTranscriber> makeTranscriber(
      const TranscriberConfiguration& config) override;
  std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const SpeechModules& modules) override;
  // 16 kHz mono 16-bit when every module's locale has a model, else nothing.
  Task<std::optional<AudioFormat>> bestAvailableAudioFormat(const SpeechModules& modules) override;

  // Whether a loaded decoder waits for the next dictation.
  bool hasLoadedDecoder() const { return decoders_->hasIdleDecoder(); }

 private:
  const std::shared_ptr<const ModelStore> store_;
  const std::shared_ptr<PocketSphinxDecoderCache> decoders_;
  const PocketSphinxDecoder::Options options_;
  const std::optional<std::filesystem::path> adaptationDir_;
};

}  // namespace dictate
