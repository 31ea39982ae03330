// The PulseAudio engine against private servers: audio played into the
// virtual microphone comes out of the tap whole and in order, taps come and
// go safely while capture runs, and failures carry the server's words.
#include "platform/linux/pulse_audio_engine.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "tests/support/pulse_server.h"

namespace dictate {
namespace {

using testing::PulseServer;
using namespace std::chrono_literals;

constexpr uint32_t kBlockFrames = 4096;
constexpr int kRate = 48000;
const AudioFormat kTestMicFormat{kRate, 2, SampleFormat::float32};

// Records every block a tap receives, and a loss. The tap runs on the
// capture thread; the test thread reads under the mutex.
class TapRecorder {
 public:
  struct Block {
    std::shared_ptr<PcmBuffer> buffer;
    AudioTime time;
    std::thread::id thread;
  };

  TapBlock tap(std::chrono::milliseconds workPerBlock = 0ms) {
    return [this, workPerBlock, alive = alive_](const std::shared_ptr<PcmBuffer>& buffer,
                                                const AudioTime& when) {
      if (removed_) ++callsAfterRemoval_;
      std::this_thread::sleep_for(workPerBlock);
      {
        std::lock_guard lock(mutex_);
        blocks_.push_back({buffer, when, std::this_thread::get_id()});
      }
      changed_.notify_all();
    };
  }

  struct Loss {
    std::string reason;
    std::thread::id thread;
    size_t blocksBefore;
  };
  InputLossHandler onLoss() {
    return [this](const Error& reason) {
      std::lock_guard lock(mutex_);
      losses_.push_back(
          {reason.localizedDescription(), std::this_thread::get_id(), blocks_.size()});
      changed_.notify_all();
    };
  }
  bool waitForLoss(std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return !losses_.empty(); });
  }
  std::vector<Loss> losses() {
    std::lock_guard lock(mutex_);
    return losses_;
  }

  // Whether the last tap made by tap() has been released by the engine.
  bool released() const { return alive_.use_count() == 1; }
  void markRemoved() { removed_ = true; }
  int callsAfterRemoval() const { return callsAfterRemoval_; }

  bool waitForBlocks(size_t count, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return blocks_.size() >= count; });
  }
  std::vector<Block> blocks() {
    std::lock_guard lock(mutex_);
    return blocks_;
  }
  size_t size() {
    std::lock_guard lock(mutex_);
    return blocks_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Block> blocks_;  // guarded by mutex_
  std::vector<Loss> losses_;   // guarded by mutex_
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  std::atomic<bool> removed_{false};
  std::atomic<int> callsAfterRemoval_{0};
};

// Stereo 16-bit noise with silence around it, as a WAV file, and the same
// samples as floats.
struct TestSignal {
  static constexpr int kLeadFrames = kRate * 3 / 10;
  static constexpr int kBurstFrames = kRate * 3 / 2;
  static constexpr int kTailFrames = kRate * 7 / 10;
  std::vector<float> burst;  // interleaved, kBurstFrames frames

  void write(const std::string& path) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> sample(-16000, 16000);
    std::vector<int16_t> pcm(size_t{kLeadFrames} * 2, 0);
    for (int i = 0; i < kBurstFrames * 2; ++i) {
      auto value = static_cast<int16_t>(sample(random));
      pcm.push_back(value);
      burst.push_back(value / 32768.0f);
    }
    pcm.resize(pcm.size() + size_t{kTailFrames} * 2, 0);
    std::ofstream file(path, std::ios::binary);
    auto put32 = [&](uint32_t v) { file.write(reinterpret_cast<const char*>(&v), 4); };
    auto put16 = [&](uint16_t v) { file.write(reinterpret_cast<const char*>(&v), 2); };
    uint32_t dataBytes = static_cast<uint32_t>(pcm.size() * 2);
    file.write("RIFF", 4), put32(36 + dataBytes), file.write("WAVEfmt ", 8);
    put32(16), put16(1), put16(2), put32(kRate), put32(kRate * 4), put16(4), put16(16);
    file.write("data", 4), put32(dataBytes);
    file.write(reinterpret_cast<const char*>(pcm.data()), dataBytes);
  }
};

