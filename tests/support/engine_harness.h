// A DictationEngine on a FakePlatform, with its MainLoop and captured
// output, for tests that drive the engine directly. Everything runs on the
// test's thread, which is the loop thread; helper threads of the doubles
// post back to the loop.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "engine/dictation_engine.h"
#include "runtime/main_loop.h"
#include "runtime/task.h"
#include "tests/support/fake_output.h"
#include "tests/support/fake_platform.h"

namespace dictate {

// The event and diagnostic lines the engine writes, with their line feed.
inline const std::string kListening = "{\"type\":\"state\",\"value\":\"listening\"}\n";
inline const std::string kStopped = "{\"type\":\"state\",\"value\":\"stopped\"}\n";
inline const std::string kModelReady = "{\"status\":\"ready\",\"type\":\"model\"}\n";
inline const std::string kModelDownloading = "{\"status\":\"downloading\",\"type\":\"model\"}\n";
inline const std::string kPermissionDenied =
    "{\"message\":\"microphone or speech permission denied\",\"type\":\"error\"}\n";
inline const std::string kAccessNotGranted = "[dictate] microphone access not granted\n";
std::string startFailedLine(const std::string& description);
std::string finalLine(const std::string& text);
std::string volatileLine(const std::string& text);

class EngineHarness {
 public:
  EngineHarness();
  // Answers and opens whatever a test left waiting, stops the engine and
  // drains the loop, so that no coroutine outlives the test.
  ~EngineHarness();

  // Runs `task` on the loop until it has finished; false after 10 s.
  bool run(Task<void> task);
  // Starts `task` on the loop and returns a flag set when it has finished.
  std::shared_ptr<bool> launch(Task<void> task);
  // Steps the loop until `done()` holds; false after 10 s.
  bool runUntil(const std::function<bool()>& done);

  MainLoop loop;
  CapturedOutput output;
  FakePlatform platform;
  DictationEngine engine{platform};
};

}  // namespace dictate
