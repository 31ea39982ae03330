// Coroutines on the main executor.
//
// Task<T> is a lazily started coroutine that produces a T or throws; awaiting
// it runs it and resumes the awaiting coroutine when it finishes, on the same
// thread. spawn() starts a detached Task on the main loop and reports an
// escaped exception instead of losing it. Completion<T> suspends until a
// handler that another thread calls once has delivered a value, and resumes
// on the loop. offload() runs blocking work on a thread of its own.
#pragma once

#include <atomic>
#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>

#include "runtime/main_loop.h"

namespace dictate {

template <typename T>
class Task;

// A suspended coroutine's resumption, queued on the loop. The awaiter that
// suspended the coroutine owns the slot and lives in the coroutine's frame;
// when that frame is destroyed while it waits (the task holding it was
// dropped), the slot goes with it and a resumption queued earlier or later
// does nothing instead of resuming freed memory. Armed, resumed and
// destroyed on the loop thread only; only the shared cell crosses threads.
class ResumeSlot {
 public:
  ResumeSlot() = default;
  ResumeSlot(ResumeSlot&&) noexcept = default;
  ResumeSlot& operator=(ResumeSlot&&) = delete;
  ~ResumeSlot() {
    if (cell_) *cell_ = {};
  }

  void arm(std::coroutine_handle<> h) { cell_ = std::make_shared<std::coroutine_handle<>>(h); }
  // Work for the loop's queue: resumes the coroutine once, if it still waits.
  std::function<void()> resumer() const {
    return [cell = cell_] {
      if (auto h = std::exchange(*cell, {})) h.resume();
    };
  }

 private:
  std::shared_ptr<std::coroutine_handle<>> cell_;
};

namespace detail {

struct PromiseBase {
  std::coroutine_handle<> continuation;
  std::exception_ptr error;
  // True while the awaiting coroutine is running this task from its
  // await_suspend; a task that ends meanwhile sets `endedInline` and hands
  // control back by returning, instead of resuming the awaiting coroutine
  // from inside its own frame. That keeps the stack flat when many awaited
  // tasks in a row end without suspending, whether or not the compiler
  // turns the resumption into a tail call (sanitizer builds do not).
  bool startingInline = false;
  bool endedInline = false;

  std::suspend_always initial_suspend() noexcept { return {}; }

  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <typename Promise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> h) noexcept {
      PromiseBase& promise = h.promise();
      if (promise.startingInline) {
        promise.endedInline = true;
        return std::noop_coroutine();
      }
      if (auto next = promise.continuation) return next;
      return std::noop_coroutine();
    }
    void await_resume() noexcept {}
  };
  FinalAwaiter final_suspend() noexcept { return {}; }
  void unhandled_exception() noexcept { error = std::current_exception(); }
};

template <typename T>
struct Promise : PromiseBase {
  std::optional<T> value;
  Task<T> get_return_object() noexcept;
  template <typename U>
  void return_value(U&& v) {
    value.emplace(std::forward<U>(v));
  }
  T take() {
    if (error) std::rethrow_exception(error);
    return std::move(*value);
  }
};

template <>
struct Promise<void> : PromiseBase {
  Task<void> get_return_object() noexcept;
  void return_void() noexcept {}
  void take() {
    if (error) std::rethrow_exception(error);
  }
};

}  // namespace detail

template <typename T = void>
class [[nodiscard]] Task {
 public:
  using promise_type = detail::Promise<T>;
  using Handle = std::coroutine_handle<promise_type>;

  Task() = default;
  explicit Task(Handle h) : handle_(h) {}
  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { reset(); }

  bool await_ready() const noexcept { return !handle_ || handle_.done(); }
  // Runs the task until it first suspends or ends; the awaiting coroutine
  // goes on at once (false) when it ended. Every resumption happens on the
  // main loop's thread, so the task cannot end on another thread meanwhile.
  bool await_suspend(std::coroutine_handle<> awaiting) {
    promise_type& promise = handle_.promise();
    promise.continuation = awaiting;
    promise.startingInline = true;
    handle_.resume();
    promise.startingInline = false;
    return !promise.endedInline;
  }
  T await_resume() { return handle_.promise().take(); }

 private:
  void reset() {
    if (handle_) handle_.destroy();
    handle_ = {};
  }
  Handle handle_;
};

namespace detail {
template <typename T>
Task<T> Promise<T>::get_return_object() noexcept {
  return Task<T>(std::coroutine_handle<Promise<T>>::from_promise(*this));
}
inline Task<void> Promise<void>::get_return_object() noexcept {
  return Task<void>(std::coroutine_handle<Promise<void>>::from_promise(*this));
}
}  // namespace detail

