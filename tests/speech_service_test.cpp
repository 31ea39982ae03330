// The speech service's answers that need no loaded model: the start
// failures the host reads after "start failed: ", and the casing of results.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/linux/model_store.h"
#include "platform/linux/pocketsphinx_decoder.h"
#include "platform/linux/pocketsphinx_service.h"
#include "platform/linux/word_casing.h"
#include "tests/support/speech_audio.h"
#include "tests/support/speech_session.h"

namespace dictate {
namespace {

namespace fs = std::filesystem;
using speechaudio::ScratchDir;

class PocketSphinxServiceTest : public ::testing::Test {
 protected:
  fs::path userStore() const { return scratch_.path() / "store"; }

  ScratchDir scratch_;
  std::shared_ptr<ModelStore> store_ =
      std::make_shared<ModelStore>(ModelStoreLocations{userStore(), {scratch_.path() / "system"}});
  PocketSphinxService service_{store_};
};

TEST_F(PocketSphinxServiceTest, StartFailuresSayWhatIsMissing) {
  struct Case {
    const char* name;
    const char* locale;
    std::string expected;
  };
  const Case cases[] = {
      {"no model", "en-US", "the speech model for en-US is not installed"},
      {"other locale", "de-DE", "no speech model exists for de-DE; only en-US is supported"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MainLoop loop;
    speechaudio::SpeechSession session(loop, service_, Locale(c.locale));
    try {
      session.start();
      ADD_FAILURE() << "started";
    } catch (const Error& e) {
      EXPECT_EQ(e.localizedDescription(), c.expected);
    }
    // A started-never analyzer still ends its results when finalised.
    session.finishAndFinalize();
    EXPECT_TRUE(session.endedAtFinalize());
    EXPECT_TRUE(session.results().empty());
  }
}

TEST_F(PocketSphinxServiceTest, IncompleteModelIsReportedBeforeTheLibrarySeesIt) {
  const fs::path model = scratch_.path() / "model";
  fs::create_directories(model / "en-us");
  std::ofstream(model / "en-us" / "mdef") << "x";
  try {
    PocketSphinxDecoder::load(model);
    ADD_FAILURE() << "loaded";
  } catch (const Error& e) {
    EXPECT_EQ(e.localizedDescription(),
              "speech model in " + model.string() + " is incomplete: en-us/means is missing");
  }
}

TEST(WordCasingTest, WritesIAndCapitalisedOnlyWordsAsPeopleDo) {
  struct Case {
    const char* said;
    const char* written;
    const char* withoutWordList;
  };
  const Case cases[] = {
      {"i'm flying to boston on friday", "I'm flying to Boston on Friday",
       "I'm flying to boston on friday"},
      {"i said i'll i've i'd", "I said I'll I've I'd", "I said I'll I've I'd"},
      {"chicago in january and sunday's game", "Chicago in January and Sunday's game",
       "chicago in january and sunday's game"},
      // The list also has these in lower case: they stay as they are.
      {"bill may march in august it is", "bill may march in august it is",
       "bill may march in august it is"},
      {"go forward ten meters", "go forward ten meters", "go forward ten meters"},
      {"", "", ""},
  };
  WordCasing casing(WordCasing::kSystemWordList);
  WordCasing withoutList("/nonexistent/american-english");
  for (const auto& c : cases) {
    EXPECT_EQ(casing.apply(c.said), c.written);
    EXPECT_EQ(withoutList.apply(c.said), c.withoutWordList);
  }
}

}  // namespace
}  // namespace dictate
