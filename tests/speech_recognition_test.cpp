// Real recognition through the PocketSphinx analyzer with Debian's US English
// model, fed in capture-sized blocks with results read on the loop as the
// engine reads them; the adaptation a later process starts from; the start
// failures the host reads after "start failed: ", for a missing model and
// for every model file cut short or overwritten; and the casing of results.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <fstream>
#include <random>

#include "platform/linux/speech/decoder_adaptation.h"
#include "platform/linux/speech/dictation_formatter.h"
#include "platform/linux/models/model_check.h"
#include "platform/linux/models/model_store.h"
#include "platform/linux/speech/pocketsphinx_decoder.h"
#include "platform/linux/speech/pocketsphinx_service.h"
#include "tests/support/speech_audio.h"
#include "tests/support/speech_session.h"

namespace dictate {
namespace {

using namespace speechaudio;
constexpr size_t kBlock = 4096;  // frames, as the microphone tap delivers them

// What `f` threw, as the host reads it; "" when it did not throw.
template <typename F>
std::string failureOf(F f) {
  try {
    f();
  } catch (const Error& e) {
    return e.localizedDescription();
  }
  return "";
}

class SpeechRecognitionTest : public ::testing::Test {
 protected:
  // One whole dictation of `samples`; input ends right after the last sample.
  std::unique_ptr<SpeechSession> dictate(PocketSphinxService& service,
                                         std::span<const int16_t> samples, size_t block = kBlock) {
    auto session = std::make_unique<SpeechSession>(loop_, service);
    session->start();
    session->feed(samples, block);
    session->finishAndFinalize();
    return session;
  }