// The frame at which `burst` begins in `captured` (both interleaved
// stereo): the best match of the burst's opening by cross-correlation.
size_t findBurst(const std::vector<float>& captured, const std::vector<float>& burst) {
  constexpr size_t kProbeFrames = 512;
  size_t frames = captured.size() / 2, best = 0;
  double bestScore = -1;
  for (size_t lag = 0; lag + kProbeFrames <= frames; ++lag) {
    double score = 0;
    for (size_t i = 0; i < kProbeFrames; ++i) score += captured[(lag + i) * 2] * burst[i * 2];
    if (score > bestScore) bestScore = score, best = lag;
  }
  return best;
}

class PulseAudioEngineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new PulseServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(server_->isUp());
    server_->useForThisProcess();
  }

  static PulseServer* server_;
};
PulseServer* PulseAudioEngineTest::server_ = nullptr;

TEST_F(PulseAudioEngineTest, CapturesPlayedAudioWholeInFullBlocksWithSteadyTimeStamps) {
  TestSignal signal;
  signal.write(server_->dir() + "/burst.wav");
  PulseAudioEngine engine;
  TapRecorder recorder;
  ASSERT_EQ(engine.inputNode().outputFormat(0), kTestMicFormat);
  engine.inputNode().installTap(0, kBlockFrames, kTestMicFormat, recorder.tap(), recorder.onLoss());
  engine.prepare();
  engine.start();
  ASSERT_TRUE(engine.isRunning());
  ASSERT_TRUE(server_->waitForRecordStream(5s));
  ASSERT_EQ(server_->runTool("paplay --device=feed " + server_->dir() + "/burst.wav"), 0);
  ASSERT_TRUE(recorder.waitForBlocks(recorder.size() + 6));
  engine.inputNode().removeTap(0);
  engine.stop();
  EXPECT_FALSE(engine.isRunning());

  std::vector<TapRecorder::Block> blocks = recorder.blocks();
  std::vector<float> captured;
  for (size_t i = 0; i < blocks.size(); ++i) {
    const auto& block = blocks[i];
    ASSERT_EQ(block.buffer->frameLength(), kBlockFrames) << "block " << i;
    ASSERT_EQ(block.buffer->format(), kTestMicFormat);
    EXPECT_EQ(block.time.sampleTime, i * kBlockFrames) << "block " << i;
    EXPECT_NE(block.thread, std::this_thread::get_id());
    EXPECT_EQ(block.thread, blocks[0].thread) << "one capture thread, one call at a time";
    if (i > 0) {
      EXPECT_GT(block.time.hostTimeNanos, blocks[i - 1].time.hostTimeNanos);
    }
    const float* samples = block.buffer->floatData();
    captured.insert(captured.end(), samples, samples + kBlockFrames * 2);
  }
  // A lost, repeated or reordered block inside the burst breaks the match
  // from that point on.
  size_t start = findBurst(captured, signal.burst);
  ASSERT_LE((start + TestSignal::kBurstFrames) * 2, captured.size()) << "burst cut off";
  size_t mismatches = 0;
  for (size_t i = 0; i < signal.burst.size(); ++i) {
    if (std::fabs(captured[start * 2 + i] - signal.burst[i]) > 1e-4f) ++mismatches;
  }
  EXPECT_EQ(mismatches, 0u) << "burst found at frame " << start;
}

