#include "platform/linux/speech/pocketsphinx_service.h"

#include "platform/linux/speech/pocketsphinx_analyzer.h"

namespace dictate {

PocketSphinxService::PocketSphinxService(std::shared_ptr<const ModelStore> store,
                                         PocketSphinxDecoder::Options options,
                                         std::optional<std::filesystem::path> adaptationDir)
    : store_(std::move(store)),
      decoders_(std::make_shared<PocketSphinxDecoderCache>()),
      options_(std::move(options)),
      adaptationDir_(std::move(adaptationDir)) {}

std::shared_ptr<SpeechTranscriber> PocketSphinxService::makeTranscriber(
    const TranscriberConfiguration& config) {
  return std::make_shared<PocketSphinxTranscriber>(config);
}

std::shared_ptr<SpeechAnalyzer> PocketSphinxService::makeAnalyzer(const SpeechModules& modules) {
  return std::make_shared<PocketSphinxAnalyzer>(modules, store_, decoders_, options_,
                                                adaptationDir_);
}

Task<std::optional<AudioFormat>> PocketSphinxService::bestAvailableAudioFormat(
    const SpeechModules& modules) {
  if (modules.empty()) co_return std::nullopt;
  for (const auto& module : modules) {
    if (!module || !ModelStore::isSupported(module->configuration().locale)) co_return std::nullopt;
  }
  co_return AudioFormat{PocketSphinxDecoder::kSampleRate, 1, SampleFormat::int16};
}

}  // namespace dictate
