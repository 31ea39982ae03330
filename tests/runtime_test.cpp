// The main loop, tasks and completions. The engine and process tests use
// them throughout; these pin the guarantees that those rely on without
// showing them directly.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <vector>
#include <stdexcept>

#include "platform/error.h"
#include "runtime/async_channel.h"
#include "runtime/main_loop.h"
#include "runtime/task.h"

namespace dictate {
namespace {

Task<int> answer() { co_return 21; }

Task<void> failing() {
  co_await YieldToLoop{};
  throw std::runtime_error("boom");
}

// Spawned tasks start from the loop's queue; awaited ones hand their value
// or error to the awaiting task; a completion resumes its task on the loop
// thread whichever thread calls it, once.
TEST(MainLoopTest, TasksCompletionsAndPostsRunOnTheLoopThread) {
  MainLoop loop;
  int sum = 0;
  std::string reported;
  std::thread::id resumedOn;
  std::thread worker;
  std::atomic<bool> go = false;  // the worker answers once the loop has found nothing to do
  spawn([](int& sum, std::thread::id& on, std::thread& worker, auto& go) -> Task<void> {
    sum = co_await answer() + co_await answer();
    sum += co_await Completion<int>([&](CompletionHandler<int> done) {
      worker = std::thread([done, &go] {
        while (!go) std::this_thread::yield();
        done(1);
        done(100);  // ignored
      });
    });
    on = std::this_thread::get_id();
  }(sum, resumedOn, worker, go), nullptr);
  spawn(failing(), [&](std::exception_ptr e) { reported = describeError(e); });
  EXPECT_EQ(sum, 0);
  ASSERT_TRUE(loop.runUntil([&] { return (go = true) && sum == 43 && !reported.empty(); }));
  worker.join();
  loop.poll();
  EXPECT_EQ(sum, 43);
  EXPECT_EQ(resumedOn, std::this_thread::get_id());
  EXPECT_EQ(reported, "boom");
}

Task<void> awaitHandler(std::optional<CompletionHandler<int>>* saved) {
  co_await Completion<int>([saved](CompletionHandler<int> done) { saved->emplace(done); });
}

Task<void> awaitPush(AsyncChannel<int>* channel, std::stop_token stop) {
  co_await channel->next(stop);
}

// A task dropped while it waits must never be resumed: not by a handler that
// fires later, a channel push or cancel, or a yield already queued.
TEST(MainLoopTest, ADroppedTaskIsNeverResumed) {
  MainLoop loop;
  std::optional<CompletionHandler<int>> saved;
  AsyncChannel<int> pushed, cancelled;
  std::stop_source stop;
  std::vector<Task<void>> tasks;
  tasks.push_back(awaitHandler(&saved));
  tasks.push_back(awaitPush(&pushed, {}));
  tasks.push_back(awaitPush(&cancelled, stop.get_token()));
  tasks.push_back(failing());  // queues its resumption, then is dropped
  for (auto& task : tasks) EXPECT_TRUE(task.await_suspend(std::noop_coroutine()));
  stop.request_stop();  // queues the cancelled reader's resumption
  tasks.clear();
  (*saved)(1);
  pushed.push(2);
  EXPECT_EQ(loop.poll(), 3u) << "the queued resumptions run and do nothing";
  EXPECT_EQ(pushed.queuedCount(), 1u);
}

// A reader cancelled and followed by the next before its resumption has run
// leaves the channel to that next reader.
TEST(AsyncChannelTest, AReaderFollowingACancelledOneGetsThePushes) {
  MainLoop loop;
  AsyncChannel<int> channel;
  std::stop_source stop;
  Task<void> cancelled = awaitPush(&channel, stop.get_token()), next = awaitPush(&channel, {});
  EXPECT_TRUE(cancelled.await_suspend(std::noop_coroutine()));
  stop.request_stop();
  EXPECT_TRUE(next.await_suspend(std::noop_coroutine()));
  EXPECT_EQ(loop.poll(), 1u) << "the cancelled reader ends";
  channel.push(1);
  EXPECT_EQ(channel.queuedCount(), 0u) << "the next reader took it";
}

}  // namespace
}  // namespace dictate
