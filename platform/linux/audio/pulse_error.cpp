#include "platform/linux/audio/pulse_error.h"

#include <pulse/context.h>
#include <pulse/error.h>

namespace dictate {

namespace {

// What a person should read for the errors a start or a capture meets;
// anything else is the server library's text behind a general phrase.
const char* plainWords(int code) {
  switch (code) {
    case PA_ERR_CONNECTIONREFUSED:
      return "no audio server is running";
    case PA_ERR_INVALIDSERVER:
      return "the audio server address is not valid";
    case PA_ERR_ACCESS:
      return "the audio server does not let this program record";
    case PA_ERR_NOENTITY:
      // A source the user named has its own message (unknownSourceError).
      return "no microphone: the audio server has no input source";
    case PA_ERR_CONNECTIONTERMINATED:
      return "the audio server has gone away";
    case PA_ERR_KILLED:
      return "the audio server ended the recording";
    case PA_ERR_TIMEOUT:
      return "the audio server does not answer";
    case PA_ERR_INVALID:
    case PA_ERR_NOTSUPPORTED:
      return "the audio server cannot record in the format asked for";
    default:
      return "the audio server failed";
  }
}

std::string libraryText(int code) {
  const char* text = pa_strerror(code);
  return text ? text : "Unknown error code";
}

}  // namespace

Error pulseError(int code) {
  if (code == PA_OK) code = PA_ERR_UNKNOWN;
  return Error(kPulseErrorDomain, code,
               std::string(plainWords(code)) + " (" + libraryText(code) + ")");
}

Error pulseError(pa_context* context) { return pulseError(pa_context_errno(context)); }

Error unknownSourceError(const std::string& name) {
  return Error(kPulseErrorDomain, PA_ERR_NOENTITY,
               "the audio server has no source named " + name + ", which PULSE_SOURCE asks for (" +
                   libraryText(PA_ERR_NOENTITY) + ")");
}

}  // namespace dictate
