// The model adapted to a speaker, with Debian's US English model and the
// real training tools: dictation uses it while it is sound and falls back to
// the speaker-independent model when it is damaged; an adaptation that does
// not read the held-back readings better is never kept.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>

#include "platform/linux/models/model_check.h"
#include "platform/linux/models/model_store.h"
#include "platform/linux/speech/pocketsphinx_service.h"
#include "platform/linux/speech/speaker_adaptation.h"
#include "tests/support/speech_audio.h"
#include "tests/support/speech_session.h"

namespace dictate {
namespace {

using namespace speechaudio;

// The user's data, cache and temporary folders in a scratch folder of the
// test's own, for the test's life.
class PrivateFolders {
 public:
  PrivateFolders() {
    for (const char* name : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "TMPDIR"}) {
      const char* value = std::getenv(name);
      saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
      fs::create_directories(scratch_.path() / name);
      setenv(name, (scratch_.path() / name).c_str(), 1);
    }
  }
  ~PrivateFolders() {
    for (const auto& [name, value] : saved_) {
      if (value) setenv(name.c_str(), value->c_str(), 1);
      else unsetenv(name.c_str());
    }
  }
  const fs::path& path() const { return scratch_.path(); }

 private:
  ScratchDir scratch_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

class SpeechAdaptationTest : public ::testing::Test {
 protected:

  // Debian's model as an adapted model: each file a link, but `damaged`.
  void placeAdaptedModel(const std::string& damaged = "") {
    for (const char* file : {"en-us/feat.params", "en-us/mdef", "en-us/means", "en-us/variances",
                             "en-us/transition_matrices", "en-us/noisedict", "en-us/sendump",
                             "en-us.lm.bin", "cmudict-en-us.dict"}) {
      fs::create_directories((adapted_ / file).parent_path());
      fs::remove(adapted_ / file);
      if (file == damaged) {
        std::string bytes = readFile(kDebianModel / file);
        std::ofstream(adapted_ / file, std::ios::binary) << bytes.substr(0, bytes.size() / 2);
      } else {
        fs::create_symlink(kDebianModel / file, adapted_ / file);
      }
    }
  }

  std::string dictate(PocketSphinxService& service, const std::vector<int16_t>& audio) {
    SpeechSession session(loop_, service);
    session.start();
    session.feed(audio, 4096);
    session.finishAndFinalize();
    return session.finalText();
  }

  PrivateFolders scratch_;  // first: the members below read its variables
  fs::path adapted_ = adaptedModelDir();
  std::shared_ptr<ModelStore> store_ = std::make_shared<ModelStore>(
      ModelStoreLocations{adapted_.parent_path(), {"/usr/share"}});
  MainLoop loop_;
};

// Each damage that the model check or the load finds: the base model reads
// instead, and the damaged folder is not tried again while it is unchanged.
TEST_F(SpeechAdaptationTest, DictationUsesASoundAdaptedModelAndFallsBackFromADamagedOne) {
  const fs::path base = kDebianModel;
  const auto options = PocketSphinxDecoder::defaultOptions();
  const auto goForward = readPcm16(kDebianTestData / "goforward.raw");
  EXPECT_EQ(loadPreferredModel(base, adapted_, options)->modelDir(), base);
  placeAdaptedModel();
  EXPECT_EQ(preferredModelDir(base, adapted_), adapted_);
  EXPECT_EQ(loadPreferredModel(base, adapted_, options)->modelDir(), adapted_);
  for (const std::string damaged : {"en-us/mdef", "en-us/means", "en-us/sendump", "en-us.lm.bin"}) {
    SCOPED_TRACE(damaged);
    placeAdaptedModel(damaged);
    PocketSphinxService service(store_, options);
    EXPECT_EQ(dictate(service, goForward), "Go forward 10 meters");
    EXPECT_EQ(preferredModelDir(base, adapted_), base);
  }
  fs::remove_all(adapted_ / "en-us");
  EXPECT_EQ(loadPreferredModel(base, adapted_, options)->modelDir(), base);
  placeAdaptedModel();
  EXPECT_EQ(loadPreferredModel(base, adapted_, options)->modelDir(), adapted_);
  EXPECT_TRUE(forgetAdaptedModel());
  EXPECT_FALSE(forgetAdaptedModel());
  EXPECT_EQ(preferredModelDir(base, adapted_), base);
}

// Readings of the background alone under their sentences teach the model
// nothing of the voice: whatever the tools make of them, the result is not
// kept, the model adapted earlier stays, and no working or staged folder is
// left.
TEST_F(SpeechAdaptationTest, AnAdaptationThatReadsNoBetterIsNotKept) {
  placeAdaptedModel();
  const std::vector<std::string> sentences = {
      "the children played outside until the rain began to fall",
      "choose a strong password and keep it somewhere safe",
      "our flight was delayed because of thick fog at the airport"};
  std::vector<EnrolmentReading> training, heldBack;
  for (const auto& text : sentences) {
    auto audio = silence(0.5);
    append(audio, speak(text, "en-us+f3", scratch_.path()));
    append(audio, silence(0.5));
    addNoiseFloor(audio, scratch_.path());
    heldBack.push_back({audio, text});
    auto background = silence(static_cast<double>(audio.size()) / kRate);
    addNoiseFloor(background, scratch_.path());
    for (int i = 0; i < 4; ++i) training.push_back({background, text});
  }
  const auto outcome = adaptToSpeaker(kDebianModel, training, heldBack);
  EXPECT_FALSE(outcome.kept) << outcome.message;
  EXPECT_EQ(outcome.heldBackWords, 30);
  EXPECT_GE(outcome.errorsAfter, outcome.errorsBefore) << outcome.message;
  EXPECT_FALSE(outcome.message.empty());
  EXPECT_TRUE(fs::is_symlink(adapted_ / "en-us" / "means"));
  std::vector<fs::path> left;
  for (const char* dir : {"TMPDIR", "XDG_DATA_HOME/quillmarsh-dictate"}) {
    for (const auto& entry : fs::directory_iterator(scratch_.path() / dir)) left.push_back(entry);
  }
  EXPECT_EQ(left, std::vector<fs::path>{adapted_});
}

}  // namespace
}  // namespace dictate
