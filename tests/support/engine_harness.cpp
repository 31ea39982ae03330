#include "tests/support/engine_harness.h"

#include <gtest/gtest.h>

#include "platform/error.h"

namespace dictate {

std::string startFailedLine(const std::string& description) {
  return "{\"message\":\"start failed: " + description + "\",\"type\":\"error\"}\n";
}

std::string finalLine(const std::string& text) {
  return "{\"text\":\"" + text + "\",\"type\":\"final\"}\n";
}

std::string volatileLine(const std::string& text) {
  return "{\"text\":\"" + text + "\",\"type\":\"volatile\"}\n";
}

namespace {

Task<void> runAndMark(Task<void> task, std::shared_ptr<bool> done) {
  co_await std::move(task);
  *done = true;
}

}  // namespace

EngineHarness::EngineHarness() = default;

EngineHarness::~EngineHarness() {
  while (platform.fakeConsent.pendingCount() > 0) platform.fakeConsent.answer(false);
  platform.fakeAssets.download.open();
  platform.fakeSpeech.finalizing.open();
  loop.poll();
  run(engine.stop());
  platform.services.joinHelpers();
  loop.poll();
}

bool EngineHarness::run(Task<void> task) {
  auto done = launch(std::move(task));
  return runUntil([&] { return *done; });
}

std::shared_ptr<bool> EngineHarness::launch(Task<void> task) {
  auto done = std::make_shared<bool>(false);
  spawn(runAndMark(std::move(task), done), [](std::exception_ptr error) {
    // Engine operations never throw.
    ADD_FAILURE() << "engine operation threw: " << describeError(error);
  });
  return done;
}

bool EngineHarness::runUntil(const std::function<bool()>& done) {
  return loop.runUntil(done, std::chrono::seconds(10));
}

}  // namespace dictate
