// Speech recognition benchmark: our analyzer beside Debian's bare decoder
// (pocketsphinx_continuous -infile, default settings) on the same audio, in
// one run.
//
//   bench/make_voice_families.py DIR      (once: generates the audio)
//   speech_bench --families DIR [--family NAME] [--options "-lw 9"]
//                [--grids N] [--rounds N] [--speed N] [--tune | --latency]
//                [--texts FILE]
//   speech_bench --model-check
//
// Accuracy and CPU, for each voice family of DIR and pooled: the family's
// clips as one stream with pauses, fed as fast as the decoder takes it, at N
// frame grids (default 1), both decoders starting cold as in a first
// process ever. Reported: word error rate of each, their ratio, and our CPU
// as a ratio to the bare decoder's on the same audio.
//
// Latency, in N interleaved rounds (default 7) on clips taken from each
// family in turn, fed in real time (or N times faster) in blocks of 1366
// samples (4096 frames at 48 kHz), with 2.5 s of the clip's own background
// after them: end of speech to the final from voice detection for the first
// utterance of a first process ever (no saved adaptation), of a later
// process (adaptation saved by the first), and warm (the later process's
// second dictation); "stop" right after the last word to its final, warm;
// first volatile after speech onset.
//
// --tune measures only our word error rate per family, for comparing
// settings, and --latency only the latency; --options applies to ours in
// every mode.
//
// Model check: what the check in a process of its own adds to the first
// start of a process, once without a record of an earlier pass and then
// with one (--model-check measures only this).
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "bench/speech_bench_runs.h"
#include "platform/linux/models/model_check.h"

