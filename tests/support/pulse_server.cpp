#include "tests/support/pulse_server.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace dictate::testing {

namespace {


std::optional<std::string> variable(const char* name) {
  const char* value = getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

void restoreVariable(const char* name, const std::optional<std::string>& value) {
  if (value) {
    setenv(name, value->c_str(), 1);
  } else {
    unsetenv(name);
  }
}

// Runs `command` through the shell and returns what it printed.
std::string commandOutput(const std::string& command, int* status = nullptr) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return output;
  char chunk[512];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
  int result = pclose(pipe);
  if (status) *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
  return output;
}

}  // namespace

PulseServer::PulseServer(Options options)
    : options_(options),
      script_(DICTATE_SOURCE_DIR "/scripts/" +
              std::string(options.pipeWire ? "pipewire-server.sh" : "pulse-server.sh")) {
  char pattern[] = "/tmp/dictate-pulse-XXXXXX";
  if (mkdtemp(pattern)) dir_ = pattern;
  if (!dir_.empty()) start();
}

PulseServer::~PulseServer() {
  if (!dir_.empty()) {
    commandOutput(script_ + " stop " + dir_ + " --now");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  if (savedVariables_) {
    restoreVariable("PULSE_SERVER", savedServer_);
    restoreVariable("PULSE_COOKIE", savedCookie_);
  }
}

bool PulseServer::start() {
  std::string command = script_ + " start " + dir_ + " --exit-idle 60";
  if (options_.requireCredentials) command += " --require-credentials";
  if (!options_.withMicrophone) command += " --no-microphone";
  int status = -1;
  std::string output = commandOutput(command, &status);
  const std::string prefix = "PULSE_SERVER=";
  address_.clear();
  if (status == 0 && output.rfind(prefix, 0) == 0) {
    address_ = output.substr(prefix.size());
    while (!address_.empty() && address_.back() == '\n') address_.pop_back();
  }
  return isUp();
}

bool PulseServer::restart() { return start(); }

void PulseServer::kill() { commandOutput(script_ + " stop " + dir_ + " --now"); }

void PulseServer::signal(int signal) const {
  std::ifstream file(dir_ + "/pid");
  pid_t pid = 0;
  if (file >> pid && pid > 0) ::kill(pid, signal);
}

void PulseServer::setVariable(const char* name, const std::string& value) {
  if (!savedVariables_) {
    savedServer_ = variable("PULSE_SERVER");
    savedCookie_ = variable("PULSE_COOKIE");
    savedVariables_ = true;
  }
  setenv(name, value.c_str(), 1);
}

void PulseServer::useForThisProcess() {
  setVariable("PULSE_SERVER", address_);
  setVariable("PULSE_COOKIE", dir_ + "/client-cookie");
}

void PulseServer::useNoServerForThisProcess() {
  setVariable("PULSE_SERVER", "unix:" + dir_ + "/nobody-listens-here");
  setVariable("PULSE_COOKIE", dir_ + "/client-cookie");
}

int PulseServer::runTool(const std::string& command) const {
  int status = -1;
  commandOutput("PULSE_SERVER=unix:" + dir_ + "/native " + command + " 2>&1", &status);
  return status;
}

std::string PulseServer::toolOutput(const std::string& command) const {
  return commandOutput("PULSE_SERVER=unix:" + dir_ + "/native " + command + " 2>/dev/null");
}

bool PulseServer::waitForRecordStream(std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    // The remapped microphone's own stream has no client ("-").
    if (!toolOutput("pactl list short source-outputs | awk '$3 != \"-\"'").empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

int PulseServer::clientCount(const std::string& name) const {
  std::string output =
      toolOutput("pactl list clients | grep -c 'application.name = \"" + name + "\"'");
  return output.empty() ? 0 : std::atoi(output.c_str());
}

}  // namespace dictate::testing
