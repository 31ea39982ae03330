// A private PulseAudio server for the Pulse* and end-to-end tests:
// scripts/pulse-server.sh runs it (or scripts/pipewire-server.sh runs
// PipeWire with its PulseAudio server) in a temporary folder of its own, with
// a null sink "feed" whose audio comes out of the default source "testmic".
// Made and destroyed on the test's thread; the destructor stops the server,
// removes the folder and unsets the PulseAudio variables it set in this
// process's environment.
#pragma once

#include <chrono>
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

  // Points PulseAudio clients of this process at this server, with a
  // cookie file of their own in the server's folder, until the destructor.
  void useForThisProcess();

  // Runs `command` through the shell with pactl and paplay pointed at this
  // server; returns its exit status.
  int runTool(const std::string& command) const;
  // Waits until a client has a record stream on the server, polling pactl.
  bool waitForRecordStream(std::chrono::milliseconds timeout) const;

 private:
  Options options_;
  std::string script_, dir_, address_;
  bool usedForThisProcess_ = false;
};

}  // namespace dictate::testing
