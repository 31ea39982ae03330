// What the end-to-end benchmark needs around the program: a private audio
// server that its destructor stops, shell commands with their output, and
// the interruption flag that its signal handler sets.
#pragma once

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "bench/speech_corpus.h"

namespace e2e {

namespace fs = std::filesystem;
namespace sa = dictate::speechaudio;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// True when a line of `pactl list short source-outputs` has a client.
inline bool hasClientStream(const std::string& list) {
  std::istringstream lines(list);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string index, source, client;
    if (fields >> index >> source >> client && client != "-") return true;
  }
  return false;
}

inline volatile sig_atomic_t interruptedBy = 0;
inline void onSignal(int signal) { interruptedBy = signal; }

inline void checkInterrupted() {
  if (interruptedBy != 0)
    throw std::runtime_error("interrupted by signal " + std::to_string(interruptedBy));
}

inline double msBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

inline Clock::duration seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// Runs `command` through the shell; its standard output and exit status.
inline std::pair<std::string, int> capture(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run " + command);
  std::string out;
  char buffer[512];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  int status = ::pclose(pipe);
  return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// The private audio server, stopped by the destructor whatever happened.
// As a last resort (this benchmark killed outright) the server also ends
// itself after two idle minutes.
class AudioServer {
 public:
  explicit AudioServer(const fs::path& dir) : dir_(dir) {
    auto [out, status] =
        capture(script() + " start " + sa::quoted(dir_.string()) + " --exit-idle 120");
    auto at = out.find("PULSE_SERVER=");
    if (status != 0 || at == std::string::npos) {
      stop();
      throw std::runtime_error("the private audio server did not start: " + out);
    }
    address_ = out.substr(at + 13, out.find('\n', at) - at - 13);
  }
  ~AudioServer() { stop(); }
  AudioServer(const AudioServer&) = delete;
  AudioServer& operator=(const AudioServer&) = delete;

  const std::string& address() const { return address_; }
  // The anonymous socket that paplay and pactl use.
  std::string toolAddress() const { return "unix:" + (dir_ / "native").string(); }
  fs::path clientCookie() const { return dir_ / "client-cookie"; }

  bool waitForRecordStream(std::chrono::milliseconds timeout) const {
    auto deadline = Clock::now() + timeout;
    do {
      checkInterrupted();
      auto [out, status] =
          capture("PULSE_SERVER=" + toolAddress() + " pactl list short source-outputs 2>/dev/null");
      // The virtual microphone's own stream has no client: skip it.
      if (status == 0 && hasClientStream(out)) return true;
      std::this_thread::sleep_for(20ms);
    } while (Clock::now() < deadline);
    return false;
  }

 private:
  static std::string script() {
    return sa::quoted(std::string(DICTATE_SOURCE_DIR) + "/scripts/pulse-server.sh");
  }
  void stop() {
    std::system(
        (script() + " stop " + sa::quoted(dir_.string()) + " --now >/dev/null 2>&1").c_str());
  }

  fs::path dir_;
  std::string address_;
};

}  // namespace e2e
