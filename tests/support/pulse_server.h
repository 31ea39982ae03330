// A private PulseAudio server for the Pulse* and end-to-end tests:
// scripts/pulse-server.sh runs it (or scripts/pipewire-server.sh runs
// PipeWire with its PulseAudio server) in a temporary folder of its own, with
// a null sink "feed" whose audio comes out of the default source "testmic".
// Made and destroyed on the test's thread; the destructor stops the server,
// removes the folder and unsets PULSE_SERVER and PULSE_COOKIE.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <string>

namespace dictate::testing {

class PulseServer {
 public:
  struct Options {
    // Clients must show a cookie that this process does not have.
    bool requireCredentials = false;
    // Without it the default source is the monitor of "feed".
    bool withMicrophone = true;
    // PipeWire and its PulseAudio server instead of PulseAudio (no
    // credentials then).
    bool pipeWire = false;
  };

  // Starts the server; check isUp().
  explicit PulseServer(Options options)
      : script_(DICTATE_SOURCE_DIR "/scripts/" +
                std::string(options.pipeWire ? "pipewire-server.sh" : "pulse-server.sh")),
        flags_(std::string(options.requireCredentials ? " --require-credentials" : "") +
               (options.withMicrophone ? "" : " --no-microphone")) {
    char pattern[] = "/tmp/dictate-pulse-XXXXXX";
    if (mkdtemp(pattern)) dir_ = pattern, restart();
  }
  PulseServer() : PulseServer(Options{}) {}
  // (With no folder, for want of one, both commands do nothing.) The
  // variables go too, or the next server's tools would make the folder
  // again for the cookie.
  ~PulseServer() {
    kill(), shell("rm -rf " + dir_), unsetenv("PULSE_SERVER"), unsetenv("PULSE_COOKIE");
  }
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  bool isUp() const { return !address_.empty(); }
  // The address clients connect to, as PULSE_SERVER takes it.
  const std::string& address() const { return address_; }
  const std::string& dir() const { return dir_; }

  // Starts the server again (after kill(), say) at the same address; the
  // script writes it to DIR/server once the server answers.
  bool restart() {
    address_.clear();
    if (shell(script_ + " start " + dir_ + " --exit-idle 60" + flags_ + " >/dev/null") == 0)
      std::ifstream(dir_ + "/server") >> address_;
    return isUp();
  }
  // Ends the server at once with SIGKILL, as a crash would, and waits until it is gone.
  void kill() { shell(script_ + " stop " + dir_ + " --now >/dev/null"); }

  // Points PulseAudio clients of this process at this server, with a
  // cookie file of their own in the server's folder, until the destructor.
  void useForThisProcess() {
    setenv("PULSE_SERVER", address_.c_str(), 1);
    setenv("PULSE_COOKIE", (dir_ + "/client-cookie").c_str(), 1);
  }

  // Runs `command` through the shell with pactl and paplay pointed at this
  // server (in a subshell, so that a whole pipeline finds it); returns 0
  // when it succeeds, as system() does.
  int runTool(const std::string& command) const {
    return shell("(export PULSE_SERVER=unix:" + dir_ + "/native; " + command + ") >/dev/null 2>&1");
  }
  // Waits until a client has a record stream on the server, polling pactl
  // (the remapped microphone's own stream has no client, "-").
  bool waitForRecordStream(std::chrono::milliseconds timeout) const {
    return runTool("end=$(($(date +%s%3N) + " + std::to_string(timeout.count()) +
                   ")); until pactl list short source-outputs | cut -f3 | grep -qvx -- -; do "
                   "[ $(date +%s%3N) -lt $end ] || exit 1; sleep 0.02; done") == 0;
  }

 private:
  // 0 when `command` succeeds.
  static int shell(const std::string& command) { return system(command.c_str()); }
  std::string script_, flags_, dir_, address_;
};

}  // namespace dictate::testing
