// An unbounded, order-keeping stream with one consumer.
//
// The producer end (Continuation) is a copyable handle that any thread may
// yield into without waiting beyond a short lock; finishing it lets the
// consumer drain what was queued and then see the end, and values yielded
// after the finish are discarded. The consumer end (Sequence) is read by one
// thread at a time, blocking in next() until a value or the end arrives. A
// consumer that gives up early closes its end, which drops what is queued
// and discards later values, so that a producer that goes on yielding does
// not fill memory nobody reads.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>

namespace dictate {

template <typename T>
class AsyncStream {
  struct State {
    std::mutex mutex;
    std::condition_variable_any ready;
    std::deque<T> queue;    // guarded by mutex
    bool finished = false;  // guarded by mutex
  };

 public:
  enum class YieldResult { enqueued, terminated };

  class Continuation {
   public:
    // Any thread.
    YieldResult yield(T value) const {
      {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->finished) return YieldResult::terminated;
        state_->queue.push_back(std::move(value));
      }
      state_->ready.notify_one();
      return YieldResult::enqueued;
    }
    // Any thread. Idempotent.
    void finish() const {
      {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->finished = true;
      }
      state_->ready.notify_all();
    }

   private:
    friend class AsyncStream;
    explicit Continuation(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
  };

  class Sequence {
   public:
    // Blocks until a value arrives (returned), the stream has ended after
    // its queued values, or `stop` is requested (both std::nullopt).
    std::optional<T> next(std::stop_token stop = {}) {
      std::unique_lock<std::mutex> lock(state_->mutex);
      state_->ready.wait(lock, stop, [&] { return !state_->queue.empty() || state_->finished; });
      return popLocked();
    }
    // Never blocks: a value if one is queued.
    std::optional<T> tryNext() {
      std::lock_guard<std::mutex> lock(state_->mutex);
      return popLocked();
    }
    // Any thread. The consumer reads no more: queued values are dropped and
    // later yields are discarded (terminated). Idempotent.
    void close() {
      std::deque<T> dropped;
      {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->finished = true;
        dropped.swap(state_->queue);
      }
      state_->ready.notify_all();
    }
    // True once finished and drained.
    bool isAtEnd() const {
      std::lock_guard<std::mutex> lock(state_->mutex);
      return state_->finished && state_->queue.empty();
    }

   private:
    friend class AsyncStream;
    explicit Sequence(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::optional<T> popLocked() {
      if (state_->queue.empty()) return std::nullopt;
      T value = std::move(state_->queue.front());
      state_->queue.pop_front();
      return value;
    }
    std::shared_ptr<State> state_;
  };

  // A new stream: its consumer end and its producer handle.
  static std::pair<Sequence, Continuation> make() {
    auto state = std::make_shared<State>();
    return {Sequence(state), Continuation(state)};
  }
};

}  // namespace dictate
