// The speech service's start failures, the text the host reads after
// "start failed: ": without a model, and (with Debian's model, damaged) for
// every model file that is cut short or overwritten; and the casing of results.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <random>

#include "platform/linux/model_check.h"
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

// Debian's model in the user's store, each file a symbolic link but the
// damaged one; the check's record goes to a cache folder of the test's own.
class SpeechDamagedModelTest : public PocketSphinxServiceTest {
 protected:
  static constexpr const char* kFiles[] = {
      "en-us/feat.params",         "en-us/mdef",      "en-us/means",   "en-us/variances",
      "en-us/transition_matrices", "en-us/noisedict", "en-us/sendump", "en-us.lm.bin",
      "cmudict-en-us.dict"};

  void SetUp() override {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    savedCache_ = cache ? std::optional<std::string>(cache) : std::nullopt;
    setenv("XDG_CACHE_HOME", (scratch_.path() / "cache").c_str(), 1);
  }
  void TearDown() override {
    setModelChecker({});
    if (savedCache_)
      setenv("XDG_CACHE_HOME", savedCache_->c_str(), 1);
    else
      unsetenv("XDG_CACHE_HOME");
  }

  fs::path model() const { return store_->userModelDir(Locale("en-US")); }
  void linkModel() {
    for (const char* name : kFiles) {
      fs::create_directories((model() / name).parent_path());
      fs::remove(model() / name);
      fs::create_symlink(speechaudio::kDebianModel / name, model() / name);
    }
  }
  // The file cut to half its length, or the same length of random bytes.
  void damage(const char* name, bool cut) {
    std::ifstream in(speechaudio::kDebianModel / name, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (cut) {
      bytes.resize(bytes.size() / 2);
    } else {
      std::mt19937 random(7);
      for (char& c : bytes) c = static_cast<char>(random());
    }
    fs::remove(model() / name);
    std::ofstream(model() / name, std::ios::binary) << bytes;
  }
  std::string startFailure() {
    MainLoop loop;
    speechaudio::SpeechSession session(loop, service_, Locale("en-US"));
    try {
      session.start();
    } catch (const Error& e) {
      return e.localizedDescription();
    }
    session.finishAndFinalize();
    return "";
  }

  std::optional<std::string> savedCache_;
};

TEST_F(SpeechDamagedModelTest, EveryDamagedFileFailsTheStartAndTheRepairedModelStarts) {
  const std::string gaveUp = " (exit status 1)";
  struct Case {
    const char* file;
    bool cut;
    std::string expected;
  };
  const Case cases[] = {
      {"en-us/feat.params", true,
       "en-us/feat.params does not hold one option and its value a line"},
      {"en-us/feat.params", false,
       "en-us/feat.params does not hold one option and its value a line"},
      {"en-us/mdef", true, "en-us/mdef is shorter than its header says"},
      {"en-us/mdef", false, "the decoder library gave up reading en-us/mdef" + gaveUp},
      {"en-us/means", true, "the decoder library refused it at en-us/means"},
      {"en-us/means", false, "the decoder library gave up reading en-us/means" + gaveUp},
      {"en-us/variances", true, "the decoder library refused it at en-us/variances"},
      {"en-us/variances", false, "the decoder library gave up reading en-us/variances" + gaveUp},
      {"en-us/transition_matrices", true,
       "the decoder library gave up reading en-us/transition_matrices" + gaveUp},
      {"en-us/transition_matrices", false,
       "the decoder library gave up reading en-us/transition_matrices" + gaveUp},
      {"en-us/noisedict", true,
       "en-us/noisedict does not hold one filler word and its phone a line"},
      {"en-us/noisedict", false,
       "en-us/noisedict does not hold one filler word and its phone a line"},
      {"en-us/sendump", true, "en-us/sendump is shorter than its header says"},
      {"en-us/sendump", false, "en-us/sendump is shorter than its header says"},
      // The library reads past the end of a language model cut short: the
      // AddressSanitizer build's checker ends there, with exit status 1.
      {"en-us.lm.bin", true, "en-us.lm.bin"},
      {"en-us.lm.bin", false, "the decoder library refused it at en-us.lm.bin"},
      {"cmudict-en-us.dict", true, "cmudict-en-us.dict lacks common words"},
      {"cmudict-en-us.dict", false, "cmudict-en-us.dict lacks common words"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.file) + (c.cut ? " cut short" : " overwritten"));
    linkModel();
    damage(c.file, c.cut);
    const std::string failure = startFailure();
    EXPECT_EQ(failure.rfind("speech model in " + model().string() + " is damaged: ", 0), 0u);
    EXPECT_NE(failure.find(c.expected), std::string::npos) << failure;
    EXPECT_FALSE(service_.hasLoadedDecoder());
  }
  EXPECT_FALSE(fs::exists(scratch_.path() / "cache" / "quillmarsh-dictate" / "checked-models"));

  // Repaired, the model passes and is remembered: the next load does not
  // run the checker, until a file changes.
  linkModel();
  EXPECT_EQ(startFailure(), "");
  EXPECT_TRUE(service_.hasLoadedDecoder());
  setModelChecker(scratch_.path() / "no-checker");
  EXPECT_NO_THROW(PocketSphinxDecoder::load(model()));
  damage("en-us/noisedict", true);
  std::ofstream(model() / "en-us" / "noisedict", std::ios::trunc)
      << "<s> SIL\n</s> SIL\n<sil> SIL\n";
  EXPECT_EQ(checkModelOnce(model(), PocketSphinxDecoder::defaultOptions()),
            "speech model in " + model().string() + " could not be checked: cannot run " +
                (scratch_.path() / "no-checker").string() + ": No such file or directory");
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
