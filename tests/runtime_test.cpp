// The main loop, tasks and completions. The engine and process tests use
// them throughout; these pin the guarantees that those rely on without
// showing them directly.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "platform/error.h"
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

}  // namespace
}  // namespace dictate
