// Turns PulseAudio error codes into the program's Error. The description
// says in plain words what is wrong and keeps the server library's own text
// in parentheses: "no audio server is running (Connection refused)". Used by
// the PulseAudio audio engine and consent service on whatever thread meets
// the failure; it keeps no state.
#pragma once

#include <string>

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

// The error for a source that the user named (in PULSE_SOURCE) and the
// server does not have; it names the source.
Error unknownSourceError(const std::string& name);

}  // namespace dictate
