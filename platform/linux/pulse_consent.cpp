#include "platform/linux/pulse_consent.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/mainloop.h>

namespace dictate {

namespace {

constexpr const char* kClientName = "quillmarsh-dictate";

// Runs `loop` until `context` is connected, has failed or `deadline` has
// passed; returns the error code of the attempt.
int awaitConnection(pa_mainloop* loop, pa_context* context,
                    std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) return PA_OK;
    if (!PA_CONTEXT_IS_GOOD(state)) {
      int error = pa_context_errno(context);
      return error != PA_OK ? error : PA_ERR_UNKNOWN;
    }
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return PA_ERR_TIMEOUT;
    if (pa_mainloop_prepare(loop, static_cast<int>(left.count())) < 0 ||
        pa_mainloop_poll(loop) < 0 || pa_mainloop_dispatch(loop) < 0) {
      return PA_ERR_INTERNAL;
    }
  }
}

// Tries to connect to the audio server, never starting one, and returns the
// error code of the attempt (PA_OK when connected).
int probeServer(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  pa_mainloop* loop = pa_mainloop_new();
  if (!loop) return PA_ERR_INTERNAL;
  pa_context* context = pa_context_new(pa_mainloop_get_api(loop), kClientName);
  int error = PA_ERR_INTERNAL;
  if (context) {
    error = pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0
                ? pa_context_errno(context)
                : awaitConnection(loop, context, deadline);
    pa_context_disconnect(context);
    pa_context_unref(context);
  }
  pa_mainloop_free(loop);
  return error;
}

}  // namespace

PulseConsent::PulseConsent(std::chrono::milliseconds timeout) : timeout_(timeout) {}

PulseConsent::~PulseConsent() {
  {
    std::lock_guard lock(mutex_);
    quitting_ = true;
  }
  wake_.notify_one();
  if (worker_.joinable()) worker_.join();
}

void PulseConsent::requestAccess(MediaType, std::function<void(bool)> completionHandler) {
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(completionHandler));
    if (!worker_.joinable()) worker_ = std::thread([this] { answerRequests(); });
  }
  wake_.notify_one();
}

void PulseConsent::answerRequests() {
  for (;;) {
    std::function<void(bool)> handler;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return quitting_ || !requests_.empty(); });
      if (requests_.empty()) return;
      handler = std::move(requests_.front());
      requests_.pop_front();
    }
    bool granted = probeServer(timeout_) != PA_ERR_ACCESS;
    try {
      if (handler) handler(granted);
    } catch (...) {
      // A handler that throws must not end the worker and strand later requests.
    }
  }
}

}  // namespace dictate
