// DictationEngine owns one dictation at a time: the audio engine tapped for
// microphone audio, the converter that brings captured audio into the
// analyzer's format, and per dictation the transcriber, the analyzer, the
// producer end of the analyzer's input stream and the recognizer task.
//
// Everything here runs on the main loop; no field is touched from another
// thread. The tap block, which runs on the capture thread, works only on
// what it captured at installation (see audio/microphone_tap.h); so does the
// tap's loss handler, which only hands the loss over to the main loop.
//
// A dictation whose audio input is lost ends by itself: the error "audio
// input lost: " + reason, then the stop sequence. A start() or stop() called
// while that stop sequence runs waits for its end; the stop() then writes
// nothing more.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/buffer_converter.h"
#include "platform/platform.h"
#include "runtime/task.h"

namespace dictate {

class DictationEngine {
 public:
  explicit DictationEngine(Platform& platform);
  DictationEngine(const DictationEngine&) = delete;
  DictationEngine& operator=(const DictationEngine&) = delete;

  // Opens a dictation: consent, pipeline, capture, then the "listening"
  // state. Reports every outcome as events; never throws.
  Task<void> start();

  // Ends the dictation, if any: capture, input stream, finalisation,
  // recognizer task, then the "stopped" state. Never throws.
  Task<void> stop();

 private:
  friend struct DictationEngineInspector;  // tests read the fields

  // Asks for the microphone; false (with a diagnostic) when refused.
  Task<bool> ensurePermissions();
  // Builds transcriber, analyzer, recognizer task and input stream and
  // starts the analyzer; throws, leaving what it stored for stop() to clear.
  Task<void> setUpTranscriber();
  // Installs the model for `transcriber` if missing and reserves the
  // locale, with "model" events; throws the inventory's errors unchanged.
  Task<void> ensureModel(std::shared_ptr<SpeechTranscriber> transcriber);
  // Taps input bus 0 and starts the audio engine; throws.
  void startAudioCapture();
  // The tap's loss handler for capture number `capture`: it posts the loss
  // to the main loop, where handleInputLoss runs.
  InputLossHandler makeInputLossHandler(uint64_t capture);
  // Ends the dictation of capture number `capture`, if that is the one
  // running and no stop has begun; otherwise does nothing.
  Task<void> handleInputLoss(uint64_t capture, std::string reason);
  // Returns once the stop sequence that runs now has written "stopped".
  Task<void> awaitStopInProgress();
  // Awaits the analyzer's finalisation, discarding its failure.
  static Task<void> finalizeAnalyzer(std::shared_ptr<SpeechAnalyzer> finishing);

  Platform& platform_;

  // Fixed fields.
  const std::unique_ptr<AudioEngine> audioEngine;
  const std::shared_ptr<BufferConverter> converter;
  // Dictation fields.
  std::shared_ptr<SpeechTranscriber> transcriber;
  std::shared_ptr<SpeechAnalyzer> analyzer;
  std::optional<AnalyzerInputStream::Continuation> inputBuilder;
  std::optional<TaskHandle> recognizerTask;
  // Kept from one dictation to the next until setup replaces it.
  std::optional<AudioFormat> analyzerFormat;
  // True while a dictation is fully started and capturing.
  bool running = false;
  // True once this dictation's analyzer runs on its input stream; only
  // then does the stop sequence ask it to finalise.
  bool analyzerStarted = false;
  // True from the capture step's tap on input bus 0 until the stop sequence
  // removes it and stops the audio engine.
  bool inputTapped = false;
  const Locale preferredLocale;

  // Loss handling. Each capture start gets the next number, which its loss
  // handler carries: a loss reported for an earlier capture, or reaching the
  // loop after its dictation has stopped, is ignored.
  uint64_t captureNumber = 0;
  // True while the stop sequence runs; callers that arrive meanwhile wait in
  // stopWaiters until it has written "stopped".
  bool stopping = false;
  std::vector<CompletionHandler<bool>> stopWaiters;
  // Loss reports check it on the loop, so that one arriving after the
  // engine has gone finds nothing.
  const std::shared_ptr<int> lifetime = std::make_shared<int>(0);
};

}  // namespace dictate
