// A single-consumer asynchronous channel that lives on the main loop.
//
// Producers push values, finish the channel or fail it, always on the loop
// thread (work from other threads posts there first). A push that finds the
// reader waiting resumes it at once, inside push(), so a value is handled
// before anything posted after it: a result can never be left queued behind
// a later completion. The reader awaits next(), which yields the values in
// order, then std::nullopt at the end, or throws the failure. A stop request
// on the token given to next() ends the reading with std::nullopt.
#pragma once

#include <cassert>
#include <coroutine>
#include <deque>
#include <exception>
#include <functional>
#include <optional>
#include <stop_token>
#include <utility>

#include "runtime/main_loop.h"
#include "runtime/task.h"

namespace dictate {

template <typename T>
class AsyncChannel {
 public:
  AsyncChannel() = default;
  AsyncChannel(const AsyncChannel&) = delete;
  AsyncChannel& operator=(const AsyncChannel&) = delete;

  // Loop thread only. Ignored once the channel has ended.
  void push(T value) {
    if (ended_) return;
    queue_.push_back(std::move(value));
    wakeReader();
  }

  // Loop thread only. The reader gets the queued values, then the end.
  void finish() {
    if (ended_) return;
    ended_ = true;
    wakeReader();
  }

  // Loop thread only. The reader gets the queued values, then `error`.
  void fail(std::exception_ptr error) {
    if (ended_) return;
    ended_ = true;
    error_ = std::move(error);
    wakeReader();
  }

  bool isEnded() const { return ended_; }
  size_t queuedCount() const { return queue_.size(); }

  class NextAwaiter {
   public:
    NextAwaiter(AsyncChannel& channel, std::stop_token stop) : channel_(channel), stop_(std::move(stop)) {}
    // A reader dropped while it waits is forgotten, so that no push resumes
    // its freed frame.
    ~NextAwaiter() {
      if (suspended_ && channel_.waiter_ == suspended_) channel_.waiter_ = {};
    }

    bool await_ready() const noexcept {
      return stop_.stop_requested() || !channel_.queue_.empty() || channel_.ended_;
    }
    void await_suspend(std::coroutine_handle<> h) {
      assert(!channel_.waiter_ && "AsyncChannel has one reader");
      channel_.waiter_ = h;
      suspended_ = h;
      resumeSlot_.arm(h);
      // The stop request comes from the loop thread; the reader is detached
      // at once so that later pushes queue instead of resuming it, and it
      // resumes from the loop's queue.
      onStop_.emplace(stop_, Cancel{&channel_, resumeSlot_.resumer()});
    }
    std::optional<T> await_resume() {
      onStop_.reset();
      if (stop_.stop_requested()) return std::nullopt;
      if (!channel_.queue_.empty()) {
        T value = std::move(channel_.queue_.front());
        channel_.queue_.pop_front();
        return value;
      }
      if (channel_.error_) std::rethrow_exception(channel_.error_);
      return std::nullopt;
    }

   private:
    struct Cancel {
      AsyncChannel* channel;
      std::function<void()> resumeReader;
      void operator()() const noexcept {
        if (std::exchange(channel->waiter_, {})) MainLoop::current().post(resumeReader);
      }
    };
    AsyncChannel& channel_;
    std::stop_token stop_;
    std::coroutine_handle<> suspended_;
    ResumeSlot resumeSlot_;
    std::optional<std::stop_callback<Cancel>> onStop_;
  };

  // Loop thread only; one reader at a time.
  NextAwaiter next(std::stop_token stop = {}) { return NextAwaiter(*this, std::move(stop)); }

 private:
  void wakeReader() {
    if (auto h = std::exchange(waiter_, {})) h.resume();
  }

  std::deque<T> queue_;
  bool ended_ = false;
  std::exception_ptr error_;
  std::coroutine_handle<> waiter_;
};

}  // namespace dictate
