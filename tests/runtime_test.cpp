// The main loop, tasks and completions. The engine and process tests use
// them throughout; these pin the guarantees that those rely on without
// showing them directly.
#include <gtest/gtest.h>

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
  spawn([](int& sum, std::thread::id& on, std::thread& worker) -> Task<void> {
    sum = co_await answer() + co_await answer();
    sum += co_await Completion<int>([&](CompletionHandler<int> done) {
      worker = std::thread([done] { done(1); done(100); });  // the second call is ignored
    });
    on = std::this_thread::get_id();
  }(sum, resumedOn, worker), nullptr);
  spawn(failing(), [&](std::exception_ptr e) { reported = describeError(e); });
  EXPECT_EQ(sum, 0);
  ASSERT_TRUE(loop.runUntil([&] { return sum == 43 && !reported.empty(); }));
  worker.join();
  loop.poll();
  EXPECT_EQ(sum, 43);
  EXPECT_EQ(resumedOn, std::this_thread::get_id());
  EXPECT_EQ(reported, "boom");
}

}  // namespace
}  // namespace dictate
