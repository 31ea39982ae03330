#include "platform/linux/speech/pocketsphinx_decoder.h"

#include <pocketsphinx.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/feat.h>

#include <algorithm>
#include <mutex>
#include <type_traits>

#include "platform/linux/models/model_check.h"
#include "platform/linux/models/model_store.h"
#include "platform/linux/speech/spoken_punctuation.h"

namespace dictate {

namespace {

constexpr const char* kSpeechErrorDomain = "speech";

// The library logs through process-wide state; everything it would write
// goes nowhere, since standard error belongs to the program's diagnostics.
// Errors are reported by return values, which we turn into our own texts.
void silenceLibraryLogging() {
  static std::once_flag once;
  std::call_once(once, [] { err_set_logfp(nullptr); });
}

cmd_ln_t* parseOptions(const std::filesystem::path& modelDir,
                       const PocketSphinxDecoder::Options& options, bool silent) {
  std::vector<std::string> args = {"-hmm",  (modelDir / kAcousticModelFolder).string(),
                                   "-lm",   (modelDir / kLanguageModelFile).string(),
                                   "-dict", (modelDir / kDictionaryFile).string()};
  if (silent) {
    args.push_back("-logfn");
    args.push_back("/dev/null");
  }
  for (const auto& [name, value] : options) {
    if (name == PocketSphinxDecoder::kSpokenMarksOption) continue;
    args.push_back(name);
    args.push_back(value);
  }
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  // Strict parsing: an unknown option is an error rather than ignored.
  return cmd_ln_parse_r(nullptr, ps_args(), static_cast<int32>(argv.size()), argv.data(), TRUE);
}

}  // namespace

Error speechError(int code, std::string description) {
  return Error(kSpeechErrorDomain, code, std::move(description));
}

// Each setting below departs from the library's own only where it earns its
// place on every kind of voice: bench/speech_bench.cpp's voice families
// (formant synthesis, flite's voices made from recordings of people, and
// Debian's recordings of people as microphones and rooms change them),
// each family's word error rate through the whole analyzer. A setting stays
// when it helps the families pooled and makes none of them worse than the
// benchmark's noise (about a point on a family); otherwise the library's
// value holds, however well it read on one kind of voice.
//
// Latency: the second, flat-lexicon search pass runs over the whole
// utterance when it ends and costs 150-250 ms before the final text, growing
// with the utterance, for about two points; it does not fit 450 ms from end
// of speech to final. Ending an utterance after 0.3 s of silence instead of
// 0.5 s brings every final about 200 ms sooner, for half a point pooled
// (the formant voices 0.5, flite's 2.1, the recordings 0.1: a pause of
// 0.3-0.5 s within a sentence splits it). Both are traded for the quick
// final.
//
// Accuracy: scoring the best 8 Gaussians per frame instead of 4 gains on
// every family (1.6, 1.1 and 0.9 points). The library's voice threshold (2)
// and its weight for rescoring the lattice (9.5) stay: a threshold of 3
// read noisy recordings 1.4 points better and flite's voices 2.8 worse, a
// weight of 11 no better anywhere.
//
// Time and CPU: the final waits for the best path through the first pass's
// word lattice, at a cost that grows with the square of the word endings
// kept; a word beam of 1e-25 (the library's is 7e-29) cuts that time to
// about 40 %, from end of speech to final about 80 ms sooner. The search
// keeps at most 7000 models active in a frame (the library allows 30000)
// and at most 20 word endings a frame (no limit), narrowing its beams where
// it would keep more (noise, fast speech). 5000 models would save a sixth
// of the CPU more at the same pooled rate of errors, but the formant voices
// read 0.8 points worse and the spoken marks one period in 135 fewer.
PocketSphinxDecoder::Options PocketSphinxDecoder::defaultOptions() {
  return {{"-fwdflat", "no"},
          {"-vad_postspeech", "30"},
          {"-topn", "8"},
          {"-wbeam", "1e-25"},
          {"-maxhmmpf", "7000"},
          {"-maxwpf", "20"}};
}

namespace {
// The running cepstral mean (see followMean()) covers about the last
// kMeanWindowFrames frames of speech (10 ms each), and starts from the prior
// mean as if it had been heard for kMeanPriorFrames frames. Windows of 2-3 s
// and priors of 0.3-0.5 s read best; longer windows follow a change of
// voice or microphone too slowly. Over the library's own updates at the
// ends of utterances it reads flite's voices 3.8 points better and the
// recordings 1.6, the formant voices 1.3 worse.
constexpr int32 kMeanWindowFrames = 300;
constexpr float kMeanPriorFrames = 50;
}  // namespace

std::unique_ptr<PocketSphinxDecoder> PocketSphinxDecoder::load(
    const std::filesystem::path& modelDir, const Options& options) {
  // Some of the library's failures end the process instead of returning an
  // error, so the files are checked first.
  if (auto missing = missingModelFiles(modelDir); !missing.empty()) {
    throw speechError(kModelMissing, "speech model in " + modelDir.string() +
                                         " is incomplete: " + missing.front() + " is missing");
  }
  if (auto damage = checkModelOnce(modelDir, options))
    throw speechError(kModelLoadFailed, std::move(*damage));
  return loadUnchecked(modelDir, options, nullptr);
}

std::unique_ptr<PocketSphinxDecoder> PocketSphinxDecoder::loadUnchecked(
    const std::filesystem::path& modelDir, const Options& options, std::FILE* libraryLog,
    bool withWords) {
  if (libraryLog)
    err_set_logfp(libraryLog);
  else
    silenceLibraryLogging();
  OwnedConfig config(parseOptions(modelDir, options, libraryLog == nullptr));
  if (!config) throw speechError(kModelLoadFailed, "speech decoder options were rejected");
  const bool withMarks = std::ranges::find(options, std::pair<std::string, std::string>(
                                                        kSpokenMarksOption, "no")) == options.end();
  // With spoken punctuation the language model is read, and the search built,
  // once the decoder is made (spoken_punctuation.cpp).
  const char* lm = cmd_ln_str_r(config.get(), "-lm");
  const std::string languageModel = lm ? lm : "";
  if (!withWords || withMarks) cmd_ln_set_str_r(config.get(), "-lm", nullptr);
  if (!withWords) cmd_ln_set_str_r(config.get(), "-dict", "/dev/null");
  OwnedDecoder decoder([&] {
    auto lock = lockFrontEndMaking();
    return ps_init(config.get());
  }());
  if (!decoder) {
    throw speechError(kModelLoadFailed,
                      "speech model in " + modelDir.string() + " could not be loaded");
  }
  if (withWords && withMarks) listenForSpokenMarks(decoder.get(), config.get(), languageModel);
  return std::unique_ptr<PocketSphinxDecoder>(
      new PocketSphinxDecoder(modelDir, std::move(config), std::move(decoder)));
}

void PocketSphinxDecoder::LibraryFree::operator()(cmd_ln_s* config) const { cmd_ln_free_r(config); }
void PocketSphinxDecoder::LibraryFree::operator()(ps_decoder_s* decoder) const { ps_free(decoder); }

PocketSphinxDecoder::PocketSphinxDecoder(std::filesystem::path modelDir, OwnedConfig config,
                                         OwnedDecoder decoder)
    : modelDir_(std::move(modelDir)),
      config_(std::move(config)),
      ownedDecoder_(std::move(decoder)),
      decoder_(ownedDecoder_.get()),
      frontEnd_(config_.get()) {
  pending_.reserve(kSliceSamples);
  if (cmn_t* cmn = ps_get_feat(decoder_)->cmn_struct)
    priorMean_.assign(cmn->cmn_mean, cmn->cmn_mean + cmn->veclen);
}

PocketSphinxDecoder::~PocketSphinxDecoder() {
  if (streamOpen_) ps_end_utt(decoder_);
}

void PocketSphinxDecoder::beginStream() {
  if (streamOpen_) abandonStream();
  // The start a later process makes from the mean this decoder saves, so
  // that both read the same audio the same way.
  if (auto mean = adaptation(); !mean.empty()) adopt(mean);
  if (ps_start_stream(decoder_) < 0 || ps_start_utt(decoder_) < 0) {
    throw speechError(kDecodingFailed, "speech decoder could not start");
  }
  frontEnd_.startStream();
  saveMeanState();
  streamOpen_ = true;
  inSpeech_ = false;
  pending_.clear();
  samplesDecoded_ = 0;
  utteranceStart_ = 0;
  lastPartial_.clear();
}

void PocketSphinxDecoder::feed(std::span<const int16_t> samples,
                               std::vector<TranscriptionResult>& out) {
  if (!streamOpen_)
    throw speechError(kAnalyzerMisuse, "speech decoder fed before its stream began");
  if (!pending_.empty()) {
    size_t take = std::min(samples.size(), kSliceSamples - pending_.size());
    pending_.insert(pending_.end(), samples.begin(),
                    samples.begin() + static_cast<ptrdiff_t>(take));
    samples = samples.subspan(take);
    if (pending_.size() < kSliceSamples) return;
    decodeSlice(pending_, out);
    pending_.clear();
  }
  while (samples.size() >= kSliceSamples) {
    decodeSlice(samples.first(kSliceSamples), out);
    samples = samples.subspan(kSliceSamples);
  }
  pending_.assign(samples.begin(), samples.end());
  reportPartial(out);
}

void PocketSphinxDecoder::endStream(std::vector<TranscriptionResult>& out) {
  if (!streamOpen_) return;
  if (!pending_.empty()) {
    decodeSlice(pending_, out);
    pending_.clear();
  }
  streamOpen_ = false;
  closeUtterance(out);
}

void PocketSphinxDecoder::abandonStream() {
  if (!streamOpen_) return;
  ps_end_utt(decoder_);
  streamOpen_ = false;
  pending_.clear();
  lastPartial_.clear();
}

void PocketSphinxDecoder::decodeSlice(std::span<const int16_t> slice,
                                      std::vector<TranscriptionResult>& out) {
  search(frontEnd_.process(slice));
  samplesDecoded_ += slice.size();
  followMean();
  bool inSpeech = frontEnd_.inSpeech();
  bool speechEnded = inSpeech_ && !inSpeech;
  inSpeech_ = inSpeech;
  if (speechEnded) endUtterance(out);
}

// The voice-activity detector saw the end of speech: the utterance's text
// is final, and the next utterance starts with the next slice.
void PocketSphinxDecoder::endUtterance(std::vector<TranscriptionResult>& out) {
  closeUtterance(out);
  utteranceStart_ = samplesDecoded_;
  if (ps_start_utt(decoder_) < 0)
    throw speechError(kDecodingFailed, "speech decoder could not start");
  frontEnd_.startUtterance();
  saveMeanState();
}

// The library's call for cepstra searches only what its small feature
// buffer holds at once and drops the rest (the 0.3 s of frames that start
// an utterance, for one), so they go in a few at a time. A restarted
// utterance searches from its start with the cepstral mean it started with.
void PocketSphinxDecoder::search(CepstraFrames frames) {
  if (frames.restart) {
    if (ps_end_utt(decoder_) < 0 || ps_start_utt(decoder_) < 0)
      throw speechError(kDecodingFailed, "speech decoder could not start");
    restoreMeanState();
  }
  // A slice's worth at a time; the mean follows a restarted utterance's
  // frames as it followed them the first time.
  constexpr size_t kFramesAtOnce = kSliceSamples / 160;
  for (size_t at = 0; at < frames.rows.size(); at += kFramesAtOnce) {
    auto count = static_cast<int>(std::min(kFramesAtOnce, frames.rows.size() - at));
    if (ps_process_cep(decoder_, const_cast<mfcc_t**>(frames.rows.data() + at), count, FALSE,
                       FALSE) < 0)
      throw speechError(kDecodingFailed, "speech decoder failed on the audio");
    if (frames.restart) followMean();
  }
}

void PocketSphinxDecoder::saveMeanState() {
  cmn_t* cmn = ps_get_feat(decoder_)->cmn_struct;
  if (!cmn) return;
  utteranceMeanSum_.assign(cmn->sum, cmn->sum + cmn->veclen);
  utteranceMeanFrames_ = cmn->nframe;
}

void PocketSphinxDecoder::restoreMeanState() {
  cmn_t* cmn = ps_get_feat(decoder_)->cmn_struct;
  if (!cmn || utteranceMeanSum_.size() != static_cast<size_t>(cmn->veclen)) return;
  std::copy(utteranceMeanSum_.begin(), utteranceMeanSum_.end(), cmn->sum);
  cmn->nframe = utteranceMeanFrames_;
  followMean();
}

// An utterance that showed a volatile text always gets a final, even an
// empty one, so that the provisional text is never left standing alone.
void PocketSphinxDecoder::closeUtterance(std::vector<TranscriptionResult>& out) {
  search(frontEnd_.finishUtterance());
  if (ps_end_utt(decoder_) < 0) {
    throw speechError(kDecodingFailed, "speech decoder failed to end the utterance");
  }
  const char* hyp = ps_get_hyp(decoder_, nullptr);
  std::string text = hyp ? hyp : "";
  if (!text.empty() || !lastPartial_.empty()) out.push_back(makeResult(std::move(text), true));
  lastPartial_.clear();
}

// The library subtracts a live cepstral mean from every frame but updates
// it only when an utterance ends, so a fresh decoder hears its whole first
// utterance with the model's generic mean, which fits only the recordings
// the model was made with (measured: half again as many word errors in that
// utterance), and a change of voice or microphone costs an utterance too.
// After each slice, the mean is set to that of the frames heard so far
// (whose sums the library keeps), drawn towards the prior mean while few
// have been heard, and old frames fade out of the sums.
void PocketSphinxDecoder::followMean() {
  cmn_t* cmn = ps_get_feat(decoder_)->cmn_struct;
  if (!cmn || cmn->nframe <= 0) return;
  for (int32 i = 0; i < cmn->veclen; ++i) {
    cmn->cmn_mean[i] = (cmn->sum[i] + priorMean_[i] * kMeanPriorFrames) /
                       (static_cast<float>(cmn->nframe) + kMeanPriorFrames);
  }
  if (cmn->nframe > kMeanWindowFrames) {
    const float keep = static_cast<float>(kMeanWindowFrames) / static_cast<float>(cmn->nframe);
    for (int32 i = 0; i < cmn->veclen; ++i) cmn->sum[i] *= keep;
    cmn->nframe = kMeanWindowFrames;
  }
}

// The library's live mean is what adapts; mfcc_t is float in Debian's
// floating-point build, which the saved files rely on.
static_assert(std::is_same_v<mfcc_t, float>);

std::vector<float> PocketSphinxDecoder::adaptation() const {
  cmn_t* cmn = ps_get_feat(decoder_)->cmn_struct;
  if (!cmn || cmn->nframe <= 0) return {};
  std::vector<float> mean(static_cast<size_t>(cmn->veclen));
  cmn_live_get(cmn, mean.data());
  return mean;
}

bool PocketSphinxDecoder::adopt(std::span<const float> mean) {
  cmn_t* cmn = ps_get_feat(decoder_)->cmn_struct;
  if (!cmn || mean.size() != static_cast<size_t>(cmn->veclen)) return false;
  cmn_live_set(cmn, mean.data());
  priorMean_.assign(mean.begin(), mean.end());
  return true;
}

void PocketSphinxDecoder::reportPartial(std::vector<TranscriptionResult>& out) {
  const char* hyp = ps_get_hyp(decoder_, nullptr);
  if (!hyp || *hyp == '\0' || lastPartial_ == hyp) return;
  lastPartial_ = hyp;
  out.push_back(makeResult(lastPartial_, false));
}

TranscriptionResult PocketSphinxDecoder::makeResult(std::string text, bool isFinal) const {
  TranscriptionResult result;
  result.text = std::move(text);
  result.isFinal = isFinal;
  result.rangeStart = static_cast<double>(utteranceStart_) / kSampleRate;
  result.rangeDuration = static_cast<double>(samplesDecoded_ - utteranceStart_) / kSampleRate;
  return result;
}

std::unique_ptr<PocketSphinxDecoder> PocketSphinxDecoderCache::take(
    const std::filesystem::path& modelDir) {
  std::unique_ptr<PocketSphinxDecoder> stale;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!idle_) return nullptr;
  if (idle_->modelDir() == modelDir) return std::move(idle_);
  // The model was installed elsewhere since: load that one instead.
  stale = std::move(idle_);
  return nullptr;
}

void PocketSphinxDecoderCache::giveBack(std::unique_ptr<PocketSphinxDecoder> decoder) {
  std::lock_guard<std::mutex> lock(mutex_);
  // The most recent decoder has the freshest adaptation to the microphone;
  // an older one is freed when `decoder` leaves this scope after the lock.
  std::swap(idle_, decoder);
}

bool PocketSphinxDecoderCache::hasIdleDecoder() {
  std::lock_guard<std::mutex> lock(mutex_);
  return idle_ != nullptr;
}

}  // namespace dictate
