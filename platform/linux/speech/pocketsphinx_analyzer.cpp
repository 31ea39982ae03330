#include "platform/linux/speech/pocketsphinx_analyzer.h"

#include <algorithm>
#include <cmath>

#include "platform/linux/speech/decoder_adaptation.h"
#include "platform/linux/speech/dictation_formatter.h"
#include "platform/linux/speech/speaker_adaptation.h"

namespace dictate {

namespace {

const AudioFormat kDecoderFormat{PocketSphinxDecoder::kSampleRate, 1, SampleFormat::int16};

int16_t toInt16(float sample) {
  if (std::isnan(sample)) return 0;
  float scaled = std::round(sample * 32767.0f);
  return static_cast<int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

// The samples of one input buffer as 16-bit integers; float buffers of the
// same rate are accepted as well, converted into `scratch`.
std::span<const int16_t> samplesOf(const PcmBuffer& buffer, std::vector<int16_t>& scratch) {
  const AudioFormat& format = buffer.format();
  if (format.sampleRate != kDecoderFormat.sampleRate || format.channelCount != 1) {
    throw speechError(kUnsupportedAudioFormat, "audio in " + format.toString() +
                                                   " cannot be analysed; it needs " +
                                                   kDecoderFormat.toString());
  }
  if (format.sampleFormat == SampleFormat::int16) return {buffer.int16Data(), buffer.frameLength()};
  scratch.resize(buffer.frameLength());
  std::transform(buffer.floatData(), buffer.floatData() + buffer.frameLength(), scratch.begin(),
                 toInt16);
  return scratch;
}

}  // namespace

PocketSphinxAnalyzer::PocketSphinxAnalyzer(SpeechModules modules,
                                           std::shared_ptr<const ModelStore> store,
                                           std::shared_ptr<PocketSphinxDecoderCache> decoders,
                                           PocketSphinxDecoder::Options options,
                                           std::optional<std::filesystem::path> adaptationDir)
    : modules_(std::move(modules)),
      store_(std::move(store)),
      decoders_(std::move(decoders)),
      options_(std::move(options)),
      adaptationDir_(std::move(adaptationDir)) {}

PocketSphinxAnalyzer::~PocketSphinxAnalyzer() {
  aborted_ = true;
  wake_.request_stop();
  if (worker_.joinable()) worker_.join();
}

Task<void> PocketSphinxAnalyzer::start(AnalyzerInputStream::Sequence input) {
  if (started_) throw speechError(kAnalyzerMisuse, "the speech analyzer was started twice");
  if (modules_.size() != 1 || !modules_.front()) {
    throw speechError(kAnalyzerMisuse, "the speech analyzer runs exactly one transcriber");
  }
  const Locale& locale = modules_.front()->configuration().locale;
  if (!ModelStore::isSupported(locale)) {
    throw speechError(kUnsupportedLocale, ModelStore::unsupportedLocaleDescription(locale));
  }
  auto modelDir = store_->findModel(locale);
  if (!modelDir) {
    throw speechError(kModelMissing,
                      "the speech model for " + locale.bcp47Identifier() + " is not installed");
  }
  // The model adapted to the user's voice, when there is a usable one.
  const auto adaptedDir = adaptedModelDir(store_->locations().userStore);
  auto decoder = decoders_->take(preferredModelDir(*modelDir, adaptedDir));
  if (!decoder) {
    // A named function object: GCC 12 mishandles a capturing lambda that is
    // a temporary inside a co_await expression.
    auto load = [dir = *modelDir, adaptedDir, options = options_, adaptationDir = adaptationDir_] {
      auto loaded = loadPreferredModel(dir, adaptedDir, options);
      if (adaptationDir) restoreAdaptation(*loaded, *adaptationDir);
      // The word list loads here, off the loop and before the first result.
      WordCasing::shared();
      return loaded;
    };
    decoder = co_await offload(std::move(load));
  }
  results_ = modules_.front()->results();
  loop_ = MainLoop::current().executor();
  started_ = true;
  worker_ = std::thread([this, input = std::move(input), decoder = std::move(decoder)]() mutable {
    run(std::move(input), std::move(decoder));
  });
}

Task<void> PocketSphinxAnalyzer::finalizeAndFinishThroughEndOfInput() {
  if (!started_) {
    // Nothing was analysed: the result channel just ends.
    for (const auto& module : modules_) {
      if (module) module->results()->finish();
    }
    co_return;
  }
  // The worker posts its results and the channel's end before it completes
  // this wait, and posts run in order, so everything has reached the channel
  // when we resume.
  co_await Completion<bool>([this](CompletionHandler<bool> done) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!ended_) {
        finalizeWaiter_.emplace(done);
        wake_.request_stop();
        return;
      }
    }
    done(true);
  });
  if (worker_.joinable()) worker_.join();
}

// The worker thread's body. No exception leaves it: decoding failures end
// the result channel with the error.
void PocketSphinxAnalyzer::run(AnalyzerInputStream::Sequence input,
                               std::unique_ptr<PocketSphinxDecoder> decoder) {
  std::exception_ptr failure;
  try {
    decodeStream(input, *decoder);
  } catch (...) {
    failure = std::current_exception();
  }
  // Nobody reads the input from here on, whether it ended or not.
  input.close();
  if (aborted_) decoder->abandonStream();
  if (!failure) saveAdaptation(*decoder);
  // A decoder that failed may be left in any state: it is not reused.
  if (!failure) decoders_->giveBack(std::move(decoder));
  if (!aborted_) endResults(failure);
}

void PocketSphinxAnalyzer::decodeStream(AnalyzerInputStream::Sequence& input,
                                        PocketSphinxDecoder& decoder) {
  std::vector<TranscriptionResult> results;
  std::vector<int16_t> scratch;
  DictationFormatter formatter(WordCasing::shared());
  decoder.beginStream();
  // Once finalisation or teardown has been asked for, next() no longer
  // waits: it returns what is queued, then nothing.
  while (auto item = input.next(wake_.get_token())) {
    if (aborted_) return;
    if (!item->buffer) continue;
    decoder.feed(samplesOf(*item->buffer, scratch), results);
    deliver(results, formatter);
  }
  if (aborted_) return;
  decoder.endStream(results);
  deliver(results, formatter);
}

void PocketSphinxAnalyzer::saveAdaptation(const PocketSphinxDecoder& decoder) const {
  if (!adaptationDir_) return;
  auto mean = decoder.adaptation();
  if (!mean.empty()) dictate::saveAdaptation(*adaptationDir_, decoder.modelDir(), mean);
}

void PocketSphinxAnalyzer::deliver(std::vector<TranscriptionResult>& results,
                                   DictationFormatter& formatter) {
  if (results.empty()) return;
  for (auto& result : results) result.text = formatter.format(result.text, result.isFinal);
  loop_.post([channel = results_, batch = std::move(results)]() mutable {
    for (auto& result : batch) channel->push(std::move(result));
  });
  results.clear();
}

void PocketSphinxAnalyzer::endResults(std::exception_ptr failure) {
  loop_.post([channel = results_, failure] {
    if (failure) {
      channel->fail(failure);
    } else {
      channel->finish();
    }
  });
  std::optional<CompletionHandler<bool>> waiter;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    waiter.swap(finalizeWaiter_);
  }
  if (waiter) (*waiter)(true);
}

}  // namespace dictate
