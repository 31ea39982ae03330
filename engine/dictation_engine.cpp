// Construction, the start and stop sequences, the consent check, the
// capture step and the handling of a lost audio input of DictationEngine.
// The recognition pipeline (transcriber, analyzer, model check, recognizer
// task) is in recognition_pipeline.cpp.
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
  // A dictation that lost its input may still be finishing; this start
  // begins after its "stopped".
  if (stopping) co_await awaitStopInProgress();
  // `running` is looked at once: the command loop never overlaps a start
  // with another start or a stop, and a loss stops only a running dictation.
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
  // The host reads one "stopped" per dictation, also when the command's stop
  // meets the one that a lost input began.
  if (stopping) {
    co_await awaitStopInProgress();
    co_return;
  }
  if (!running && !analyzer) co_return;
  stopping = true;
  // The tap goes whenever this dictation installed one, whether or not the
  // audio engine still runs: a capture that failed to start, or that was
  // lost and has not yet handed the tap the audio it captured before the
  // loss, holds its tap and threads until they are let go here. The input
  // stream is finished only after that audio is in it.
  if (inputTapped) {
    audioEngine->inputNode().removeTap(0);
    audioEngine->stop();
    inputTapped = false;
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
  stopping = false;
  emitEvent({{"type", "state"}, {"value", "stopped"}});
  // The waiters resume from the loop's queue, after this stop has returned.
  for (auto& waiter : std::exchange(stopWaiters, {})) waiter(true);
}

Task<void> DictationEngine::awaitStopInProgress() {
  // A named starter: see offload() in runtime/task.h.
  auto wait = [this](CompletionHandler<bool> done) { stopWaiters.push_back(std::move(done)); };
  co_await Completion<bool>(std::move(wait));
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
                       makeMicrophoneTapBlock(converter, *analyzerFormat, *inputBuilder),
                       makeInputLossHandler(++captureNumber));
  inputTapped = true;
  audioEngine->prepare();
  audioEngine->start();
}

InputLossHandler DictationEngine::makeInputLossHandler(uint64_t capture) {
  // Runs on the capture thread as soon as capture is lost, before the tap
  // block has yielded the last audio: it only posts, so that the error comes
  // before the finals of that audio, which the stop it leads to waits for.
  return [loop = MainLoop::current().executor(), engine = this,
          alive = std::weak_ptr<int>(lifetime), capture](const Error& reason) {
    loop.post([engine, alive, capture, reason = reason.localizedDescription()] {
      if (alive.expired()) return;
      spawn(engine->handleInputLoss(capture, reason), [](std::exception_ptr error) {
        writeDiagnostic("internal error: " + describeError(error));
      });
    });
  };
}

Task<void> DictationEngine::handleInputLoss(uint64_t capture, std::string reason) {
  // A report of an earlier capture, a second report, or one for a dictation
  // that a stop is already ending changes nothing.
  if (capture != captureNumber || !running || stopping) co_return;
  emitEvent({{"type", "error"}, {"message", "audio input lost: " + reason}});
  co_await stop();
}

}  // namespace dictate
