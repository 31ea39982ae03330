// Speech recognition benchmark: our analyzer beside Debian's bare decoder
// (pocketsphinx_continuous -infile, default settings) on the same audio, in
// one run.
//
//   bench/make_speech_corpus.sh DIR      (once: generates the audio)
//   speech_bench --corpus DIR [--options "-lw 9 -wip 0.5"] [--grids N]
//                [--rounds N] [--speed N] [--tune [--bare]]
//   speech_bench --model-check
//
// The corpus has two halves: a tuning half, on which decoder settings were
// chosen, and a report half that tuning never saw. Each is Debian's
// recordings (pocketsphinx-testdata, alternating between the halves) and
// espeak-ng sentences in several voices, speeds and noise floors, as one
// stream with pauses, fed as fast as the decoder takes it, at N frame grids
// (default 3), both decoders starting cold as in a first process ever.
// Reported: word error rate of each, their ratio, CPU per audio second.
//
// Latency, in N interleaved rounds (default 7) on report-half clips fed in
// real time (or N times faster) in blocks of 1366 samples (4096 frames at
// 48 kHz), with 2.5 s of noise floor after them: end of speech to the
// final from voice detection for the first
// utterance of a first process ever (no saved adaptation), of a later
// process (adaptation saved by the first), and warm (the later process's
// second dictation); "stop" right after the last word to its final, warm;
// first volatile after speech onset.
//
// --tune measures only our word error rate and CPU on the tuning half (and
// the bare decoder's with --bare), for a search over --options; --options
// applies to ours in every mode.
//
// Model check: what the check in a process of its own adds to the first
// start of a process, once without a record of an earlier pass and then
// with one (--model-check measures only this).
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "bench/speech_bench_runs.h"
#include "platform/linux/model_check.h"

namespace dictate {
namespace {

using namespace speechbench;

struct Corpus {
  std::string name;
  std::vector<Clip> clips;
  std::vector<int16_t> stream;  // the clips with pauses between them
  std::string reference;
};

std::pair<Corpus, Corpus> loadHalves(const fs::path& dir, const fs::path& work) {
  Corpus tune{"tune", {}, {}, {}}, report{"report", {}, {}, {}};
  std::ifstream index(dir / "index.tsv");
  if (!index) {
    throw std::runtime_error("no corpus in " + dir.string() + ": run bench/make_speech_corpus.sh " +
                             dir.string());
  }
  for (std::string line; std::getline(index, line);) {
    auto a = line.find('\t'), b = line.find('\t', a + 1);
    if (b == std::string::npos) continue;
    std::string name = line.substr(a + 1, b - a - 1);
    (line.substr(0, a) == "tune" ? tune : report)
        .clips.push_back({name, readPcm16(dir / name), line.substr(b + 1)});
  }
  auto debian = debianRecordings();
  for (size_t i = 0; i < debian.size(); ++i) (i % 2 ? report : tune).clips.push_back(debian[i]);
  auto gap = silence(1.0);
  addNoiseFloor(gap, work);
  for (Corpus* corpus : {&tune, &report}) {
    for (const auto& clip : corpus->clips) {
      append(corpus->stream, clip.samples);
      append(corpus->stream, gap);
      corpus->reference += clip.transcript + " ";
    }
  }
  return {std::move(tune), std::move(report)};
}

PocketSphinxDecoder::Options parseOptions(const std::string& text) {
  PocketSphinxDecoder::Options options = PocketSphinxDecoder::defaultOptions();
  std::istringstream in(text);
  for (std::string name, value; in >> name >> value;) {
    auto same = std::find_if(options.begin(), options.end(),
                             [&](const auto& option) { return option.first == name; });
    if (same != options.end()) {
      same->second = value;
    } else {
      options.emplace_back(name, value);
    }
  }
  return options;
}

struct Accuracy {
  size_t words = 0, ourErrors = 0, bareErrors = 0;
  double audioSeconds = 0, ourCpu = 0, bareCpu = 0;
  double ourWer() const { return double(ourErrors) / words; }
  double bareWer() const { return double(bareErrors) / words; }
};

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
    result.ourCpu += ours.cpu;
    result.audioSeconds += seconds(stream);
    if (withBare) {
      BareRun bare = runBare(stream, 0, work);
      result.bareErrors += wordErrors(corpus.reference, bare.text);
      result.bareCpu += bare.cpu - bareStartCpu;
    }
  }
  return result;
}

struct Latency {
  std::vector<double> firstEver, later, warm, warmStop, firstVolatile;
};

