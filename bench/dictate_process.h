// The built program as a child process, for the end-to-end benchmark:
// commands go to its standard input, and two reader threads collect its
// standard output lines, each with the time it arrived, and its standard
// error. Driven from one thread; the readers share what they collect under
// a mutex.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace dictate::testing {

class DictateProcess {
 public:
  using Clock = std::chrono::steady_clock;
  struct Line {
    std::string text;  // without the line feed
    Clock::time_point at;
  };

  // Starts `binary` with `args` and this process's environment, changed by
  // `env` (a value of nullopt removes the variable).
  DictateProcess(const std::string& binary, const std::vector<std::string>& args,
                 const std::vector<std::pair<std::string, std::optional<std::string>>>& env) {
    std::vector<std::string> argv{binary}, envp;
    argv.insert(argv.end(), args.begin(), args.end());
    for (char** e = environ; *e; ++e) envp.push_back(*e);
    for (const auto& [name, value] : env) {
      const std::string prefix = name + "=";
      std::erase_if(envp, [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
      if (value) envp.push_back(prefix + *value);
    }
    int fds[3][2];  // pipes for standard input, output and error
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int i = 0; i < 3; ++i) {
      if (::pipe2(fds[i], O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
      posix_spawn_file_actions_adddup2(&actions, fds[i][i == 0 ? 0 : 1], i);
    }
    std::vector<char*> argp(argv.size() + 1), envpp(envp.size() + 1);  // null-terminated
    for (size_t i = 0; i < argv.size(); ++i) argp[i] = argv[i].data();
    for (size_t i = 0; i < envp.size(); ++i) envpp[i] = envp[i].data();
    int rc = ::posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argp.data(), envpp.data());
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; i < 3; ++i) ::close(fds[i][i == 0 ? 0 : 1]);
    if (rc != 0) throw std::runtime_error("cannot start " + binary);  // the test ends there
    input_ = fds[0][1];
    stdoutReader_ = std::jthread([this, fd = fds[1][0]] { collect(fd, true); });
    stderrReader_ = std::jthread([this, fd = fds[2][0]] { collect(fd, false); });
  }
  ~DictateProcess() {
    closeInput();
    if (!exitStatus_) ::kill(pid_, SIGKILL);
    waitForExit(std::chrono::seconds(10));
  }

  pid_t pid() const { return pid_; }
  // Writes `line` and a line feed to the program's standard input in one
  // write, which a pipe takes whole.
  void send(const std::string& line) {
    std::string data = line + "\n";
    if (input_ >= 0 && ::write(input_, data.data(), data.size()) < 0) closeInput();
  }
  void closeInput() { if (input_ >= 0) ::close(input_); input_ = -1; }

  // The index of the first standard output line equal to `exact` at index
  // `from` or later; nullopt when none came within `timeout`.
  std::optional<size_t> waitForLine(const std::string& exact, std::chrono::milliseconds timeout,
                                    size_t from = 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<size_t> found;
    changed_.wait_for(lock, timeout, [&] {
      for (; !found && from < lines_.size(); ++from) {
        if (lines_[from].text == exact) found = from;
      }
      return found || stdoutClosed_;
    });
    return found;
  }

  // The exit status, or nullopt when the program still runs after `timeout`.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout) {
    for (auto deadline = Clock::now() + timeout; !exitStatus_ && Clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) != pid_) continue;
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return exitStatus_;
  }

  std::vector<Line> lines() const { std::lock_guard<std::mutex> lock(mutex_); return lines_; }
  std::string standardError() const { std::lock_guard<std::mutex> lock(mutex_); return stderr_; }

  // The "type" of an event line, with its "text", "value", "status" or
  // "message" after a colon: "final:go forward", "state:listening".
  static std::string summary(const std::string& line) {
    auto event = nlohmann::json::parse(line, nullptr, false);
    if (!event.is_object() || !event.contains("type")) return "?" + line;
    std::string out = event["type"].get<std::string>();
    for (const char* key : {"text", "value", "status", "message"}) {
      out += event.contains(key) ? ":" + event[key].get<std::string>() : "";
    }
    return out;
  }

 private:
  // Reads `fd` to its end: lines from standard output, text from standard error.
  void collect(int fd, bool isStdout) {
    std::string pending;
    char buffer[4096];
    for (ssize_t n = 1; n > 0;) {
      n = ::read(fd, buffer, sizeof buffer);
      auto now = Clock::now();
      std::lock_guard<std::mutex> lock(mutex_);
      (isStdout ? pending : stderr_).append(buffer, n > 0 ? static_cast<size_t>(n) : 0);
      for (size_t end; isStdout && (end = pending.find('\n')) != std::string::npos;) {
        lines_.push_back({pending.substr(0, end), now});
        pending.erase(0, end + 1);
      }
      stdoutClosed_ |= isStdout && n <= 0;
      changed_.notify_all();
    }
    ::close(fd);
  }

  pid_t pid_ = -1;
  int input_ = -1;
  std::optional<int> exitStatus_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Line> lines_;                   // guarded by mutex_
  std::string stderr_;                        // guarded by mutex_
  bool stdoutClosed_ = false;                 // guarded by mutex_
  std::jthread stdoutReader_, stderrReader_;  // last: joined before the rest goes
};

}  // namespace dictate::testing