namespace dictate {
namespace {

using namespace speechbench;

struct Corpus {
  std::string name;
  std::vector<Clip> clips;
  std::vector<int16_t> stream;  // the clips with pauses between them
  std::string reference;
};

// The last half second of a clip, its own background, `times` over.
std::vector<int16_t> background(const std::vector<int16_t>& clip, int times) {
  std::vector<int16_t> tail(clip.end() - std::min<size_t>(clip.size(), kRate / 2), clip.end()), out;
  for (int i = 0; i < times; ++i) append(out, tail);
  return out;
}

struct Accuracy {
  size_t words = 0, ourErrors = 0, bareErrors = 0;
  double audioSeconds = 0, ourCpu = 0, bareCpu = 0;
  double ourWer() const { return double(ourErrors) / words; }
  double bareWer() const { return double(bareErrors) / words; }
};

// --texts FILE: each family's clips and what each decoder heard in its
// stream are added to FILE, for bench/errors_by_condition.py.
std::string textsFile;

void writeTexts(const Corpus& corpus, const char* decoder, const std::string& heard) {
  if (textsFile.empty()) return;
  std::ofstream out(textsFile, std::ios::app);
  auto line = [&](const char* kind, const std::string& name, const std::string& text) {
    out << kind << '\t' << name << '\t';
    for (const auto& word : comparedWords(text)) out << word << ' ';
    out << '\n';
  };
  for (const auto& clip : corpus.clips) line("clip", clip.name, clip.transcript);
  line(decoder, corpus.name, heard);
}

// Where the 10 ms frames fall changes the text by a few words either way,
// so each grid shifts the stream by a third of a frame more.
Accuracy measure(MainLoop& loop, const Corpus& corpus, std::shared_ptr<ModelStore> store,
                 const PocketSphinxDecoder::Options& options, int grids, bool withBare,
                 const fs::path& work) {
  Accuracy result;
  const double bareStartCpu = withBare ? runBare({}, 0, work).cpu : 0;
  for (int grid = 0; grid < grids; ++grid) {
    std::vector<int16_t> stream(static_cast<size_t>(grid) * 53, 0);
    append(stream, corpus.stream);
    PocketSphinxService fresh(store, options);
    OurRun ours = runOurs(loop, fresh, stream, 0);
    result.words += words(corpus.reference).size();
    result.ourErrors += wordErrors(corpus.reference, ours.text);
    writeTexts(corpus, "ours", ours.text);
    result.ourCpu += ours.cpu;
    result.audioSeconds += seconds(stream);
    if (withBare) {
      BareRun bare = runBare(stream, 0, work);
      result.bareErrors += wordErrors(corpus.reference, bare.text);
      writeTexts(corpus, "bare", bare.text);
      result.bareCpu += bare.cpu - bareStartCpu;
    }
  }
  return result;
}

// The voice families of bench/make_voice_families.py, each as one stream:
// its clips one after another, each followed by a second of its own
// background (its last half second twice), as a person pauses.
std::vector<Corpus> loadFamilies(const fs::path& dir, const std::string& only) {
  std::vector<Corpus> families;
  std::ifstream index(dir / "index.tsv");
  if (!index) throw std::runtime_error("no families in " + dir.string());
  for (std::string line; std::getline(index, line);) {
    std::vector<std::string> fields;
    for (size_t at = 0, tab; at <= line.size(); at = tab + 1) {
      tab = std::min(line.find('\t', at), line.size());
      fields.push_back(line.substr(at, tab - at));
    }
    if (fields.size() != 4 || (!only.empty() && fields[0] != only)) continue;
    if (families.empty() || families.back().name != fields[0])
      families.push_back({fields[0], {}, {}, {}});
    Corpus& family = families.back();
    auto samples = readPcm16(dir / fields[2]);
    append(family.stream, samples);
    append(family.stream, background(samples, 2));
    family.reference += fields[3] + " ";
    family.clips.push_back({fields[2], std::move(samples), fields[3]});
  }
  return families;
}

struct Latency {
  std::vector<double> firstEver, later, warm, warmStop, firstVolatile;
};

Latency measureLatency(MainLoop& loop, const std::vector<Corpus>& families,
                       std::shared_ptr<ModelStore> store,
                       const PocketSphinxDecoder::Options& options, int rounds, double speed) {
  Latency latency;
  for (int round = 0; round < rounds; ++round) {
    const auto& family = families[static_cast<size_t>(round) % families.size()];
    const auto& clip =
        family.clips[static_cast<size_t>(round) / families.size() % family.clips.size()].samples;
    // Long enough for a slow first final to arrive before the input ends.
    auto spoken = clip;
    append(spoken, background(clip, 5));
    ScratchDir state;
    {
      PocketSphinxService first(store, options, state.path());
      latency.firstEver.push_back(runOurs(loop, first, spoken, speed).speechEndToFinalMs);
    }
    PocketSphinxService later(store, options, state.path());
    latency.later.push_back(runOurs(loop, later, spoken, speed).speechEndToFinalMs);
    OurRun warm = runOurs(loop, later, spoken, speed);
    latency.warm.push_back(warm.speechEndToFinalMs);
    latency.firstVolatile.push_back(warm.firstPartialMs);
    latency.warmStop.push_back(runOurs(loop, later, endingInSpeech(clip), speed).endToFinalMs);
  }
  return latency;
}

void row(const char* metric, const std::string& ours, const std::string& bare, const char* goal) {
  std::printf("| %-46s | %-14s | %-14s | %-12s |\n", metric, ours.c_str(), bare.c_str(), goal);
}
std::string fmt(const char* format, double v) {
  if (std::isnan(v)) return "n/a";
  char text[64];
  std::snprintf(text, sizeof text, format, v);
  return text;
}
std::string percent(double v) { return fmt("%.1f %%", 100 * v); }

void printLatency(const Latency& latency) {
  std::printf("| %-46s | %-14s | %-12s |\n", "latency, median", "ours", "goal");
  std::printf("|%s|%s|%s|\n", std::string(48, '-').c_str(), std::string(16, '-').c_str(),
              std::string(14, '-').c_str());
  auto line = [](const char* metric, double ms, const char* goal) {
    std::printf("| %-46s | %-14s | %-12s |\n", metric, fmt("%.0f", ms).c_str(), goal);
  };
  line("end of speech -> final, first process ever, ms", median(latency.firstEver), "warm + 400");
  line("end of speech -> final, later process, ms", median(latency.later), "warm + 150");
  line("end of speech -> final, warm, ms", median(latency.warm), "<= 450");
  line("\"stop\" after the last word -> final, warm, ms", median(latency.warmStop), "");
  line("first volatile after speech onset, warm, ms", median(latency.firstVolatile), "<= 300");
  std::printf("\n");
}

struct ModelCheckCost {
  double firstMs = 0;     // the check, no record yet
  double recordedMs = 0;  // median of the record's lookup
  double loadMs = 0;      // the model's load that follows either
};

// Debian's model with the decoder's options, the record in `work`.
ModelCheckCost measureModelCheck(const fs::path& work) {
  setenv("XDG_CACHE_HOME", (work / "cache").c_str(), 1);
  const auto options = PocketSphinxDecoder::defaultOptions();
  auto ms = [](const auto& f) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  };
  auto check = [&] {
    if (auto damage = checkModelOnce(kDebianModel, options)) throw std::runtime_error(*damage);
  };
  ModelCheckCost cost;
  cost.firstMs = ms(check);
  cost.loadMs = ms([&] { PocketSphinxDecoder::loadUnchecked(kDebianModel, options, nullptr); });
  std::vector<double> recorded;
  for (int i = 0; i < 21; ++i) recorded.push_back(ms(check));
  cost.recordedMs = median(recorded);
  return cost;
}

void modelCheckRows(const ModelCheckCost& cost) {
  row("model check, first ever (no record), ms", fmt("%.0f", cost.firstMs), "",
      "once per model");
  row("  as a share of the model load, %", fmt("%.0f", 100 * cost.firstMs / cost.loadMs), "", "");
  row("model check with a record, ms", fmt("%.2f", cost.recordedMs), "", "");
  row("  as a share of the model load, %", fmt("%.2f", 100 * cost.recordedMs / cost.loadMs), "",
      "<= 10");
  row("model load after the check, ms", fmt("%.0f", cost.loadMs), "", "");
}

// Each family beside the bare decoder (not with --tune), then all pooled;
// our CPU as a ratio to the bare decoder's on the same audio.
void printAccuracy(MainLoop& loop, const std::vector<Corpus>& families,
                   std::shared_ptr<ModelStore> store, const PocketSphinxDecoder::Options& options,
                   int grids, bool withBare, const fs::path& work) {
  std::printf("| %-8s | %-6s | %-9s | %-9s | %-5s | %-25s |\n", "family", "words", "ours", "bare",
              "ratio", "CPU ours / bare per audio s");
  std::printf("|----------|--------|-----------|-----------|-------|---------------------------|\n");
  auto line = [&](const std::string& name, const Accuracy& a) {
    std::string cpu = fmt("%.3f", a.ourCpu / a.audioSeconds);
    if (withBare) {
      cpu += " / " + fmt("%.3f", a.bareCpu / a.audioSeconds) + " = " +
             fmt("%.2f", a.ourCpu / a.bareCpu);
    }
    std::printf("| %-8s | %-6zu | %-9s | %-9s | %-5s | %-25s |\n", name.c_str(), a.words,
                percent(a.ourWer()).c_str(), withBare ? percent(a.bareWer()).c_str() : "",
                withBare ? fmt("%.2f", a.ourWer() / a.bareWer()).c_str() : "", cpu.c_str());
    std::fflush(stdout);
  };
  Accuracy pooled;
  for (const auto& family : families) {
    Accuracy a = measure(loop, family, store, options, grids, withBare, work);
    line(family.name, a);
    pooled.words += a.words;
    pooled.ourErrors += a.ourErrors;
    pooled.bareErrors += a.bareErrors;
    pooled.ourCpu += a.ourCpu;
    pooled.bareCpu += a.bareCpu;
    pooled.audioSeconds += a.audioSeconds;
  }
  if (families.size() > 1) line("pooled", pooled);
  std::printf("\n");
}

int runBench(int argc, char** argv) {
  double speed = 1;
  int grids = 1, rounds = 7;
  bool tuneOnly = false, latencyOnly = false, modelCheckOnly = false;
  fs::path familiesDir;
  std::string optionText, onlyFamily;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (arg == "--tune") tuneOnly = true;
    if (arg == "--latency") latencyOnly = true;
    if (arg == "--model-check") modelCheckOnly = true;
    if (arg == "--speed") speed = std::atof(value);
    if (arg == "--grids") grids = std::atoi(value);
    if (arg == "--rounds") rounds = std::atoi(value);
    if (arg == "--options") optionText = value;
    if (arg == "--families") familiesDir = value;
    if (arg == "--family") onlyFamily = value;
    if (arg == "--texts") textsFile = value;
  }
  setModelChecker(DICTATE_MODEL_CHECKER);
  if (modelCheckOnly) {
    ScratchDir checkWork;
    modelCheckRows(measureModelCheck(checkWork.path()));
    return 0;
  }
  if (familiesDir.empty()) {
    std::fprintf(stderr,
                 "usage: speech_bench --families DIR (from bench/make_voice_families.py)\n");
    return 2;
  }
  ScratchDir work;
  auto families = loadFamilies(familiesDir, onlyFamily);
  auto store =
      std::make_shared<ModelStore>(ModelStoreLocations{work.path() / "store", {"/usr/share"}});
  auto options = parseOptions(optionText);
  std::printf("our options:");
  for (const auto& [name, value] : options) std::printf(" %s %s", name.c_str(), value.c_str());
  std::printf("\n\n");
  MainLoop loop;
  if (!latencyOnly) printAccuracy(loop, families, store, options, grids, !tuneOnly, work.path());
  if (!tuneOnly) printLatency(measureLatency(loop, families, store, options, rounds, speed));
  if (!tuneOnly && !latencyOnly) modelCheckRows(measureModelCheck(work.path()));
  printLoadAverage();
  return 0;
}

}  // namespace
}  // namespace dictate

int main(int argc, char** argv) { return dictate::runBench(argc, argv); }
