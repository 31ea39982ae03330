// The whole process in memory: the command loop and the engine on the
// platform doubles, fed scripted command lines, with standard output and
// standard error captured as one ordered log. Checks, on the real bytes,
// the orderings the host relies on.
#include <gtest/gtest.h>

#include "app/command_loop.h"
#include "tests/support/fake_platform.h"

namespace dictate {
namespace {

const std::string kReady = "{\"type\":\"ready\"}\n";
const std::string kStart = "{\"cmd\":\"start\"}", kStop = "{\"cmd\":\"stop\"}";

// One process on the doubles, begun on the loop's next turn. Reading a
// command line takes a turn of the loop too, as reading standard input does.
struct Process : LineSource, EngineHarness {
  explicit Process(bool once = false, const Lines& commands = {}) {
    for (const auto& command : commands) input.push({LineStatus::line, command});
    ended = launch(runDictationProcess(platform, *this, once));
  }
  ~Process() override {
    platform.answerConsent(false);
    end();
  }
  Task<InputLine> nextLine() override {
    ++reads;
    co_await YieldToLoop{};
    std::optional<InputLine> line = co_await input.next();
    co_return line ? std::move(*line) : InputLine{LineStatus::endOfInput, ""};
  }
  // Ends the input and runs the process to its end.
  bool end() {
    input.finish();
    return loop.runUntil([&] { return *ended; });
  }

  AsyncChannel<InputLine> input;
  int reads = 0;
  std::shared_ptr<bool> ended;
};

// A command that the host sends while another runs (a start waiting for
// consent, a stop finalising) is read only after that one has finished;
// the text comes between "listening" and "stopped".
TEST(ProcessTest, CommandsRunOneAfterAnother) {
  Process p(false, {kStart, kStart, kStop});  // the second start finds it running
  p.platform.installed = false;
  p.platform.holdConsent = p.platform.holdFinalisation = true;
  p.platform.burst = {"go on now"};
  ASSERT_TRUE(p.loop.runUntil([&] { return p.platform.heldConsent != nullptr; }));
  p.loop.poll();
  EXPECT_EQ(p.written, Lines{kReady});
  EXPECT_EQ(p.reads, 1);
  p.platform.answerConsent(true);
  ASSERT_TRUE(p.loop.runUntil([&] { return p.platform.heldFinalisation.has_value(); }));
  EXPECT_EQ(p.reads, 3);
  p.platform.last.lock()->channel->push({"go on", false});
  p.platform.releaseFinalisation();
  ASSERT_TRUE(p.end());
  EXPECT_EQ(p.written, (Lines{kReady, "{\"status\":\"downloading\",\"type\":\"model\"}\n",
                              kModelReady, kListening, textLine("go on", false),
                              textLine("go on now"), kStopped}));
}

// With --once the process starts at once; "quit" and the end of input stop
// a running dictation first, and nothing is read after "quit".
TEST(ProcessTest, OnceQuitAndTheEndOfInput) {
  const std::string quit = "{\"cmd\":\"quit\"}";
  for (auto [once, commands, reads] : {std::tuple{true, Lines{}, 1}, {true, {quit, kStart}, 1},
                                       {false, {kStart}, 2}, {false, {kStart, quit, kStart}, 2}}) {
    Process p(once, commands);
    ASSERT_TRUE(p.end());
    EXPECT_EQ(p.written, (Lines{kReady, kModelReady, kListening, kStopped}));
    EXPECT_EQ(p.reads, reads);
  }
}

}  // namespace
}  // namespace dictate
