// Speaker adaptation benchmark: for each voice of the voice families, the
// word error rate of our analyzer on the voice's own clips before and after
// adapting the model to an enrolment read by that voice, and what the
// adaptation costs.
//
//   bench/make_voice_families.py DIR      (once: the families and the enrolment)
//   adapt_bench --families DIR [--family NAME] [--bad | --unsupervised]
//
// Each voice of the espeak and flite families enrols with
// data/enrolment_sentences.txt as the enrolment program does: every fourth
// reading held back to judge the result, the others adapted to. Debian's
// recordings of people have too few sentences per speaker for that, so
// their two speakers who read five each (librivox, cards) enrol on three of
// their sentences in all the family's variants (the recording, and as
// microphones and rooms change it), adapted to two and judged on the
// third, and are tested on the other two in all variants; the speakers
// with one sentence are left out.
//
// The clips are fed to the analyzer as one stream with pauses, as fast as
// it takes them, from a cold start: the speaker-independent model, then the
// adapted one when the adaptation kept it (the analyzer finds it where the
// program does). Reported per voice and per family: words, both error
// rates, whether the model was kept with the held-back readings' errors
// before and after, and CPU seconds: the adaptation's (in this process,
// and in the tools it runs), the speaker-independent model's reading of
// the held-back readings (which the enrolment program does while checking
// each reading, and hands over), and as a reference the analyzer's on the
// voice's test clips.
//
// --bad also enrols the first voice of each family with readings that do
// not match their sentences (each labelled with the next sentence's text),
// and with readings of the background alone. --unsupervised labels the
// training readings with what the speaker-independent model heard in them
// instead of their sentences, as adapting to the user's own dictation
// would (the held-back readings keep their sentences, to judge it).
#include <sys/resource.h>

#include <cstdlib>
#include <map>
#include <stdexcept>

#include "bench/speech_bench_runs.h"
#include "platform/linux/models/model_check.h"
#include "platform/linux/speech/speaker_adaptation.h"

