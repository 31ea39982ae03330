// Read access to DictationEngine's fields for tests, on the loop thread.
#pragma once

#include "engine/dictation_engine.h"

namespace dictate {

struct DictationEngineInspector {
  static AudioEngine* audioEngine(const DictationEngine& e) { return e.audioEngine.get(); }
  static BufferConverter* converter(const DictationEngine& e) { return e.converter.get(); }
  static const std::shared_ptr<SpeechTranscriber>& transcriber(const DictationEngine& e) {
    return e.transcriber;
  }
  static const std::shared_ptr<SpeechAnalyzer>& analyzer(const DictationEngine& e) {
    return e.analyzer;
  }
  static const std::optional<AnalyzerInputStream::Continuation>& inputBuilder(
      const DictationEngine& e) {
    return e.inputBuilder;
  }
  static const std::optional<TaskHandle>& recognizerTask(const DictationEngine& e) {
    return e.recognizerTask;
  }
  static const std::optional<AudioFormat>& analyzerFormat(const DictationEngine& e) {
    return e.analyzerFormat;
  }
  static bool running(const DictationEngine& e) { return e.running; }
  static bool analyzerStarted(const DictationEngine& e) { return e.analyzerStarted; }
  static const Locale& preferredLocale(const DictationEngine& e) { return e.preferredLocale; }

  // The private operations, for tests that drive one step on its own.
  static Task<void> setUpTranscriber(DictationEngine& e) { return e.setUpTranscriber(); }
  static void startAudioCapture(DictationEngine& e) { e.startAudioCapture(); }
  static void clearAnalyzerFormat(DictationEngine& e) { e.analyzerFormat.reset(); }
};

}  // namespace dictate
