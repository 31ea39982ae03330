// The platform converter on Linux, built on libsoxr: resamples interleaved
// float32 or int16 audio of any rate and channel count to mono float32 or
// int16 at any rate. Channels are averaged first, libsoxr's high-quality
// filter resamples in float, and int16 output is rounded and clipped here
// (no dither). One SoxrConverter is owned by whoever made it (the buffer
// converter) and used on the capture thread, one call at a time; it has no
// lock and must not be called concurrently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/audio_converter.h"

struct soxr;  // libsoxr's resampler, opaque here

namespace dictate {

// Codes of the errors a SoxrConverter reports through convert()'s error slot.
inline constexpr const char* kSoxrErrorDomain = "soxr";
enum SoxrErrorCode : int {
  kSoxrLibraryFailed = 1,     // libsoxr reported an error; its text is the description
  kSoxrInputFormatMismatch,   // the input block supplied a buffer in another format
  kSoxrMissingInputBuffer,    // the input block said haveData but gave no buffer
  kSoxrOutputFormatMismatch,  // the output buffer is not in the output format
  kSoxrOutOfMemory,           // the scratch space could not grow
};

class SoxrConverter final : public AudioConverter {
 public:
  // Whether `from` -> `to` is a pair this converter handles.
  static bool supports(const AudioFormat& from, const AudioFormat& to);
  // A converter for the pair, or nullptr when it is not supported or
  // libsoxr refuses the rates.
  static std::unique_ptr<SoxrConverter> make(const AudioFormat& from, const AudioFormat& to);

  ~SoxrConverter() override;
  SoxrConverter(const SoxrConverter&) = delete;
  SoxrConverter& operator=(const SoxrConverter&) = delete;

  // Stored and reported back only: the filter's delay is always held back
  // (the first output frame lines up with the first input frame), whatever
  // the method.
  void setPrimeMethod(ConverterPrimeMethod method) override { primeMethod_ = method; }
  ConverterPrimeMethod primeMethod() const override { return primeMethod_; }
  const AudioFormat& inputFormat() const override { return inputFormat_; }
  const AudioFormat& outputFormat() const override { return outputFormat_; }

  // Fills `output` from its start. Returns haveData when it is full;
  // inputRanDry when the block answered noDataNow first; endOfStream once
  // the block has answered endOfStream and the filter is drained (from then
  // on every call returns endOfStream without asking the block); error with
  // `error` set otherwise. Input that the output cannot take yet, and output
  // produced beyond its capacity, are kept for the next call. Allocates
  // nothing unless a block or an output buffer is larger than any before.
  ConverterOutputStatus convert(PcmBuffer& output, std::optional<Error>& error,
                                const ConverterInputBlock& input) override;

 private:
  enum class Phase {
    streaming,  // takes input whenever the filter has no more output to give
    draining,   // the block said endOfStream; the filter's tail is coming out
    ended,      // drained; nothing more will come
  };
  struct Step {
    size_t consumed = 0;
    size_t produced = 0;
  };

  SoxrConverter(const AudioFormat& from, const AudioFormat& to, soxr* resampler);

  ConverterOutputStatus fill(PcmBuffer& output, uint32_t& filled, std::optional<Error>& error,
                             const ConverterInputBlock& input);
  // One pass of the filter over the pending input into the output's free
  // space; nullopt (with `error` set) when libsoxr fails.
  std::optional<Step> runFilter(PcmBuffer& output, uint32_t& filled, std::optional<Error>& error);
  uint32_t inputFramesFor(uint32_t outputFrames) const;
  // Asks the block for more; a status when the call must end with it.
  std::optional<ConverterOutputStatus> takeInput(uint32_t framesWanted, std::optional<Error>& error,
                                                 const ConverterInputBlock& input);
  bool appendMixedDown(const PcmBuffer& buffer);
  static bool growScratch(std::vector<float>& scratch, size_t frames);

  const AudioFormat inputFormat_;
  const AudioFormat outputFormat_;
  ConverterPrimeMethod primeMethod_ = ConverterPrimeMethod::normal;
  soxr* const resampler_;
  Phase phase_ = Phase::streaming;
  // Mono input not yet taken by the filter: pending_[pendingBegin_, pendingEnd_).
  std::vector<float> pending_;
  size_t pendingBegin_ = 0;
  size_t pendingEnd_ = 0;
  // The filter's float output before it becomes int16.
  std::vector<float> floatOut_;
};

class SoxrConverterFactory final : public AudioConverterFactory {
 public:
  std::unique_ptr<AudioConverter> make(const AudioFormat& from, const AudioFormat& to) override;
};

}  // namespace dictate
