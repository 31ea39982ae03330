// The main executor: a serial run queue drained on the thread that calls
// run(). Any thread may post work to it through an Executor handle; every
// coroutine of the engine and the command loop resumes here. The loop blocks
// on a condition variable while its queue is empty, so it never spins.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace dictate {

namespace detail {
struct LoopQueue;
}

// A copyable handle through which any thread posts work to one loop. Work
// posted after the loop has been destroyed is dropped.
class Executor {
 public:
  Executor() = default;
  explicit Executor(std::shared_ptr<detail::LoopQueue> queue) : queue_(std::move(queue)) {}

  // Thread-safe. Queues `work` to run on the loop's thread, after
  // everything posted before it.
  void post(std::function<void()> work) const;

  // True when called on the thread that is running the loop.
  bool isLoopThread() const;

  explicit operator bool() const { return queue_ != nullptr; }

 private:
  std::shared_ptr<detail::LoopQueue> queue_;
};

class MainLoop {
 public:
  // Makes this loop the current one (see current()) until it is destroyed.
  MainLoop();
  ~MainLoop();
  MainLoop(const MainLoop&) = delete;
  MainLoop& operator=(const MainLoop&) = delete;

  // The loop most recently constructed and not yet destroyed.
  static MainLoop& current();

  Executor executor() const { return Executor(queue_); }
  void post(std::function<void()> work) const { executor().post(std::move(work)); }

  // Runs posted work on the calling thread until quit() is called.
  void run();

  // Thread-safe: makes run() return once the work it is running finishes.
  void quit();

  // Runs everything that is queued now and what that work posts in turn,
  // without blocking; returns how many items ran. For tests.
  size_t poll();

  // Runs work, waiting for more as needed, until `done()` holds or `timeout`
  // passes; returns done(). For tests that involve real threads.
  bool runUntil(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  bool runOne(std::unique_lock<std::mutex>& lock);

  std::shared_ptr<detail::LoopQueue> queue_;
  MainLoop* previous_;
};

namespace detail {
struct LoopQueue {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> work;  // guarded by mutex
  bool quitting = false;                   // guarded by mutex
  bool alive = true;                       // guarded by mutex
  std::thread::id runner;                  // guarded by mutex
};
}  // namespace detail

}  // namespace dictate
