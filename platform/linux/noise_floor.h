// Raises the noise floor of a quiet input before it is decoded.
//
// The acoustic model was made from recordings with some background noise
// in them, and it recognises speech over a near-silent floor (a quiet room,
// a microphone with noise suppression, synthetic speech) worse than the
// same speech over a modest hiss: the spectra of the quietest frames, and
// with them the pauses and weak consonants, look unlike anything it was
// made from. NoiseFloor measures the input's own floor and its speech level
// and, where the floor is far below the speech, adds pink noise to bring it
// nearer; an input that is already noisy enough is left as it is.
//
// Not thread-safe; the decoder's thread uses it.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace dictate {

class NoiseFloor {
 public:
  NoiseFloor() { reset(); }

  // Adds noise to 16 kHz `samples` in place. The amount is decided per
  // 10 ms frame from the input heard before it, so any slicing of the same
  // audio gives the same output.
  void raise(std::span<int16_t> samples);
  // Forgets the measured levels and restarts the noise from its seed: the
  // next stream may come from another microphone, and the same audio then
  // comes out the same way.
  void reset();

 private:
  void endFrame();
  float nextPink();

  // Input power of the frame being measured.
  double framePower_ = 0;
  int frameFill_ = 0;
  // Minimum frame power of each recent block of frames; the floor is the
  // least of them.
  std::array<double, 4> blockMinima_{};
  size_t blocksSeen_ = 0;
  double blockMinimum_ = 0;
  int blockFill_ = 0;
  double speechPower_ = 0;
  // The RMS of the noise being added, in sample units.
  double addedRms_ = 0;
  // Noise source: a linear congruential generator and the pink filter's state.
  uint32_t seed_ = 0;
  std::array<float, 3> pinkState_{};
};

}  // namespace dictate
