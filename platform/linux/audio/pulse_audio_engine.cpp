#include "platform/linux/audio/pulse_audio_engine.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/rtclock.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>
#include <pulse/timeval.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/linux/audio/pulse_error.h"

namespace dictate {

namespace {

constexpr const char* kClientName = "quillmarsh-dictate";
constexpr const char* kStreamName = "dictation";
constexpr uint32_t kDefaultBlockFrames = 4096;
// The server's name for its default source.
constexpr const char* kDefaultSource = "@DEFAULT_SOURCE@";
// Longest wait for the server on the main loop: a server that accepts the
// connection but never answers must not hang the program.
constexpr pa_usec_t kServerTimeoutUsec = 2 * PA_USEC_PER_SEC;

uint64_t monotonicNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class LoopLock {
 public:
  explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
  ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

// What a server query hands back to the waiting main loop thread. Written
// on the PulseAudio mainloop thread with its lock held, read under it.
struct QueryResult {
  explicit QueryResult(pa_threaded_mainloop* mainloop) : loop(mainloop) {}
  pa_threaded_mainloop* loop;
  bool done = false;
  bool found = false;
  AudioFormat format;
  bool isMonitor = false;
};

void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* data) noexcept {
  auto* result = static_cast<QueryResult*>(data);
  if (eol == 0 && info) {
    result->format = {static_cast<double>(info->sample_spec.rate), info->sample_spec.channels,
                      SampleFormat::float32};
    result->isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
    result->found = true;
    return;
  }
  result->done = true;
  pa_threaded_mainloop_signal(result->loop, 0);
}

pa_sample_format_t pulseSampleFormat(SampleFormat format) {
  return format == SampleFormat::int16 ? PA_SAMPLE_S16NE : PA_SAMPLE_FLOAT32NE;
}

// The source the user chose for this client, or nullptr for the server's
// default. The client library reads the same variable when the record
// stream connects without a name; an empty value counts as none.
const char* chosenSource() {
  const char* name = std::getenv("PULSE_SOURCE");
  return name && *name ? name : nullptr;
}

}  // namespace

// The input node is a view of the engine; its calls come from the main loop.
class PulseAudioEngine::Input final : public AudioInputNode {
 public:
  explicit Input(PulseAudioEngine& engine) : engine_(engine) {}

  AudioFormat outputFormat(int bus) override {
    return bus == 0 ? engine_.sourceFormat() : AudioFormat{};
  }
  void installTap(int bus, uint32_t bufferSize, const AudioFormat& format, TapBlock block,
                  InputLossHandler onLoss) override {
    if (bus == 0) engine_.installTap(bufferSize, format, std::move(block), std::move(onLoss));
  }
  void removeTap(int bus) override {
    if (bus == 0) engine_.removeTap();
  }

