// The speech recognition service: a transcriber module for one locale, an
// analyzer that runs it over a stream of audio, and the format the analyzer
// wants. All operations are called on the main loop; results are delivered
// there too, through the transcriber's result channel.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "runtime/async_channel.h"
#include "runtime/async_stream.h"
#include "platform/audio_buffer.h"
#include "runtime/task.h"

namespace dictate {

// A locale by identifier. Either "en-US" or "en_US" spelling may be used;
// bcp47Identifier() gives the canonical BCP 47 form.
class Locale {
 public:
  explicit Locale(std::string identifier) : identifier_(std::move(identifier)) {}
  const std::string& identifier() const { return identifier_; }
  // Language in lower case, script in title case, region in upper case,
  // subtags joined by '-'.
  std::string bcp47Identifier() const;

 private:
  std::string identifier_;
};

enum class TranscriptionOption {};
enum class ReportingOption { volatileResults };
enum class ResultAttributeOption { audioTimeRange };

struct TranscriberConfiguration {
  Locale locale{"en-US"};
  std::set<TranscriptionOption> transcriptionOptions;
  std::set<ReportingOption> reportingOptions;
  std::set<ResultAttributeOption> attributeOptions;
};

struct TranscriptionResult {
  std::string text;
  bool isFinal = false;
  // Where the result lies in the audio, in seconds from the stream's start.
  double rangeStart = 0;
  double rangeDuration = 0;
};

using ResultChannel = AsyncChannel<TranscriptionResult>;

class SpeechTranscriber {
 public:
  virtual ~SpeechTranscriber() = default;
  virtual const TranscriberConfiguration& configuration() const = 0;
  // The results of this transcriber: read on the main loop by one reader;
  // ends after the analyzer's finalisation, or fails.
  virtual std::shared_ptr<ResultChannel> results() = 0;
};

struct AnalyzerInput {
  std::shared_ptr<PcmBuffer> buffer;
};

using AnalyzerInputStream = AsyncStream<AnalyzerInput>;

class SpeechAnalyzer {
 public:
  virtual ~SpeechAnalyzer() = default;
  // Starts analysis of `input`, which runs until the stream ends. Throws an
  // Error when analysis cannot start.
  virtual Task<void> start(AnalyzerInputStream::Sequence input) = 0;
  // Returns once all input already sent is analysed, the final results are
  // delivered and the result channel has ended.
  virtual Task<void> finalizeAndFinishThroughEndOfInput() = 0;
};

using SpeechModules = std::vector<std::shared_ptr<SpeechTranscriber>>;

class SpeechService {
 public:
  virtual ~SpeechService() = default;
  // Making a transcriber or an analyzer never fails (a service that cannot
  // work fails later, in its asynchronous operations): the engine relies on
  // holding both before anything can fail.
  virtual std::shared_ptr<SpeechTranscriber> makeTranscriber(const TranscriberConfiguration& config) = 0;
  // An analyzer running `modules`, not yet started (no analyzer options).
  virtual std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const SpeechModules& modules) = 0;
  // The format to convert audio to, or nothing when none fits.
  virtual Task<std::optional<AudioFormat>> bestAvailableAudioFormat(const SpeechModules& modules) = 0;
};

}  // namespace dictate
