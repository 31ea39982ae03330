// A private PulseAudio server for the Pulse* and end-to-end tests:
// scripts/pulse-server.sh runs it (or scripts/pipewire-server.sh runs
// PipeWire with its PulseAudio server) in a temporary folder of its own, with
// a null sink "feed" whose audio comes out of the default source "testmic".
// Made and destroyed on the test's thread; the destructor stops the server,
// removes the folder and restores the PulseAudio variables of this process's
// environment.
#pragma once

#include <chrono>
#include <optional>
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
  explicit PulseServer(Options options);
  PulseServer() : PulseServer(Options{}) {}
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  bool isUp() const { return !address_.empty(); }
  // The address clients connect to, as PULSE_SERVER takes it.
  const std::string& address() const { return address_; }
  const std::string& dir() const { return dir_; }

  // Starts the server again (after kill(), say) at the same address.
  bool restart();
  // Ends the server at once with SIGKILL, as a crash would, and waits until it is gone.
  void kill();
  // Sends `signal` to the server process (SIGSTOP, SIGCONT).
  void signal(int signal) const;

  // Points PulseAudio clients of this process at this server, with a
  // cookie file of their own in the server's folder.
  void useForThisProcess();
  // Points them at a socket that nobody listens on.
  void useNoServerForThisProcess();

  // Runs `command` through the shell with pactl and paplay pointed at this
  // server; returns its exit status.
  int runTool(const std::string& command) const;
  // Waits until a client has a record stream on the server, polling pactl.
  bool waitForRecordStream(std::chrono::milliseconds timeout) const;
  // The number of clients connected with the application name `name`.
  int clientCount(const std::string& name) const;

 private:
  bool start();
  void setVariable(const char* name, const std::string& value);
  std::string toolOutput(const std::string& command) const;

  Options options_;
  std::string script_;
  std::string dir_;
  std::string address_;
  std::optional<std::string> savedServer_, savedCookie_;
  bool savedVariables_ = false;
};

}  // namespace dictate::testing
