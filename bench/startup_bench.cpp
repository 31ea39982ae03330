// How quickly the program is ready: spawns the built binary many times with
// empty standard input and measures, from just before the spawn, the time
// until the ready line arrives on its standard output and the time until it
// has exited, and the CPU time the child used, which machine load does not
// inflate. /bin/true, spawned the same way, gives the floor that process
// creation alone costs on this machine.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
  double readyMs = 0;
  double exitMs = 0;
  double cpuMs = 0;  // user + system time of the child
};

std::vector<std::string> privateEnvironment() {
  std::string dir = "/tmp/dictate-startup-bench";
  ::mkdir(dir.c_str(), 0700);
  return {"PULSE_SERVER=unix:/nonexistent", "HOME=" + dir, "XDG_DATA_HOME=" + dir,
          "XDG_RUNTIME_DIR=" + dir, "XDG_CACHE_HOME=" + dir};
}

// One run: stdin /dev/null, stdout a pipe read until its first line feed.
bool runOnce(const char* path, std::vector<std::string> env, Sample& sample) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<char*> envp;
  for (auto& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(path), nullptr};

  auto start = Clock::now();
  pid_t pid;
  int error = ::posix_spawn(&pid, path, &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (error != 0) {
    ::close(out[0]);
    return false;
  }
  char buffer[256];
  bool sawLine = false;
  for (ssize_t n; !sawLine && (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
    sawLine = std::memchr(buffer, '\n', static_cast<size_t>(n)) != nullptr;
  }
  auto ready = Clock::now();
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  auto exited = Clock::now();
  ::close(out[0]);
  auto ms = [&](Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(t - start).count();
  };
  sample.readyMs = ms(ready);
  sample.exitMs = ms(exited);
  auto toMs = [](timeval t) { return static_cast<double>(t.tv_sec) * 1e3 + t.tv_usec / 1e3; };
  sample.cpuMs = toMs(usage.ru_utime) + toMs(usage.ru_stime);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[index];
}

void report(const char* name, const std::vector<Sample>& samples, bool withReady) {
  std::vector<double> ready, exit, cpu;
  for (const Sample& s : samples) {
    ready.push_back(s.readyMs);
    exit.push_back(s.exitMs);
    cpu.push_back(s.cpuMs);
  }
  if (withReady) {
    std::printf("%-28s %8.2f %8.2f %8.2f\n", (std::string(name) + " exec→ready").c_str(),
                percentile(ready, 0), percentile(ready, 0.5), percentile(ready, 0.9));
  }
  std::printf("%-28s %8.2f %8.2f %8.2f\n", (std::string(name) + " exec→exit").c_str(),
              percentile(exit, 0), percentile(exit, 0.5), percentile(exit, 0.9));
  std::printf("%-28s %8.2f %8.2f %8.2f\n", (std::string(name) + " CPU time").c_str(),
              percentile(cpu, 0), percentile(cpu, 0.5), percentile(cpu, 0.9));
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 300;
  std::vector<std::string> env = privateEnvironment();
  std::vector<Sample> program, floor;
  // Interleaved, so that both see the same machine load.
  for (int i = 0; i < runs; ++i) {
    Sample s;
    if (!runOnce(DICTATE_BINARY, env, s)) {
      std::fprintf(stderr, "run %d of %s failed\n", i, DICTATE_BINARY);
      return 1;
    }
    program.push_back(s);
    if (runOnce("/bin/true", env, s)) floor.push_back(s);
  }
  std::printf("%d runs each, milliseconds (goal: ready within 5 ms)\n", runs);
  std::printf("%-28s %8s %8s %8s\n", "", "min", "median", "p90");
  report("quillmarsh-dictate", program, true);
  if (!floor.empty()) report("/bin/true", floor, false);
  return 0;
}
