// Consent from the audio server's access control, against private servers:
// only a server that turns this client away refuses, and every answer
// arrives once, on the service's own thread, in bounded time.
#include "platform/linux/pulse_consent.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <thread>
#include <vector>

#include "runtime/main_loop.h"
#include "runtime/task.h"
#include "tests/support/pulse_server.h"

namespace dictate {
namespace {

using testing::PulseServer;
using namespace std::chrono_literals;

enum class ServerState { answering, requiringCredentials, absent, frozen };

struct ConsentCase {
  const char* name;
  ServerState server;
  bool granted;
};

class PulseConsentTest : public ::testing::TestWithParam<ConsentCase> {};

// Asks twice in a row, as two starts would, awaiting each answer on the
// main loop the way the engine does.
TEST_P(PulseConsentTest, AnswersEveryRequestOnceFromItsOwnThread) {
  const ConsentCase& c = GetParam();
  PulseServer server({.requireCredentials = c.server == ServerState::requiringCredentials});
  ASSERT_TRUE(server.isUp());
  if (c.server == ServerState::absent) {
    server.useNoServerForThisProcess();
  } else {
    server.useForThisProcess();
  }
  if (c.server == ServerState::frozen) server.signal(SIGSTOP);

  MainLoop loop;
  std::vector<bool> answers;
  std::vector<std::thread::id> handlerThreads;
  int handlerCalls = 0;
  {
    PulseConsent consent(500ms);
    auto ask = [&]() -> Task<void> {
      for (int i = 0; i < 2; ++i) {
        bool granted = co_await Completion<bool>([&](CompletionHandler<bool> done) {
          consent.requestAccess(MediaType::audio, [&, done](bool answer) {
            handlerThreads.push_back(std::this_thread::get_id());
            ++handlerCalls;
            done(answer);
          });
        });
        answers.push_back(granted);
      }
    };
    spawn(ask(), nullptr);
    EXPECT_TRUE(loop.runUntil([&] { return answers.size() == 2; }, 10s));
  }
  if (c.server == ServerState::frozen) server.signal(SIGCONT);

  EXPECT_EQ(answers, std::vector<bool>(2, c.granted));
  EXPECT_EQ(handlerCalls, 2);
  for (std::thread::id id : handlerThreads) EXPECT_NE(id, std::this_thread::get_id());
}

INSTANTIATE_TEST_SUITE_P(Pulse, PulseConsentTest,
                         ::testing::Values(ConsentCase{"AnonymousAccessGrants",
                                                       ServerState::answering, true},
                                           ConsentCase{"MissingCredentialsRefuse",
                                                       ServerState::requiringCredentials, false},
                                           ConsentCase{"NoServerGrants", ServerState::absent, true},
                                           ConsentCase{"UnansweringServerGrantsAfterTimeout",
                                                       ServerState::frozen, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dictate
