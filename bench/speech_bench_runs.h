// The two decoders the speech benchmark compares, run on one piece of audio
// each: Debian's bare decoder (pocketsphinx_continuous, a new process) and
// our analyzer through a speech session, as the program runs it. Also the
// small measuring helpers they share. Header-only, for speech_bench.
#pragma once

#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/linux/models/model_store.h"
#include "platform/linux/speech/pocketsphinx_service.h"
#include "bench/speech_corpus.h"
#include "tests/support/speech_session.h"

extern char** environ;

namespace dictate::speechbench {

// The machine's load average, the last line of a report.
inline void printLoadAverage() {
  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  std::printf("\nload average %.2f %.2f %.2f\n", load[0], load[1], load[2]);
}

// The decoder's default options with those of `text` ("-name value ...")
// put in place of the same names or added.
inline PocketSphinxDecoder::Options parseOptions(const std::string& text) {
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

using namespace speechaudio;

inline constexpr size_t kBlock = 1366;

inline double cpuSeconds(const rusage& r) {
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}
inline double selfCpu() {
  rusage r;
  getrusage(RUSAGE_SELF, &r);
  return cpuSeconds(r);
}
inline double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
inline double median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}
inline double seconds(const std::vector<int16_t>& audio) {
  return static_cast<double>(audio.size()) / kRate;
}

// Peak resident memory of a process, from /proc (0 once it has exited).
inline long peakRssKb(const std::string& pid) {
  std::ifstream status("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

// Forgets this process's peak so far (the benchmark's earlier decoders).
inline void resetPeakRss() {
  malloc_trim(0);
  std::ofstream("/proc/self/clear_refs") << "5";
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
inline BareRun runBare(const std::vector<int16_t>& audio, double speed, const fs::path& work) {
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
  double speechEndToFinalMs = NAN;  // to the first final, from voice detection
};

// Energy of each 10 ms frame, and a level 20 dB above the noise floor.
inline std::pair<std::vector<double>, double> frameEnergy(const std::vector<int16_t>& samples) {
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
inline double speechOnset(const std::vector<int16_t>& samples) {
  auto [energy, level] = frameEnergy(samples);
  for (size_t f = 0; f < energy.size(); ++f) {
    if (energy[f] > level) return f * 0.01;
  }
  return 0;
}

// When speech ends, in seconds.
inline double speechEnd(const std::vector<int16_t>& samples) {
  auto [energy, level] = frameEnergy(samples);
  size_t last = energy.size();
  while (last > 0 && energy[last - 1] <= level) --last;
  return static_cast<double>(last) * 0.01;
}

// The clip cut 50 ms after its last speech, as when "stop" comes while the
// user is still talking and the final depends on finalisation alone.
inline std::vector<int16_t> endingInSpeech(const std::vector<int16_t>& samples) {
  auto [energy, level] = frameEnergy(samples);
  size_t last = energy.size();
  while (last > 0 && energy[last - 1] <= level) --last;
  return std::vector<int16_t>(samples.begin(),
                              samples.begin() + std::min(samples.size(), (last + 5) * 160));
}

inline OurRun runOurs(MainLoop& loop, PocketSphinxService& service,
                      const std::vector<int16_t>& audio, double speed) {
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
  session.finishAndFinalize(std::chrono::seconds(3600));  // a busy machine
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
  auto endAt =
      feedStart + std::chrono::duration_cast<Clock::duration>(
                      std::chrono::duration<double>(speechEnd(audio) / std::max(speed, 1e-9)));
  for (const auto& r : session.results()) {
    if (r.result.isFinal && r.at < session.finishedAt) {
      run.speechEndToFinalMs = ms(r.at - endAt);
      break;
    }
  }
  return run;
}

}  // namespace dictate::speechbench
