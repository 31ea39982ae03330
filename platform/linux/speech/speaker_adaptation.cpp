#include "platform/linux/speech/speaker_adaptation.h"

#include <cstdlib>
#include <system_error>

namespace dictate {

std::filesystem::path adaptedModelDir() {
  const char* data = std::getenv("XDG_DATA_HOME");
  std::filesystem::path base;
  if (data != nullptr && data[0] == '/') {
    base = data;
  } else {
    const char* home = std::getenv("HOME");
    base = std::filesystem::path(home != nullptr ? home : "") / ".local/share";
  }
  return base / "quillmarsh-dictate" / "adapted-model";
}

bool forgetAdaptedModel() {
  std::error_code ec;
  return std::filesystem::remove_all(adaptedModelDir(), ec) > 0;
}

AdaptationOutcome adaptToSpeaker(const std::filesystem::path&,
                                 std::span<const EnrolmentReading>,
                                 std::span<const EnrolmentReading>) {
  AdaptationOutcome outcome;
  outcome.message = "Adaptation is not available yet.";
  return outcome;
}

}  // namespace dictate
