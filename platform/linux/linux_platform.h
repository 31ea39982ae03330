// The real services on Linux: PulseAudio capture, libsoxr conversion,
// PocketSphinx recognition, the model store and consent from the audio
// server's access control.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace dictate {

std::unique_ptr<Platform> makeLinuxPlatform();

}  // namespace dictate