  ScratchDir scratch_;
  std::shared_ptr<ModelStore> store_ =
      std::make_shared<ModelStore>(ModelStoreLocations{scratch_.path() / "store", {"/usr/share"}});
  MainLoop loop_;
};

TEST_F(SpeechRecognitionTest,
       ResultsAllArriveBeforeTheFinalisationReturnsAndDictationsShareADecoder) {
  const auto audio = readPcm16(kDebianTestData / "goforward.raw");
  // A fresh decoder for each block size: audio held back between blocks is
  // neither lost nor decoded twice.
  PocketSphinxService service(store_);  // keeps the decoder of the last run
  for (size_t block : {size_t{160}, size_t{1001}, kBlock}) {
    PocketSphinxService fresh(store_);
    auto session = dictate(block == kBlock ? service : fresh, audio, block);
    EXPECT_EQ(session->finalText(), "Go forward 10 meters") << block;
    ASSERT_GE(session->results().size(), 2u);
    EXPECT_FALSE(session->results().front().result.isFinal);
    EXPECT_EQ(session->count(true), 1u);
    EXPECT_TRUE(session->failure().empty()) << session->failure();
    EXPECT_EQ(session->atFinalize(), std::pair(session->results().size(), true));
  }
  // The next dictation takes the decoder the last one gave back.
  ASSERT_TRUE(service.hasLoadedDecoder());
  SpeechSession second(loop_, service);
  second.start();
  EXPECT_FALSE(service.hasLoadedDecoder()) << "the running dictation holds it";
  second.feed(audio, kBlock);
  second.abandon();  // joins the worker
  size_t delivered = second.results().size();
  loop_.poll();
  EXPECT_EQ(second.results().size(), delivered);
  EXPECT_FALSE(second.ended());
  EXPECT_TRUE(service.hasLoadedDecoder());
  // The decoder went back usable. Input that ends with the last word gets
  // its final from the finalisation alone.
  auto cut = dictate(service, std::span(audio).first(size_t(2.35 * kRate)));
  EXPECT_TRUE(cut->finalText().ends_with("meters")) << cut->finalText();
  EXPECT_EQ(cut->count(true), 1u);

  // Audio in another format fails the results; what the capture goes on
  // delivering until "stop" is not queued, as nothing would read it.
  SpeechSession other(loop_, service);
  other.start();
  other.feedBuffer(PcmBuffer::make({48000, 1, SampleFormat::float32}, 4096));
  ASSERT_TRUE(loop_.runUntil([&] { return other.ended(); }, std::chrono::seconds(10)));
  EXPECT_EQ(other.feedBuffer(PcmBuffer::make({16000, 1, SampleFormat::int16}, 4096)),
            AnalyzerInputStream::YieldResult::terminated);
  other.finishAndFinalize();
  EXPECT_NE(other.failure().find("cannot be analysed"), std::string::npos) << other.failure();
  EXPECT_TRUE(other.atFinalize()->second);
}

// Speech that never pauses (a steady noise, a monologue) ends no utterance
// and the mean that follows it stays finite. The library writes nothing to
// standard error, which belongs to the program's diagnostics.
TEST_F(SpeechRecognitionTest, EndlessSpeechEndsNoUtteranceAndTheLibraryIsSilent) {
  const auto log = scratch_.path() / "stderr";
  int savedStderr = dup(2), fd = open(log.c_str(), O_WRONLY | O_CREAT, 0600);
  dup2(fd, 2);
  close(fd);
  auto decoder = PocketSphinxDecoder::load(kDebianModel);
  std::vector<TranscriptionResult> results;
  decoder->beginStream();
  auto speech = readPcm16(kDebianTestData / "goforward.raw");
  speech = std::vector<int16_t>(speech.begin() + 9 * kRate / 20, speech.begin() + 47 * kRate / 20);
  for (int i = 0; i < 6; ++i) decoder->feed(speech, results);
  dup2(savedStderr, 2);
  close(savedStderr);
  EXPECT_EQ(fs::file_size(log), 0u);
  EXPECT_FALSE(results.empty());
  EXPECT_EQ(std::count_if(results.begin(), results.end(), [](auto& r) { return r.isFinal; }), 0);
  const auto mean = decoder->adaptation();
  EXPECT_TRUE(!mean.empty() && std::all_of(mean.begin(), mean.end(), [](float v) {
    return std::isfinite(v);
  }));
  decoder->endStream(results);
}

// A higher voice is read through the stretched filter bank, to which the
// utterance switches a second into it: its words are neither lost nor
// doubled, and a deep voice after it is read as before.
TEST_F(SpeechRecognitionTest, AHigherVoiceSwitchesItsUtteranceAndTheNextVoiceIsReadAfresh) {
  auto audio = silence(0.5);
  append(audio, speak("please call me back when you get this message", "en-us+f4", scratch_.path()));
  append(audio, silence(1.0));
  append(audio, readPcm16(kDebianTestData / "goforward.raw"));
  addNoiseFloor(audio, scratch_.path());
  PocketSphinxService service(store_);
  auto session = dictate(service, audio);
  std::vector<std::string> finals;
  for (const auto& r : session->results())
    if (r.result.isFinal) finals.push_back(r.result.text);
  ASSERT_EQ(finals.size(), 2u);
  // The synthetic woman's words are read only in part, and which ones
  // depends on the mean the decoder starts from; a switch that searched
  // the first second twice would add three or four words.
  const auto words = std::count(finals[0].begin(), finals[0].end(), ' ') + 1;
  EXPECT_TRUE(words >= 6 && words <= 10 && finals[0].find(" when you get ") != std::string::npos)
      << "[" << finals[0] << "]";
  EXPECT_EQ(finals[1], " go forward 10 meters");
}

// Marks said between words are heard as marks and written as people write
// them, across the finals of a dictation; a mark said alone is a final of
// its own.
TEST_F(SpeechRecognitionTest, SpokenPunctuationIsWrittenAsMarks) {
  auto audio = silence(0.5);
  for (const char* said : {"we met on friday comma and then we went home period", "new paragraph",
                           "thanks again for your help exclamation mark"}) {
    append(audio, speak(said, "flite:rms", scratch_.path()));
    append(audio, silence(1.0));
  }
  addNoiseFloor(audio, scratch_.path());
  PocketSphinxService service(store_);
  auto session = dictate(service, audio);
  const std::string text = session->finalText();
  std::string marks;
  for (char c : text)
    if (std::string_view(",.!\n").find(c) != std::string_view::npos) marks += c;
  EXPECT_EQ(marks, ",.\n\n!") << text;
  EXPECT_TRUE(std::isupper(text[text.find('\n') + 2])) << text;
  EXPECT_TRUE(std::any_of(session->results().begin(), session->results().end(), [](const auto& r) {
    return r.result.isFinal && r.result.text == "\n\n";
  }));
}

// A later process starts from the adaptation an earlier one saved: its first
// utterance reads as a warm decoder's. Missing, damaged or foreign files are
// ignored; an unwritable folder costs only the saving.
TEST_F(SpeechRecognitionTest, SavedAdaptationMakesALaterProcessStartWarm) {
  const auto dir = scratch_.path() / "adaptation";
  auto audio = silence(0.5);
  append(audio, speak("please send the report to the team before the meeting on friday morning",
                      "en-us", scratch_.path()));
  append(audio, silence(1.0));
  addNoiseFloor(audio, scratch_.path());
  PocketSphinxService earlier(store_, PocketSphinxDecoder::defaultOptions(), dir);
  const std::string firstEver = dictate(earlier, audio)->finalText();  // adapts, and saves
  PocketSphinxService later(store_, PocketSphinxDecoder::defaultOptions(), dir);
  const std::string laterText = dictate(later, audio)->finalText(),
                    warm = dictate(earlier, audio)->finalText();
  EXPECT_EQ(laterText, warm);
  // The mean adapts within the first utterance: its second half reads right.
  EXPECT_TRUE(firstEver.ends_with("before the meeting on Friday morning")) << firstEver;
  auto decoder = PocketSphinxDecoder::load(kDebianModel);
  const auto file = dir / adaptationKey(kDebianModel);
  std::string saved;
  std::getline(std::ifstream(file), saved, '\0');
  std::string foreign = saved;
  foreign.replace(foreign.find("en-us-"), 22, "en-us-0123456789abcdef");
  for (const std::string& content :
       {std::string(), saved.substr(0, saved.size() / 2), std::string(100, '\xff'), foreign,
        "quillmarsh-dictate adaptation 1\nmodel " + adaptationKey(kDebianModel) + "\ncmn 3 1 2 3\n",
        saved.substr(0, saved.rfind(' ')) + " nan\n", saved + " 1\n"}) {
    SCOPED_TRACE(content);
    std::ofstream(file, std::ios::trunc) << content;
    EXPECT_FALSE(restoreAdaptation(*decoder, dir));
    EXPECT_TRUE(decoder->adaptation().empty());
  }
  EXPECT_FALSE(saveAdaptation(file / "not-a-folder", kDebianModel, std::vector<float>(13, 1.0f)));
  fs::remove(file);
  EXPECT_FALSE(restoreAdaptation(*decoder, dir));
  std::ofstream(file) << saved;
  EXPECT_TRUE(restoreAdaptation(*decoder, dir));
  EXPECT_FALSE(decoder->adaptation().empty());
}

// Debian's model in the user's store, each file a symbolic link but the
// damaged one; the check's record goes to a cache folder of the test's own.
TEST_F(SpeechRecognitionTest, EveryDamagedModelFileFailsTheStartUntilRepaired) {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  const std::string savedCache = cache ? cache : "";  // empty is as unset
  setenv("XDG_CACHE_HOME", (scratch_.path() / "cache").c_str(), 1);
  const fs::path model = store_->userModelDir(Locale("en-US"));
  PocketSphinxService service(store_);
  auto startFailure = [&] { return failureOf([&] { SpeechSession(loop_, service).start(); }); };
  // What the failure says of each file cut to half its length, or overwritten
  // with as many random bytes; % stands for the file.
  const std::string gaveUp = "the decoder library gave up reading % (exit status 1)",
                    refused = "the decoder library refused it at %",
                    shorter = "% is shorter than its header says",
                    optionLines = "% does not hold one option and its value a line",
                    fillerLines = "% does not hold one filler word and its phone a line";
  const std::vector<std::array<std::string, 3>> cases = {
      {"en-us/feat.params", optionLines, optionLines},
      {"en-us/mdef", shorter, gaveUp},
      {"en-us/means", refused, gaveUp},
      {"en-us/variances", refused, gaveUp},
      {"en-us/transition_matrices", gaveUp, gaveUp},
      {"en-us/noisedict", fillerLines, fillerLines},
      {"en-us/sendump", shorter, shorter},
      // The library reads past the end of a language model cut short: the
      // AddressSanitizer build's checker ends there, with exit status 1.
      {"en-us.lm.bin", "%", refused},
      {"cmudict-en-us.dict", "% lacks common words", "% lacks common words"}};
  auto linkModel = [&] {
    for (const auto& [file, ifCut, ifOverwritten] : cases) {
      fs::create_directories((model / file).parent_path());
      fs::remove(model / file);
      fs::create_symlink(kDebianModel / file, model / file);
    }
  };
  for (const auto& [file, ifCut, ifOverwritten] : cases) {
    for (bool cut : {true, false}) {
      SCOPED_TRACE(file + (cut ? " cut short" : " overwritten"));
      linkModel();
      std::string bytes = readFile(kDebianModel / file);
      std::mt19937 random(7);
      if (cut) bytes.resize(bytes.size() / 2);
      for (char& c : bytes) c = cut ? c : static_cast<char>(random());
      fs::remove(model / file);
      std::ofstream(model / file, std::ios::binary) << bytes;
      const std::string failure = startFailure();
      EXPECT_EQ(failure.rfind("speech model in " + model.string() + " is damaged: ", 0), 0u);
      std::string expected = cut ? ifCut : ifOverwritten;
      if (size_t at = expected.find('%'); at != std::string::npos) expected.replace(at, 1, file);
      EXPECT_NE(failure.find(expected), std::string::npos) << failure;
      EXPECT_FALSE(service.hasLoadedDecoder());
    }
  }
  EXPECT_FALSE(fs::exists(scratch_.path() / "cache" / "quillmarsh-dictate" / "checked-models"));
  // Repaired, the model passes and is remembered: the next load does not
  // run the checker (which then cannot run), until a file changes; another
  // checker checks again.
  const fs::path checker = scratch_.path() / "checker";
  fs::copy_file(modelChecker(), checker);
  setModelChecker(checker);
  linkModel();
  EXPECT_EQ(startFailure(), "");
  EXPECT_TRUE(service.hasLoadedDecoder());
  fs::permissions(checker, fs::perms::owner_read);
  EXPECT_NO_THROW(PocketSphinxDecoder::load(model));
  auto cannotRun = [&](const fs::path& checker) {
    return "speech model in " + model.string() + " could not be checked: cannot run " +
           checker.string() + ": Permission denied";
  };
  const fs::path other = scratch_.path() / "other-checker";
  fs::copy_file(checker, other);
  setModelChecker(other);
  EXPECT_EQ(checkModelOnce(model, PocketSphinxDecoder::defaultOptions()), cannotRun(other));
  setModelChecker(checker);
  fs::remove(model / "en-us" / "noisedict");
  fs::copy_file(kDebianModel / "en-us" / "noisedict", model / "en-us" / "noisedict");
  EXPECT_EQ(checkModelOnce(model, PocketSphinxDecoder::defaultOptions()), cannotRun(checker));
  setModelChecker({});
  setenv("XDG_CACHE_HOME", savedCache.c_str(), 1);
}

TEST(PocketSphinxServiceTest, StartFailuresSayWhatIsMissing) {
  ScratchDir scratch;
  PocketSphinxService service(
      std::make_shared<ModelStore>(ModelStoreLocations{scratch.path(), {}}));
  for (auto [locale, expected] :
       {std::pair{"en-US", "the speech model for en-US is not installed"},
        {"de-DE", "no speech model exists for de-DE; only en-US is supported"}}) {
    MainLoop loop;
    SpeechSession session(loop, service, Locale(locale));
    EXPECT_EQ(failureOf([&] { session.start(); }), expected);
    // A never-started analyzer still ends its results when finalised.
    session.finishAndFinalize();
    EXPECT_EQ(session.atFinalize(), std::pair(size_t{0}, true));
  }
  // An incomplete model is reported before the library sees it.
  fs::create_directories(scratch.path() / "model" / "en-us");
  std::ofstream(scratch.path() / "model" / "en-us" / "mdef") << "x";
  EXPECT_EQ(failureOf([&] { PocketSphinxDecoder::load(scratch.path() / "model"); }),
            "speech model in " + (scratch.path() / "model").string() +
                " is incomplete: en-us/means is missing");
}

// Each row: a dictation's finals as the decoder words them, "|" between
// them, and the text that the host makes of them, put one after another.
// Each final's volatile text comes first and must read the same.
TEST(DictationFormatterTest, WritesWordsMarksAndNumbersAsPeopleDo) {
  WordCasing casing(WordCasing::kSystemWordList), withoutList("/nonexistent/american-english");
  for (auto [said, written] :
       {std::pair{"we met on friday _comma and i left _period", "We met on Friday, and I left."},
        // A mark joins the word that ended the last text; a line break
        // is a text of its own; capitals follow . ? ! and paragraphs.
        {"hello team|_comma then _new_paragraph|ok _question_mark|_new_line|sure _semicolon no",
         "Hello team, then\n\nOK?\nSure; no"},
        {"she said _colon _open_quote hi _close_quote and _open_parenthesis yes "
         "_close_parenthesis left _full_stop bye _exclamation_point|_new_line|it",
         "She said: \"hi\" and (yes) left. Bye!\nIt"},
        // The decoder's words "comma" and "period" are words, and so is a
        // mark after an article.
        {"a comma and a period the _new_line and an _exclamation_point",
         "A comma and a period the new line and an exclamation point"},
        {"at three thirty about twenty five people _comma one of them on the twenty first",
         "At 3:30 about 25 people, one of them on the 21st"},
        {"go forward ten meters by nine oh five in nineteen ninety nine or twenty twenty six",
         "Go forward 10 meters by 9:05 in 1999 or 2026"},
        {"one two three and twelve thousand five hundred men and two thousand and five the third",
         "One two three and 12,500 men and 2005 the third"},
        // Names and "I" are cased; words the list also has in lower case
        // stay as they are.
        {"i'm flying to boston on friday i'll i've i'd",
         "I'm flying to Boston on Friday I'll I've I'd"},
        {"the bill may march in august for sunday's game",
         "The bill may march in august for Sunday's game"},
        {"", ""}}) {
    DictationFormatter formatter(casing);
    std::string text;
    for (size_t start = 0, end = 0; end != std::string_view::npos; start = end + 1) {
      end = std::string_view(said).find('|', start);
      const auto words = std::string_view(said).substr(start, end - start);
      const std::string shown = formatter.format(words, false);
      const std::string final = formatter.format(words, true);
      EXPECT_EQ(shown, final) << said;
      text += final;
    }
    EXPECT_EQ(text, written);
  }
  EXPECT_EQ(DictationFormatter(withoutList).format("i'd fly to boston", true), "I'd fly to boston");
}

}  // namespace
}  // namespace dictate
