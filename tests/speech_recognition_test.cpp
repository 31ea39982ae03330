// Real recognition through the PocketSphinx analyzer with Debian's US English
// model: Debian's test recordings and sentences spoken by espeak-ng over a
// noise floor, fed in capture-sized blocks, with results read on the loop as
// the engine reads them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "platform/linux/decoder_adaptation.h"
#include "platform/linux/model_store.h"
#include "platform/linux/pocketsphinx_decoder.h"
#include "platform/linux/pocketsphinx_service.h"
#include "tests/support/speech_audio.h"
#include "tests/support/speech_session.h"

namespace dictate {
namespace {

using namespace speechaudio;

// Blocks of 4096 frames, as the microphone tap delivers them.
constexpr size_t kBlock = 4096;

class SpeechRecognitionTest : public ::testing::Test {
 protected:
  // One service for the suite, as for the process: the model loads once.
  static void SetUpTestSuite() {
    scratch_ = new ScratchDir();
    store_ = std::make_shared<ModelStore>(
        ModelStoreLocations{scratch_->path() / "store", {"/usr/share"}});
    service_ = new PocketSphinxService(store_);
  }
  static void TearDownTestSuite() {
    delete service_;
    store_.reset();
    delete scratch_;
  }

  // One whole dictation of `samples`; input ends right after the last sample.
  static std::unique_ptr<SpeechSession> dictate(MainLoop& loop, std::span<const int16_t> samples,
                                                PocketSphinxService* service = service_) {
    auto session = std::make_unique<SpeechSession>(loop, *service);
    session->start();
    session->feedAll(samples, kBlock);
    session->finishAndFinalize();
    return session;
  }

  static std::vector<int16_t> spokenWithPauses(const std::vector<std::string>& sentences,
                                               double pause) {
    std::vector<int16_t> audio = silence(0.5);
    for (const auto& sentence : sentences) {
      append(audio, speak(sentence, "en-us", scratch_->path()));
      append(audio, silence(pause));
    }
    addNoiseFloor(audio, scratch_->path());
    return audio;
  }