 private:
  PulseAudioEngine& engine_;
};

PulseAudioEngine::PulseAudioEngine() : input_(std::make_unique<Input>(*this)) {}

PulseAudioEngine::~PulseAudioEngine() {
  stop();
  removeTap();
}

AudioInputNode& PulseAudioEngine::inputNode() { return *input_; }

void PulseAudioEngine::prepare() {
  try {
    connect();
  } catch (const Error&) {
    // start() connects again and reports the failure.
  }
}

void PulseAudioEngine::start() {
  if (running_) return;
  // Whatever a capture that ended by itself left behind goes first.
  stopCaptureThread();
  try {
    connect();
    SourceInfo source = querySource();
    // A monitor records the speakers: fine when asked for by name, not as
    // the stand-in default of a server that has no microphone.
    if (source.isMonitor && !source.named) throw pulseError(PA_ERR_NOENTITY);
    AudioFormat format = tapFormat_.isValid() ? tapFormat_ : source.format;
    startCaptureThread();
    openStream(format, tapFrames_ ? tapFrames_ : kDefaultBlockFrames);
  } catch (...) {
    stop();
    throw;
  }
}

bool PulseAudioEngine::isRunning() { return running_; }

void PulseAudioEngine::stop() {
  running_ = false;
  disconnect();
  stopCaptureThread();
}

AudioFormat PulseAudioEngine::sourceFormat() {
  try {
    connect();
    SourceInfo source = querySource();
    return source.isMonitor && !source.named ? AudioFormat{} : source.format;
  } catch (const Error&) {
    return {};
  }
}

void PulseAudioEngine::installTap(uint32_t frames, const AudioFormat& format, TapBlock block,
                                  InputLossHandler onLoss) {
  removeTap();
  tapFrames_ = frames;
  tapFormat_ = format;
  std::lock_guard lock(tapMutex_);
  tap_ = std::move(block);
  onLoss_ = std::move(onLoss);
}

void PulseAudioEngine::removeTap() {
  // A lost capture first hands the tap what it captured before the loss.
  bool lost = false;
  {
    std::lock_guard lock(queueMutex_);
    lost = loss_.has_value();
  }
  if (lost) stopCaptureThread();
  TapBlock released;
  InputLossHandler releasedOnLoss;
  {
    std::lock_guard lock(tapMutex_);
    released = std::exchange(tap_, TapBlock{});
    releasedOnLoss = std::exchange(onLoss_, InputLossHandler{});
  }
  // They go here, outside the lock: their captures may be heavy.
}

// --- Connection -------------------------------------------------------------

void PulseAudioEngine::connect() {
  if (loop_) {
    LoopLock lock(loop_);
    if (pa_context_get_state(context_) == PA_CONTEXT_READY) return;
  }
  disconnect();
  loop_ = pa_threaded_mainloop_new();
  if (!loop_) throw pulseError(PA_ERR_INTERNAL);
  context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), kClientName);
  if (!context_) {
    disconnect();
    throw pulseError(PA_ERR_INTERNAL);
  }
  pa_context_set_state_callback(context_, &onContextState, this);
  // Never start a server: a missing one is reported, not replaced.
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
      pa_threaded_mainloop_start(loop_) < 0) {
    Error error = pulseError(context_);
    disconnect();
    throw error;
  }
  int failure = PA_OK;
  {
    LoopLock lock(loop_);
    bool answered = waitLocked([this] {
      pa_context_state_t state = pa_context_get_state(context_);
      return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    });
    if (!answered) {
      failure = PA_ERR_TIMEOUT;
    } else if (pa_context_get_state(context_) != PA_CONTEXT_READY) {
      failure = pa_context_errno(context_);
    }
  }
  if (failure != PA_OK) {
    disconnect();
    throw pulseError(failure);
  }
}

void PulseAudioEngine::disconnect() {
  if (!loop_) return;
  {
    LoopLock lock(loop_);
    closeStreamLocked();
    if (context_) {
      pa_context_set_state_callback(context_, nullptr, nullptr);
      pa_context_disconnect(context_);
    }
  }
  pa_threaded_mainloop_stop(loop_);
  if (context_) pa_context_unref(context_);
  pa_threaded_mainloop_free(loop_);
  context_ = nullptr;
  loop_ = nullptr;
  running_ = false;
}

// Waits, releasing the lock meanwhile, until `done` holds or the server
// has had kServerTimeoutUsec to answer. Returns done().
bool PulseAudioEngine::waitLocked(const std::function<bool()>& done) {
  struct Timer {
    pa_threaded_mainloop* loop;
    bool expired = false;
  } timer{loop_};
  auto expire = [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) noexcept {
    auto* t = static_cast<Timer*>(data);
    t->expired = true;
    pa_threaded_mainloop_signal(t->loop, 0);
  };
  pa_time_event* event =
      pa_context_rttime_new(context_, pa_rtclock_now() + kServerTimeoutUsec, expire, &timer);
  while (!done() && !timer.expired) pa_threaded_mainloop_wait(loop_);
  if (event) pa_threaded_mainloop_get_api(loop_)->time_free(event);
  return done();
}

