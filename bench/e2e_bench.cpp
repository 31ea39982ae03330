// Latency, CPU and memory of real dictation end to end: the built program
// records from a private PulseAudio server whose virtual microphone plays
// sentences spoken by espeak-ng over a noise floor, in real time, and
// recognises them with PocketSphinx. Each program process dictates a warm-up
// sentence first (its decoder adapts to the microphone on the first
// utterance), then several sentences with two seconds of noise floor after
// them, then one that ends with its file, each in a start/stop cycle of its
// own with "stop" sent as soon as the playback has ended. Prints medians as a
// table on standard output, and one line per sentence on standard error.
//
//   e2e_bench [processes] [measured sentences per process]
//
// Single-threaded, apart from the reader threads of DictateProcess.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/dictate_process.h"
#include "bench/e2e_support.h"
#include "bench/speech_corpus.h"

namespace {

using namespace e2e;
using dictate::testing::DictateProcess;

const std::string kReady = R"({"type":"ready"})";
const std::string kListening = R"({"type":"state","value":"listening"})";
const std::string kStopped = R"({"type":"state","value":"stopped"})";

constexpr double kLead = 0.8;       // seconds of noise floor before the speech
constexpr double kLongTail = 2.0;   // after the speech: silence detection ends the utterance
constexpr double kShortTail = 0.0;  // after the speech: "stop" has to deliver the last words
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

// A sentence as a WAV file, with where its speech begins and ends.
struct Clip {
  std::string text;
  fs::path wav;
  double duration = 0;     // seconds of the whole file
  double speechBegin = 0;  // seconds into the file
  double speechEnd = 0;
};

void writeWav(const fs::path& file, const std::vector<int16_t>& samples) {
  auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [](uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
  uint32_t bytes = static_cast<uint32_t>(samples.size() * 2);
  std::ofstream out(file, std::ios::binary);
  out << "RIFF" << u32(36 + bytes) << "WAVEfmt " << u32(16) << u16(1) << u16(1) << u32(sa::kRate)
      << u32(sa::kRate * 2) << u16(2) << u16(16) << "data" << u32(bytes);
  out.write(reinterpret_cast<const char*>(samples.data()), bytes);
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

// First and last 10 ms window of clean speech louder than about -44 dBFS.
std::pair<double, double> speechBounds(const std::vector<int16_t>& speech) {
  constexpr size_t kWindow = sa::kRate / 100;
  double first = kNan, last = kNan;
  for (size_t at = 0; at + kWindow <= speech.size(); at += kWindow) {
    double energy = 0;
    for (size_t i = at; i < at + kWindow; ++i) energy += double(speech[i]) * speech[i];
    if (std::sqrt(energy / kWindow) < 200) continue;
    if (std::isnan(first)) first = double(at) / sa::kRate;
    last = double(at + kWindow) / sa::kRate;
  }
  if (std::isnan(first)) throw std::runtime_error("espeak-ng produced no audible speech");
  return {first, last};
}

Clip makeClip(const std::string& text, double tail, const fs::path& work, int number) {
  auto speech = sa::speak(text, "en-us", work);
  auto [begin, end] = speechBounds(speech);
  std::vector<int16_t> samples = sa::silence(kLead);
  sa::append(samples, speech);
  sa::append(samples, sa::silence(tail));
  sa::addNoiseFloor(samples, work);
  Clip clip{text, work / ("clip" + std::to_string(number) + ".wav"),
            double(samples.size()) / sa::kRate, kLead + begin, kLead + end};
  writeWav(clip.wav, samples);
  return clip;
}

// One paplay run, timed from its verbose output: "Stream started." is
// printed when the server begins to play (after the 20 ms prebuffer), and
// paplay ends once the server reports the stream drained.
struct Playback {
  Clock::time_point started, ended;
  bool sawStart = false;
  std::vector<Clock::time_point> underruns;
};

// Notes the moments of paplay's messages that `text`, its output so far,
// has brought.
void noteMessages(const std::string& text, Playback& playback) {
  auto now = Clock::now();
  if (!playback.sawStart && text.find("Stream started.") != std::string::npos) {
    playback.sawStart = true;
    playback.started = now;
  }
  size_t underruns = 0;
  for (size_t at = 0; (at = text.find("Stream underrun.", at)) != std::string::npos; ++at)
    ++underruns;
  playback.underruns.resize(underruns, now);
}

Playback play(const Clip& clip, const AudioServer& server) {
  std::string command = "PULSE_SERVER=" + server.toolAddress() +
                        " paplay -v --device=feed --latency-msec=20 " + sa::quoted(clip.wav) +
                        " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run " + command);
  Playback result;
  std::string text;
  char buffer[1024];
  for (ssize_t n; (n = ::read(::fileno(pipe), buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;  // paplay ends with the file at the latest
    if (n < 0) break;
    text.append(buffer, size_t(n));
    noteMessages(text, result);
  }
  result.ended = Clock::now();
  int status = ::pclose(pipe);
  checkInterrupted();
  if (status != 0) throw std::runtime_error("paplay failed: " + text);
  return result;
}

struct Cycle {
  double startToListening = kNan;
  double firstVolatile = kNan;  // after the speech onset
  double endToFinal = kNan;     // final by silence detection, after the last word's end
  bool finalAfterStop = false;  // the last words were delivered only by "stop"
  double stopToStopped = kNan;
  double estimateGap = kNan;        // playback start from paplay's end minus that from its start
  double uncertaintyMs = kNan;      // of the speech's onset and end
  std::vector<double> underrunsAt;  // seconds into the file
  double speechToStop = kNan;       // from the last word's end to "stop"
  double listeningSeconds = 0;
  double cpuSeconds = 0;  // while listening
  double wordErrorRate = kNan;
};

double cpuSecondsOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string skipped;
  for (int field = 3; field < 14; ++field) fields >> skipped;
  double utime = 0, stime = 0;
  fields >> utime >> stime;
  return (utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

double peakMemoryMiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return kNan;
}

std::string describe(const DictateProcess& program) {
  std::string out = "stdout:\n";
  for (const auto& line : program.lines()) out += "  " + line.text + "\n";
  return out + "stderr:\n" + program.standardError();
}

size_t awaitLine(DictateProcess& program, const std::string& line, size_t from) {
  checkInterrupted();
  auto at = program.waitForLine(line, 30s, from);
  checkInterrupted();
  if (!at) throw std::runtime_error("no " + line + " line\n" + describe(program));
  return *at;
}

// One line per sentence on standard error, to judge the table by.
void logCycle(const Clip& clip, const Cycle& cycle, const std::string& finals) {
  std::string underruns;
  for (double at : cycle.underrunsAt) underruns += " " + std::to_string(at).substr(0, 4);
  std::fprintf(stderr, "%s: speech %.2f..%.2f of %.2f s, underruns at [%s ] s, +-%.0f ms; ",
               clip.wav.filename().c_str(), clip.speechBegin, clip.speechEnd, clip.duration,
               underruns.c_str(), cycle.uncertaintyMs);
  std::fprintf(stderr, "volatile %.0f, final %.0f%s, stopped %.1f ms; \"%s\"\n",
               cycle.firstVolatile, cycle.endToFinal, cycle.finalAfterStop ? " (after stop)" : "",
               cycle.stopToStopped, finals.c_str());
}

// When the sample `offset` seconds into the file was played. The server
// plays the file in real time from "Stream started." on, but every underrun
// delays what follows it by the time paplay took to refill. So a moment with
// no underrun before it is timed from the start, one with none after it from
// paplay's end (stream drained) minus the rest of the file, and one between
// underruns halfway, give or take half the difference of the two.
struct PlayedAt {
  Clock::time_point at;
  double uncertaintyMs = 0;
};

PlayedAt playedAt(const Playback& playback, const Clip& clip, double offset) {
  Clock::time_point fromEnd = playback.ended - seconds(clip.duration - offset);
  if (!playback.sawStart) return {fromEnd, kNan};
  Clock::time_point fromStart = playback.started + seconds(offset);
  bool before = false, after = false;
  for (auto at : playback.underruns) (at < fromStart ? before : after) = true;
  if (!before) return {fromStart, 0};
  if (!after) return {fromEnd, 0};
  return {fromStart + (fromEnd - fromStart) / 2, std::fabs(msBetween(fromStart, fromEnd)) / 2};
}

// What the host saw between "listening" and "stopped", timed against the
// speech in the playback.
void analyse(const std::vector<DictateProcess::Line>& lines, size_t from, size_t to,
             const Clip& clip, const Playback& playback, Clock::time_point stopSent, Cycle& cycle) {
  PlayedAt onset = playedAt(playback, clip, clip.speechBegin);
  PlayedAt speechEnd = playedAt(playback, clip, clip.speechEnd);
  cycle.estimateGap = playback.sawStart
                          ? msBetween(playback.started, playback.ended - seconds(clip.duration))
                          : kNan;
  cycle.uncertaintyMs = std::max(onset.uncertaintyMs, speechEnd.uncertaintyMs);
  cycle.speechToStop = msBetween(speechEnd.at, stopSent);
  for (auto at : playback.underruns)
    cycle.underrunsAt.push_back(msBetween(playback.started, at) / 1000.0);
  std::string finals;
  for (size_t i = from + 1; i < to; ++i) {
    std::string summary = DictateProcess::summary(lines[i].text);
    if (summary.rfind("volatile:", 0) == 0 && std::isnan(cycle.firstVolatile)) {
      cycle.firstVolatile = msBetween(onset.at, lines[i].at);
    }
    if (summary.rfind("final:", 0) != 0) continue;
    finals += summary.substr(6) + " ";
    if (lines[i].at < stopSent) {
      cycle.endToFinal = msBetween(speechEnd.at, lines[i].at);
    } else {
      cycle.finalAfterStop = true;
    }
  }
  if (cycle.finalAfterStop) cycle.endToFinal = kNan;
  cycle.wordErrorRate = sa::wordErrorRate(clip.text, finals);
  logCycle(clip, cycle, finals);
}

Cycle dictate(DictateProcess& program, const AudioServer& server, const Clip& clip) {
  Cycle cycle;
  size_t from = program.lines().size();
  Clock::time_point startSent = Clock::now();
  program.send(R"({"cmd":"start"})");
  size_t listening = awaitLine(program, kListening, from);
  double cpuBefore = cpuSecondsOf(program.pid());
  if (!server.waitForRecordStream(10s))
    throw std::runtime_error("no record stream\n" + describe(program));
  Playback playback = play(clip, server);
  Clock::time_point stopSent = Clock::now();
  program.send(R"({"cmd":"stop"})");
  size_t stopped = awaitLine(program, kStopped, listening + 1);
  cycle.cpuSeconds = cpuSecondsOf(program.pid()) - cpuBefore;
  auto lines = program.lines();
  cycle.startToListening = msBetween(startSent, lines[listening].at);
  cycle.stopToStopped = msBetween(stopSent, lines[stopped].at);
  cycle.listeningSeconds = msBetween(lines[listening].at, lines[stopped].at) / 1000.0;
  analyse(lines, listening, stopped, clip, playback, stopSent, cycle);
  return cycle;
}

struct ProcessRun {
  Cycle cold;
  std::vector<Cycle> warm;
  Cycle pendingStop;
  double cpuPerAudioSecond = 0;  // whole process, model load included
  double peakMiB = 0;
};

ProcessRun runProcess(const AudioServer& server, const std::vector<Clip>& clips,
                      const Clip& pending) {
  sa::ScratchDir home;
  DictateProcess program(DICTATE_BINARY, {},
                         {{"PULSE_SERVER", server.address()},
                          {"PULSE_COOKIE", server.clientCookie().string()},
                          {"HOME", home.path().string()},
                          {"XDG_DATA_HOME", (home.path() / "data").string()},
                          {"XDG_CONFIG_HOME", (home.path() / "config").string()},
                          {"XDG_STATE_HOME", std::nullopt},
                          {"XDG_DATA_DIRS", std::nullopt}});
  awaitLine(program, kReady, 0);
  ProcessRun run;
  run.cold = dictate(program, server, clips.front());
  for (size_t i = 1; i < clips.size(); ++i) run.warm.push_back(dictate(program, server, clips[i]));
  run.pendingStop = dictate(program, server, pending);
  double audioSeconds = run.cold.listeningSeconds + run.pendingStop.listeningSeconds;
  for (const Cycle& c : run.warm) audioSeconds += c.listeningSeconds;
  run.cpuPerAudioSecond = cpuSecondsOf(program.pid()) / audioSeconds;
  run.peakMiB = peakMemoryMiB(program.pid());
  program.send(R"({"cmd":"quit"})");
  if (program.waitForExit(30s) != 0)
    throw std::runtime_error("quit did not end the program\n" + describe(program));
  return run;
}

struct Stats {
  size_t n = 0;
  double median = kNan, min = kNan, max = kNan;
};

Stats stats(std::vector<double> values) {
  values.erase(std::remove_if(values.begin(), values.end(), [](double v) { return std::isnan(v); }),
               values.end());
  Stats s;
  s.n = values.size();
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  size_t mid = values.size() / 2;
  s.median = values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
  s.min = values.front();
  s.max = values.back();
  return s;
}

// One table row; a goal of NaN means none.
void row(const std::string& name, const std::vector<double>& values, double goal,
         const char* unit) {
  Stats s = stats(values);
  std::string verdict = std::isnan(goal)       ? ""
                        : std::isnan(s.median) ? "no data"
                        : s.median <= goal     ? "met"
                                               : "MISSED";
  char goalText[32] = "";
  if (!std::isnan(goal)) std::snprintf(goalText, sizeof goalText, "<= %g", goal);
  std::printf("%-50s %3zu %9.3g %9.3g %9.3g %-5s %-8s %s\n", name.c_str(), s.n, s.median, s.min,
              s.max, unit, goalText, verdict.c_str());
}

std::vector<double> collect(const std::vector<Cycle>& cycles, double Cycle::*field) {
  std::vector<double> out;
  for (const Cycle& c : cycles) out.push_back(c.*field);
  return out;
}

void row(const std::string& name, const std::vector<Cycle>& cycles, double Cycle::*field,
         double goal = kNan) {
  row(name, collect(cycles, field), goal, "ms");
}

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five;
  in >> one >> five;
  return one + " (1 min), " + five + " (5 min)";
}

// How far the speech times can be off, and what else disturbed the run.
void printNotes(const std::vector<Cycle>& all, const std::vector<Cycle>& cold,
                const std::vector<Cycle>& warm, const std::string& loadBefore) {
  std::vector<double> cleanGaps, uncertainties;
  int underruns = 0;
  for (const Cycle& c : all) {
    if (c.underrunsAt.empty()) cleanGaps.push_back(std::fabs(c.estimateGap));
    if (c.uncertaintyMs > 0) uncertainties.push_back(c.uncertaintyMs);
    underruns += int(c.underrunsAt.size());
  }
  auto late = [](const std::vector<Cycle>& cycles) {
    return std::count_if(cycles.begin(), cycles.end(),
                         [](const Cycle& c) { return c.finalAfterStop; });
  };
  std::printf(
      "Speech onset/end: when paplay -v reported \"Stream started.\", plus their place in the "
      "file\n"
      "(or paplay's exit minus the rest of the file, after underruns). Without underruns the two\n"
      "agree within a median %.0f ms; paplay underran %d times in %zu playbacks; %zu had speech\n"
      "between underruns: +-%.0f ms median, +-%.0f ms at most. Long-tail sentences whose last\n"
      "words came only after \"stop\": warm %td, cold %td.\n",
      stats(cleanGaps).median, underruns, all.size(), uncertainties.size(),
      stats(uncertainties).median, stats(uncertainties).max, late(warm), late(cold));
  std::printf("Load average before: %s; after: %s (2 cores, shared machine).\n", loadBefore.c_str(),
              loadAverage().c_str());
}

void report(const std::vector<ProcessRun>& runs, const std::string& loadBefore) {
  std::vector<Cycle> cold, warm, pending;
  std::vector<double> cpuWhole, cpuListening, peak;
  for (const ProcessRun& r : runs) {
    cold.push_back(r.cold);
    warm.insert(warm.end(), r.warm.begin(), r.warm.end());
    pending.push_back(r.pendingStop);
    cpuWhole.push_back(r.cpuPerAudioSecond);
    peak.push_back(r.peakMiB);
  }
  std::vector<Cycle> all = cold;
  all.insert(all.end(), warm.begin(), warm.end());
  all.insert(all.end(), pending.begin(), pending.end());
  for (const Cycle& c : all) cpuListening.push_back(c.cpuSeconds / c.listeningSeconds);
  char pendingName[64];
  std::snprintf(pendingName, sizeof pendingName,
                "\"stop\" -> \"stopped\", stop %.0f ms after last word",
                stats(collect(pending, &Cycle::speechToStop)).median);

  std::printf(
      "%zu processes x (cold warm-up sentence, %zu warm ones with %.1f s of noise floor\n"
      "after the speech, one stopped right after its speech); a start/stop cycle each\n",
      runs.size(), runs[0].warm.size(), kLongTail);
  std::printf("%-50s %3s %9s %9s %9s %-5s %-8s\n", "", "n", "median", "min", "max", "unit", "goal");
  row("end of speech -> final (silence detection), warm", warm, &Cycle::endToFinal, 600);
  row("\"stop\" -> \"stopped\" (utterance already final), warm", warm, &Cycle::stopToStopped, 100);
  row(pendingName, pending, &Cycle::stopToStopped, 100);
  row("first volatile after speech onset, warm", warm, &Cycle::firstVolatile);
  row("\"start\" -> \"listening\", warm", warm, &Cycle::startToListening);
  row("end of speech -> final, cold (first utterance)", cold, &Cycle::endToFinal, 600);
  row("\"stop\" -> \"stopped\", cold", cold, &Cycle::stopToStopped, 100);
  row("first volatile after speech onset, cold", cold, &Cycle::firstVolatile);
  row("\"start\" -> \"listening\", cold (model load)", cold, &Cycle::startToListening);
  row("CPU / audio second, whole process (per process)", cpuWhole, 0.25, "core");
  row("CPU / audio second, while listening (per cycle)", cpuListening, 0.25, "core");
  row("peak memory VmHWM (per process)", peak, kNan, "MiB");
  row("word error rate, warm (sanity check)", collect(warm, &Cycle::wordErrorRate), kNan, "");
  printNotes(all, cold, warm, loadBefore);
}

}  // namespace

int main(int argc, char** argv) {
  size_t processes = argc > 1 ? size_t(std::atoi(argv[1])) : 3;
  size_t perProcess = argc > 2 ? size_t(std::atoi(argv[2])) : 3;
  if (processes == 0 || perProcess == 0) {
    std::fprintf(stderr, "usage: %s [processes] [measured sentences per process]\n", argv[0]);
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = onSignal;  // no SA_RESTART: blocking reads return, and cleanup runs
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  std::string loadBefore = loadAverage();
  try {
    sa::ScratchDir work;
    const auto& sentences = sa::dictationSentences();
    std::vector<std::vector<Clip>> clips(processes);
    std::vector<Clip> pending;
    for (size_t p = 0, next = 0; p < processes; ++p) {
      for (size_t i = 0; i <= perProcess; ++i, ++next) {
        clips[p].push_back(
            makeClip(sentences[next % sentences.size()], kLongTail, work.path(), int(next)));
      }
      pending.push_back(
          makeClip(sentences[next % sentences.size()], kShortTail, work.path(), int(next)));
      ++next;
    }
    AudioServer server(work.path() / "pulse");
    std::vector<ProcessRun> runs;
    for (size_t p = 0; p < processes; ++p) runs.push_back(runProcess(server, clips[p], pending[p]));
    report(runs, loadBefore);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "e2e_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
