// The recognition pipeline of DictationEngine: building the transcriber and
// analyzer for a start, making sure the speech model is installed and
// reserved, and the recognizer task that turns results into text events.
// All of it runs on the main loop.
#include <algorithm>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "output/output.h"
#include "engine/dictation_engine.h"
#include "platform/error.h"

namespace dictate {

namespace {

// The recognizer task's body. It holds the transcriber, never the engine,
// and writes one event per result with text until the result channel ends.
// A failing channel is reported once and ends the task. Cancellation
// reaches it only through the channel, which ends its reader on a stop
// request.
Task<void> streamResults(std::shared_ptr<SpeechTranscriber> transcriber, std::stop_token stop) {
  std::shared_ptr<ResultChannel> results = transcriber->results();
  for (;;) {
    std::optional<TranscriptionResult> result;
    try {
      result = co_await results->next(stop);
    } catch (...) {
      emitEvent(
          {{"type", "error"},
           {"message", "recognition stream error: " + describeError(std::current_exception())}});
      co_return;
    }
    if (!result) co_return;
    if (result->text.empty()) continue;
    emitEvent({{"type", result->isFinal ? "final" : "volatile"}, {"text", result->text}});
  }
}

// The body catches the channel's failures itself; anything else that
// escapes (an allocation failure) is told to the host the same way.
void reportRecognizerFailure(std::exception_ptr error) {
  emitEvent({{"type", "error"}, {"message", "recognition stream error: " + describeError(error)}});
}

TranscriberConfiguration dictationConfiguration(const Locale& locale) {
  TranscriberConfiguration config;
  config.locale = locale;
  config.transcriptionOptions = {};
  config.reportingOptions = {ReportingOption::volatileResults};
  config.attributeOptions = {ResultAttributeOption::audioTimeRange};
  return config;
}

}  // namespace

Task<void> DictationEngine::setUpTranscriber() {
  SpeechService& speech = platform_.speech();
  // Fields are written as soon as each object exists: after any failure
  // below the stop sequence finds the analyzer and tears everything down.
  auto newTranscriber = speech.makeTranscriber(dictationConfiguration(preferredLocale));
  transcriber = newTranscriber;
  auto newAnalyzer = speech.makeAnalyzer(SpeechModules{newTranscriber});
  analyzer = newAnalyzer;
  co_await ensureModel(newTranscriber);
  const SpeechModules formatModules{newTranscriber};
  std::optional<AudioFormat> format = co_await speech.bestAvailableAudioFormat(formatModules);
  if (!format)
    throw Error(kDictateErrorDomain, kNoCompatibleAudioFormat, "no compatible audio format");
  analyzerFormat = *format;
  // The reader is launched before the analyzer starts, so results never
  // wait for one.
  recognizerTask = spawnCancellable(
      [newTranscriber](std::stop_token stop) {
        return streamResults(newTranscriber, std::move(stop));
      },
      reportRecognizerFailure);
  auto [inputSequence, inputContinuation] = AnalyzerInputStream::make();
  inputBuilder = inputContinuation;
  co_await newAnalyzer->start(std::move(inputSequence));
  analyzerStarted = true;
}

Task<void> DictationEngine::ensureModel(std::shared_ptr<SpeechTranscriber> forTranscriber) {
  AssetInventory& inventory = platform_.assetInventory();
  const SpeechModules modules{std::move(forTranscriber)};
  if (std::unique_ptr<AssetInstallationRequest> request =
          co_await inventory.assetInstallationRequest(modules)) {
    emitEvent({{"type", "model"}, {"status", "downloading"}});
    co_await request->downloadAndInstall();
  }
  const std::vector<Locale> reserved = co_await inventory.reservedLocales();
  const std::string wanted = preferredLocale.bcp47Identifier();
  const bool isReserved = std::any_of(reserved.begin(), reserved.end(), [&](const Locale& locale) {
    return locale.bcp47Identifier() == wanted;
  });
  if (!isReserved) co_await inventory.reserve(preferredLocale);
  emitEvent({{"type", "model"}, {"status", "ready"}});
}

}  // namespace dictate
