// Black-box runs of the built program: bytes in on standard input, exact
// bytes expected on standard output and standard error, and the exit
// status. Every run gets a private environment (no audio server, empty
// home and data folders), and only a copy of the program without its
// services module is ever started, so nothing real is touched. Also the unit
// test of the --once match.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/command_loop.h"
#include "app/platform_module.h"

namespace {

const std::string kReady = "{\"type\":\"ready\"}\n";

std::string diag(const std::string& message) { return "[dictate] " + message + "\n"; }

enum class StdinKind { pipe, file, devNull, closed, directory, terminal };
enum class StdoutKind { pipe, closed, readerGone };

struct Invocation {
  std::string input = {};
  std::vector<std::string> args = {};  // after the program path
  StdinKind stdinKind = StdinKind::pipe;
  StdoutKind stdoutKind = StdoutKind::pipe;
  std::string binary = DICTATE_BINARY;
};

struct Outcome {
  std::string out;
  std::string err;
  int exitCode = -1;  // -1 when killed by a signal or timed out
  bool timedOut = false;
};

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

void makePipe(Fd& readEnd, Fd& writeEnd) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  readEnd.reset(fds[0]);
  writeEnd.reset(fds[1]);
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "dictate-cli-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    for (const char* sub : {"home", "data", "runtime", "cache", "config"}) {
      std::filesystem::create_directory(dir_ / sub);
    }
    // Writing to a child that has exited must fail with EPIPE here too.
    ::signal(SIGPIPE, SIG_IGN);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::vector<std::string> environment() const {
    std::vector<std::string> env = {
        "PULSE_SERVER=unix:/nonexistent",
        "HOME=" + (dir_ / "home").string(),
        "XDG_DATA_HOME=" + (dir_ / "data").string(),
        "XDG_RUNTIME_DIR=" + (dir_ / "runtime").string(),
        "XDG_CACHE_HOME=" + (dir_ / "cache").string(),
        "XDG_CONFIG_HOME=" + (dir_ / "config").string(),
        "LANG=C.UTF-8",
    };
    // Sanitizer builds of the program read their settings from here.
    for (const char* name : {"ASAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (const char* value = ::getenv(name)) env.push_back(std::string(name) + "=" + value);
    }
    return env;
  }

  Outcome run(const Invocation& run);

  std::filesystem::path dir_;
};

