// Drives one dictation through a real speech service the way the engine
// does: a transcriber, an analyzer started on an input stream, a reader of
// the result channel on the main loop, then finish and finalisation. Records
// each result with the time it reached the loop. Header-only, for the speech
// tests and the speech benchmark.
//
// Everything runs on the thread that owns `loop`; the analyzer's worker
// delivers through the loop.
#pragma once

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/error.h"
#include "runtime/main_loop.h"
#include "platform/speech.h"
#include "runtime/task.h"

namespace dictate::speechaudio {

using Clock = std::chrono::steady_clock;

struct TimedResult {
  TranscriptionResult result;
  Clock::time_point at;
};

class SpeechSession {
 public:
  SpeechSession(MainLoop& loop, SpeechService& service, Locale locale = Locale("en-US"))
      : loop_(loop), state_(std::make_shared<State>()) {
    TranscriberConfiguration config;
    config.locale = std::move(locale);
    config.reportingOptions = {ReportingOption::volatileResults};
    config.attributeOptions = {ResultAttributeOption::audioTimeRange};
    transcriber_ = service.makeTranscriber(config);
    analyzer_ = service.makeAnalyzer({transcriber_});
    auto [sequence, continuation] = AnalyzerInputStream::make();
    input_.emplace(std::move(continuation));
    sequence_.emplace(std::move(sequence));
    reader_ = spawnCancellable([channel = transcriber_->results(), state = state_](
                                   std::stop_token stop) { return read(channel, state, stop); },
                               nullptr);
  }

  // Cancels the reader, as the engine does after a stop.
  ~SpeechSession() {
    reader_.cancel();
    loop_.poll();
  }
  SpeechSession(const SpeechSession&) = delete;
  SpeechSession& operator=(const SpeechSession&) = delete;

  // Starts the analyzer and waits for it; throws the start's Error.
  void start(std::chrono::seconds timeout = std::chrono::seconds(30)) {
    beginStart();
    if (!loop_.runUntil([&] { return startOutcome_->has_value(); }, timeout)) {
      throw std::runtime_error("start hangs");
    }
    if (**startOutcome_) std::rethrow_exception(**startOutcome_);
  }
  // Asks the analyzer to start; the loop's next turns carry it out.
  void beginStart() {
    spawn(startAnalyzer(analyzer_, std::move(*sequence_), startOutcome_), nullptr);
  }
  bool hasStarted() const { return startOutcome_->has_value() && !**startOutcome_; }

  // Yields one buffer of 16 kHz mono samples into the input stream.
  void feed(std::span<const int16_t> samples) {
    auto buffer =
        PcmBuffer::make({16000, 1, SampleFormat::int16}, static_cast<uint32_t>(samples.size()));
    std::copy(samples.begin(), samples.end(), buffer->int16Data());
    buffer->setFrameLength(static_cast<uint32_t>(samples.size()));
    input_->yield(AnalyzerInput{buffer});
  }
  AnalyzerInputStream::YieldResult feedBuffer(std::shared_ptr<PcmBuffer> buffer) {
    return input_->yield(AnalyzerInput{std::move(buffer)});
  }

  // Yields all of `samples` in blocks of `block` samples, without waiting.
  void feedAll(std::span<const int16_t> samples, size_t block) {
    for (size_t i = 0; i < samples.size(); i += block)
      feed(samples.subspan(i, std::min(block, samples.size() - i)));
  }

  // Finishes the input and waits for the finalisation to return.
  void finishAndFinalize(std::chrono::seconds timeout = std::chrono::seconds(60)) {
    input_->finish();
    finishedAt = Clock::now();
    auto done = std::make_shared<bool>(false);
    spawn(finalize(analyzer_, state_, done), nullptr);
    if (!loop_.runUntil([&] { return *done; }, timeout))
      throw std::runtime_error("finalisation hangs");
    finalizedAt = Clock::now();
  }

  // Ends the dictation without finalising, as a torn-down engine does.
  void abandon() { analyzer_.reset(); }

  const std::vector<TimedResult>& results() const { return state_->results; }
  bool ended() const { return state_->ended; }
  const std::string& failure() const { return state_->failure; }
  // What had reached the reader when the finalisation returned.
  size_t resultsAtFinalize() const { return state_->resultsAtFinalize; }
  bool endedAtFinalize() const { return state_->endedAtFinalize; }

  // The final texts, joined by blanks.
  std::string finalText() const {
    std::string text;
    for (const auto& r : results()) {
      if (r.result.isFinal && !r.result.text.empty())
        text += (text.empty() ? "" : " ") + r.result.text;
    }
    return text;
  }
  size_t count(bool isFinal) const {
    size_t n = 0;
    for (const auto& r : results()) n += r.result.isFinal == isFinal ? 1 : 0;
    return n;
  }

  Clock::time_point finishedAt;
  Clock::time_point finalizedAt;

 private:
  struct State {
    std::vector<TimedResult> results;
    bool ended = false;
    std::string failure;
    size_t resultsAtFinalize = 0;
    bool endedAtFinalize = false;
  };

  static Task<void> read(std::shared_ptr<ResultChannel> channel, std::shared_ptr<State> state,
                         std::stop_token stop) {
    try {
      while (auto result = co_await channel->next(stop)) {
        state->results.push_back({std::move(*result), Clock::now()});
      }
    } catch (...) {
      state->failure = describeError(std::current_exception());
    }
    state->ended = true;
  }

  static Task<void> startAnalyzer(std::shared_ptr<SpeechAnalyzer> analyzer,
                                  AnalyzerInputStream::Sequence input,
                                  std::shared_ptr<std::optional<std::exception_ptr>> done) {
    try {
      co_await analyzer->start(std::move(input));
      done->emplace(nullptr);
    } catch (...) {
      done->emplace(std::current_exception());
    }
  }

  static Task<void> finalize(std::shared_ptr<SpeechAnalyzer> analyzer, std::shared_ptr<State> state,
                             std::shared_ptr<bool> done) {
    try {
      co_await analyzer->finalizeAndFinishThroughEndOfInput();
    } catch (...) {
    }
    state->resultsAtFinalize = state->results.size();
    state->endedAtFinalize = state->ended;
    *done = true;
  }

  MainLoop& loop_;
  std::shared_ptr<State> state_;
  std::shared_ptr<SpeechTranscriber> transcriber_;
  std::shared_ptr<SpeechAnalyzer> analyzer_;
  TaskHandle reader_;
  std::shared_ptr<std::optional<std::exception_ptr>> startOutcome_ =
      std::make_shared<std::optional<std::exception_ptr>>();
  std::optional<AnalyzerInputStream::Continuation> input_;
  std::optional<AnalyzerInputStream::Sequence> sequence_;
};

}  // namespace dictate::speechaudio