  static inline ScratchDir* scratch_ = nullptr;
  static inline std::shared_ptr<ModelStore> store_;
  static inline PocketSphinxService* service_ = nullptr;
};

TEST_F(SpeechRecognitionTest, GoForwardIsRecognisedWithVolatileResultsBeforeTheFinal) {
  MainLoop loop;
  auto audio = readPcm16(kDebianTestData / "goforward.raw");
  auto session = dictate(loop, audio);

  EXPECT_EQ(session->finalText(), "go forward ten meters");
  ASSERT_GE(session->results().size(), 2u);
  EXPECT_FALSE(session->results().front().result.isFinal);
  EXPECT_TRUE(session->results().back().result.isFinal);
  EXPECT_TRUE(session->failure().empty()) << session->failure();
  // Everything had reached the reader, and the channel had ended, when the
  // finalisation returned; nothing comes later.
  EXPECT_TRUE(session->endedAtFinalize());
  EXPECT_EQ(session->resultsAtFinalize(), session->results().size());
  loop.poll();
  EXPECT_EQ(session->resultsAtFinalize(), session->results().size());
}

TEST_F(SpeechRecognitionTest, FinalTextDoesNotDependOnTheCaptureBlockSize) {
  MainLoop loop;
  auto audio =
      readPcm16(kDebianTestData / "librivox" / "sense_and_sensibility_01_austen_64kb-0880.wav");
  // A fresh service for each run, so that each starts from the same
  // decoder state; audio held back between blocks must be neither lost nor
  // decoded twice.
  std::vector<std::string> texts;
  for (size_t block : {kBlock, size_t{1001}, size_t{160}}) {
    PocketSphinxService fresh(store_);
    SpeechSession session(loop, fresh);
    session.start();
    session.feedAll(audio, block);
    session.finishAndFinalize();
    texts.push_back(session.finalText());
  }
  for (size_t i = 1; i < texts.size(); ++i) EXPECT_EQ(texts[i], texts[0]) << "run " << i;
  EXPECT_LE(wordErrorRate("he was not an ill disposed young man", texts[0]), 0.5) << texts[0];
}

TEST_F(SpeechRecognitionTest, DebianRecordingsStayUnderTheMeasuredErrorRate) {
  MainLoop loop;
  std::vector<int16_t> audio;
  std::string reference;
  auto clips = debianRecordings();
  for (const auto& clip : clips) {
    append(audio, clip.samples);
    append(audio, silence(1.0));
    reference += clip.transcript + " ";
  }
  auto session = dictate(loop, audio);
  // Measured 23-28 % on these recordings (96 words).
  EXPECT_LT(wordErrorRate(reference, session->finalText()), 0.35) << session->finalText();
  EXPECT_GE(session->count(true), clips.size() - 1) << "about one final per recording";
}

TEST_F(SpeechRecognitionTest, LongPausesSplitSpeechIntoSeveralFinals) {
  MainLoop loop;
  const std::vector<std::string> sentences = {"go forward ten meters",
                                              "turn left at the second light",
                                              "the weather today is cold and windy"};
  auto audio = spokenWithPauses(sentences, 2.0);
  auto session = dictate(loop, audio);

  EXPECT_EQ(session->count(true), sentences.size()) << session->finalText();
  std::string reference = sentences[0] + " " + sentences[1] + " " + sentences[2];
  // Synthetic speech is hard for this model: measured 45-55 %, worst with a
  // freshly loaded decoder.
  EXPECT_LT(wordErrorRate(reference, session->finalText()), 0.7) << session->finalText();
  auto heard = words(session->finalText());
  for (const char* expected : {"forward", "second", "light", "weather", "today"}) {
    EXPECT_NE(std::find(heard.begin(), heard.end(), expected), heard.end())
        << expected << " in: " << session->finalText();
  }
  // Each final follows volatile results of its own utterance.
  bool sawVolatile = false;
  for (const auto& r : session->results()) {
    if (r.result.isFinal) {
      EXPECT_TRUE(sawVolatile) << "final without volatile: " << r.result.text;
      sawVolatile = false;
    } else {
      sawVolatile = true;
    }
  }
}

TEST_F(SpeechRecognitionTest, InputEndingRightAfterSpeechStillYieldsTheLastWords) {
  MainLoop loop;
  auto audio = readPcm16(kDebianTestData / "goforward.raw");
  // Cut the trailing silence: the last word ends where the input ends, so
  // only finalisation can produce the final.
  audio.resize(static_cast<size_t>(2.35 * kRate));
  auto session = dictate(loop, audio);

  auto finalWords = words(session->finalText());
  ASSERT_FALSE(finalWords.empty());
  EXPECT_EQ(finalWords.back(), "meters") << session->finalText();
  EXPECT_EQ(session->count(true), 1u);
}

TEST_F(SpeechRecognitionTest, SecondStartReusesTheLoadedDecoder) {
  MainLoop loop;
  dictate(loop, readPcm16(kDebianTestData / "goforward.raw"));
  ASSERT_TRUE(service_->hasLoadedDecoder());
  SpeechSession second(loop, *service_);
  // With a decoder at hand, start() completes without waiting for a
  // loading thread: one turn of the loop is enough.
  second.beginStart();
  loop.poll();
  EXPECT_TRUE(second.hasStarted());
  EXPECT_FALSE(service_->hasLoadedDecoder()) << "the running dictation holds it";
  second.finishAndFinalize();
  EXPECT_TRUE(service_->hasLoadedDecoder());
}

TEST_F(SpeechRecognitionTest, AnalyzerDestroyedWithoutFinalisationPostsNothingMore) {
  MainLoop loop;
  auto audio = readPcm16(kDebianTestData / "goforward.raw");
  auto session = std::make_unique<SpeechSession>(loop, *service_);
  session->start();
  session->feedAll(audio, kBlock);
  session->abandon();  // joins the worker
  size_t delivered = session->results().size();
  loop.poll();
  EXPECT_EQ(session->results().size(), delivered);
  EXPECT_FALSE(session->ended());
  // The decoder went back to the cache in a usable state.
  EXPECT_EQ(dictate(loop, audio)->finalText(), "go forward ten meters");
}

TEST_F(SpeechRecognitionTest, AudioInAnotherFormatFailsTheResultStreamAndLaterAudioIsDropped) {
  MainLoop loop;
  SpeechSession session(loop, *service_);
  session.start();
  session.feedBuffer(PcmBuffer::make({48000, 1, SampleFormat::float32}, 4096));
  ASSERT_TRUE(loop.runUntil([&] { return session.ended(); }, std::chrono::seconds(10)));
  // The worker has ended: nothing would read what the capture goes on
  // delivering until "stop", so it is not queued.
  EXPECT_EQ(session.feedBuffer(PcmBuffer::make({16000, 1, SampleFormat::int16}, 4096)),
            AnalyzerInputStream::YieldResult::terminated);
  session.finishAndFinalize();
  EXPECT_NE(session.failure().find("cannot be analysed"), std::string::npos) << session.failure();
  EXPECT_TRUE(session.endedAtFinalize());
}

// A later process starts from the adaptation saved by an earlier one: its
// first utterance is not decoded again and reads as a warm decoder's.
TEST_F(SpeechRecognitionTest, SavedAdaptationMakesALaterProcessStartWarm) {
  MainLoop loop;
  const auto dir = scratch_->path() / "adaptation";
  auto audio =
      spokenWithPauses({"turn left at the second light and the shop is on your right"}, 1.0);
  PocketSphinxService earlier(store_, PocketSphinxDecoder::defaultOptions(), dir);
  dictate(loop, audio, &earlier);  // adapts, and saves
  PocketSphinxService later(store_, PocketSphinxDecoder::defaultOptions(), dir);
  std::string laterText = dictate(loop, audio, &later)->finalText();
  std::string warmText = dictate(loop, audio, &earlier)->finalText();
  EXPECT_EQ(laterText, warmText);

  // A decoder made with the saved file is adapted before it hears anything,
  // so it keeps no first utterance to decode again.
  auto decoder = PocketSphinxDecoder::load(kDebianModel);
  const auto file = dir / adaptationKey(kDebianModel);
  ASSERT_TRUE(restoreAdaptation(*decoder, dir));
  EXPECT_TRUE(decoder->isAdapted());

  // Missing, damaged or foreign files are ignored; an unwritable folder
  // costs only the saving.
  std::string saved;
  std::getline(std::ifstream(file), saved, '\0');
  const std::string cut = saved.substr(0, saved.size() / 2);
  std::string foreign = saved;
  foreign.replace(foreign.find("en-us-"), 22, "en-us-0123456789abcdef");
  const std::string bad[] = {
      "",
      cut,
      std::string(100, '\xff'),
      foreign,
      "quillmarsh-dictate adaptation 1\nmodel " + adaptationKey(kDebianModel) + "\ncmn 3 1 2 3\n",
      saved.substr(0, saved.rfind(' ')) + " nan\n",
      saved + " 1\n"};
  auto fresh = PocketSphinxDecoder::load(kDebianModel);
  for (const auto& content : bad) {
    SCOPED_TRACE(content);
    std::ofstream(file, std::ios::trunc) << content;
    EXPECT_FALSE(restoreAdaptation(*fresh, dir));
    EXPECT_FALSE(fresh->isAdapted());
  }
  EXPECT_FALSE(saveAdaptation(file / "not-a-folder", kDebianModel, std::vector<float>(13, 1.0f)));
  std::filesystem::remove(file);
  EXPECT_FALSE(restoreAdaptation(*fresh, dir));
}

// Speech that never pauses (a steady noise, a monologue) ends no utterance;
// what is kept for decoding the first one again stays within what that
// second decode would use (10 s).
TEST_F(SpeechRecognitionTest, EndlessFirstUtteranceKeepsABoundedStore) {
  auto decoder = PocketSphinxDecoder::load(kDebianModel);
  std::vector<TranscriptionResult> results;
  decoder->beginStream();
  // Words on and on: the recording's speech, repeated without a pause.
  auto speech = readPcm16(kDebianTestData / "goforward.raw");
  speech = std::vector<int16_t>(speech.begin() + kRate / 5, speech.begin() + 47 * kRate / 20);
  for (int i = 0; i < 6; ++i) decoder->feed(speech, results);
  // Volatile texts, no final: it was one long utterance.
  EXPECT_FALSE(results.empty());
  EXPECT_EQ(std::count_if(results.begin(), results.end(), [](auto& r) { return r.isFinal; }), 0);
  EXPECT_LE(decoder->firstUtteranceCapacity(), size_t{10 * kRate});
  decoder->endStream(results);
}

TEST_F(SpeechRecognitionTest, LoadingWritesNothingToStandardError) {
  ScratchDir capture;
  const auto file = capture.path() / "stderr";
  int saved = dup(2);
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(fd, 2);
  close(fd);
  auto decoder = PocketSphinxDecoder::load(kDebianModel);
  std::vector<TranscriptionResult> results;
  decoder->beginStream();
  decoder->feed(readPcm16(kDebianTestData / "goforward.raw"), results);
  decoder->endStream(results);
  dup2(saved, 2);
  close(saved);
  EXPECT_EQ(std::filesystem::file_size(file), 0u);
}

}  // namespace
}  // namespace dictate
