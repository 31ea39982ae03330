// One loaded PocketSphinx decoder and the streaming state of the dictation
// that uses it: audio goes in as 16 kHz mono 16-bit samples, volatile and
// final transcription results come out. Voice-activity detection splits the
// stream into utterances; each utterance's text becomes one final result.
//
// Not thread-safe: one thread at a time (the analyzer's worker while a
// dictation runs, the loading thread before). The service keeps a loaded
// decoder for the life of the process, so that the adapted cepstral mean and
// the 280 ms load are not lost between dictations.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/linux/speech/voice_warp.h"
#include "platform/speech.h"

struct ps_decoder_s;
struct cmd_ln_s;

namespace dictate {

class PocketSphinxDecoder {
 public:
  // Decoder options as "-name", "value" pairs, added to the model's paths.
  // One is ours, not the library's: kSpokenMarksOption with "no" loads the
  // decoder without spoken punctuation, for benchmarks that measure its cost.
  using Options = std::vector<std::pair<std::string, std::string>>;
  static constexpr std::string_view kSpokenMarksOption = "-spoken_marks";

  // The options the analyzer decodes with; see the .cpp for the measurements.
  static Options defaultOptions();

  static constexpr int kSampleRate = 16000;
  // Audio is fed in slices of this many samples (a multiple of the 160-sample
  // frame shift), so results do not depend on how capture cut the audio.
  static constexpr size_t kSliceSamples = 480;

  // Loads the model in `modelDir` (acoustic model in en-us/, en-us.lm.bin,
  // cmudict-en-us.dict), with the words and language model of spoken
  // punctuation beside it (spoken_punctuation.h). Takes ~400 ms, about 1.4
  // times as long as without spoken punctuation. Throws an Error when files are
  // missing, damaged or refused by the library. A model is loaded here only
  // after it passed the model check (model_check.h) in a process of its own,
  // since some damaged files make the library end the process. The library's
  // logging is silenced.
  static std::unique_ptr<PocketSphinxDecoder> load(const std::filesystem::path& modelDir,
                                                   const Options& options = defaultOptions());
  // load() without the model check, for the checker itself: the library
  // logs to `libraryLog`, or nowhere when it is null. Without its words
  // (the dictionary and the language model), the decoder has no search and
  // cannot decode.
  static std::unique_ptr<PocketSphinxDecoder> loadUnchecked(const std::filesystem::path& modelDir,
                                                            const Options& options,
                                                            std::FILE* libraryLog,
                                                            bool withWords = true);
  ~PocketSphinxDecoder();
  PocketSphinxDecoder(const PocketSphinxDecoder&) = delete;
  PocketSphinxDecoder& operator=(const PocketSphinxDecoder&) = delete;

  const std::filesystem::path& modelDir() const { return modelDir_; }

  // Opens a new stream and its first utterance; the time base restarts at 0.
  // A decoder that has adapted starts it from its mean, as a later process
  // starts from the mean this one saves (see adopt()).
  void beginStream();
  // Decodes `samples`. A changed, non-empty partial hypothesis appends one
  // volatile result; each end of speech appends the utterance's final result
  // and opens the next utterance. Throws an Error when the library fails.
  void feed(std::span<const int16_t> samples, std::vector<TranscriptionResult>& out);
  // Decodes the samples held back for the next slice, closes the open
  // utterance and appends its final result (when it has text, or when a
  // volatile result of it was shown). The stream is then closed.
  void endStream(std::vector<TranscriptionResult>& out);
  // Closes the open utterance, discarding its text.
  void abandonStream();

  // What the decoder has learned about the microphone and voice, to be kept
  // across processes (see decoder_adaptation.h): its cepstral mean. Empty
  // until it has heard speech or adopted a mean.
  std::vector<float> adaptation() const;
  // Starts from a mean learned earlier by a decoder of the same model
  // instead of the model's generic one. False, and nothing changed, when its
  // size does not match this model's features.
  bool adopt(std::span<const float> mean);

 private:
  // Frees the library's objects; load() hands them to their owners the
  // moment each exists, so that no failure after that leaks them.
  struct LibraryFree {
    void operator()(cmd_ln_s* config) const;
    void operator()(ps_decoder_s* decoder) const;
  };
  using OwnedConfig = std::unique_ptr<cmd_ln_s, LibraryFree>;
  using OwnedDecoder = std::unique_ptr<ps_decoder_s, LibraryFree>;

  PocketSphinxDecoder(std::filesystem::path modelDir, OwnedConfig config, OwnedDecoder decoder);

  void decodeSlice(std::span<const int16_t> slice, std::vector<TranscriptionResult>& out);
  void endUtterance(std::vector<TranscriptionResult>& out);
  void closeUtterance(std::vector<TranscriptionResult>& out);
  void reportPartial(std::vector<TranscriptionResult>& out);
  TranscriptionResult makeResult(std::string text, bool isFinal) const;

  std::filesystem::path modelDir_;
  // Freed after every member below that uses them, the decoder first.
  OwnedConfig config_;
  OwnedDecoder ownedDecoder_;
  ps_decoder_s* const decoder_;  // ownedDecoder_'s, for the library's calls
  bool streamOpen_ = false;
  bool inSpeech_ = false;
  // Samples waiting to fill the next slice (fewer than kSliceSamples).
  std::vector<int16_t> pending_;
  VoiceWarpFrontEnd frontEnd_;
  uint64_t samplesDecoded_ = 0;
  uint64_t utteranceStart_ = 0;
  // The last volatile text of the open utterance ("" when none was shown).
  std::string lastPartial_;
  // The mean that the running mean is drawn towards (see followMean()):
  // the model's generic one, or the one adopted last.
  std::vector<float> priorMean_;
  // The cepstral mean's sums as the open utterance began.
  std::vector<float> utteranceMeanSum_;
  int32_t utteranceMeanFrames_ = 0;

  void followMean();
  void search(CepstraFrames frames);
  void saveMeanState();
  void restoreMeanState();
};

// The loaded decoder kept between dictations: an analyzer takes it when it
// starts and gives it back when its stream ends, so that the next dictation
// of the process starts without loading the model again. Thread-safe: taken
// on the loop thread, given back by an analyzer's worker.
class PocketSphinxDecoderCache {
 public:
  // The idle decoder for `modelDir`, or nullptr when there is none.
  std::unique_ptr<PocketSphinxDecoder> take(const std::filesystem::path& modelDir);
  // Keeps `decoder` for the next taker; one decoder is kept at most.
  void giveBack(std::unique_ptr<PocketSphinxDecoder> decoder);
  bool hasIdleDecoder();

 private:
  std::mutex mutex_;
  std::unique_ptr<PocketSphinxDecoder> idle_;  // guarded by mutex_
};

// The error the speech service throws for decoder failures.
Error speechError(int code, std::string description);

enum SpeechErrorCode : int {
  kModelMissing = 1,
  kModelLoadFailed = 2,
  kDecodingFailed = 3,
  kUnsupportedLocale = 4,
  kUnsupportedAudioFormat = 5,
  kAnalyzerMisuse = 6,
};

}  // namespace dictate