// Called with the exception that escaped a spawned task.
using ErrorReporter = std::function<void(std::exception_ptr)>;

// The handle of a spawned task, with which it is cancelled.
// Touched only on the loop thread.
class TaskHandle {
 public:
  TaskHandle() = default;

  // Requests cancellation and returns at once; the task ends when the
  // operation it awaits notices the stop request.
  void cancel() const {
    if (state_) state_->stop.request_stop();
  }

  struct State {
    std::stop_source stop;
  };
  explicit TaskHandle(std::shared_ptr<State> state) : state_(std::move(state)) {}

 private:
  std::shared_ptr<State> state_;
};

// Starts `task` detached on the current main loop: the first step runs from
// the loop's queue, after the work already posted. An exception escaping the
// task goes to `onError`.
void spawn(Task<void> task, ErrorReporter onError);

// Like spawn(), for a body that takes the stop token of the returned handle.
// The body (and what it captures) is kept alive until the task ends.
TaskHandle spawnCancellable(std::function<Task<void>(std::stop_token)> body, ErrorReporter onError);

// The handler side of a Completion: call it once, from any thread. Later
// calls are ignored.
template <typename T>
class CompletionHandler {
 public:
  struct State {
    std::atomic<bool> called{false};
    std::variant<std::monostate, T, std::exception_ptr> result;
    std::function<void()> resumeWaiter;  // set before the handler exists
    Executor executor;
  };
  explicit CompletionHandler(std::shared_ptr<State> state) : state_(std::move(state)) {}

  void operator()(T value) const {
    if (!state_ || state_->called.exchange(true)) return;
    state_->result.template emplace<1>(std::move(value));
    resume();
  }
  void fail(std::exception_ptr error) const {
    if (!state_ || state_->called.exchange(true)) return;
    state_->result.template emplace<2>(std::move(error));
    resume();
  }

 private:
  // The handler that delivered the result lets go of the shared state and
  // hands its reference to the loop, so that the result (an exception
  // object, say) is released on the loop thread, never on the caller's.
  void resume() const {
    auto state = std::move(state_);
    Executor executor = state->executor;
    executor.post([state = std::move(state)] { state->resumeWaiter(); });
  }
  mutable std::shared_ptr<State> state_;
};

// Awaitable: `T v = co_await Completion<T>([](CompletionHandler<T> h) {...})`
// calls the starter with a handler and suspends until the handler has been
// called; the awaiting coroutine then continues on the main loop, even when
// the handler ran on another thread or inside the starter. A task dropped
// while it waits detaches from the handler, which may still be called.
template <typename T>
class Completion {
 public:
  using Starter = std::function<void(CompletionHandler<T>)>;
  explicit Completion(Starter start) : start_(std::move(start)) {}

  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> h) {
    state_ = std::make_shared<typename CompletionHandler<T>::State>();
    waiter_.arm(h);
    state_->resumeWaiter = waiter_.resumer();
    state_->executor = MainLoop::current().executor();
    start_(CompletionHandler<T>(state_));
  }
  T await_resume() {
    if (state_->result.index() == 2) std::rethrow_exception(std::get<2>(state_->result));
    return std::move(std::get<1>(state_->result));
  }

 private:
  Starter start_;
  std::shared_ptr<typename CompletionHandler<T>::State> state_;
  ResumeSlot waiter_;
};

// Runs `work` on a new thread and resumes on the main loop with its result
// or its exception. For blocking calls into libraries (model loading,
// downloads) that must not hold up the loop.
template <typename F, typename R = std::invoke_result_t<F>>
Task<R> offload(F work) {
  using Slot = std::conditional_t<std::is_void_v<R>, bool, R>;
  // The starter is a named object: GCC 12 destroys the captures of a
  // lambda that is a temporary inside a co_await expression twice.
  auto starter = [work = std::move(work)](CompletionHandler<Slot> done) mutable {
    std::thread([work = std::move(work), done]() mutable {
      std::exception_ptr error;
      try {
        if constexpr (std::is_void_v<R>) {
          work();
          done(true);
        } else {
          done(work());
        }
        return;
      } catch (...) {
        error = std::current_exception();
      }
      // Handed over only after the catch block has let go of the exception,
      // so that this thread holds no reference to it once the loop resumes.
      done.fail(std::move(error));
    }).detach();
  };
  Slot result = co_await Completion<Slot>(std::move(starter));
  if constexpr (!std::is_void_v<R>) co_return result;
}

// Awaitable that suspends and resumes from the loop's queue, letting work
// that was posted before it run first.
struct YieldToLoop {
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> h) {
    waiter.arm(h);
    MainLoop::current().post(waiter.resumer());
  }
  void await_resume() const noexcept {}
  ResumeSlot waiter;
};

}  // namespace dictate
