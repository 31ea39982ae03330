// The PulseAudio engine and consent against private servers, with or without
// PULSE_SOURCE. Consent is refused only by a server that turns this client
// away, and answered in bounded time. A start fails in plain words, with the
// server's own. Once started, audio played into the virtual microphone
// reaches the tap whole, in full blocks with steady time stamps, on one
// capture thread; a loss of capture reaches the loss handler there once,
// as soon as it is known. A source that goes while the stream can move to
// another is no loss. The next capture counts from zero again.
#include "platform/linux/audio/pulse_audio_engine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/linux/audio/pulse_consent.h"
#include "tests/support/pulse_server.h"

namespace dictate {
namespace {

using namespace std::chrono_literals;

TEST(PulseAudioEngineTest, ConsentsStartsCapturesAndLosesCaptureAsTheServerSays) {
  const std::string kPlay = "paplay --raw --format=s16le --rate=48000 --channels=2 -d feed noise";
  // Ends the server at once, as a crash would.
  const std::string kKill = DICTATE_SOURCE_DIR "/scripts/pulse-server.sh stop . --now";
  const std::string kNoMic = "no microphone: the audio server has no input source (No such entity)";
  // The server, PULSE_SOURCE, a command run in the server's folder before
  // the start if it fails, else while capture runs, and what the start
  // fails with or capture is lost with.
  // clang-format off
  const std::tuple<testing::PulseServer::Options, const char*, std::string, std::string, bool>
      cases[] = {
      {{}, nullptr, kKill, "no audio server is running (Connection refused)", true},
      {{.requireCredentials = true}, nullptr, "",
       "the audio server does not let this program record (Access denied)", true},
      {{}, nullptr, "kill -STOP $(cat pid)", "the audio server does not answer (Timeout)", true},
      {{.withMicrophone = false}, nullptr, "", kNoMic, true},
      {{.withMicrophone = false}, nullptr, "pactl unload-module module-null-sink", kNoMic, true},
      {{}, "nosuchmic", "", "the audio server has no source named nosuchmic, which PULSE_SOURCE "
       "asks for (No such entity)", true},
      {{}, nullptr, kPlay, "", false},
      {{}, nullptr, "pactl unload-module module-remap-source", "", false},
      {{}, nullptr, "pactl unload-module module-null-sink",
       "the audio server ended the recording (Entity killed)", false},
      {{.withMicrophone = false}, "feed.monitor", kKill,
       "the audio server has gone away (Connection terminated)", false}};
  // clang-format on
  // 1 s of stereo noise that is never zero, then 0.5 s of silence.
  std::vector<int16_t> noise(48000 * 3);
  for (int i = 0; i < 48000 * 2; ++i) noise[i] = (1 + i * 7919 % 16000) * (i % 3 ? 1 : -1);
  for (const auto& [options, source, command, message, startFails] : cases) {
    SCOPED_TRACE(command + message);
    testing::PulseServer server(options);
    ASSERT_TRUE(server.isUp());
    server.useForThisProcess();
    source ? setenv("PULSE_SOURCE", source, 1) : unsetenv("PULSE_SOURCE");
    std::ofstream(server.dir() + "/noise")
        .write(reinterpret_cast<char*>(noise.data()), noise.size() * 2);
    auto run = [&](std::string line) { return server.runTool("cd " + server.dir() + "; " + line); };
    auto connected = [&] { return run("pactl list clients | grep -q quillmarsh-dictate") == 0; };
    ASSERT_EQ(startFails ? run(command) : 0, 0);

    std::optional<bool> granted;  // the destructor waits for the answer
    PulseConsent(500ms).requestAccess(MediaType::audio, [&](bool answer) { granted = answer; });
    EXPECT_EQ(granted, !options.requireCredentials);

    std::mutex mutex;                 // guards what the tap and the loss handler record:
    std::vector<float> captured;      // the samples of every block,
    std::vector<std::string> losses;  // each loss reported,
    uint64_t lastHostTime = 0;
    std::set<std::thread::id> threads;  // and the threads they ran on
    PulseAudioEngine engine;            // made after them, it ends before them
    const AudioFormat format = engine.inputNode().outputFormat(0);
    EXPECT_EQ(format, (startFails ? AudioFormat{} : AudioFormat{48000, 2, SampleFormat::float32}));
    engine.inputNode().installTap(
        0, 4096, format,
        [&](auto& buffer, const AudioTime& time) {
          std::lock_guard lock(mutex);
          // Full blocks (but the one in assembly at a loss) with steady time stamps.
          EXPECT_TRUE(buffer->format() == format && time.sampleTime * 2 == captured.size() &&
                      time.hostTimeNanos > std::exchange(lastHostTime, time.hostTimeNanos) &&
                      (buffer->frameLength() == 4096 || !message.empty()));
          captured.insert(captured.end(), buffer->floatData(),
                          buffer->floatData() + 2 * buffer->frameLength());
          threads.insert(std::this_thread::get_id());
        },
        [&](const Error& e) {
          std::lock_guard lock(mutex);
          losses.push_back(e.localizedDescription());
          threads.insert(std::this_thread::get_id());
        });
    if (startFails) {
      EXPECT_THAT([&] { engine.start(); }, ::testing::ThrowsMessage<Error>(message));
      continue;
    }
    // The samples captured so far, or all there will be once capture is lost.
    auto count = [&] { return std::lock_guard(mutex), losses.size() ? SIZE_MAX : captured.size(); };
    auto waitFor = [&](size_t samples) {  // five seconds at most
      for (int i = 0; i < 500 && count() < samples; ++i) std::this_thread::sleep_for(10ms);
    };
    engine.start();
    waitFor(2 * 8192);  // two blocks
    engine.start();     // changes nothing while running
    ASSERT_EQ(run(command), 0);
    waitFor(count() + 6 * 8192);
    std::this_thread::sleep_for(100ms);  // time for a second report or a late block
    EXPECT_EQ(engine.isRunning(), message.empty());
    engine.stop();
    for (int i = 0; i < 100 && connected(); ++i) std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(connected()) << "stop leaves the server";

    EXPECT_TRUE(threads.size() == 1 && !threads.count(std::this_thread::get_id()));
    EXPECT_EQ(losses, std::vector<std::string>(!message.empty(), message));
    // A lost, repeated or reordered frame of the noise breaks the match from there on.
    const auto start = std::ranges::find_if(captured, [](float s) { return s != 0; });
    ASSERT_EQ(start != captured.end(), command == kPlay);
    for (int i = 0; start != captured.end() && i < 48000 * 2; ++i)
      ASSERT_TRUE(start + i < captured.end() && start[i] == noise[i] / 32768.0f) << i;

    // The next capture, once the server is itself again, counts from zero.
    captured.clear(), losses.clear();
    ASSERT_TRUE(server.restart());
    engine.start();
    waitFor(8192);
    engine.stop();
    EXPECT_FALSE(captured.empty()) << "captures again";
  }
  unsetenv("PULSE_SOURCE");
}

}  // namespace
}  // namespace dictate
