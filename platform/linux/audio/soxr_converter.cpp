#include "platform/linux/audio/soxr_converter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <string>

namespace dictate {

namespace {

// Room for a 4096-frame block and its output at the usual rates, so that
// the capture thread normally never grows the scratch space.
constexpr size_t kInitialScratchFrames = 8192;

Error soxrError(SoxrErrorCode code, std::string description) {
  return Error(kSoxrErrorDomain, code, std::move(description));
}

bool isUsableRate(double rate) { return std::isfinite(rate) && rate > 0; }

// Full scale is 32768 on both sides, so that int16 input passes through
// unchanged; what lies beyond the int16 range is clipped.
int16_t toInt16(float sample) {
  if (std::isnan(sample)) return 0;
  const float scaled = sample * 32768.0f;
  if (scaled >= 32767.0f) return 32767;
  if (scaled <= -32768.0f) return -32768;
  return static_cast<int16_t>(std::lrint(scaled));
}

// Averages each frame's channels into one float sample, times `scale`.
template <typename Sample>
void mixToMono(const Sample* in, size_t frames, uint32_t channels, float scale, float* out) {
  if (channels == 1) {
    for (size_t i = 0; i < frames; ++i) out[i] = static_cast<float>(in[i]) * scale;
  } else if (channels == 2) {
    for (size_t i = 0; i < frames; ++i) {
      out[i] = (static_cast<float>(in[2 * i]) + static_cast<float>(in[2 * i + 1])) * scale;
    }
  } else {
    for (size_t i = 0; i < frames; ++i, in += channels) {
      float sum = 0;
      for (uint32_t c = 0; c < channels; ++c) sum += static_cast<float>(in[c]);
      out[i] = sum * scale;
    }
  }
}

struct SoxrDeleter {
  void operator()(soxr* resampler) const { soxr_delete(resampler); }
};

}  // namespace

bool SoxrConverter::supports(const AudioFormat& from, const AudioFormat& to) {
  return from.isValid() && to.isValid() && isUsableRate(from.sampleRate) &&
         isUsableRate(to.sampleRate) && to.channelCount == 1;
}

std::unique_ptr<SoxrConverter> SoxrConverter::make(const AudioFormat& from, const AudioFormat& to) {
  if (!supports(from, to)) return nullptr;
  // The filter always works on mono float; mixing down and int16 output
  // are done here, which keeps libsoxr from adding dither.
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_error_t failure = nullptr;
  std::unique_ptr<soxr, SoxrDeleter> resampler(
      soxr_create(from.sampleRate, to.sampleRate, 1, &failure, &io, &quality, &runtime));
  if (failure != nullptr || !resampler) return nullptr;
  try {
    std::unique_ptr<SoxrConverter> converter(new SoxrConverter(from, to, resampler.get()));
    resampler.release();
    return converter;
  } catch (const std::exception&) {
    return nullptr;
  }
}

SoxrConverter::SoxrConverter(const AudioFormat& from, const AudioFormat& to, soxr* resampler)
    : inputFormat_(from),
      outputFormat_(to),
      resampler_(resampler),
      pending_(kInitialScratchFrames),
      floatOut_(to.sampleFormat == SampleFormat::int16 ? kInitialScratchFrames : 0) {}

SoxrConverter::~SoxrConverter() { soxr_delete(resampler_); }

ConverterOutputStatus SoxrConverter::convert(PcmBuffer& output, std::optional<Error>& error,
                                             const ConverterInputBlock& input) {
  output.setFrameLength(0);
  if (output.format() != outputFormat_) {
    error = soxrError(kSoxrOutputFormatMismatch, "output buffer is " + output.format().toString() +
                                                     ", not " + outputFormat_.toString());
    return ConverterOutputStatus::error;
  }
  if (outputFormat_.sampleFormat == SampleFormat::int16 &&
      !growScratch(floatOut_, output.frameCapacity())) {
    error = soxrError(kSoxrOutOfMemory, "out of memory for conversion scratch space");
    return ConverterOutputStatus::error;
  }
  uint32_t filled = 0;
  const ConverterOutputStatus status = fill(output, filled, error, input);
  output.setFrameLength(filled);
  return status;
}

ConverterOutputStatus SoxrConverter::fill(PcmBuffer& output, uint32_t& filled,
                                          std::optional<Error>& error,
                                          const ConverterInputBlock& input) {
  if (phase_ == Phase::ended) return ConverterOutputStatus::endOfStream;
  while (filled < output.frameCapacity()) {
    const std::optional<Step> step = runFilter(output, filled, error);
    if (!step) return ConverterOutputStatus::error;
    if (step->consumed > 0 || step->produced > 0) continue;
    // The filter has given all it can from what it holds.
    if (phase_ == Phase::draining) {
      phase_ = Phase::ended;
      return ConverterOutputStatus::endOfStream;
    }
    const uint32_t wanted = inputFramesFor(output.frameCapacity() - filled);
    if (std::optional<ConverterOutputStatus> stop = takeInput(wanted, error, input)) return *stop;
  }
  return ConverterOutputStatus::haveData;
}

std::optional<SoxrConverter::Step> SoxrConverter::runFilter(PcmBuffer& output, uint32_t& filled,
                                                            std::optional<Error>& error) {
  const size_t room = output.frameCapacity() - filled;
  const bool toInt16Output = outputFormat_.sampleFormat == SampleFormat::int16;
  float* destination = toInt16Output ? floatOut_.data() : output.floatData() + filled;
  Step step;
  // A null input tells libsoxr that no more will come and lets the filter's
  // tail out; an empty non-null input only collects output it still holds.
  const soxr_error_t failure =
      phase_ == Phase::draining
          ? soxr_process(resampler_, nullptr, 0, nullptr, destination, room, &step.produced)
          : soxr_process(resampler_, pending_.data() + pendingBegin_, pendingEnd_ - pendingBegin_,
                         &step.consumed, destination, room, &step.produced);
  if (failure != nullptr) {
    error = soxrError(kSoxrLibraryFailed, failure);
    return std::nullopt;
  }
  if (toInt16Output) {
    int16_t* out = output.int16Data() + filled;
    for (size_t i = 0; i < step.produced; ++i) out[i] = toInt16(floatOut_[i]);
  }
  pendingBegin_ += step.consumed;
  if (pendingBegin_ == pendingEnd_) pendingBegin_ = pendingEnd_ = 0;
  filled += static_cast<uint32_t>(step.produced);
  return step;
}

uint32_t SoxrConverter::inputFramesFor(uint32_t outputFrames) const {
  const double frames =
      std::ceil(outputFrames * inputFormat_.sampleRate / outputFormat_.sampleRate);
  constexpr double kMax = std::numeric_limits<uint32_t>::max();
  return frames >= kMax ? std::numeric_limits<uint32_t>::max()
                        : std::max<uint32_t>(1, static_cast<uint32_t>(frames));
}

std::optional<ConverterOutputStatus> SoxrConverter::takeInput(uint32_t framesWanted,
                                                              std::optional<Error>& error,
                                                              const ConverterInputBlock& input) {
  ConverterInputStatus status = ConverterInputStatus::noDataNow;
  const std::shared_ptr<PcmBuffer> buffer = input(framesWanted, status);
  if (status == ConverterInputStatus::noDataNow) return ConverterOutputStatus::inputRanDry;
  if (status == ConverterInputStatus::endOfStream) {
    phase_ = Phase::draining;
    return std::nullopt;
  }
  if (!buffer) {
    error = soxrError(kSoxrMissingInputBuffer, "input block said it had data but gave no buffer");
  } else if (buffer->format() != inputFormat_) {
    error = soxrError(kSoxrInputFormatMismatch, "input buffer is " + buffer->format().toString() +
                                                    ", not " + inputFormat_.toString());
  } else if (!appendMixedDown(*buffer)) {
    error = soxrError(kSoxrOutOfMemory, "out of memory for conversion scratch space");
  } else {
    return std::nullopt;
  }
  return ConverterOutputStatus::error;
}

bool SoxrConverter::appendMixedDown(const PcmBuffer& buffer) {
  // Input the filter has not taken yet moves to the front, the new block
  // goes after it.
  const size_t kept = pendingEnd_ - pendingBegin_;
  std::copy(pending_.begin() + pendingBegin_, pending_.begin() + pendingEnd_, pending_.begin());
  pendingBegin_ = 0;
  pendingEnd_ = kept;
  const size_t frames = buffer.frameLength();
  if (!growScratch(pending_, kept + frames)) return false;
  const uint32_t channels = inputFormat_.channelCount;
  float* out = pending_.data() + kept;
  if (inputFormat_.sampleFormat == SampleFormat::float32) {
    mixToMono(buffer.floatData(), frames, channels, 1.0f / channels, out);
  } else {
    mixToMono(buffer.int16Data(), frames, channels, 1.0f / (32768.0f * channels), out);
  }
  pendingEnd_ = kept + frames;
  return true;
}

bool SoxrConverter::growScratch(std::vector<float>& scratch, size_t frames) {
  if (scratch.size() >= frames) return true;
  try {
    scratch.resize(std::max(frames, scratch.size() * 2));
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

std::unique_ptr<AudioConverter> SoxrConverterFactory::make(const AudioFormat& from,
                                                           const AudioFormat& to) {
  return SoxrConverter::make(from, to);
}

}  // namespace dictate
