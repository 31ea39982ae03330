#include "platform/linux/audio/pulse_consent.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>

#include <cstdlib>
#include <optional>

namespace dictate {

namespace {

constexpr const char* kClientName = "quillmarsh-dictate";

// Runs `loop` until `finished` returns an error code (PA_OK for success) or
// `deadline` has passed; returns that code, PA_ERR_TIMEOUT or
// PA_ERR_INTERNAL.
template <typename Finished>
int runUntil(pa_mainloop* loop, std::chrono::steady_clock::time_point deadline,
             Finished finished) {
  for (;;) {
    if (auto code = finished()) return *code;
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return PA_ERR_TIMEOUT;
    if (pa_mainloop_prepare(loop, static_cast<int>(left.count())) < 0 ||
        pa_mainloop_poll(loop) < 0 || pa_mainloop_dispatch(loop) < 0) {
      return PA_ERR_INTERNAL;
    }
  }
}

int awaitConnection(pa_mainloop* loop, pa_context* context,
                    std::chrono::steady_clock::time_point deadline) {
  return runUntil(loop, deadline, [context]() -> std::optional<int> {
    pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) return PA_OK;
    if (PA_CONTEXT_IS_GOOD(state)) return std::nullopt;
    int error = pa_context_errno(context);
    return error != PA_OK ? error : PA_ERR_UNKNOWN;
  });
}

// Asks the server about the source capture will record from (PULSE_SOURCE's,
// or the default); returns the error code of the answer. A server that
// keeps sources from some clients answers this one PA_ERR_ACCESS.
int probeSource(pa_mainloop* loop, pa_context* context,
                std::chrono::steady_clock::time_point deadline) {
  const char* named = std::getenv("PULSE_SOURCE");
  std::optional<int> answer;
  auto onSource = [](pa_context* c, const pa_source_info*, int eol, void* data) noexcept {
    if (eol != 0) *static_cast<std::optional<int>*>(data) = eol < 0 ? pa_context_errno(c) : PA_OK;
  };
  pa_operation* operation = pa_context_get_source_info_by_name(
      context, named && *named ? named : "@DEFAULT_SOURCE@", onSource, &answer);
  if (!operation) return pa_context_errno(context);
  int code = runUntil(loop, deadline, [&answer] { return answer; });
  if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  return code;
}

// Tries to connect to the audio server, never starting one, and to look up
// the source; returns the error code of the attempt (PA_OK when both work).
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
    if (error == PA_OK) error = probeSource(loop, context, deadline);
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
