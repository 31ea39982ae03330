// The main loop, tasks, completions and the two stream types.
#include <gtest/gtest.h>

#include <stdexcept>

#include "runtime/async_channel.h"
#include "runtime/async_stream.h"
#include "runtime/main_loop.h"
#include "runtime/task.h"

namespace dictate {
namespace {

Task<int> answer() { co_return 42; }

Task<void> failing() {
  co_await YieldToLoop{};
  throw std::runtime_error("boom");
}

ErrorReporter recordInto(std::string& what) {
  return [&what](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& ex) {
      what = ex.what();
    }
  };
}

TEST(MainLoopTest, AwaitedTasksRunInOrderAndReportEscapedErrors) {
  MainLoop loop;
  int result = 0;
  std::string reported;
  spawn([](int& out) -> Task<void> { out = co_await answer() + co_await answer(); }(result), nullptr);
  spawn(failing(), recordInto(reported));
  EXPECT_EQ(result, 0) << "spawned tasks start from the loop's queue";
  loop.poll();
  EXPECT_EQ(result, 84);
  EXPECT_EQ(reported, "boom");
}

TEST(MainLoopTest, WorkFromOtherThreadsRunsOnTheLoopThread) {
  MainLoop loop;
  const auto loopThread = std::this_thread::get_id();
  std::thread::id resumedOn;
  bool value = false;
  std::vector<std::thread> threads;
  spawn([](bool& out, std::thread::id& on, std::vector<std::thread>& threads) -> Task<void> {
    out = co_await Completion<bool>([&](CompletionHandler<bool> done) {
      threads.emplace_back([done] {
        done(true);
        done(false);  // a second call is ignored
      });
    });
    on = std::this_thread::get_id();
  }(value, resumedOn, threads), nullptr);
  constexpr int kThreads = 4, kPosts = 2000;
  std::atomic<int> ran{0}, ranOnLoop{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPosts; ++i) {
        loop.post([&] { ranOnLoop += std::this_thread::get_id() == loopThread, ++ran; });
      }
    });
  }
  ASSERT_TRUE(loop.runUntil([&] { return value && ran == kThreads * kPosts; }));
  for (auto& t : threads) t.join();
  EXPECT_EQ(resumedOn, loopThread);
  EXPECT_EQ(ranOnLoop, kThreads * kPosts);
  std::thread quitter([&] { loop.post([&] { loop.quit(); }); });
  loop.run();  // returns after the quit
  quitter.join();
}

Task<void> readAll(AsyncChannel<int>& channel, std::vector<int>& seen, std::stop_token stop,
                   bool& ended) {
  while (auto v = co_await channel.next(stop)) seen.push_back(*v);
  ended = true;
}

// A push resumes the waiting reader at once; values queued before an end or
// a failure reach it first; a cancelled reader ends and later pushes queue.
TEST(AsyncChannelTest, ReaderGetsValuesThenTheEndOrTheFailure) {
  MainLoop loop;
  AsyncChannel<int> ending, failing, cancelled;
  std::vector<int> seen, seenBeforeFailure, seenCancelled;
  bool ended = false, failedEnded = false, cancelledEnded = false;
  std::string error;
  std::stop_source stop;
  spawn(readAll(ending, seen, {}, ended), nullptr);
  failing.push(7);
  failing.fail(std::make_exception_ptr(std::runtime_error("stream broke")));
  spawn(readAll(failing, seenBeforeFailure, {}, failedEnded), recordInto(error));
  spawn(readAll(cancelled, seenCancelled, stop.get_token(), cancelledEnded), nullptr);
  loop.poll();
  ending.push(1);
  EXPECT_EQ(seen, std::vector<int>{1}) << "handled inside push, before anything posted later";
  ending.push(2);
  ending.finish();
  ending.push(3);  // after the end: dropped
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
  EXPECT_TRUE(ended);
  EXPECT_EQ(seenBeforeFailure, std::vector<int>{7});
  EXPECT_EQ(error, "stream broke");
  EXPECT_FALSE(failedEnded);
  stop.request_stop();
  cancelled.push(1);
  loop.poll();
  EXPECT_TRUE(cancelledEnded);
  EXPECT_TRUE(seenCancelled.empty());
  EXPECT_EQ(cancelled.queuedCount(), 1u);
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
  using Stream = AsyncStream<std::pair<int, int>>;
  auto [sequence, continuation] = Stream::make();
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
      ASSERT_EQ(v->second, nextExpected[v->first]++) << "producer " << v->first;
      ++received;
    }
  });
  for (auto& t : producers) t.join();
  continuation.finish();
  EXPECT_EQ(continuation.yield({0, -1}), Stream::YieldResult::terminated);
  consumer.join();
  EXPECT_EQ(received, kProducers * kValues);
}

}  // namespace
}  // namespace dictate
