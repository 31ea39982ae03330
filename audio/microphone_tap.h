// The tap block that carries microphone audio into the analyzer. The engine
// makes one per dictation start and installs it on input bus 0; the audio
// engine then calls it on its capture thread, one buffer at a time, until the
// tap is removed.
//
// The block owns copies of everything it uses (the engine's converter, the
// analyzer's format, the input stream's producer handle) and reads no engine
// field, so the engine needs no lock against the capture thread.
#pragma once

#include <memory>

#include "audio/buffer_converter.h"
#include "platform/audio_engine.h"
#include "platform/speech.h"

namespace dictate {

// Frames per captured block asked of the input node.
inline constexpr uint32_t kTapBufferSize = 4096;

// A block that converts each captured buffer to `analyzerFormat` with
// `converter` and yields it into `input`, also when it holds no frames. A
// buffer that fails to convert is dropped with the diagnostic
// "buffer convert failed: " + the error's description. The time stamp is
// ignored. Runs on the capture thread; never throws, never waits for the
// main loop.
TapBlock makeMicrophoneTapBlock(std::shared_ptr<BufferConverter> converter,
                                const AudioFormat& analyzerFormat,
                                AnalyzerInputStream::Continuation input);

}  // namespace dictate
