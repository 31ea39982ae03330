// Speech recognition benchmark: the same audio through our analyzer and
// through Debian's bare decoder (pocketsphinx_continuous -infile), side by
// side from one run.
//
//   speech_bench [--speed N] [--latency-clips N] [--model-check]
//
// Accuracy and CPU: Debian's test recordings (96 words) and twelve
// dictation sentences spoken by espeak-ng over a pink-noise floor, each
// corpus as one stream with pauses, fed as fast as the decoder takes it,
// three times at shifted frame grids; both decoders start fresh (cold), as
// in a new process. Latency: one dictation per clip, fed in real time (or N
// times faster) in blocks of 1366 samples (4096 frames captured at 48 kHz);
// ours keeps its decoder between dictations as the program does, the bare
// decoder is a new process per clip reading a pipe. Model check: what the
// check in a process of its own adds to the first start of a process, once
// without a record of an earlier pass and then with one (--model-check
// measures only this).
#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "platform/linux/model_check.h"
#include "platform/linux/model_store.h"
#include "platform/linux/pocketsphinx_service.h"
#include "tests/support/speech_audio.h"
#include "tests/support/speech_session.h"

extern char** environ;

namespace dictate {
namespace {

using namespace speechaudio;

constexpr size_t kBlock = 1366;

double cpuSeconds(const rusage& r) {
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}
double selfCpu() {
  rusage r;
  getrusage(RUSAGE_SELF, &r);
  return cpuSeconds(r);
}
double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}
double seconds(const std::vector<int16_t>& audio) {
  return static_cast<double>(audio.size()) / kRate;
}

// Peak resident memory of a process, from /proc (0 once it has exited).
long peakRssKb(const std::string& pid) {
  std::ifstream status("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

// Forgets this process's peak so far (the benchmark's earlier decoders).
void resetPeakRss() {
  malloc_trim(0);
  std::ofstream("/proc/self/clear_refs") << "5";
}

struct Corpus {
  std::string name;
  std::vector<Clip> clips;
  std::vector<int16_t> stream;  // the clips with pauses between them
  std::string reference;
};

Corpus realCorpus() {
  Corpus corpus{"real", debianRecordings(), {}, {}};
  for (const auto& clip : corpus.clips) {
    append(corpus.stream, clip.samples);
    append(corpus.stream, silence(1.0));
    corpus.reference += clip.transcript + " ";
  }
  return corpus;
}

Corpus syntheticCorpus(const fs::path& work) {
  Corpus corpus{"synthetic", {}, {}, {}};
  size_t i = 0;
  for (const auto& sentence : dictationSentences()) {
    auto samples = silence(0.5);
    append(samples, speak(sentence, i++ % 2 ? "en-us+f3" : "en-us", work));
    append(samples, silence(0.3));
    addNoiseFloor(samples, work);
    corpus.clips.push_back({"sentence" + std::to_string(i), samples, sentence});
    append(corpus.stream, samples);
    auto gap = silence(1.0);
    addNoiseFloor(gap, work);
    append(corpus.stream, gap);
    corpus.reference += sentence + " ";
  }
  return corpus;
}

// --- the bare decoder -------------------------------------------------------

struct BareRun {
  std::string text;
  double cpu = 0;
  long maxRssKb = 0;
  double endToFinalMs = NAN;  // last line after the input closed
  double wallMs = 0;
};

// Runs pocketsphinx_continuous on `audio`; `speed` > 0 writes it through a
// pipe paced at that multiple of real time, 0 hands it a file.
BareRun runBare(const std::vector<int16_t>& audio, double speed, const fs::path& work) {
  const fs::path file = work / "bare.raw";
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  if (speed <= 0)
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(audio.data()), audio.size() * 2);
  std::vector<std::string> args = {"pocketsphinx_continuous",
                                   "-infile",
                                   speed > 0 ? "/dev/stdin" : file.string(),
                                   "-hmm",
                                   (kDebianModel / "en-us").string(),
                                   "-lm",
                                   (kDebianModel / "en-us.lm.bin").string(),
                                   "-dict",
                                   (kDebianModel / "cmudict-en-us.dict").string(),
                                   "-logfn",
                                   "/dev/null"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  auto started = Clock::now();
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("spawn");
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  BareRun run;
  Clock::time_point lastLine{}, closedAt{};
  // A spawned child's rusage also counts the memory it shared with us
  // before exec, so its peak is sampled from /proc while it runs.
  std::atomic<bool> exited{false};
  std::thread sampler([&, id = std::to_string(pid)] {
    while (!exited) {
      run.maxRssKb = std::max(run.maxRssKb, peakRssKb(id));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  std::thread reader([&] {
    std::string pending;
    char chunk[4096];
    for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;) {
      pending.append(chunk, static_cast<size_t>(n));
      lastLine = Clock::now();
    }
    run.text = pending;
  });
  if (speed > 0) {
    for (size_t i = 0; i < audio.size(); i += kBlock) {
      size_t n = std::min(kBlock, audio.size() - i);
      std::this_thread::sleep_until(started +
                                    std::chrono::duration<double>((i + n) / (kRate * speed)));
      if (write(in[1], audio.data() + i, n * 2) < 0) break;
    }
  }
  closedAt = Clock::now();
  close(in[1]);
  reader.join();
  close(out[0]);
  exited = true;
  sampler.join();
  int status;
  rusage usage;
  wait4(pid, &status, 0, &usage);
  run.wallMs = ms(Clock::now() - started);
  run.cpu = cpuSeconds(usage);
  if (speed > 0 && lastLine > closedAt) run.endToFinalMs = ms(lastLine - closedAt);
  return run;
}

// --- our analyzer -----------------------------------------------------------

struct OurRun {
  std::string text;
  double cpu = 0;
  double startMs = 0;
  double endToFinalMs = 0;
  double firstPartialMs = NAN;
};

// Energy of each 10 ms frame, and a level 20 dB above the noise floor.
std::pair<std::vector<double>, double> frameEnergy(const std::vector<int16_t>& samples) {
  std::vector<double> energy;
  for (size_t i = 0; i + 160 <= samples.size(); i += 160) {
    double sum = 0;
    for (size_t j = i; j < i + 160; ++j) sum += double(samples[j]) * samples[j];
    energy.push_back(sum / 160);
  }
  auto sorted = energy;
  std::sort(sorted.begin(), sorted.end());
  return {energy, (sorted[sorted.size() / 10] + 1) * 100};
}

// When speech begins, in seconds.
double speechOnset(const std::vector<int16_t>& samples) {
  auto [energy, level] = frameEnergy(samples);
  for (size_t f = 0; f < energy.size(); ++f) {
    if (energy[f] > level) return f * 0.01;
  }
  return 0;
}

// The clip cut 50 ms after its last speech, as when "stop" comes while the
// user is still talking and the final depends on finalisation alone.
std::vector<int16_t> endingInSpeech(const std::vector<int16_t>& samples) {
  auto [energy, level] = frameEnergy(samples);
  size_t last = energy.size();
  while (last > 0 && energy[last - 1] <= level) --last;
  return std::vector<int16_t>(samples.begin(),
                              samples.begin() + std::min(samples.size(), (last + 5) * 160));
}

OurRun runOurs(MainLoop& loop, PocketSphinxService& service, const std::vector<int16_t>& audio,
               double speed) {
  OurRun run;
  SpeechSession session(loop, service);
  auto startedAt = Clock::now();
  session.start();
  run.startMs = ms(Clock::now() - startedAt);
  double cpuBefore = selfCpu();
  auto feedStart = Clock::now();
  for (size_t i = 0; i < audio.size(); i += kBlock) {
    size_t n = std::min(kBlock, audio.size() - i);
    if (speed > 0) {
      auto due = feedStart + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>((i + n) / (kRate * speed)));
      loop.runUntil([&] { return Clock::now() >= due; }, std::chrono::seconds(60));
    }
    session.feed(std::span(audio).subspan(i, n));
  }
  session.finishAndFinalize(std::chrono::seconds(600));
  run.cpu = selfCpu() - cpuBefore;
  run.endToFinalMs = ms(session.finalizedAt - session.finishedAt);
  run.text = session.finalText();
  auto onsetAt =
      feedStart + std::chrono::duration_cast<Clock::duration>(
                      std::chrono::duration<double>(speechOnset(audio) / std::max(speed, 1e-9)));
  for (const auto& r : session.results()) {
    if (!r.result.isFinal) {
      run.firstPartialMs = ms(r.at - onsetAt);
      break;
    }
  }
  return run;
}

void row(const char* metric, const std::string& ours, const std::string& bare, const char* goal) {
  std::printf("| %-42s | %-16s | %-16s | %-10s |\n", metric, ours.c_str(), bare.c_str(), goal);
}
std::string fmt(const char* format, double v) {
  if (std::isnan(v)) return "n/a";
  char text[64];
  std::snprintf(text, sizeof text, format, v);
  return text;
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
  size_t latencyClips = 100;
  bool modelCheckOnly = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--model-check") == 0) modelCheckOnly = true;
    if (i + 1 == argc) break;
    if (std::strcmp(argv[i], "--speed") == 0) speed = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--latency-clips") == 0)
      latencyClips = std::strtoul(argv[i + 1], nullptr, 10);
  }
  ScratchDir work;
  setModelChecker(DICTATE_MODEL_CHECKER);
  const ModelCheckCost checkCost = measureModelCheck(work.path());
  if (modelCheckOnly) {
    modelCheckRows(checkCost);
    return 0;
  }
  std::vector<Corpus> corpora = {realCorpus(), syntheticCorpus(work.path())};
  auto store =
      std::make_shared<ModelStore>(ModelStoreLocations{work.path() / "store", {"/usr/share"}});
  MainLoop loop;

  // Accuracy and CPU, cold decoders on both sides.
  size_t refWords = 0, ourErrors = 0, bareErrors = 0;
  double audioSeconds = 0, ourCpu = 0, bareCpu = 0, firstStartMs = 0;
  long bareMaxRssKb = 0;
  BareRun empty = runBare({}, 0, work.path());
  // Where the 10 ms frames fall changes the text by a few words either
  // way, so each corpus runs three times, shifted by a third of a frame.
  for (const auto& corpus : corpora) {
    size_t n = words(corpus.reference).size();
    size_t ourCorpusErrors = 0, bareCorpusErrors = 0;
    for (size_t offset : {0, 53, 107}) {
      std::vector<int16_t> stream(offset, 0);
      append(stream, corpus.stream);
      PocketSphinxService fresh(store);
      OurRun ours = runOurs(loop, fresh, stream, 0);
      firstStartMs = std::max(firstStartMs, ours.startMs);
      BareRun bare = runBare(stream, 0, work.path());
      ourCorpusErrors += wordErrors(corpus.reference, ours.text);
      bareCorpusErrors += wordErrors(corpus.reference, bare.text);
      audioSeconds += seconds(stream);
      ourCpu += ours.cpu;
      bareCpu += bare.cpu - empty.cpu;
      bareMaxRssKb = std::max(bareMaxRssKb, bare.maxRssKb);
    }
    std::printf("%-9s WER ours %5.1f %%  bare %5.1f %%  (%zu words x 3, %.1f s)\n",
                corpus.name.c_str(), 100.0 * ourCorpusErrors / (3 * n),
                100.0 * bareCorpusErrors / (3 * n), n, seconds(corpus.stream));
    refWords += 3 * n;
    ourErrors += ourCorpusErrors;
    bareErrors += bareCorpusErrors;
  }

  // Latency, one dictation per clip, input ending right after speech.
  // The first utterance of a process is decoded twice (the second time with
  // the adapted cepstral mean), so it is measured apart, on a fresh service.
  std::vector<std::vector<int16_t>> clips;
  for (const auto& corpus : corpora) {
    for (const auto& clip : corpus.clips) {
      if (clips.size() < latencyClips) clips.push_back(endingInSpeech(clip.samples));
    }
  }
  double firstUtteranceEndMs;
  {
    PocketSphinxService fresh(store);
    firstUtteranceEndMs = runOurs(loop, fresh, clips[0], speed).endToFinalMs;
  }
  resetPeakRss();
  PocketSphinxService service(store);
  runOurs(loop, service, corpora[0].clips[0].samples, 0);  // loads and adapts the decoder
  std::vector<double> ourEnd, bareEnd, ourPartial, ourStart;
  for (const auto& clip : clips) {
    OurRun ours = runOurs(loop, service, clip, speed);
    BareRun bare = runBare(clip, speed, work.path());
    ourEnd.push_back(ours.endToFinalMs);
    if (!std::isnan(bare.endToFinalMs)) bareEnd.push_back(bare.endToFinalMs);
    if (!std::isnan(ours.firstPartialMs)) ourPartial.push_back(ours.firstPartialMs);
    ourStart.push_back(ours.startMs);
    bareMaxRssKb = std::max(bareMaxRssKb, bare.maxRssKb);
  }
  const long ourPeakKb = peakRssKb("self");

  double ourWer = double(ourErrors) / refWords, bareWer = double(bareErrors) / refWords;
  std::printf("\n| %-42s | %-16s | %-16s | %-10s |\n", "metric", "ours", "bare decoder", "goal");
  std::printf("|%s|%s|%s|%s|\n", std::string(44, '-').c_str(), std::string(18, '-').c_str(),
              std::string(18, '-').c_str(), std::string(12, '-').c_str());
  row("WER, both corpora, cold decoder", fmt("%.1f %%", 100 * ourWer),
      fmt("%.1f %%", 100 * bareWer), "");
  row("WER ratio ours / bare", fmt("%.2f", ourWer / bareWer), "", "<= 1.00");
  row("CPU seconds per audio second", fmt("%.3f", ourCpu / audioSeconds),
      fmt("%.3f", bareCpu / audioSeconds), "<= 0.20");
  row("end of input -> final, median ms", fmt("%.1f", median(ourEnd)), fmt("%.1f", median(bareEnd)),
      "<= 100");
  row("end of input -> final, max ms",
      fmt("%.1f", ourEnd.empty() ? NAN : *std::max_element(ourEnd.begin(), ourEnd.end())),
      fmt("%.1f", bareEnd.empty() ? NAN : *std::max_element(bareEnd.begin(), bareEnd.end())), "");
  row("same, first utterance of a process, ms", fmt("%.1f", firstUtteranceEndMs), "", "");
  row("first partial after speech onset, median ms", fmt("%.0f", median(ourPartial)),
      "none (finals only)", "");
  row("peak memory (max RSS), MiB", fmt("%.0f", ourPeakKb / 1024.0),
      fmt("%.0f", bareMaxRssKb / 1024.0), "");
  row("first start (model load), ms", fmt("%.0f", firstStartMs), fmt("%.0f", empty.wallMs), "");
  row("second start, median ms", fmt("%.2f", median(ourStart)), fmt("%.0f", empty.wallMs), "<= 50");
  modelCheckRows(checkCost);
  std::printf(
      "\n%zu latency clips at %.1fx real time, %.1f s first utterance; %zu reference words; bare "
      "start = "
      "process run on empty input; our peak memory: one warm decoder in use, plus the benchmark's "
      "audio\n",
      ourEnd.size(), speed, seconds(clips[0]), refWords);
  return 0;
}

}  // namespace
}  // namespace dictate

int main(int argc, char** argv) { return dictate::runBench(argc, argv); }
