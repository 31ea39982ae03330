#include "tests/support/pulse_server.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace dictate::testing {

static int shell(const std::string& command) {
  const int status = system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

PulseServer::PulseServer(Options options)
    : options_(options),
      script_(DICTATE_SOURCE_DIR "/scripts/" +
              std::string(options.pipeWire ? "pipewire-server.sh" : "pulse-server.sh")) {
  char pattern[] = "/tmp/dictate-pulse-XXXXXX";
  if (mkdtemp(pattern)) dir_ = pattern;
  if (!dir_.empty()) restart();
}

PulseServer::~PulseServer() {
  std::error_code ignored;
  if (!dir_.empty()) kill(), std::filesystem::remove_all(dir_, ignored);
  if (usedForThisProcess_) unsetenv("PULSE_SERVER"), unsetenv("PULSE_COOKIE");
}

// The script writes the address to DIR/server once the server answers.
bool PulseServer::restart() {
  address_.clear();
  if (shell(script_ + " start " + dir_ + " --exit-idle 60" +
            (options_.requireCredentials ? " --require-credentials" : "") +
            (options_.withMicrophone ? "" : " --no-microphone") + " >/dev/null") == 0) {
    std::ifstream(dir_ + "/server") >> address_;
  }
  return isUp();
}

void PulseServer::kill() { shell(script_ + " stop " + dir_ + " --now"); }

void PulseServer::useForThisProcess() {
  usedForThisProcess_ = true;
  setenv("PULSE_SERVER", address_.c_str(), 1);
  setenv("PULSE_COOKIE", (dir_ + "/client-cookie").c_str(), 1);
}

// A subshell, so that every command of a pipeline finds the server.
int PulseServer::runTool(const std::string& command) const {
  return shell("(export PULSE_SERVER=unix:" + dir_ + "/native; " + command + ") >/dev/null 2>&1");
}

bool PulseServer::waitForRecordStream(std::chrono::milliseconds timeout) const {
  for (auto end = std::chrono::steady_clock::now() + timeout;
       std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
    // The remapped microphone's own stream has no client ("-").
    if (runTool("pactl list short source-outputs | awk '$3 != \"-\"' | grep -q .") == 0)
      return true;
  }
  return false;
}

}  // namespace dictate::testing
