#include "runtime/task.h"

namespace dictate {

namespace {

// A coroutine that starts eagerly and frees itself at its end.
struct Detached {
  struct promise_type {
    Detached get_return_object() noexcept { return {}; }
    std::suspend_never initial_suspend() noexcept { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() noexcept { std::terminate(); }
  };
};

Detached runDetached(Task<void> task, ErrorReporter onError) {
  co_await YieldToLoop{};
  try {
    co_await std::move(task);
  } catch (...) {
    if (onError) onError(std::current_exception());
  }
}

Detached runCancellable(std::function<Task<void>(std::stop_token)> body,
                        std::shared_ptr<TaskHandle::State> state, ErrorReporter onError) {
  co_await YieldToLoop{};
  std::exception_ptr error;
  try {
    co_await body(state->stop.get_token());
  } catch (...) {
    error = std::current_exception();
  }
  if (error && onError) onError(error);
}

}  // namespace

void spawn(Task<void> task, ErrorReporter onError) {
  runDetached(std::move(task), std::move(onError));
}

TaskHandle spawnCancellable(std::function<Task<void>(std::stop_token)> body, ErrorReporter onError) {
  auto state = std::make_shared<TaskHandle::State>();
  runCancellable(std::move(body), state, std::move(onError));
  return TaskHandle(state);
}

}  // namespace dictate
