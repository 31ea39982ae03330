// The built program as a child process, for end-to-end tests and the
// end-to-end benchmark: its standard input is a pipe the caller writes
// commands to, and two reader threads collect its standard output lines,
// each with the time it arrived, and its standard error. Header-only, so that
// benchmarks (which link only the core library) can use it too. Driven from
// one thread; the readers share the collected output under a mutex.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
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
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> argStrings{binary};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = mergedEnvironment(env);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    started_ = Clock::now();
    int rc = posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
      ::close(in[1]);
      ::close(out[0]);
      ::close(err[0]);
      throw std::runtime_error("cannot start " + binary);
    }
    input_ = in[1];
    stdoutReader_ = std::thread([this, fd = out[0]] { readLines(fd); });
    stderrReader_ = std::thread([this, fd = err[0]] { readText(fd); });
  }

  ~DictateProcess() {
    closeInput();
    if (!exited_) {
      ::kill(pid_, SIGKILL);
      waitForExit(std::chrono::seconds(10));
    }
    if (stdoutReader_.joinable()) stdoutReader_.join();
    if (stderrReader_.joinable()) stderrReader_.join();
  }

  DictateProcess(const DictateProcess&) = delete;
  DictateProcess& operator=(const DictateProcess&) = delete;

  pid_t pid() const { return pid_; }
  Clock::time_point startedAt() const { return started_; }

  // Writes `line` and a line feed to the program's standard input.
  void send(const std::string& line) {
    std::string data = line + "\n";
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0 && input_ >= 0) {
      ssize_t n = ::write(input_, p, left);
      if (n < 0) return;
      p += n;
      left -= static_cast<size_t>(n);
    }
  }
  void closeInput() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
  }

  // Waits for a standard output line at index `from` or later for which
  // `match` holds; its index, or nullopt after `timeout`.
  std::optional<size_t> waitForLine(const std::function<bool(const std::string&)>& match,
                                    std::chrono::milliseconds timeout, size_t from = 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    size_t next = from;
    auto deadline = Clock::now() + timeout;
    for (;;) {
      for (; next < lines_.size(); ++next) {
        if (match(lines_[next].text)) return next;
      }
      if (stdoutClosed_) return std::nullopt;
      if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && next >= lines_.size()) {
        return std::nullopt;
      }
    }
  }
  std::optional<size_t> waitForLine(const std::string& exact, std::chrono::milliseconds timeout,
                                    size_t from = 0) {
    return waitForLine([&](const std::string& line) { return line == exact; }, timeout, from);
  }

  // The exit status, or nullopt when the program is still running after
  // `timeout`.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (!exited_) {
      int status = 0;
      pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exited_ = true;
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (Clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return exitStatus_;
  }

  std::vector<Line> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::string standardError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stderr_;
  }

  // The "type" of an event line, with its "text", "value", "status" or
  // "message" after a colon: "final:go forward", "state:listening".
  static std::string summary(const std::string& line) {
    auto event = nlohmann::json::parse(line, nullptr, false);
    if (!event.is_object() || !event.contains("type")) return "?" + line;
    std::string out = event["type"].get<std::string>();
    for (const char* key : {"text", "value", "status", "message"}) {
      if (event.contains(key)) out += ":" + event[key].get<std::string>();
    }
    return out;
  }

 private:
  static std::vector<std::string> mergedEnvironment(
      const std::vector<std::pair<std::string, std::optional<std::string>>>& changes) {
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
      std::string entry(*e);
      auto eq = entry.find('=');
      if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [name, value] : changes) {
      if (value) {
        vars[name] = *value;
      } else {
        vars.erase(name);
      }
    }
    std::vector<std::string> out;
    for (const auto& [name, value] : vars) out.push_back(name + "=" + value);
    return out;
  }

  void readLines(int fd) {
    std::string pending;
    char buffer[4096];
    for (;;) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      auto now = Clock::now();
      std::lock_guard<std::mutex> lock(mutex_);
      pending.append(buffer, static_cast<size_t>(n));
      size_t start = 0, end;
      while ((end = pending.find('\n', start)) != std::string::npos) {
        lines_.push_back({pending.substr(start, end - start), now});
        start = end + 1;
      }
      pending.erase(0, start);
      changed_.notify_all();
    }
    ::close(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pending.empty()) lines_.push_back({pending, Clock::now()});
    stdoutClosed_ = true;
    changed_.notify_all();
  }

  void readText(int fd) {
    char buffer[4096];
    for (;;) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      std::lock_guard<std::mutex> lock(mutex_);
      stderr_.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
  }

  pid_t pid_ = -1;
  int input_ = -1;
  Clock::time_point started_;
  bool exited_ = false;
  int exitStatus_ = -1;
  std::thread stdoutReader_, stderrReader_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Line> lines_;    // guarded by mutex_
  std::string stderr_;         // guarded by mutex_
  bool stdoutClosed_ = false;  // guarded by mutex_
};

}  // namespace dictate::testing
