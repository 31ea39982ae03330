// Cost of converting captured audio to the analyzer's format: the libsoxr
// converter alone on 4096-frame blocks, and the whole BufferConverter call
// (which also allocates its output buffer), for 48 kHz and 44.1 kHz stereo
// float capture. Prints the median and 99th percentile in nanoseconds per
// input frame, and heap allocations per block; the goal is a median of at
// most 20 ns per frame.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <random>
#include <utility>
#include <vector>

#include "audio/buffer_converter.h"
#include "platform/linux/audio/soxr_converter.h"

// Every allocation in the process is counted.
static std::atomic<long> allocations{0};

void* operator new(size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace dictate {
namespace {

constexpr uint32_t kBlockFrames = 4096;
constexpr int kWarmUpBlocks = 50;
constexpr int kMeasuredBlocks = 3000;
constexpr double kGoalNanosPerFrame = 20;
const AudioFormat kAnalyzerFormat{16000, 1, SampleFormat::int16};

// A few distinct blocks of speech-like level noise, cycled through.
std::vector<std::shared_ptr<PcmBuffer>> captureBlocks(const AudioFormat& format) {
  std::mt19937 random(5);
  std::normal_distribution<float> sample(0.0f, 0.1f);
  std::vector<std::shared_ptr<PcmBuffer>> blocks;
  for (int b = 0; b < 8; ++b) {
    auto block = PcmBuffer::make(format, kBlockFrames);
    for (uint32_t i = 0; i < kBlockFrames * format.channelCount; ++i) {
      block->floatData()[i] = sample(random);
    }
    block->setFrameLength(kBlockFrames);
    blocks.push_back(block);
  }
  return blocks;
}

// Times `convertBlock` per block and prints the median and 99th percentile.
void measure(const char* what, const AudioFormat& from,
             const std::function<void(const std::shared_ptr<PcmBuffer>&)>& convertBlock) {
  const auto blocks = captureBlocks(from);
  std::vector<double> nanosPerFrame;
  nanosPerFrame.reserve(kMeasuredBlocks);
  long allocationsBefore = 0;
  for (int i = 0; i < kWarmUpBlocks + kMeasuredBlocks; ++i) {
    const auto& block = blocks[i % blocks.size()];
    if (i == kWarmUpBlocks) allocationsBefore = allocations.load();
    const auto begin = std::chrono::steady_clock::now();
    convertBlock(block);
    const auto end = std::chrono::steady_clock::now();
    if (i >= kWarmUpBlocks) {
      nanosPerFrame.push_back(std::chrono::duration<double, std::nano>(end - begin).count() /
                              kBlockFrames);
    }
  }
  const double allocationsPerBlock =
      static_cast<double>(allocations.load() - allocationsBefore) / kMeasuredBlocks;
  std::sort(nanosPerFrame.begin(), nanosPerFrame.end());
  const double median = nanosPerFrame[nanosPerFrame.size() / 2];
  const double p99 = nanosPerFrame[nanosPerFrame.size() * 99 / 100];
  std::printf(
      "%-15s %s -> 16 kHz int16: median %5.2f ns/frame, p99 %5.2f ns/frame, %.1f allocations/block "
      "%s\n",
      what, from.toString().c_str(), median, p99, allocationsPerBlock,
      median <= kGoalNanosPerFrame ? "(goal met)" : "(OVER GOAL)");
}

void benchPlatformConverter(const AudioFormat& from) {
  auto converter = SoxrConverter::make(from, kAnalyzerFormat);
  const auto capacity =
      static_cast<uint32_t>(std::ceil(kBlockFrames * kAnalyzerFormat.sampleRate / from.sampleRate));
  auto output = PcmBuffer::make(kAnalyzerFormat, capacity);
  measure("soxr converter", from, [&](const std::shared_ptr<PcmBuffer>& block) {
    bool given = false;
    std::optional<Error> error;
    converter->convert(*output, error, [&](uint32_t, ConverterInputStatus& status) {
      status = std::exchange(given, true) ? ConverterInputStatus::noDataNow
                                          : ConverterInputStatus::haveData;
      return status == ConverterInputStatus::haveData ? block : nullptr;
    });
  });
}

void benchBufferConverter(const AudioFormat& from) {
  BufferConverter converter(std::make_shared<SoxrConverterFactory>());
  measure("BufferConverter", from, [&](const std::shared_ptr<PcmBuffer>& block) {
    converter.convertBuffer(block, kAnalyzerFormat);
  });
}

}  // namespace
}  // namespace dictate

int main() {
  using dictate::AudioFormat;
  using dictate::SampleFormat;
  for (double rate : {48000.0, 44100.0}) {
    const AudioFormat capture{rate, 2, SampleFormat::float32};
    dictate::benchPlatformConverter(capture);
    dictate::benchBufferConverter(capture);
  }
  return 0;
}