TEST_F(PulseAudioEngineTest, TapsAreReplacedAndRemovedWithoutLateCalls) {
  PulseAudioEngine engine;
  TapRecorder first, second;
  // The taps take a while per block, so that removal often meets a call in progress.
  engine.inputNode().installTap(0, kBlockFrames, kTestMicFormat, first.tap(10ms), {});
  engine.start();
  ASSERT_TRUE(first.waitForBlocks(2));

  engine.inputNode().installTap(0, kBlockFrames, kTestMicFormat, second.tap(10ms), {});
  first.markRemoved();
  EXPECT_TRUE(first.released()) << "the replaced tap is released by installTap";
  ASSERT_TRUE(second.waitForBlocks(3));

  engine.inputNode().removeTap(0);
  second.markRemoved();
  EXPECT_TRUE(second.released());
  EXPECT_TRUE(engine.isRunning());

  // Capture goes on: a third tap receives blocks, the removed ones none.
  TapRecorder third;
  engine.inputNode().installTap(0, kBlockFrames, kTestMicFormat, third.tap(), {});
  ASSERT_TRUE(third.waitForBlocks(3));
  engine.stop();
  EXPECT_EQ(first.callsAfterRemoval(), 0);
  EXPECT_EQ(second.callsAfterRemoval(), 0);
  std::vector<TapRecorder::Block> blocks = third.blocks();
  for (size_t i = 1; i < blocks.size(); ++i) {
    EXPECT_EQ(blocks[i].time.sampleTime, blocks[i - 1].time.sampleTime + kBlockFrames);
  }
}

