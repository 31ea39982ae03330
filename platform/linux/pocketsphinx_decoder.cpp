#include "platform/linux/pocketsphinx_decoder.h"

#include <pocketsphinx.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/feat.h>

#include <algorithm>
#include <mutex>
#include <type_traits>

#include "platform/linux/model_check.h"
#include "platform/linux/model_store.h"
#include "platform/linux/spoken_punctuation.h"

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
  std::vector<std::string> args = {"-hmm",  (modelDir / "en-us").string(),
                                   "-lm",   (modelDir / "en-us.lm.bin").string(),
                                   "-dict", (modelDir / "cmudict-en-us.dict").string()};
  if (silent) {
    args.push_back("-logfn");
    args.push_back("/dev/null");
  }
  for (const auto& [name, value] : options) {
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

// Measured on Debian's test recordings and on synthetic dictation (see
// bench/speech_bench.cpp): the second, flat-lexicon search pass runs over
// the whole utterance when it ends and costs 150-250 ms between the end of
// input and the final text, growing with the utterance, for about two points
// of word error rate on synthetic speech and none on real speech. Without
// it a final arrives within ~30 ms. A voice-activity threshold of 3 keeps
// steady background noise from producing one-word junk finals. Ending an
// utterance after 0.3 s of silence instead of 0.5 s brings the final text
// about 200 ms sooner (0.5 s gains three points, but spends the latency
// budget); 0.2 s already splits sentences at comma pauses.
//
// Searched on the benchmark's tuning half (word error rate through the
// whole analyzer, 47.8 % with the options above alone): scoring the best 8
// Gaussians per frame instead of 4 gains about three points (44.9 %) for
// about a tenth more CPU. Leaving out the front end's noise subtraction
// gained half a point more on that half but lost words of a cold decoder's
// first sentence in the recognition tests, so it stays. Language weights
// other than the default lose (9: 56 %, 12: 79 %) or cost CPU beyond the
// budget (5 and 5.5: 44-45 % at 1.4 times the CPU); a lower word insertion
// penalty and a voice threshold of 2 gain nothing; the second pass gains two
// points but does not fit the 450 ms from end of speech to final.
//
// The final text is the best path through the first pass's word lattice,
// rescored with a language weight of its own (the library's is 9.5). With
// the cepstral mean following the speech (below), 11 gains a point on the
// tuning half (39.2 % to 38.0 %; 39.8 % to 37.8 % over three frame grids) at
// no cost in time; 10.5-12 are within a word of it, while 6.5 (the first
// pass's weight) loses five points, 14-20 lose three to four, and leaving
// the rescoring out loses nine. Beside it, other word and phone insertion
// penalties, silence and filler probabilities and unigram weights gain
// nothing, and beams wide enough to gain cost half again the CPU.
//
// That lattice is built from every word ending the search kept, at a cost
// that grows with their square, and the final text waits for it: 40 ms for
// a typical sentence, 100-600 ms for a long one, with the library's word
// beam (7e-29). A word beam of 1e-25 cuts that time to about 40 % and
// brings the warm end of speech to final text from about 510 ms to 430 ms,
// for a word in 1500 on the tuning half (three frame grids). Capping
// the words per frame instead (20-40) or pruning short-lived lattice nodes
// loses more words for the same time; wider search beams under a cap on
// active models gained on the tuning half but lost on the report half.
// Two more settings read better on the tuning half or on 80 more tuning
// sentences made the same way, and worse on the report half: leaving out
// the front end's noise subtraction (tuning half 35.0 % to 32.3 %, report
// half 35.7 % to 38.4 %), and warping the filter bank by 3 % for higher
// voices (the 80 sentences a point better over two frame grids, the
// report half 36.7 %).
//
// The search keeps at most 7000 models active in a frame (the library
// allows 30000), narrowing its beams for the frames that would keep more:
// ambiguous stretches of noise and fast speech. On the tuning half, the 40
// more tuning sentences and 70 of flite's (its woman, its men and its men at
// a higher pitch), 6000-10000 read within a word in 500 of the library's
// limit (7000: 1622 errors of 5064 words against 1634), for about a fifth
// less CPU; 5000 loses words, 3000 two points.
PocketSphinxDecoder::Options PocketSphinxDecoder::defaultOptions() {
  return {{"-fwdflat", "no"},
          {"-bestpathlw", "11"},
          {"-vad_threshold", "3.0"},
          {"-vad_postspeech", "30"},
          {"-topn", "8"},
          {"-wbeam", "1e-25"},
          {"-maxhmmpf", "7000"}};
}

namespace {
// The running cepstral mean (see followMean()) covers about the last
// kMeanWindowFrames frames of speech (10 ms each), and starts from the prior
// mean as if it had been heard for kMeanPriorFrames frames. Searched on the
// benchmark's tuning half with the options above: windows of 2-3 s and
// priors of 0.3-0.5 s gain five to six points of word error rate over the
// library's own updates at the ends of utterances (44.9 % to 39.2 %); longer
// windows follow a change of voice or microphone too slowly (10 s: 42 %).
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
    const std::filesystem::path& modelDir, const Options& options, std::FILE* libraryLog) {
  if (libraryLog)
    err_set_logfp(libraryLog);
  else
    silenceLibraryLogging();
  cmd_ln_t* config = parseOptions(modelDir, options, libraryLog == nullptr);
  if (!config) throw speechError(kModelLoadFailed, "speech decoder options were rejected");
  ps_decoder_t* decoder = [&] {
    auto lock = lockFrontEndMaking();
    return ps_init(config);
  }();
  if (!decoder) {
    cmd_ln_free_r(config);
    throw speechError(kModelLoadFailed,
                      "speech model in " + modelDir.string() + " could not be loaded");
  }
  try {
    listenForSpokenMarks(decoder, config);
  } catch (...) {
    ps_free(decoder);
    cmd_ln_free_r(config);
    throw;
  }
  return std::unique_ptr<PocketSphinxDecoder>(new PocketSphinxDecoder(modelDir, config, decoder));
}

PocketSphinxDecoder::PocketSphinxDecoder(std::filesystem::path modelDir, cmd_ln_s* config,
                                         ps_decoder_s* decoder)
    : modelDir_(std::move(modelDir)), config_(config), decoder_(decoder), frontEnd_(config) {
  pending_.reserve(kSliceSamples);
  raised_.reserve(kSliceSamples);
  if (cmn_t* cmn = ps_get_feat(decoder_)->cmn_struct)
    priorMean_.assign(cmn->cmn_mean, cmn->cmn_mean + cmn->veclen);
}

PocketSphinxDecoder::~PocketSphinxDecoder() {
  if (streamOpen_) ps_end_utt(decoder_);
  ps_free(decoder_);
  cmd_ln_free_r(config_);
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
  noiseFloor_.reset();
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
  raised_.assign(slice.begin(), slice.end());
  noiseFloor_.raise(raised_);
  search(frontEnd_.process(raised_));
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