Latency measureLatency(MainLoop& loop, const Corpus& corpus, std::shared_ptr<ModelStore> store,
                       const PocketSphinxDecoder::Options& options, int rounds, double speed,
                       const fs::path& work) {
  Latency latency;
  // Long enough for a slow first final to arrive before the input ends;
  // with the noise floor, so that speech is told from it.
  auto pause = silence(2.5);
  addNoiseFloor(pause, work);
  for (int round = 0; round < rounds; ++round) {
    const auto& clip = corpus.clips[static_cast<size_t>(round) % corpus.clips.size()].samples;
    auto spoken = clip;
    append(spoken, pause);
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

void printReport(const Accuracy& tune, const Accuracy& report, const Latency& latency) {
  std::printf("| %-46s | %-14s | %-14s | %-12s |\n", "metric", "ours", "bare decoder", "goal");
  std::printf("|%s|%s|%s|%s|\n", std::string(48, '-').c_str(), std::string(16, '-').c_str(),
              std::string(16, '-').c_str(), std::string(14, '-').c_str());
  row("WER, tuning half", percent(tune.ourWer()), percent(tune.bareWer()), "");
  row("WER ratio ours / bare, tuning half", fmt("%.2f", tune.ourWer() / tune.bareWer()), "", "");
  row("WER, report half", percent(report.ourWer()), percent(report.bareWer()), "");
  row("WER ratio ours / bare, report half", fmt("%.2f", report.ourWer() / report.bareWer()), "",
      "<= 0.85");
  double audio = tune.audioSeconds + report.audioSeconds;
  row("CPU seconds per audio second", fmt("%.3f", (tune.ourCpu + report.ourCpu) / audio),
      fmt("%.3f", (tune.bareCpu + report.bareCpu) / audio), "<= 0.25");
  row("end of speech -> final, first process ever, ms", fmt("%.0f", median(latency.firstEver)), "",
      "warm + 400");
  row("end of speech -> final, later process, ms", fmt("%.0f", median(latency.later)), "",
      "warm + 150");
  row("end of speech -> final, warm, ms", fmt("%.0f", median(latency.warm)), "", "<= 450");
  row("\"stop\" after the last word -> final, warm, ms", fmt("%.0f", median(latency.warmStop)), "",
      "");
  row("first volatile after speech onset, warm, ms", fmt("%.0f", median(latency.firstVolatile)),
      "none", "");
  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  std::printf(
      "\n%zu + %zu reference words x grids; latency: medians of %zu interleaved rounds; "
      "load average %.2f %.2f %.2f\n",
      tune.words, report.words, latency.warm.size(), load[0], load[1], load[2]);
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

int runBench(int argc, char** argv) {
  double speed = 1;
  int grids = 3, rounds = 7;
  bool tuneOnly = false, withBare = false, modelCheckOnly = false;
  fs::path corpusDir;
  std::string optionText;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (arg == "--tune") tuneOnly = true;
    if (arg == "--model-check") modelCheckOnly = true;
    if (arg == "--bare") withBare = true;
    if (arg == "--speed") speed = std::atof(value);
    if (arg == "--grids") grids = std::atoi(value);
    if (arg == "--rounds") rounds = std::atoi(value);
    if (arg == "--corpus") corpusDir = value;
    if (arg == "--options") optionText = value;
  }
  setModelChecker(DICTATE_MODEL_CHECKER);
  if (modelCheckOnly) {
    ScratchDir checkWork;
    modelCheckRows(measureModelCheck(checkWork.path()));
    return 0;
  }
  if (corpusDir.empty()) {
    std::fprintf(stderr, "usage: speech_bench --corpus DIR (from bench/make_speech_corpus.sh)\n");
    return 2;
  }
  ScratchDir work;
  auto [tune, report] = loadHalves(corpusDir, work.path());
  auto store =
      std::make_shared<ModelStore>(ModelStoreLocations{work.path() / "store", {"/usr/share"}});
  auto options = parseOptions(optionText);
  MainLoop loop;
  if (tuneOnly) {
    Accuracy a = measure(loop, tune, store, options, grids, withBare, work.path());
    std::printf("tune WER %.2f %% (bare %.2f %%) CPU %.3f options: %s\n", 100 * a.ourWer(),
                100 * a.bareWer(), a.ourCpu / a.audioSeconds, optionText.c_str());
    return 0;
  }
  Accuracy tuneAccuracy = measure(loop, tune, store, options, grids, true, work.path());
  Accuracy reportAccuracy = measure(loop, report, store, options, grids, true, work.path());
  Latency latency = measureLatency(loop, report, store, options, rounds, speed, work.path());
  std::printf("our options:");
  for (const auto& [name, value] : options) std::printf(" %s %s", name.c_str(), value.c_str());
  std::printf("\n\n");
  printReport(tuneAccuracy, reportAccuracy, latency);
  modelCheckRows(measureModelCheck(work.path()));
  return 0;
}

}  // namespace
}  // namespace dictate

int main(int argc, char** argv) { return dictate::runBench(argc, argv); }
