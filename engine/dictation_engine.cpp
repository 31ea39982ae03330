// Construction, the start and stop sequences, the consent check and the
// capture step of DictationEngine. The recognition pipeline (transcriber,
// analyzer, model check, recognizer task) is in recognition_pipeline.cpp.
#include "engine/dictation_engine.h"

#include <exception>
#include <string>
#include <utility>

#include "output/output.h"
#include "audio/microphone_tap.h"
#include "platform/error.h"

namespace dictate {

DictationEngine::DictationEngine(Platform& platform)
    : platform_(platform),
      audioEngine(platform.makeAudioEngine()),
      converter(std::make_shared<BufferConverter>(platform.audioConverters())),
      preferredLocale("en-US") {}

Task<void> DictationEngine::start() {
  // `running` is looked at once: the command loop never overlaps a start
  // with another start or a stop.
  if (running) co_return;
  if (!co_await ensurePermissions()) {
    emitEvent({{"type", "error"}, {"message", "microphone or speech permission denied"}});
    co_return;
  }
  std::exception_ptr failure;
  try {
    co_await setUpTranscriber();
    // No waiting point from here to "listening": no result event can come
    // between capture starting and the host learning that we listen.
    startAudioCapture();
  } catch (...) {
    failure = std::current_exception();
  }
  if (!failure) {
    running = true;
    emitEvent({{"type", "state"}, {"value", "listening"}});
    co_return;
  }
  emitEvent({{"type", "error"}, {"message", "start failed: " + describeError(failure)}});
  // Setup stores the analyzer before anything can fail, so this stop tears
  // the half-built dictation down and reports "stopped".
  co_await stop();
}

Task<void> DictationEngine::stop() {
  if (!running && !analyzer) co_return;
  // A failed capture start leaves the engine stopped with its tap on bus 0;
  // the next installTap replaces that tap, so it is not removed here.
  if (audioEngine->isRunning()) {
    audioEngine->inputNode().removeTap(0);
    audioEngine->stop();
  }
  if (inputBuilder) inputBuilder->finish();
  inputBuilder.reset();
  if (analyzerStarted && analyzer) co_await finalizeAnalyzer(analyzer);
  // The recognizer task has written every result delivered before the
  // finalisation returned; cancelling it only ends its wait for more.
  if (recognizerTask) recognizerTask->cancel();
  recognizerTask.reset();
  analyzer.reset();
  transcriber.reset();
  analyzerStarted = false;
  running = false;
  emitEvent({{"type", "state"}, {"value", "stopped"}});
}

Task<void> DictationEngine::finalizeAnalyzer(std::shared_ptr<SpeechAnalyzer> finishing) {
  try {
    co_await finishing->finalizeAndFinishThroughEndOfInput();
  } catch (...) {
    // A dictation that cannot finish cleanly still ends: the host gets
    // "stopped" and no error.
  }
}

Task<bool> DictationEngine::ensurePermissions() {
  ConsentService& consent = platform_.consent();
  // The consent service answers on a thread of its own; the handler only
  // hands the answer over, and the check resumes on the main loop.
  auto ask = [&consent](CompletionHandler<bool> done) {
    consent.requestAccess(MediaType::audio, [done](bool answer) { done(answer); });
  };
  const bool granted = co_await Completion<bool>(std::move(ask));
  if (!granted) writeDiagnostic("microphone access not granted");
  co_return granted;
}

void DictationEngine::startAudioCapture() {
  AudioInputNode& inputNode = audioEngine->inputNode();
  const AudioFormat captureFormat = inputNode.outputFormat(0);
  if (!analyzerFormat || !inputBuilder) {
    throw Error(kDictateErrorDomain, kCaptureStartedBeforeAnalyzerReady,
                "capture started before analyzer was ready");
  }
  inputNode.installTap(0, kTapBufferSize, captureFormat,
                       makeMicrophoneTapBlock(converter, *analyzerFormat, *inputBuilder));
  audioEngine->prepare();
  // On failure the tap stays installed until the next start replaces it.
  audioEngine->start();
}

}  // namespace dictate
