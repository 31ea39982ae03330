// Drives one dictation through a real speech service the way the engine
// does: a transcriber, an analyzer started on an input stream, a reader of
// the result channel on the main loop, then finish and finalisation. Records
// each result with the time it reached the loop. Header-only, for the speech
// tests and the speech benchmark. Everything runs on the thread that owns
// `loop`; the analyzer's worker delivers through the loop.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <stdexcept>

#include "platform/error.h"
#include "platform/speech.h"
#include "runtime/main_loop.h"
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
      : loop_(loop),
        transcriber_(service.makeTranscriber({std::move(locale),
                                              {},
                                              {ReportingOption::volatileResults},
                                              {ResultAttributeOption::audioTimeRange}})),
        analyzer_(service.makeAnalyzer({transcriber_})) {
    reader_ = spawnCancellable(
        [channel = transcriber_->results(), state = state_](std::stop_token stop) -> Task<void> {
          try {
            while (auto r = co_await channel->next(stop))
              state->results.push_back({std::move(*r), Clock::now()});
          } catch (...) {
            state->failure = describeError(std::current_exception());
          }
          state->ended = true;
        },
        nullptr);
  }
  // Cancels the reader, as the engine does after a stop.
  ~SpeechSession() {
    reader_.cancel();
    loop_.poll();
  }

  // Starts the analyzer and waits for it; throws the start's Error.
  void start(std::chrono::seconds timeout = std::chrono::seconds(30)) {
    launch(analyzer_->start(std::move(stream_.first)),
           [s = state_](std::exception_ptr e) { s->started.emplace(e); });
    if (!loop_.runUntil([&] { return state_->started.has_value(); }, timeout))
      throw std::runtime_error("start hangs");
    if (*state_->started) std::rethrow_exception(*state_->started);
  }

  // Yields `samples` into the input stream in buffers of `block` samples
  // (all in one by default), without waiting.
  void feed(std::span<const int16_t> samples, size_t block = SIZE_MAX) {
    for (size_t i = 0; i < samples.size(); i += block) {
      auto part = samples.subspan(i, std::min(block, samples.size() - i));
      auto buffer = PcmBuffer::make({16000, 1, SampleFormat::int16}, uint32_t(part.size()));
      std::copy(part.begin(), part.end(), buffer->int16Data());
      buffer->setFrameLength(uint32_t(part.size()));
      feedBuffer(buffer);
    }
  }
  AnalyzerInputStream::YieldResult feedBuffer(std::shared_ptr<PcmBuffer> buffer) {
    return stream_.second.yield(AnalyzerInput{std::move(buffer)});
  }

  // Finishes the input and waits for the finalisation to return; notes
  // what had reached the reader by then.
  void finishAndFinalize(std::chrono::seconds timeout = std::chrono::seconds(60)) {
    stream_.second.finish();
    finishedAt = Clock::now();
    launch(analyzer_->finalizeAndFinishThroughEndOfInput(), [s = state_](std::exception_ptr) {
      s->atFinalize = {s->results.size(), s->ended};
    });
    if (!loop_.runUntil([&] { return state_->atFinalize.has_value(); }, timeout))
      throw std::runtime_error("finalisation hangs");
    finalizedAt = Clock::now();
  }
  // Ends the dictation without finalising, as a torn-down engine does.
  void abandon() { analyzer_.reset(); }

  const std::vector<TimedResult>& results() const { return state_->results; }
  bool ended() const { return state_->ended; }
  const std::string& failure() const { return state_->failure; }
  // What had reached the reader, and whether the results had ended, when
  // the finalisation returned.
  std::optional<std::pair<size_t, bool>> atFinalize() const { return state_->atFinalize; }
  // The final texts one after another, as a host puts them together.
  std::string finalText() const {
    std::string text;
    for (const auto& r : results())
      if (r.result.isFinal) text += r.result.text;
    return text;
  }
  size_t count(bool isFinal) const {
    return std::count_if(results().begin(), results().end(),
                         [&](const auto& r) { return r.result.isFinal == isFinal; });
  }

  Clock::time_point finishedAt;
  Clock::time_point finalizedAt;

 private:
  // Runs `task` on the loop; `then` gets what it threw, or nothing, as it ends.
  template <typename F>
  static void launch(Task<void> task, F then) {
    spawn(
        [](Task<void> t, F f) -> Task<void> {
          co_await std::move(t);
          f(nullptr);
        }(std::move(task), then),
        then);
  }

  struct State {
    std::vector<TimedResult> results;
    bool ended = false;
    std::string failure;
    std::optional<std::exception_ptr> started;
    std::optional<std::pair<size_t, bool>> atFinalize;  // results, ended
  };

  MainLoop& loop_;
  std::shared_ptr<SpeechTranscriber> transcriber_;
  std::shared_ptr<SpeechAnalyzer> analyzer_;
  std::shared_ptr<State> state_ = std::make_shared<State>();
  TaskHandle reader_;
  std::pair<AnalyzerInputStream::Sequence, AnalyzerInputStream::Continuation> stream_ =
      AnalyzerInputStream::make();
};

}  // namespace dictate::speechaudio
