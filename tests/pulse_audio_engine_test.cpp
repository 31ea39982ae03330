// The PulseAudio engine and consent against private servers, with or without
// PULSE_SOURCE. Consent is refused only by a server that turns this client
// away, and answered on the service's own thread in bounded time. A start
// fails in plain words, with the server's own. Once started, audio played
// into the virtual microphone reaches the tap whole, in full blocks with
// steady time stamps, on one capture thread; a loss of capture reaches the
// loss handler there once, after the last block. A source that goes while
// the stream can move to another is no loss.
#include "platform/linux/pulse_audio_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
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

TEST(PulseAudioEngineTest, ConsentsStartsCapturesAndLosesCaptureAsTheServerSays) {
  const std::string kPlay = "paplay --raw --format=s16le --rate=48000 --channels=2 -d feed noise";
  const std::string kNoMic = "no microphone: the audio server has no input source (No such entity)";
  const testing::PulseServer::Options kNoMicServer{.withMicrophone = false};
  // Commands run in the server's folder; "kill" kills the server.
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
  // 1 s of stereo noise that is never zero, then 0.5 s of silence.
  std::vector<int16_t> noise(48000 * 3);
  for (int i = 0; i < 48000 * 2; ++i) noise[i] = (1 + i * 7919 % 16000) * (i % 3 ? 1 : -1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before + c.failure + c.during);
    testing::PulseServer server(c.options);
    ASSERT_TRUE(server.isUp());
    server.useForThisProcess();
    c.source ? setenv("PULSE_SOURCE", c.source, 1) : unsetenv("PULSE_SOURCE");
    std::ofstream(server.dir() + "/noise")
        .write(reinterpret_cast<char*>(noise.data()), noise.size() * 2);
    auto run = [&](const std::string& command) {
      return command == "kill" ? (server.kill(), 0)
                               : server.runTool("cd " + server.dir() + "; " + command);
    };
    auto connected = [&] { return run("pactl list clients | grep -q quillmarsh-dictate") == 0; };
    PulseAudioEngine engine;
    EXPECT_FALSE(connected()) << "nothing connects before it is needed";
    ASSERT_EQ(run(c.before), 0);

    std::vector<bool> answers;          // to two requests in a row, as two starts would make
    std::set<std::thread::id> threads;  // that called back
    {
      PulseConsent consent(500ms);  // whose destructor waits for the answers
      for (int i = 0; i < 2; ++i) {
        consent.requestAccess(MediaType::audio, [&](bool granted) {
          answers.push_back(granted), threads.insert(std::this_thread::get_id());
        });
      }
    }
    EXPECT_EQ(answers, std::vector<bool>(2, !c.options.requireCredentials));
    EXPECT_TRUE(threads.size() == 1 && !threads.count(std::this_thread::get_id()));

    std::mutex mutex;  // guards what the tap and the loss handler record
    std::vector<std::pair<std::shared_ptr<PcmBuffer>, AudioTime>> blocks;
    std::vector<std::pair<std::string, size_t>> losses;  // with the blocks before each
    auto record = [&](auto change) {
      std::lock_guard lock(mutex);
      change(), threads.insert(std::this_thread::get_id());
    };
    threads.clear();
    const AudioFormat format = engine.inputNode().outputFormat(0);
    EXPECT_EQ(format,
              (c.failure.empty() ? AudioFormat{48000, 2, SampleFormat::float32} : AudioFormat{}));
    engine.inputNode().installTap(
        0, 4096, format,
        [&](auto& buffer, auto time) { record([&] { blocks.emplace_back(buffer, time); }); },
        [&](const Error& e) {
          record([&] { losses.emplace_back(e.localizedDescription(), blocks.size()); });
        });
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
      continue;
    }
    // Until `more` blocks have come, or a loss; five seconds at most.
    auto waitFor = [&](size_t more) {
      auto count = [&] {
        return std::lock_guard(mutex), losses.empty() ? blocks.size() : SIZE_MAX;
      };
      for (size_t i = 0, n = count() + more; i < 500 && count() < n; ++i)
        std::this_thread::sleep_for(10ms);
    };
    engine.start();
    engine.start();  // changes nothing while running
    waitFor(2);
    ASSERT_EQ(run(c.during), 0);
    waitFor(6);
    std::this_thread::sleep_for(100ms);  // time for a second report or a late block
    EXPECT_EQ(engine.isRunning(), c.loss.empty());
    engine.stop();
    for (int i = 0; i < 100 && connected(); ++i) std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(connected()) << "stop leaves the server";

    EXPECT_TRUE(threads.size() == 1 && !threads.count(std::this_thread::get_id()));
    EXPECT_EQ(losses, (std::vector<std::pair<std::string, size_t>>(!c.loss.empty(),
                                                                   {c.loss, blocks.size()})));
    std::vector<float> captured;
    for (size_t i = 0; i < blocks.size(); ++i) {
      const auto& [buffer, time] = blocks[i];
      // Full blocks (but the one in assembly at a loss) with steady time stamps.
      ASSERT_TRUE((buffer->frameLength() == 4096 || (!c.loss.empty() && i + 1 == blocks.size())) &&
                  buffer->format() == format && time.sampleTime == i * 4096 &&
                  (i == 0 || time.hostTimeNanos > blocks[i - 1].second.hostTimeNanos))
          << i;
      captured.insert(captured.end(), buffer->floatData(),
                      buffer->floatData() + 2 * buffer->frameLength());
    }
    // A lost, repeated or reordered frame of the noise breaks the match from there on.
    const auto start = std::ranges::find_if(captured, [](float s) { return s != 0; });
    ASSERT_EQ(start != captured.end(), c.during == kPlay);
    for (int i = 0; start != captured.end() && i < 48000 * 2; ++i) {
      ASSERT_TRUE(start + i < captured.end() && start[i] == noise[i] / 32768.0f) << i;
    }
  }
  unsetenv("PULSE_SOURCE");
}

}  // namespace
}  // namespace dictate