namespace dictate {
namespace {

using namespace speechbench;

struct Row {
  std::string family, voice, file, text;
};

std::vector<Row> readIndex(const fs::path& file) {
  std::vector<Row> rows;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> f;
    for (size_t at = 0, tab; at <= line.size(); at = tab + 1) {
      tab = std::min(line.find('\t', at), line.size());
      f.push_back(line.substr(at, tab - at));
    }
    if (f.size() == 4) rows.push_back({f[0], f[1], f[2], f[3]});
  }
  return rows;
}

struct Voice {
  std::string family, name;
  std::vector<EnrolmentReading> training, heldBack;
  std::vector<int16_t> stream;  // the test clips with pauses
  std::string reference;
};

void addTest(Voice& voice, std::vector<int16_t> samples, const std::string& text) {
  std::vector<int16_t> tail(samples.end() - std::min<size_t>(samples.size(), kRate / 2),
                            samples.end());
  append(voice.stream, samples);
  append(voice.stream, tail);
  append(voice.stream, tail);
  voice.reference += text + " ";
}

void addEnrolment(Voice& voice, std::vector<int16_t> samples, const std::string& text,
                  size_t index) {
  (index % 4 == 3 ? voice.heldBack : voice.training).push_back({std::move(samples), text});
}

std::vector<Voice> loadVoices(const fs::path& dir, const std::string& only) {
  std::map<std::pair<std::string, std::string>, Voice> voices;
  std::map<std::pair<std::string, std::string>, size_t> enrolled;
  for (const auto& row : readIndex(dir / "enrol" / "index.tsv")) {
    if (!only.empty() && row.family != only) continue;
    Voice& v = voices[{row.family, row.voice}];
    v.family = row.family;
    v.name = row.voice;
    addEnrolment(v, readPcm16(dir / row.file), row.text, enrolled[{row.family, row.voice}]++);
  }
  // Human speakers: each recording as recorded has the speaker's name as
  // its voice, its changed copies "<speaker>-<change>" and files named
  // after it.
  std::map<std::string, std::vector<std::string>> recordings;
  for (const auto& row : readIndex(dir / "index.tsv")) {
    if (row.family == "human" && row.voice.find('-') == std::string::npos)
      recordings[row.voice].push_back(fs::path(row.file).stem().string());
  }
  for (const auto& row : readIndex(dir / "index.tsv")) {
    if (!only.empty() && row.family != only) continue;
    if (row.family != "human") {
      auto it = voices.find({row.family, row.voice});
      if (it != voices.end()) addTest(it->second, readPcm16(dir / row.file), row.text);
      continue;
    }
    auto name = fs::path(row.file).stem().string();
    auto speaker = row.voice.substr(0, row.voice.find('-'));
    const auto& list = recordings[speaker];
    if (list.size() < 5) continue;
    Voice& v = voices[{"human", speaker}];
    v.family = "human";
    v.name = speaker;
    // Adapted to the first two recordings, judged on the third: the
    // held-back readings are other sentences, as in an enrolment.
    if (name.starts_with(list[0]) || name.starts_with(list[1])) {
      v.training.push_back({readPcm16(dir / row.file), row.text});
    } else if (name.starts_with(list[2])) {
      v.heldBack.push_back({readPcm16(dir / row.file), row.text});
    } else {
      addTest(v, readPcm16(dir / row.file), row.text);
    }
  }
  std::vector<Voice> out;
  for (auto& [key, voice] : voices) {
    if (!voice.stream.empty()) out.push_back(std::move(voice));
  }
  return out;
}

double cpuOf(int who) {
  rusage r;
  getrusage(who, &r);
  return cpuSeconds(r);
}

struct Measured {
  size_t words = 0, before = 0, after = 0;
  double ownCpu = 0, toolCpu = 0, testCpu = 0, hearCpu = 0;
  AdaptationOutcome outcome;
};

// What the speaker-independent model hears in each reading, as the
// enrolment program hears it while checking the reading.
std::vector<EnrolmentReading> heard(std::span<const EnrolmentReading> readings) {
  auto decoder = PocketSphinxDecoder::load(kDebianModel);
  std::vector<EnrolmentReading> out(readings.begin(), readings.end());
  std::vector<TranscriptionResult> results;
  for (auto& reading : out) {
    results.clear();
    decoder->beginStream();
    decoder->feed(reading.samples, results);
    decoder->endStream(results);
    reading.heard = "";
    for (const auto& result : results) {
      if (result.isFinal) *reading.heard += result.text + ' ';
    }
  }
  return out;
}

Measured measureVoice(MainLoop& loop, std::shared_ptr<ModelStore> store, const Voice& voice,
                      std::span<const EnrolmentReading> training,
                      std::span<const EnrolmentReading> checked) {
  Measured m;
  double hearStart = cpuOf(RUSAGE_SELF);
  const auto heldBack = heard(checked);
  m.hearCpu = cpuOf(RUSAGE_SELF) - hearStart;
  forgetAdaptedModel();
  m.words = words(voice.reference).size();
  const auto options = PocketSphinxDecoder::defaultOptions();
  {
    PocketSphinxService unadapted(store, options);
    OurRun run = runOurs(loop, unadapted, voice.stream, 0);
    m.before = wordErrors(voice.reference, run.text);
    m.testCpu = run.cpu;
  }
  double own = cpuOf(RUSAGE_SELF), tools = cpuOf(RUSAGE_CHILDREN);
  m.outcome = adaptToSpeaker(kDebianModel, training, heldBack);
  m.ownCpu = cpuOf(RUSAGE_SELF) - own;
  m.toolCpu = cpuOf(RUSAGE_CHILDREN) - tools;
  m.after = m.before;
  if (m.outcome.kept) {
    PocketSphinxService adapted(store, options);
    m.after = wordErrors(voice.reference, runOurs(loop, adapted, voice.stream, 0).text);
  }
  return m;
}

void printRow(const std::string& family, const std::string& voice, const Measured& m) {
  std::printf(
      "| %-7s | %-16s | %5zu | %6.1f | %6.1f | %-4s | %3d/%-3d -> %3d | %5.1f | %5.1f | %5.1f | "
      "%5.1f |\n",
      family.c_str(), voice.c_str(), m.words, 100.0 * m.before / m.words,
      100.0 * m.after / m.words, m.outcome.kept ? "yes" : "no", m.outcome.errorsBefore,
      m.outcome.heldBackWords, m.outcome.errorsAfter, m.ownCpu, m.toolCpu, m.hearCpu, m.testCpu);
}

void badEnrolments(MainLoop& loop, std::shared_ptr<ModelStore> store,
                   const std::vector<Voice>& voices) {
  std::printf("\nbadly read enrolments (first voice of each family):\n\n");
  std::string lastFamily;
  for (const auto& voice : voices) {
    if (voice.family == lastFamily) continue;
    lastFamily = voice.family;
    // Each reading labelled with the next other sentence.
    auto wrong = voice.training;
    for (size_t i = 0; i < wrong.size(); ++i) {
      for (size_t j = 1; j < wrong.size() && wrong[i].text == voice.training[i].text; ++j)
        wrong[i].text = voice.training[(i + j) % wrong.size()].text;
    }
    Measured m = measureVoice(loop, store, voice, wrong, voice.heldBack);
    printRow(voice.family, voice.name + " wrong", m);
    std::printf("    %s\n", m.outcome.message.c_str());
    // The background alone, as long as each reading.
    auto silent = voice.training;
    for (auto& reading : silent) {
      std::vector<int16_t> tail(reading.samples.begin(),
                                reading.samples.begin() + std::min<size_t>(reading.samples.size(),
                                                                           kRate / 4));
      for (size_t i = 0; i < reading.samples.size(); ++i) reading.samples[i] = tail[i % tail.size()];
    }
    m = measureVoice(loop, store, voice, silent, voice.heldBack);
    printRow(voice.family, voice.name + " noise", m);
    std::printf("    %s\n", m.outcome.message.c_str());
  }
}

int runBench(int argc, char** argv) {
  fs::path dir;
  std::string only;
  bool bad = false, unsupervised = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (arg == "--families") dir = value;
    if (arg == "--family") only = value;
    if (arg == "--bad") bad = true;
    if (arg == "--unsupervised") unsupervised = true;
  }
  if (dir.empty()) {
    std::fprintf(stderr, "usage: adapt_bench --families DIR [--family NAME] [--bad | --unsupervised]\n");
    return 2;
  }
  setModelChecker(DICTATE_MODEL_CHECKER);
  ScratchDir work;
  setenv("XDG_DATA_HOME", (work.path() / "data").c_str(), 1);
  setenv("XDG_CACHE_HOME", (work.path() / "cache").c_str(), 1);
  auto store = std::make_shared<ModelStore>(ModelStoreLocations::fromEnvironment());
  store = std::make_shared<ModelStore>(ModelStoreLocations{store->locations().userStore,
                                                           {"/usr/share"}});
  auto voices = loadVoices(dir, only);
  MainLoop loop;
  std::printf(
      "| family  | voice            | words | WER SI | WER ad | kept | held-back errors | own s | "
      "tools s | check s | test s |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
  std::map<std::string, Measured> families;
  for (const auto& voice : voices) {
    auto training = voice.training;
    if (unsupervised) {
      training = heard(training);
      for (auto& reading : training) reading.text = *reading.heard;
    }
    Measured m = measureVoice(loop, store, voice, training, voice.heldBack);
    printRow(voice.family, voice.name, m);
    Measured& f = families[voice.family];
    f.words += m.words;
    f.before += m.before;
    f.after += m.after;
    f.ownCpu = std::max(f.ownCpu, m.ownCpu);
    f.toolCpu = std::max(f.toolCpu, m.toolCpu);
    f.testCpu += m.testCpu;
    f.hearCpu = std::max(f.hearCpu, m.hearCpu);
    f.outcome.kept |= m.outcome.kept;
    std::fflush(stdout);
  }
  for (const auto& [name, f] : families) printRow(name, "(family; CPU max)", f);
  if (bad) badEnrolments(loop, store, voices);
  forgetAdaptedModel();
  printLoadAverage();
  return 0;
}

}  // namespace
}  // namespace dictate

int main(int argc, char** argv) { return dictate::runBench(argc, argv); }
