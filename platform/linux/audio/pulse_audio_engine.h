// The audio engine on a PulseAudio server: its input node is the source that
// PULSE_SOURCE names, or else the server's default source, recorded through
// the asynchronous client API. The record stream is connected without a
// source name, so that the client library applies PULSE_SOURCE and a stream
// on the default follows the user's default when it changes. The engine
// is owned by the dictation engine and driven from the main loop; nothing
// connects to the server until the first call that needs it. Three threads
// meet here: the main loop thread (every public call), the PulseAudio
// mainloop thread (server callbacks, which cut the record stream into
// blocks and notice a lost server or stream) and the capture thread (which
// hands each block to the tap block, and a loss to the tap's loss handler,
// so that no tap code ever runs under the PulseAudio lock).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/audio_engine.h"

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;

namespace dictate {

class PulseAudioEngine final : public AudioEngine {
 public:
  PulseAudioEngine();
  ~PulseAudioEngine() override;
  PulseAudioEngine(const PulseAudioEngine&) = delete;
  PulseAudioEngine& operator=(const PulseAudioEngine&) = delete;

  AudioInputNode& inputNode() override;
  // Connects to the server if it can; a failure is left for start() to report.
  void prepare() override;
  // Opens the record stream in the tap's format (the source's own format
  // when no tap is installed). Throws an Error that says what is wrong in
  // plain words: a PULSE_SOURCE name the server does not know, or a default
  // source that is only a monitor of a sink (a server without a
  // microphone), fails; a monitor that PULSE_SOURCE names is recorded.
  void start() override;
  // False once stopped, and also once capture has been lost: the server
  // gone, or the stream killed or failed. A source that goes while the
  // server moves the stream to another is no loss.
  bool isRunning() override;
  // Ends capture and drops the connection; blocks captured but not yet
  // handed to the tap are discarded, but for those captured before a loss,
  // which the tap gets first. Works whatever state the server is in.
  void stop() override;

 private:
  class Input;
  struct Block {
    std::shared_ptr<PcmBuffer> buffer;
    AudioTime time;
  };
  struct SourceInfo {
    AudioFormat format;
    bool isMonitor = false;
    bool named = false;  // by PULSE_SOURCE, rather than the server's default
  };

  // Main loop thread.
  AudioFormat sourceFormat();
  void connect();
  void disconnect();
  SourceInfo querySource();
  void openStream(const AudioFormat& format, uint32_t frames);
  void closeStreamLocked();
  bool waitLocked(const std::function<bool()>& done);
  void startCaptureThread();
  void stopCaptureThread();
  void installTap(uint32_t frames, const AudioFormat& format, TapBlock block,
                  InputLossHandler onLoss);
  void removeTap();

  // PulseAudio mainloop thread, with its lock held.
  static void onContextState(pa_context* context, void* self) noexcept;
  static void onStreamState(pa_stream* stream, void* self) noexcept;
  static void onStreamRead(pa_stream* stream, size_t bytes, void* self) noexcept;
  void readAvailable(pa_stream* stream);
  void append(const std::byte* data, size_t bytes);
  void pushBlock(uint32_t frames);
  void loseCapture(int code);

  // Capture thread.
  void deliverBlocks();

  std::unique_ptr<Input> input_;

  // Created and destroyed on the main loop thread. While the mainloop
  // thread runs, the context and stream are used only under its lock.
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;

  // The tap's request, kept for the next start(): main loop thread only.
  uint32_t tapFrames_ = 0;
  AudioFormat tapFormat_;

  // Block assembly: set up on the main loop thread before the stream
  // connects, then used on the PulseAudio mainloop thread under its lock.
  uint32_t blockFrames_ = 0;
  size_t blockBytes_ = 0;
  AudioFormat blockFormat_;
  std::shared_ptr<PcmBuffer> pending_;
  size_t pendingBytes_ = 0;
  uint64_t blockStartFrame_ = 0;
  uint64_t capturedFrames_ = 0;

  // Full blocks on their way to the tap, the reason capture was lost, if it
  // was, and whether the loss handler has had it: pushed and set on the
  // PulseAudio mainloop thread, taken on the capture thread, cleared on the
  // main loop thread; all guarded by queueMutex_.
  std::mutex queueMutex_;
  std::condition_variable queueReady_;
  std::deque<Block> queue_;
  std::optional<Error> loss_;
  bool lossTold_ = false;
  bool quitCapture_ = false;
  std::thread captureThread_;  // started and joined on the main loop thread

  // The tap block and its loss handler: set and cleared on the main loop
  // thread, called on the capture thread. tapMutex_ guards them and is held
  // for the whole call, so that removing the tap waits for a call in
  // progress (and so neither may remove or replace the tap).
  std::mutex tapMutex_;
  TapBlock tap_;
  InputLossHandler onLoss_;

  // Set on the main loop thread when capture begins (under the mainloop
  // lock, so that a failure reported meanwhile is not overwritten); cleared
  // there by stop() and on the PulseAudio mainloop thread when the stream or
  // the connection fails, which makes that failure a loss only when capture
  // had begun.
  std::atomic<bool> running_{false};
};

}  // namespace dictate