// Gives the child what it reads: the write end of a pipe, a terminal's
// master side, or nothing when the input is already in place.
void setUpStdin(const Invocation& run, const std::filesystem::path& dir,
                posix_spawn_file_actions_t* actions, Fd& childEnd, Fd& feed) {
  switch (run.stdinKind) {
    case StdinKind::pipe:
      makePipe(childEnd, feed);
      posix_spawn_file_actions_adddup2(actions, childEnd.get(), 0);
      break;
    case StdinKind::file: {
      std::string path = (dir / "input").string();
      std::ofstream(path, std::ios::binary) << run.input;
      posix_spawn_file_actions_addopen(actions, 0, path.c_str(), O_RDONLY, 0);
      break;
    }
    case StdinKind::devNull:
      posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0);
      break;
    case StdinKind::closed:
      posix_spawn_file_actions_addclose(actions, 0);
      break;
    case StdinKind::directory:
      posix_spawn_file_actions_addopen(actions, 0, dir.c_str(), O_RDONLY | O_DIRECTORY, 0);
      break;
    case StdinKind::terminal: {
      feed.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
      ASSERT_GE(feed.get(), 0);
      ASSERT_EQ(::grantpt(feed.get()), 0);
      ASSERT_EQ(::unlockpt(feed.get()), 0);
      childEnd.reset(::open(::ptsname(feed.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
      ASSERT_GE(childEnd.get(), 0);
      posix_spawn_file_actions_adddup2(actions, childEnd.get(), 0);
      break;
    }
  }
}

// Moves bytes until both output pipes end and the input is written, or
// until the deadline. Returns false on timeout.
bool pump(Fd& feed, std::string_view input, bool closeFeedWhenDone, Fd& out, Fd& err,
          Outcome& outcome) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  if (feed.get() >= 0) ::fcntl(feed.get(), F_SETFL, O_NONBLOCK);
  size_t written = 0;
  char buffer[65536];
  while (out.get() >= 0 || err.get() >= 0) {
    if (feed.get() >= 0 && written == input.size() && closeFeedWhenDone) feed.reset();
    pollfd fds[3] = {{out.get(), POLLIN, 0},
                     {err.get(), POLLIN, 0},
                     {written < input.size() ? feed.get() : -1, POLLOUT, 0}};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    if (::poll(fds, 3, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    if (fds[2].revents != 0) {
      ssize_t n = ::write(feed.get(), input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 && errno == EPIPE) written = input.size();  // the program stopped reading
    }
    Fd* sources[2] = {&out, &err};
    std::string* sinks[2] = {&outcome.out, &outcome.err};
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      ssize_t n = ::read(sources[i]->get(), buffer, sizeof buffer);
      if (n > 0) sinks[i]->append(buffer, static_cast<size_t>(n));
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) sources[i]->reset();
    }
  }
  return true;
}

Outcome CliTest::run(const Invocation& run) {
  Outcome outcome;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  Fd childStdin, feed, outRead, outWrite, errRead, errWrite;
  setUpStdin(run, dir_, &actions, childStdin, feed);
  if (run.stdoutKind == StdoutKind::closed) {
    posix_spawn_file_actions_addclose(&actions, 1);
  } else {
    makePipe(outRead, outWrite);
    posix_spawn_file_actions_adddup2(&actions, outWrite.get(), 1);
    if (run.stdoutKind == StdoutKind::readerGone) outRead.reset();
  }
  makePipe(errRead, errWrite);
  posix_spawn_file_actions_adddup2(&actions, errWrite.get(), 2);

  // The child starts with SIGPIPE at its default, as under a real host.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attr, &signals);
  sigaddset(&signals, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &signals);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> argStrings = {run.binary};
  argStrings.insert(argStrings.end(), run.args.begin(), run.args.end());
  std::vector<std::string> envStrings = environment();
  auto pointers = [](std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (auto& s : strings) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
  };
  std::vector<char*> argv = pointers(argStrings), envp = pointers(envStrings);
  pid_t pid = -1;
  int spawnError =
      ::posix_spawn(&pid, run.binary.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  EXPECT_EQ(spawnError, 0) << std::strerror(spawnError);
  if (spawnError != 0) return outcome;
  outWrite.reset();
  errWrite.reset();
  if (run.stdinKind != StdinKind::terminal) childStdin.reset();

  bool isPipe = run.stdinKind == StdinKind::pipe || run.stdinKind == StdinKind::terminal;
  std::string_view input = isPipe ? std::string_view(run.input) : std::string_view();
  // A terminal's input ends with its end-of-file character, not by closing.
  outcome.timedOut =
      !pump(feed, input, run.stdinKind == StdinKind::pipe, outRead, errRead, outcome);
  if (outcome.timedOut) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
  return outcome;
}

void expectOutcome(const Outcome& outcome, const std::string& out, const std::string& err) {
  EXPECT_FALSE(outcome.timedOut);
  EXPECT_EQ(outcome.out, out);
  EXPECT_EQ(outcome.err, err);
  EXPECT_EQ(outcome.exitCode, 0);
}

// Command lines through a pipe: what the program must write for them.
struct LinesCase {
  const char* name;
  std::string input = {};
  std::string err;  // stdout is always just the ready line
};

TEST_F(CliTest, CommandLinesGiveExactlyTheirDiagnostics) {
  const std::string jump = "{\"cmd\":\"jump\"}";
  const LinesCase cases[] = {
      {"empty input: the 17-byte ready line only", "", ""},
      {"blank and whitespace-only lines", "\n \t \n\r\n\v\f\r\xC2\xA0\xE3\x80\x80\xE2\x80\xA8\n",
       ""},
      {"padding, CR and CRLF, unterminated last line",
       " \t" + jump + " \t\r\n{\"cmd\":\"hop\"}\r{\"cmd\":\"skip\"}\n\xE2\x80\x83{\"cmd\":\"end\"}",
       diag("unknown cmd: jump") + diag("unknown cmd: hop") + diag("unknown cmd: skip") +
           diag("unknown cmd: end")},
      {"unparseable lines, echoed trimmed",
       "{\"cmd\":1}\n  {\"command\":\"start\"}\t\n[\"start\"]\n\"start\"\n{\"cmd\":\"start\"} x\n"
       "{\"cmd\":\"stop\"\n{cmd:stop}\n{\"cmd\":null}\n",
       diag("ignoring unparseable stdin line: {\"cmd\":1}") +
           diag("ignoring unparseable stdin line: {\"command\":\"start\"}") +
           diag("ignoring unparseable stdin line: [\"start\"]") +
           diag("ignoring unparseable stdin line: \"start\"") +
           diag("ignoring unparseable stdin line: {\"cmd\":\"start\"} x") +
           diag("ignoring unparseable stdin line: {\"cmd\":\"stop\"") +
           diag("ignoring unparseable stdin line: {cmd:stop}") +
           diag("ignoring unparseable stdin line: {\"cmd\":null}")},
      {"unknown commands are case-sensitive and echoed unchanged",
       "{\"cmd\":\"START\"}\n{\"cmd\":\"\"}\n{\"cmd\":\"a\\/b \\\"c\\\"\"}\n",
       diag("unknown cmd: START") + diag("unknown cmd: ") + diag("unknown cmd: a/b \"c\"")},
      {"idle stop writes nothing, extra keys ignored",
       "{\"cmd\":\"stop\",\"id\":7}\n" + jump + "\n", diag("unknown cmd: jump")},
      {"quit ends reading", jump + "\n{\"cmd\":\"quit\",\"x\":[1]}\n" + jump + "\n{\"cmd\":1}\n",
       diag("unknown cmd: jump")},
      {"invalid UTF-8 is shown as U+FFFD",
       "{\"cmd\":\"\xFF"
       "a\xC3\"}\n\xC0\xAF{\n",
       diag("unknown cmd: \xEF\xBF\xBD"
            "a\xEF\xBF\xBD") +
           diag("ignoring unparseable stdin line: \xEF\xBF\xBD\xEF\xBF\xBD{")},
      {"NUL bytes are not whitespace", std::string("\0\n", 2) + jump + std::string("\0\n", 2),
       diag(std::string("ignoring unparseable stdin line: \0", 34)) +
           diag("ignoring unparseable stdin line: " + jump + std::string("\0", 1))},
  };
  for (const LinesCase& c : cases) {
    SCOPED_TRACE(c.name);
    expectOutcome(run({.input = c.input}), kReady, c.err);
  }
}

TEST(OnceArgumentTest, MatchesOnlyTheWholeArgumentAnywhereInArgv) {
  struct Case {
    std::vector<const char*> argv;
    bool once;
  } cases[] = {
      {{"dictate", "--once"}, true},
      {{"dictate", "x", "--once", "y"}, true},
      {{"--once"}, true},  // the program path counts too
      {{"dictate"}, false},
      {{}, false},
      {{"dictate", "--ONCE"}, false},
      {{"dictate", "--once="}, false},
      {{"dictate", "--onc"}, false},
      {{"dictate", "--once "}, false},
      {{"/bin/--once"}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(dictate::hasOnceArgument(static_cast<int>(c.argv.size()), c.argv.data()), c.once)
        << ::testing::PrintToString(c.argv);
  }
}

TEST_F(CliTest, OnlyTheExactOnceArgumentCounts) {
  const std::vector<std::string> argumentSets[] = {
      {"--ONCE"}, {"--once=1"}, {"--oncex"}, {"-once"}, {"once"}, {"x--once"}, {"--", "--Once"}};
  for (const auto& args : argumentSets) {
    SCOPED_TRACE(args.back());
    // Without a start, an unknown command is the only thing written.
    expectOutcome(run({.input = "{\"cmd\":\"jump\"}\n", .args = args}), kReady,
                  diag("unknown cmd: jump"));
  }
}

TEST_F(CliTest, WithoutTheServicesModuleEveryStartEndsInStopped) {
  const std::filesystem::path folder = dir_ / "bin", copy = folder / "quillmarsh-dictate";
  std::filesystem::create_directory(folder);
  std::filesystem::copy_file(DICTATE_BINARY, copy);
  std::string module;  // as the events write it: every '/' escaped
  for (char c : (folder / dictate::kPlatformModuleName).string()) {
    module += c == '/' ? std::string("\\/") : std::string(1, c);
  }
  const std::string failed =
      "{\"message\":\"start failed: cannot load the audio and speech services: " + module +
      ": cannot open shared object file: No such file or directory\",\"type\":\"error\"}\n"
      "{\"type\":\"state\",\"value\":\"stopped\"}\n";
  // Each start fails the same way; the second shows the first left the
  // engine idle.
  expectOutcome(
      run({.input = "{\"cmd\":\"start\"}\n", .args = {"--once"}, .binary = copy.string()}),
      kReady + failed + failed, "");
}

TEST_F(CliTest, EveryKindOfStandardInputWorks) {
  const std::string jump = "{\"cmd\":\"jump\"}\r\n{\"cmd\":\"hop\"}";
  const std::string both = diag("unknown cmd: jump") + diag("unknown cmd: hop");
  expectOutcome(run({.input = jump, .stdinKind = StdinKind::file}), kReady, both);
  expectOutcome(run({.stdinKind = StdinKind::devNull}), kReady, "");
  expectOutcome(run({.stdinKind = StdinKind::closed}), kReady, "");
  expectOutcome(run({.stdinKind = StdinKind::directory}), kReady,
                diag("stdin loop error: Is a directory"));
  // A terminal in its usual line mode: the end-of-file key ends the input.
  expectOutcome(run({.input = jump + "\n\x04", .stdinKind = StdinKind::terminal}), kReady, both);
}

TEST_F(CliTest, LostStandardOutputIsNotFatal) {
  for (StdoutKind kind : {StdoutKind::closed, StdoutKind::readerGone}) {
    SCOPED_TRACE(kind == StdoutKind::closed ? "closed" : "reader gone");
    // Diagnostics after the lost ready line prove the program carried on.
    expectOutcome(run({.input = "{\"cmd\":\"jump\"}\n", .stdoutKind = kind}), "",
                  diag("unknown cmd: jump"));
  }
}

TEST_F(CliTest, HostileLinesCostOneDiagnosticEach) {
  const std::string megabyte(1 << 20, 'a');
  const std::string nested = std::string(100000, '[') + std::string(100000, ']');
  const std::string deepInObject = "{\"a\":" + nested + ",\"cmd\":\"deep\"}";
  const std::string unclosed = "{\"cmd\":\"" + megabyte;
  const std::string input = "{\"pad\":\"" + megabyte + "\",\"cmd\":\"long\"}\n" + unclosed + "\n" +
                            nested + "\n" + deepInObject + "\n" + std::string(100000, '{') +
                            "\n{\"cmd\":\"still here\"}\n";
  expectOutcome(run({.input = input}), kReady,
                diag("unknown cmd: long") + diag("ignoring unparseable stdin line: " + unclosed) +
                    diag("ignoring unparseable stdin line: " + nested) + diag("unknown cmd: deep") +
                    diag("ignoring unparseable stdin line: " + std::string(100000, '{')) +
                    diag("unknown cmd: still here"));
}

}  // namespace
