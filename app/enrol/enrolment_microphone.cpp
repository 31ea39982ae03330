#include "app/enrol/enrolment_microphone.h"

#include <utility>

#include "platform/linux/audio/soxr_converter.h"

namespace dictate {

namespace {

const AudioFormat kDecoderFormat{16000, 1, SampleFormat::int16};
// Frames per captured block: about 85 ms at 48 kHz.
constexpr uint32_t kBlockFrames = 4096;

}  // namespace

EnrolmentMicrophone::EnrolmentMicrophone() : converter_(std::make_shared<SoxrConverterFactory>()) {
  engine_.prepare();
  const AudioFormat format = engine_.inputNode().outputFormat(0);
  if (format.isValid()) {
    engine_.inputNode().installTap(
        0, kBlockFrames, format,
        [this](const std::shared_ptr<PcmBuffer>& buffer, const AudioTime&) { onBlock(buffer); },
        [this](const Error& reason) { onLoss(reason); });
  }
  // Without a usable source, start() says why.
  engine_.start();
  if (!format.isValid()) {
    engine_.stop();
    throw Error(kDictateErrorDomain, 0, "the microphone's format could not be had");
  }
}

EnrolmentMicrophone::~EnrolmentMicrophone() {
  engine_.inputNode().removeTap(0);
  engine_.stop();
}

std::vector<int16_t> EnrolmentMicrophone::take(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  arrived_.wait_for(lock, wait, [this] { return !queued_.empty() || loss_; });
  if (queued_.empty() && loss_) throw *loss_;
  return std::exchange(queued_, {});
}

void EnrolmentMicrophone::discard() {
  std::lock_guard<std::mutex> lock(mutex_);
  queued_.clear();
}

void EnrolmentMicrophone::putBack(std::vector<int16_t> samples) {
  std::lock_guard<std::mutex> lock(mutex_);
  queued_.insert(queued_.begin(), samples.begin(), samples.end());
}

void EnrolmentMicrophone::onBlock(const std::shared_ptr<PcmBuffer>& buffer) {
  std::shared_ptr<PcmBuffer> converted;
  try {
    converted = converter_.convertBuffer(buffer, kDecoderFormat);
  } catch (const Error& e) {
    return onLoss(Error(e.domain(), e.code(), "the microphone's audio could not be converted"));
  }
  const int16_t* samples = converted->int16Data();
  std::lock_guard<std::mutex> lock(mutex_);
  queued_.insert(queued_.end(), samples, samples + converted->frameLength());
  arrived_.notify_one();
}

void EnrolmentMicrophone::onLoss(const Error& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!loss_) loss_ = reason;
  arrived_.notify_one();
}

}  // namespace dictate
