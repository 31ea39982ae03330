// The enrolment program, installed beside the dictation helper:
//
//     quillmarsh-dictate-enrol [--sentences FILE]
//     quillmarsh-dictate-enrol --forget
//
// Adapts the speech model to the user's voice from sentences read aloud
// (enrolment.h), or deletes the adapted model so that the helper uses the
// speaker-independent one again. The exit status is an EnrolmentStatus.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string_view>

#include "app/enrol/enrolment.h"
#include "app/platform_module.h"
#include "platform/linux/speech/speaker_adaptation.h"

namespace {

constexpr const char* kUsage =
    "usage: quillmarsh-dictate-enrol [--sentences FILE]\n"
    "       quillmarsh-dictate-enrol --forget\n"
    "\n"
    "Adapts quillmarsh-dictate's speech model to your voice: read the sentences\n"
    "shown into the microphone that dictation uses (the audio server's default\n"
    "source, or the one PULSE_SOURCE names). Later dictations use the adapted\n"
    "model when it reads sentences held back from the adaptation better than\n"
    "the speaker-independent model.\n"
    "\n"
    "  --sentences FILE  read these sentences (one a line) instead of ours\n"
    "  --forget          delete the adapted model: dictation uses the\n"
    "                    speaker-independent model again\n"
    "  --help            show this text\n"
    "\n"
    "On a terminal each sentence is shown and recorded in turn; without one the\n"
    "sentences are recorded one after another without prompts, and progress is\n"
    "written to standard error. Exit status: 0 adapted model kept, 1 failed,\n"
    "2 bad arguments, 3 adapted model not better (not kept), 4 stopped.\n";

// The sentences we ship: in the data folder of the prefix the program is
// installed in, or in the source tree for a build run where it was built.
std::filesystem::path ourSentences() {
  std::error_code ec;
  auto installed = std::filesystem::path(dictate::executableFolder()) / DICTATE_DATA_DIR_FROM_BIN /
                   "enrolment_sentences.txt";
  if (std::filesystem::exists(installed, ec)) return installed;
  return DICTATE_SOURCE_DATA_DIR "/enrolment_sentences.txt";
}

}  // namespace

int main(int argc, char** argv) {
  dictate::EnrolmentSettings settings{ourSentences(), ::isatty(STDIN_FILENO) == 1};
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--forget" && argc == 2) {
      std::fputs(dictate::forgetAdaptedModel()
                     ? "The adapted speech model was deleted: dictation uses the "
                       "speaker-independent model again.\n"
                     : "There was no adapted speech model: dictation uses the "
                       "speaker-independent model.\n",
                 stderr);
      return 0;
    }
    if (arg == "--sentences" && i + 1 < argc) {
      settings.sentencesFile = argv[++i];
      continue;
    }
    std::fprintf(stderr, "quillmarsh-dictate-enrol: unknown or incomplete argument: %s\n%s",
                 argv[i], kUsage);
    return dictate::kEnrolmentUsage;
  }
  return dictate::runEnrolment(settings);
}
