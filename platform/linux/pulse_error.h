// Turns PulseAudio error codes into the program's Error, whose description
// is the server library's own text ("Connection refused", "Access denied",
// ...). Used by the PulseAudio audio engine and consent service on whatever
// thread meets the failure; it keeps no state.
#pragma once

#include "platform/error.h"

struct pa_context;

namespace dictate {

inline constexpr const char* kPulseErrorDomain = "pulseaudio";

// An Error for PulseAudio error code `code` (a PA_ERR_* value). Code 0,
// which means no error, is reported as PA_ERR_UNKNOWN so that a failure
// never reads "OK".
Error pulseError(int code);

// The last error of `context`, as above. Call with the context's mainloop
// lock held when the context runs on a threaded mainloop.
Error pulseError(pa_context* context);

}  // namespace dictate
