// The speech analyzer on PocketSphinx: runs one transcriber over one input
// stream of 16 kHz mono audio.
//
// The engine owns it for one dictation and calls start() and
// finalizeAndFinishThroughEndOfInput() on the main loop. start() hands the
// input stream to a worker thread of the analyzer's own, which blocks on the
// stream, decodes each buffer and posts the results to the main loop, where
// they are pushed into the transcriber's result channel in order. The
// decoder comes from the service's cache and goes back there when the
// stream ends, so a later dictation does not load the model again.
//
// A newly loaded decoder starts from the adaptation saved by an earlier
// process, and each dictation's end saves it again (decoder_adaptation.h).
// Results are written as people write them on the worker, once per result
// (dictation_formatter.h).
// Whenever the worker ends, early on an error included, it closes the input
// stream, so that audio captured after that is dropped rather than queued.
//
// Destroying the analyzer without finalising it stops and joins the worker;
// nothing is posted after that.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

#include "platform/linux/speech/dictation_formatter.h"
#include "platform/linux/models/model_store.h"
#include "platform/linux/speech/pocketsphinx_decoder.h"
#include "platform/speech.h"
#include "runtime/task.h"

namespace dictate {

class PocketSphinxAnalyzer : public SpeechAnalyzer {
 public:
  PocketSphinxAnalyzer(SpeechModules modules, std::shared_ptr<const ModelStore> store,
                       std::shared_ptr<PocketSphinxDecoderCache> decoders,
                       PocketSphinxDecoder::Options options,
                       std::optional<std::filesystem::path> adaptationDir);
  ~PocketSphinxAnalyzer() override;
  PocketSphinxAnalyzer(const PocketSphinxAnalyzer&) = delete;
  PocketSphinxAnalyzer& operator=(const PocketSphinxAnalyzer&) = delete;

  // Finds the model, takes or loads a decoder (loading runs off the loop),
  // then starts the worker. Throws an Error when there is no usable model.
  Task<void> start(AnalyzerInputStream::Sequence input) override;
  // Decodes what is still queued in the input (without waiting for more),
  // delivers the final result of the open utterance and ends the result
  // channel; returns after all of that has reached the channel.
  Task<void> finalizeAndFinishThroughEndOfInput() override;

 private:
  void run(AnalyzerInputStream::Sequence input, std::unique_ptr<PocketSphinxDecoder> decoder);
  void decodeStream(AnalyzerInputStream::Sequence& input, PocketSphinxDecoder& decoder);
  void deliver(std::vector<TranscriptionResult>& results, DictationFormatter& formatter);
  void saveAdaptation(const PocketSphinxDecoder& decoder) const;
  void endResults(std::exception_ptr failure);

  // Fixed at construction.
  const SpeechModules modules_;
  const std::shared_ptr<const ModelStore> store_;
  const std::shared_ptr<PocketSphinxDecoderCache> decoders_;
  const PocketSphinxDecoder::Options options_;
  const std::optional<std::filesystem::path> adaptationDir_;

  // Set on the loop thread in start() before the worker exists; the worker
  // only reads them.
  std::shared_ptr<ResultChannel> results_;
  Executor loop_;

  bool started_ = false;  // loop thread only
  std::thread worker_;    // loop thread only
  // Requested on the loop thread (finalisation or teardown) to stop the
  // worker from waiting for more input; thread-safe by itself.
  std::stop_source wake_;
  // Set on the loop thread in the destructor; the worker then ends without
  // delivering anything more.
  std::atomic<bool> aborted_{false};

  std::mutex mutex_;
  // Guarded by mutex_: the worker has posted its last result and the end of
  // the channel (set by the worker, read by the loop in finalisation).
  bool ended_ = false;
  // Guarded by mutex_: the pending finalisation, completed by the worker.
  std::optional<CompletionHandler<bool>> finalizeWaiter_;
};

}  // namespace dictate
