// The main loop, tasks, completions and the two stream types.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "runtime/async_channel.h"
#include "runtime/async_stream.h"
#include "runtime/main_loop.h"
#include "runtime/task.h"

namespace dictate {
namespace {

Task<int> answer() { co_return 42; }

Task<int> addOne() {
  int v = co_await answer();
  co_return v + 1;
}

Task<void> failing() {
  co_await YieldToLoop{};
  throw std::runtime_error("boom");
}

TEST(MainLoopTest, AwaitedTasksRunInOrderAndReportEscapedErrors) {
  MainLoop loop;
  int result = 0;
  std::string reported;
  spawn([](int& out) -> Task<void> { out = co_await addOne(); }(result), nullptr);
  spawn(failing(), [&](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& ex) {
      reported = ex.what();
    }
  });
  EXPECT_EQ(result, 0) << "spawned tasks start from the loop's queue";
  loop.poll();
  EXPECT_EQ(result, 43);
  EXPECT_EQ(reported, "boom");
}

TEST(MainLoopTest, CompletionFromAnotherThreadResumesOnTheLoopThread) {
  MainLoop loop;
  const auto loopThread = std::this_thread::get_id();
  std::thread::id resumedOn;
  bool value = false;
  std::thread worker;
  spawn(
      [](bool& out, std::thread::id& on, std::thread& worker) -> Task<void> {
        out = co_await Completion<bool>([&](CompletionHandler<bool> done) {
          worker = std::thread([done] {
            done(true);
            done(false);  // a second call is ignored
          });
        });
        on = std::this_thread::get_id();
      }(value, resumedOn, worker),
      nullptr);
  ASSERT_TRUE(loop.runUntil([&] { return value; }));
  worker.join();
  EXPECT_EQ(resumedOn, loopThread);
}

TEST(MainLoopTest, PostsFromManyThreadsAllRunOnTheLoop) {
  MainLoop loop;
  constexpr int kThreads = 4, kPosts = 2000;
  std::atomic<int> ran{0};
  int ranOnLoop = 0;
  const auto loopThread = std::this_thread::get_id();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPosts; ++i) {
        loop.post([&] {
          ++ran;
          if (std::this_thread::get_id() == loopThread) ++ranOnLoop;
        });
      }
    });
  }
  ASSERT_TRUE(loop.runUntil([&] { return ran == kThreads * kPosts; }));
  for (auto& t : threads) t.join();
  EXPECT_EQ(ranOnLoop, kThreads * kPosts);
}

TEST(MainLoopTest, RunReturnsAfterQuitFromAnotherThread) {
  MainLoop loop;
  std::thread quitter([&] { loop.post([&] { loop.quit(); }); });
  loop.run();
  quitter.join();
}

Task<void> readAll(AsyncChannel<int>& channel, std::vector<int>& seen, std::stop_token stop,
                   bool& ended) {
  while (auto v = co_await channel.next(stop)) seen.push_back(*v);
  ended = true;
}

TEST(AsyncChannelTest, PushResumesTheWaitingReaderAtOnce) {
  MainLoop loop;
  AsyncChannel<int> channel;
  std::vector<int> seen;
  bool ended = false;
  spawn(readAll(channel, seen, {}, ended), nullptr);
  loop.poll();
  channel.push(1);
  EXPECT_EQ(seen, std::vector<int>{1}) << "handled inside push, before anything posted later";
  channel.push(2);
  channel.finish();
  channel.push(3);  // after the end: dropped
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
  EXPECT_TRUE(ended);
}

TEST(AsyncChannelTest, FailureReachesTheReaderAfterQueuedValues) {
  MainLoop loop;
  AsyncChannel<int> channel;
  channel.push(7);
  channel.fail(std::make_exception_ptr(std::runtime_error("stream broke")));
  std::vector<int> seen;
  bool ended = false;
  std::string error;
  spawn(readAll(channel, seen, {}, ended), [&](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& ex) {
      error = ex.what();
    }
  });
  loop.poll();
  EXPECT_EQ(seen, std::vector<int>{7});
  EXPECT_EQ(error, "stream broke");
}

TEST(AsyncChannelTest, CancellingTheReaderEndsItAndLaterPushesQueue) {
  MainLoop loop;
  AsyncChannel<int> channel;
  std::stop_source stop;
  std::vector<int> seen;
  bool ended = false;
  spawn(readAll(channel, seen, stop.get_token(), ended), nullptr);
  loop.poll();
  stop.request_stop();
  channel.push(1);
  loop.poll();
  EXPECT_TRUE(ended);
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(channel.queuedCount(), 1u);
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

TEST(AsyncStreamTest, ManyProducersKeepTheirOrderAndNothingAfterFinish) {
  auto [sequence, continuation] = AsyncStream<std::pair<int, int>>::make();
  constexpr int kProducers = 4, kValues = 20000;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p, c = continuation] {
      for (int i = 0; i < kValues; ++i) c.yield({p, i});
    });
  }
  std::vector<int> nextExpected(kProducers, 0);
  int received = 0;
  std::thread consumer([&, s = sequence]() mutable {
    while (auto v = s.next()) {
      ASSERT_EQ(v->second, nextExpected[v->first]) << "producer " << v->first;
      ++nextExpected[v->first];
      ++received;
    }
  });
  for (auto& t : producers) t.join();
  continuation.finish();
  using Stream = AsyncStream<std::pair<int, int>>;
  EXPECT_EQ(continuation.yield({0, -1}), Stream::YieldResult::terminated);
  consumer.join();
  EXPECT_EQ(received, kProducers * kValues);
}

}  // namespace
}  // namespace dictate