PulseAudioEngine::SourceInfo PulseAudioEngine::querySource() {
  const char* named = chosenSource();
  LoopLock lock(loop_);
  QueryResult source{loop_};
  pa_operation* operation = pa_context_get_source_info_by_name(
      context_, named ? named : kDefaultSource, &onSourceInfo, &source);
  if (!operation) throw pulseError(context_);
  bool answered = waitLocked([&] { return source.done; });
  if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  if (!answered) throw pulseError(PA_ERR_TIMEOUT);
  if (!source.found) {
    int failure = pa_context_errno(context_);
    if (named && failure == PA_ERR_NOENTITY) throw unknownSourceError(named);
    throw pulseError(failure);
  }
  return {source.format, source.isMonitor, named != nullptr};
}

// --- Record stream ----------------------------------------------------------

void PulseAudioEngine::openStream(const AudioFormat& format, uint32_t frames) {
  pa_sample_spec sampleSpec{pulseSampleFormat(format.sampleFormat),
                            static_cast<uint32_t>(format.sampleRate),
                            static_cast<uint8_t>(format.channelCount)};
  if (!pa_sample_spec_valid(&sampleSpec) || format.channelCount > PA_CHANNELS_MAX) {
    throw pulseError(PA_ERR_INVALID);
  }
  LoopLock lock(loop_);
  closeStreamLocked();
  stream_ = pa_stream_new(context_, kStreamName, &sampleSpec, nullptr);
  if (!stream_) throw pulseError(context_);
  blockFrames_ = frames;
  blockBytes_ = size_t{frames} * pa_frame_size(&sampleSpec);
  blockFormat_ = format;
  pending_.reset();
  pendingBytes_ = 0;
  blockStartFrame_ = capturedFrames_ = 0;
  pa_stream_set_state_callback(stream_, &onStreamState, this);
  pa_stream_set_read_callback(stream_, &onStreamRead, this);
  // Without a fragment size the server sends about two seconds at a time.
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = static_cast<uint32_t>(blockBytes_);
  // No source name: the library puts in PULSE_SOURCE's, or else the server
  // records from its default and moves the stream when the default changes.
  if (pa_stream_connect_record(stream_, nullptr, &attr, PA_STREAM_NOFLAGS) < 0) {
    Error error = pulseError(context_);
    closeStreamLocked();
    throw error;
  }
  bool answered = waitLocked([this] {
    pa_stream_state_t state = pa_stream_get_state(stream_);
    return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
  });
  if (answered && pa_stream_get_state(stream_) == PA_STREAM_READY) {
    running_ = true;
    return;
  }
  Error error = answered ? pulseError(context_) : pulseError(PA_ERR_TIMEOUT);
  closeStreamLocked();
  throw error;
}

void PulseAudioEngine::closeStreamLocked() {
  if (!stream_) return;
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
  stream_ = nullptr;
  pending_.reset();
}

void PulseAudioEngine::onContextState(pa_context* context, void* self) noexcept {
  auto* engine = static_cast<PulseAudioEngine*>(self);
  if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
    engine->loseCapture(pa_context_errno(context));
  }
  pa_threaded_mainloop_signal(engine->loop_, 0);
}

// A stream the server kills (its source gone with nowhere to move it) or
// that fails ends here too; a moved or suspended stream stays good.
void PulseAudioEngine::onStreamState(pa_stream* stream, void* self) noexcept {
  auto* engine = static_cast<PulseAudioEngine*>(self);
  if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
    engine->loseCapture(pa_context_errno(pa_stream_get_context(stream)));
  }
  pa_threaded_mainloop_signal(engine->loop_, 0);
}

// Before capture has begun a failure is the start's to report; after it,
// once per capture, the block in assembly goes out short and the capture
// thread is told why capture ended.
void PulseAudioEngine::loseCapture(int code) {
  if (!running_.exchange(false)) return;
  try {
    if (pending_ && pendingBytes_ > 0) {
      pushBlock(static_cast<uint32_t>(pendingBytes_ / blockFormat_.bytesPerFrame()));
    }
    Error reason = pulseError(code);
    std::lock_guard lock(queueMutex_);
    loss_.emplace(std::move(reason));
  } catch (...) {
    // Out of memory: the loss goes untold, as before there was a handler.
  }
  queueReady_.notify_one();
}

