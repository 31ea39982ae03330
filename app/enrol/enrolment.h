// An enrolment: the user reads sentences aloud into the microphone the
// dictation helper uses, each reading is checked (speech, not clipped, the
// sentence's words), and the speech model is adapted to the readings
// (speaker_adaptation.h). Every fourth reading is held back from the
// adaptation to judge it: the adapted model is kept only when it reads those
// better than the speaker-independent model.
//
// On a terminal the enrolment is interactive: it shows each sentence and
// the level while recording, and the user may say a sentence again. Without
// one it is scripted: it records the sentences one after another without
// prompts, skips a reading that cannot be used, gives up after three in a
// row, and writes its progress as plain lines. All text goes to standard
// error. Runs on the calling thread, blocking.
#pragma once

#include <filesystem>

namespace dictate {

struct EnrolmentSettings {
  std::filesystem::path sentencesFile;  // one sentence a line; '#' begins a comment line
  bool interactive = false;
};

// The enrolment's exit statuses.
enum EnrolmentStatus : int {
  kEnrolmentKept = 0,     // the adapted model was written; later starts use it
  kEnrolmentFailed = 1,   // no model, no microphone, too few usable readings, ...
  kEnrolmentUsage = 2,    // bad arguments
  kEnrolmentNotKept = 3,  // adapted, but it read the held-back sentences no better
  kEnrolmentStopped = 4,  // the user stopped it
};

EnrolmentStatus runEnrolment(const EnrolmentSettings& settings);

}  // namespace dictate
