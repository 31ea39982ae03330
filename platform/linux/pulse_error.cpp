#include "platform/linux/pulse_error.h"

#include <pulse/context.h>
#include <pulse/error.h>

namespace dictate {

Error pulseError(int code) {
  if (code == PA_OK) code = PA_ERR_UNKNOWN;
  const char* text = pa_strerror(code);
  return Error(kPulseErrorDomain, code, text ? text : "Unknown error code");
}

Error pulseError(pa_context* context) { return pulseError(pa_context_errno(context)); }

}  // namespace dictate