void PulseAudioEngine::onStreamRead(pa_stream* stream, size_t, void* self) noexcept {
  try {
    static_cast<PulseAudioEngine*>(self)->readAvailable(stream);
  } catch (...) {
    // Out of memory: the audio in hand is lost, capture goes on.
  }
}

void PulseAudioEngine::readAvailable(pa_stream* stream) {
  while (pa_stream_readable_size(stream) > 0) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
    // A hole in the recording (no data, but a length) becomes silence, so
    // that frame counts and time stamps stay true.
    append(static_cast<const std::byte*>(data), bytes);
    pa_stream_drop(stream);
  }
}

void PulseAudioEngine::append(const std::byte* data, size_t bytes) {
  while (bytes > 0) {
    if (!pending_) {
      pending_ = PcmBuffer::make(blockFormat_, blockFrames_);
      pendingBytes_ = 0;
      blockStartFrame_ = capturedFrames_;
    }
    size_t chunk = std::min(bytes, blockBytes_ - pendingBytes_);
    if (pending_ && data) {
      std::memcpy(pending_->bytes() + pendingBytes_, data, chunk);
    } else if (pending_) {
      std::memset(pending_->bytes() + pendingBytes_, 0, chunk);
    }
    pendingBytes_ += chunk;
    capturedFrames_ += chunk / blockFormat_.bytesPerFrame();
    if (data) data += chunk;
    bytes -= chunk;
    if (pendingBytes_ == blockBytes_) pushBlock(blockFrames_);
  }
}

void PulseAudioEngine::pushBlock(uint32_t frames) {
  std::shared_ptr<PcmBuffer> block = std::move(pending_);
  pendingBytes_ = 0;
  // A block whose memory could not be had is dropped whole; the next
  // block's time stamp still counts its frames.
  if (!block) return;
  block->setFrameLength(frames);
  {
    std::lock_guard lock(queueMutex_);
    queue_.push_back({std::move(block), {blockStartFrame_, monotonicNanos()}});
  }
  queueReady_.notify_one();
}

// --- Capture thread ---------------------------------------------------------

void PulseAudioEngine::startCaptureThread() {
  if (captureThread_.joinable()) return;
  {
    std::lock_guard lock(queueMutex_);
    queue_.clear();
    loss_.reset();
    lossTold_ = false;
    quitCapture_ = false;
  }
  captureThread_ = std::thread([this] { deliverBlocks(); });
}

// After a loss the thread is not told to quit: it ends by itself once it
// has handed over what was captured before the loss.
void PulseAudioEngine::stopCaptureThread() {
  if (!captureThread_.joinable()) return;
  {
    std::lock_guard lock(queueMutex_);
    if (!loss_) quitCapture_ = true;
  }
  queueReady_.notify_one();
  captureThread_.join();
  std::lock_guard lock(queueMutex_);
  queue_.clear();
  loss_.reset();
  lossTold_ = false;
}

// Hands every block to the tap. After a loss, the reason goes to the loss
// handler first, as soon as it is known, so that the host hears of the loss
// before the words of the last blocks; then the blocks captured before it,
// so that those words still reach the tap; then the thread ends.
void PulseAudioEngine::deliverBlocks() {
  for (;;) {
    Block block;
    std::optional<Error> loss;
    {
      std::unique_lock lock(queueMutex_);
      queueReady_.wait(lock, [this] { return quitCapture_ || !queue_.empty() || loss_; });
      if (quitCapture_) return;
      if (loss_ && !lossTold_) {
        loss = loss_;
        lossTold_ = true;
      } else if (!queue_.empty()) {
        block = std::move(queue_.front());
        queue_.pop_front();
      } else {
        return;  // the loss told and every block before it handed over
      }
    }
    std::lock_guard lock(tapMutex_);
    try {
      if (loss && onLoss_) onLoss_(*loss);
      if (!loss && tap_) tap_(block.buffer, block.time);
    } catch (...) {
      // Both report their own failures; nothing may end this thread.
    }
  }
}

}  // namespace dictate
