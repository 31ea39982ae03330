// Microphone consent on Linux, where no consent prompt exists: the answer
// is the audio server's own access control. Access is refused only when the
// server turns this client away (PA_ERR_ACCESS), at the connection or when
// asked about the source capture will use (PULSE_SOURCE's, or the default);
// a missing, slow or broken server, or a missing source, is not a refusal,
// since capture reports it. Owned by the platform;
// requests come from the main loop and are answered, in order, on a worker
// thread of this service.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/consent.h"

namespace dictate {

class PulseConsent final : public ConsentService {
 public:
  // `timeout` bounds each connection attempt.
  explicit PulseConsent(std::chrono::milliseconds timeout = std::chrono::milliseconds(1500));
  // Answers the requests still queued, then ends the worker.
  ~PulseConsent() override;
  PulseConsent(const PulseConsent&) = delete;
  PulseConsent& operator=(const PulseConsent&) = delete;

  void requestAccess(MediaType media, std::function<void(bool granted)> completionHandler) override;

 private:
  void answerRequests();  // worker thread

  const std::chrono::milliseconds timeout_;
  // Requests from the main loop to the worker thread: guarded by mutex_.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void(bool)>> requests_;
  bool quitting_ = false;
  std::thread worker_;  // started on the first request; joined by the destructor
};

}  // namespace dictate
