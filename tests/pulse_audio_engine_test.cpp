// The PulseAudio engine and consent against private servers, with or without
// PULSE_SOURCE. Consent is refused only by a server that turns this client
// away, and answered on the service's own thread in bounded time. A start
// fails in plain words, with the server's own, and leaves the tap in place.
// Once started, audio played into the virtual microphone reaches the tap
// whole, in full blocks with steady time stamps, on one capture thread; a
// loss of capture reaches the loss handler once, after the last block, and
// the engine captures again once the server is back. A source that goes
// while the stream can move to another is no loss.
#include "platform/linux/pulse_audio_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/pulse_consent.h"
#include "tests/support/pulse_server.h"

namespace dictate {
namespace {

using namespace std::chrono_literals;
constexpr uint32_t kBlock = 4096;

// What a tap and its loss handler get, and on which threads.
struct Recorder {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<std::shared_ptr<PcmBuffer>, AudioTime>> blocks;
  std::vector<std::pair<std::string, size_t>> losses;  // with the blocks before each
  std::set<std::thread::id> threads;
  std::shared_ptr<int> token = std::make_shared<int>();  // held by the tap

  void install(AudioInputNode& node, const AudioFormat& format) {
    auto record = [this](auto change) {
      std::lock_guard lock(mutex);
      change(), threads.insert(std::this_thread::get_id()), changed.notify_all();
    };
    node.installTap(
        0, kBlock, format,
        [this, record, t = token](auto& buffer, auto time) {
          record([&] { blocks.emplace_back(buffer, time); });
        },
        [this, record](const Error& e) {
          record([&] { losses.emplace_back(e.localizedDescription(), blocks.size()); });
        });
  }
  // Until `more` blocks have come, or a loss.
  bool waitFor(size_t more) {
    std::unique_lock lock(mutex);
    const size_t count = blocks.size() + more;
    return changed.wait_for(lock, 5s, [&] { return blocks.size() >= count || !losses.empty(); });
  }
};

TEST(PulseAudioEngineTest, ConsentsStartsCapturesAndLosesCaptureAsTheServerSays) {
  const std::string kPlay =
      "paplay --raw --format=s16le --rate=48000 --channels=2 --device=feed noise";
  const std::string kNoMic = "no microphone: the audio server has no input source (No such entity)";
  const testing::PulseServer::Options kNoMicServer{.withMicrophone = false};
  // Each runs in the server's folder; "kill" kills the server.
  const struct {
    testing::PulseServer::Options options;
    const char* source;     // PULSE_SOURCE, or nullptr
    std::string before;     // the start
    std::string failure;    // of the start; "": it starts
    std::string during;     // capture
    std::string loss = "";  // "": capture goes on
  } cases[] = {
      // clang-format off
      {{}, nullptr, "kill", "no audio server is running (Connection refused)", ""},
      {{.requireCredentials = true}, nullptr, "",
       "the audio server does not let this program record (Access denied)", ""},
      {{}, nullptr, "kill -STOP $(cat pid)", "the audio server does not answer (Timeout)", ""},
      {kNoMicServer, nullptr, "", kNoMic, ""},
      {kNoMicServer, nullptr, "pactl unload-module module-null-sink", kNoMic, ""},
      {{}, "nosuchmic", "", "the audio server has no source named nosuchmic, which PULSE_SOURCE "
       "asks for (No such entity)", ""},
      {{}, nullptr, "", "", kPlay},
      {{}, nullptr, "", "", "pactl unload-module module-remap-source"},
      {{}, nullptr, "", "", "pactl unload-module module-null-sink",
       "the audio server ended the recording (Entity killed)"},
      {kNoMicServer, "feed.monitor", "", "", "kill",
       "the audio server has gone away (Connection terminated)"}};
  // clang-format on
  // 2 s of stereo noise that is never zero, then 2 s of silence.
  std::vector<int16_t> noise(48000 * 8);
  for (int i = 0; i < 48000 * 4; ++i) noise[i] = (1 + i * 7919 % 16000) * (i % 3 ? 1 : -1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before + c.failure + c.during);
    testing::PulseServer server(c.options);
    ASSERT_TRUE(server.isUp());
    server.useForThisProcess();
    c.source ? setenv("PULSE_SOURCE", c.source, 1) : unsetenv("PULSE_SOURCE");
    std::ofstream(server.dir() + "/noise")
        .write(reinterpret_cast<char*>(noise.data()), noise.size() * 2);
    auto run = [&](const std::string& command) {
      return command == "kill" ? server.kill(),
             0                 : server.runTool("cd " + server.dir() + "; " + command);
    };
    auto connected = [&] { return run("pactl list clients | grep -q quillmarsh-dictate") == 0; };
    PulseAudioEngine engine;
    EXPECT_FALSE(connected()) << "nothing connects before it is needed";
    ASSERT_EQ(run(c.before), 0);

    std::vector<bool> answers;  // to two requests in a row, as two starts would make
    std::set<std::thread::id> threads;
    {
      PulseConsent consent(500ms);  // whose destructor waits for the answers
      auto answer = [&](bool granted) {
        answers.push_back(granted), threads.insert(std::this_thread::get_id());
      };
      consent.requestAccess(MediaType::audio, answer);
      consent.requestAccess(MediaType::audio, answer);
    }
    EXPECT_EQ(answers, std::vector<bool>(2, !c.options.requireCredentials));
    EXPECT_TRUE(threads.size() == 1 && !threads.count(std::this_thread::get_id()));

    const AudioFormat format = engine.inputNode().outputFormat(0);
    EXPECT_EQ(format,
              (c.failure.empty() ? AudioFormat{48000, 2, SampleFormat::float32} : AudioFormat{}));
    Recorder recorder;
    recorder.install(engine.inputNode(), format);
    engine.prepare();
    if (!c.failure.empty()) {
      try {
        engine.start();
        ADD_FAILURE() << "started";
      } catch (const Error& error) {
        EXPECT_EQ(error.localizedDescription(), c.failure);
        EXPECT_EQ(error.domain(), "pulseaudio");
      }
      EXPECT_FALSE(engine.isRunning());
      EXPECT_EQ(recorder.token.use_count(), 2) << "the tap stays";
      continue;
    }
    engine.start();
    engine.start();  // changes nothing while running
    ASSERT_TRUE(recorder.waitFor(2));
    ASSERT_EQ(run(c.during), 0);
    recorder.waitFor(6);
    std::this_thread::sleep_for(100ms);  // time for a second report or a late block
    EXPECT_EQ(engine.isRunning(), c.loss.empty());
    engine.stop();
    for (int i = 0; i < 100 && connected(); ++i) std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(connected()) << "stop leaves the server";

    const auto& blocks = recorder.blocks;
    EXPECT_TRUE(recorder.threads.size() == 1 &&
                !recorder.threads.count(std::this_thread::get_id()));
    EXPECT_EQ(recorder.losses, (std::vector<std::pair<std::string, size_t>>(
                                   !c.loss.empty(), {c.loss, blocks.size()})));
    std::vector<float> captured;
    for (size_t i = 0; i < blocks.size(); ++i) {
      const auto& [buffer, time] = blocks[i];
      // Only the block in assembly at a loss goes out short.
      ASSERT_TRUE(buffer->frameLength() == kBlock || (!c.loss.empty() && i + 1 == blocks.size()));
      ASSERT_EQ(buffer->format(), format);
      ASSERT_EQ(time.sampleTime, i * kBlock);
      ASSERT_TRUE(i == 0 || time.hostTimeNanos > blocks[i - 1].second.hostTimeNanos);
      captured.insert(captured.end(), buffer->floatData(),
                      buffer->floatData() + 2 * buffer->frameLength());
    }
    // A lost, repeated or reordered frame of the noise breaks the match from there on.
    const auto start = std::ranges::find_if(captured, [](float s) { return s != 0; });
    ASSERT_EQ(start != captured.end(), c.during == kPlay);
    for (int i = 0; start != captured.end() && i < 48000 * 4; ++i) {
      ASSERT_TRUE(start + i < captured.end() && start[i] == noise[i] / 32768.0f) << i;
    }
    if (!c.loss.empty()) {
      ASSERT_TRUE(server.restart());
      Recorder again;
      again.install(engine.inputNode(), format);
      engine.start();
      ASSERT_TRUE(again.waitFor(2));
      engine.stop();
      EXPECT_EQ(again.blocks[0].second.sampleTime, 0u) << "each capture counts from zero";
    }
  }
  unsetenv("PULSE_SOURCE");
}

}  // namespace
}  // namespace dictate
