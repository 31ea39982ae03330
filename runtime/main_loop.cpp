#include "runtime/main_loop.h"

#include <algorithm>
#include <cassert>

namespace dictate {

namespace {
MainLoop* gCurrent = nullptr;
}

void Executor::post(std::function<void()> work) const {
  if (!queue_) return;
  std::lock_guard<std::mutex> lock(queue_->mutex);
  if (!queue_->alive) return;
  queue_->work.push_back(std::move(work));
  queue_->wake.notify_one();
}

bool Executor::isLoopThread() const {
  if (!queue_) return false;
  std::lock_guard<std::mutex> lock(queue_->mutex);
  return queue_->runner == std::this_thread::get_id();
}

MainLoop::MainLoop() : queue_(std::make_shared<detail::LoopQueue>()), previous_(gCurrent) {
  queue_->runner = std::this_thread::get_id();
  gCurrent = this;
}

MainLoop::~MainLoop() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard<std::mutex> lock(queue_->mutex);
    queue_->alive = false;
    dropped.swap(queue_->work);
  }
  // Destroying the dropped work (and any coroutine handles it owns) happens
  // outside the lock.
  dropped.clear();
  if (gCurrent == this) gCurrent = previous_;
}

MainLoop& MainLoop::current() {
  assert(gCurrent != nullptr && "no MainLoop exists");
  return *gCurrent;
}

bool MainLoop::runOne(std::unique_lock<std::mutex>& lock) {
  if (queue_->work.empty()) return false;
  std::function<void()> work = std::move(queue_->work.front());
  queue_->work.pop_front();
  lock.unlock();
  work();
  work = nullptr;
  lock.lock();
  return true;
}

void MainLoop::run() {
  std::unique_lock<std::mutex> lock(queue_->mutex);
  queue_->runner = std::this_thread::get_id();
  queue_->quitting = false;
  while (!queue_->quitting) {
    if (!runOne(lock)) queue_->wake.wait(lock);
  }
}

void MainLoop::quit() {
  std::lock_guard<std::mutex> lock(queue_->mutex);
  queue_->quitting = true;
  queue_->wake.notify_all();
}

size_t MainLoop::poll() {
  std::unique_lock<std::mutex> lock(queue_->mutex);
  queue_->runner = std::this_thread::get_id();
  size_t count = 0;
  while (runOne(lock)) ++count;
  return count;
}

bool MainLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  // Checks done() at least every few milliseconds, since a condition set by
  // another thread need not post anything.
  constexpr auto kSlice = std::chrono::milliseconds(5);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> lock(queue_->mutex);
  queue_->runner = std::this_thread::get_id();
  for (;;) {
    while (runOne(lock)) {
    }
    lock.unlock();
    bool finished = done();
    lock.lock();
    if (finished) return true;
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    if (queue_->work.empty()) queue_->wake.wait_for(lock, std::min<std::chrono::nanoseconds>(kSlice, deadline - now));
  }
}

}  // namespace dictate