TEST_F(PulseAudioEngineTest, ConnectsOnlyWhenUsedAndLeavesOnStop) {
  const std::string name = "quillmarsh-dictate";
  PulseAudioEngine engine;
  EXPECT_EQ(server_->clientCount(name), 0) << "constructing the engine connects nobody";
  EXPECT_TRUE(engine.inputNode().outputFormat(0).isValid());
  EXPECT_EQ(server_->clientCount(name), 1);
  engine.start();
  engine.start();  // a second start while running changes nothing
  EXPECT_EQ(server_->clientCount(name), 1);
  engine.stop();
  engine.stop();
  auto deadline = std::chrono::steady_clock::now() + 2s;
  while (server_->clientCount(name) != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(server_->clientCount(name), 0);
}

// Starts on servers of their own (or none), with or without PULSE_SOURCE:
// a failure says what is wrong in plain words, with the server's own.
struct StartCase {
  const char* name;
  bool serverExists;
  PulseServer::Options options;
  const char* source;       // PULSE_SOURCE, or nullptr
  const char* description;  // nullptr: the start succeeds
};

class PulseAudioEngineStartTest : public ::testing::TestWithParam<StartCase> {};

TEST_P(PulseAudioEngineStartTest, StartsOnTheChosenSourceOrFailsInPlainWords) {
  const StartCase& c = GetParam();
  PulseServer server(c.options);
  ASSERT_TRUE(server.isUp());
  if (c.serverExists) {
    server.useForThisProcess();
  } else {
    server.useNoServerForThisProcess();
  }
  struct Unset {
    ~Unset() { unsetenv("PULSE_SOURCE"); }
  } unset;
  if (c.source) setenv("PULSE_SOURCE", c.source, 1);
  PulseAudioEngine engine;
  AudioFormat format = engine.inputNode().outputFormat(0);
  EXPECT_EQ(format.isValid(), c.description == nullptr);
  TapRecorder recorder;
  engine.inputNode().installTap(0, kBlockFrames, format, recorder.tap(), recorder.onLoss());
  engine.prepare();
  if (!c.description) {
    engine.start();
    EXPECT_TRUE(recorder.waitForBlocks(1));
    engine.stop();
    return;
  }
  try {
    engine.start();
    FAIL() << "start succeeded";
  } catch (const Error& error) {
    EXPECT_EQ(error.localizedDescription(), c.description);
    EXPECT_EQ(error.domain(), "pulseaudio");
  }
  EXPECT_FALSE(engine.isRunning());
  EXPECT_FALSE(recorder.released()) << "a failed start leaves the tap in place";
  engine.inputNode().removeTap(0);
  EXPECT_TRUE(recorder.released());
}

INSTANTIATE_TEST_SUITE_P(
    Pulse, PulseAudioEngineStartTest,
    ::testing::Values(
        StartCase{
            "NoServer", false, {}, nullptr, "no audio server is running (Connection refused)"},
        StartCase{"NoMicrophone",
                  true,
                  {.withMicrophone = false},
                  nullptr,
                  "no microphone: the audio server has no input source (No such entity)"},
        StartCase{
            "MonitorNamedByTheUser", true, {.withMicrophone = false}, "feed.monitor", nullptr},
        StartCase{"UnknownSourceNamed",
                  true,
                  {},
                  "nosuchmic",
                  "the audio server has no source named nosuchmic, which PULSE_SOURCE asks for "
                  "(No such entity)"},
        StartCase{"CredentialsMissing",
                  true,
                  {.requireCredentials = true},
                  nullptr,
                  "the audio server does not let this program record (Access denied)"}),
    [](const auto& info) { return std::string(info.param.name); });

// Capture lost: the tap has every block captured before the loss, then the
// loss handler is told why, once, on the capture thread; the same engine
// captures again once a server is back. A source that goes while the stream
// can move to another is no loss.
TEST(PulseAudioEngineLossTest, ALossIsToldOnceAfterTheLastBlockAndCaptureResumes) {
  struct Case {
    const char* name;
    std::function<void(PulseServer&)> disturb;
    const char* reason;  // nullptr: no loss
    bool restartServer = false;
  };
  const std::vector<Case> cases = {
      {"server killed", [](PulseServer& s) { s.kill(); },
       "the audio server has gone away (Connection terminated)", true},
      {"every source removed",
       [](PulseServer& s) {
         s.runTool(
             "pactl list short modules | grep module-null-sink | cut -f1 | "
             "xargs -n1 pactl unload-module");
       },
       "the audio server ended the recording (Entity killed)", true},
      {"source removed, stream moved",
       [](PulseServer& s) {
         s.runTool(
             "pactl list short modules | grep module-remap-source | cut -f1 | "
             "xargs -n1 pactl unload-module");
       },
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PulseServer server;
    ASSERT_TRUE(server.isUp());
    server.useForThisProcess();
    PulseAudioEngine engine;
    TapRecorder recorder;
    engine.inputNode().installTap(0, kBlockFrames, kTestMicFormat, recorder.tap(),
                                  recorder.onLoss());
    engine.start();
    ASSERT_TRUE(recorder.waitForBlocks(2));

    c.disturb(server);
    if (!c.reason) {
      EXPECT_FALSE(recorder.waitForLoss(1s));
      EXPECT_TRUE(recorder.waitForBlocks(recorder.size() + 3)) << "capture goes on";
      EXPECT_TRUE(engine.isRunning());
      engine.stop();
      continue;
    }
    ASSERT_TRUE(recorder.waitForLoss());
    std::this_thread::sleep_for(100ms);  // time for a second report or a late block
    EXPECT_FALSE(engine.isRunning());
    const std::vector<TapRecorder::Loss> losses = recorder.losses();
    ASSERT_EQ(losses.size(), 1u);
    EXPECT_EQ(losses[0].reason, c.reason);
    EXPECT_EQ(losses[0].thread, recorder.blocks()[0].thread);
    EXPECT_EQ(losses[0].blocksBefore, recorder.size()) << "no block after the loss";
    engine.inputNode().removeTap(0);
    engine.stop();

    if (c.restartServer) {
      ASSERT_TRUE(server.restart());
    }
    TapRecorder again;
    engine.inputNode().installTap(0, kBlockFrames, kTestMicFormat, again.tap(), again.onLoss());
    engine.start();
    EXPECT_TRUE(engine.isRunning());
    ASSERT_TRUE(again.waitForBlocks(2));
    EXPECT_EQ(again.blocks()[0].time.sampleTime, 0u) << "each capture counts from zero";
    engine.stop();
  }
}

}  // namespace
}  // namespace dictate
