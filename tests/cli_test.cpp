// Black-box runs of the built program: bytes in on standard input, the exact
// bytes it writes to standard output and standard error, and its exit
// status. The shell hands it each kind of input and output a host may. Only
// a copy of the program without its services module beside it is ever
// started, so nothing real is touched and every start fails the same way.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/platform_module.h"
#include "tests/support/speech_audio.h"

namespace {

namespace fs = std::filesystem;

const std::string kReady = "{\"type\":\"ready\"}\n", kJump = "{\"cmd\":\"jump\"}";
std::string fffd(int count) { return count ? "\xEF\xBF\xBD" + fffd(count - 1) : ""; }
std::string diag(const std::string& message) { return "[dictate] " + message + "\n"; }
std::string unknown(const std::string& cmd) { return diag("unknown cmd: " + cmd); }
std::string unparseable(const std::string& line) {
  return diag("ignoring unparseable stdin line: " + line);
}
using dictate::speechaudio::readFile;

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }
  const fs::path dir_ = ::testing::TempDir() + "dictate-cli-" + std::to_string(::getpid());
};

TEST_F(CliTest, AnswersEveryInputWithExactlyItsBytes) {
  // Lines for one run through a pipe, each with what it makes the program write.
  // clang-format off
  const std::pair<std::string, std::string> lines[] = {
      {"\n \t \n\r\n\v\f\r\xC2\xA0\xE3\x80\x80\xE2\x80\xA8\n", ""},
      {" \t" + kJump + " \t\r\n", unknown("jump")},
      {"{\"cmd\":\"hop\"}\r", unknown("hop")},
      {"\xE2\x80\x83{\"cmd\":\"START\"}\n", unknown("START")},
      {"{\"cmd\":\"stop\",\"id\":7}\n", ""},  // stopping an idle engine says nothing
      {"{\"cmd\":\"a\\/b \\\"c\\\"\"}\n", unknown("a/b \"c\"")},
      {"  {\"command\":\"start\"}\t\n", unparseable("{\"command\":\"start\"}")},
      {"{\"cmd\":\"start\"} x\n", unparseable("{\"cmd\":\"start\"} x")},
      {"{\"cmd\":\"\xFF" "a\xC3\"}\n", unknown(fffd(1) + "a" + fffd(1))},
      // Each maximal ill-formed part is one U+FFFD: overlong, surrogate, past
      // U+10FFFF, cut short, stray; the edges of the well-formed ranges stay.
      {"\xC0\xAF{\n", unparseable(fffd(2) + "{")},
      {"{\"cmd\":\"\xED\xA0\x80\xF4\x90\x80\x80\xE2\x82\xF0\x9F\x8E\xF5\x80\"}\n",
       unknown(fffd(11))},
      {"{\"cmd\":\"\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\"}\n",
       unknown("\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF")},
      {std::string("\0\n", 2), unparseable(std::string("\0", 1))},
      {kJump + std::string("\0\n", 2), unparseable(kJump + std::string("\0", 1))},
      {"{\"cmd\":\"end\"}", unknown("end")},  // the end of input ends the last line
  };
  // clang-format on
  std::string mixed, mixedAnswers, many, manyAnswers;
  for (const auto& [line, answer] : lines) mixed += line, mixedAnswers += answer;
  // Enough lines for many reads, with terminators across their ends; after
  // "quit" nothing is read.
  for (int i = 0; i < 20000; ++i) {
    const char* terminators[] = {"\r\n", "\n", "\r"};
    many += "{\"cmd\":\"" + std::to_string(i) + "\"}" + terminators[i % 3];
    manyAnswers += unknown(std::to_string(i));
  }
  many += "{\"cmd\":\"quit\",\"x\":[1]}\n" + kJump + "\n";
  // The module's path as the events write it (where an installed program has
  // it), every '/' escaped.
  std::string module;
  for (char c : (dir_ / dictate::kPrivateFolderFromProgram / dictate::kPlatformModuleName).string())
    module += c == '/' ? "\\/" : std::string(1, c);
  const std::string start = "{\"cmd\":\"start\"}\n";
  const std::string failed =
      "{\"message\":\"start failed: cannot load the audio and speech services: " + module +
      ": cannot open shared object file: No such file or directory\",\"type\":\"error\"}\n"
      "{\"type\":\"state\",\"value\":\"stopped\"}\n";
  struct Row {
    const char* name;
    std::string input, err, out = kReady, args = "", feed = "cat input | ", redirect = "";
  } rows[] = {
      // clang-format off
      {"every kind of line", mixed, mixedAnswers},
      {"many lines, none lost or repeated", many, manyAnswers},
      // Cut at 16 MiB and marked, a line's end is not read as a command.
      {"an overlong line from a file", std::string(16 << 20, ' ') + kJump + "\n",
       unparseable("\xE2\x80\xA6"), kReady, "", "", "<input"},
      {"closed input reads as empty", "", "", kReady, "", "", "<&-"},
      {"a directory", "", diag("stdin loop error: Is a directory"), kReady, "", "", "<."},
      {"closed output", kJump + "\n", unknown("jump"), "", "", "cat input | ", ">&-"},
      // A pipe whose reader is gone before the program starts.
      {"output nobody reads", kJump + "\n", unknown("jump"), "", "",
       "mkfifo fifo && exec 3<>fifo 4>fifo 3<&- && cat input | ", ">&4 4>&-"},
      {"--once starts at once; the start after it finds the engine idle", start, "",
       kReady + failed + failed, "x --once"},
      {"a failed start ends in stopped; only the exact --once counts", start, "", kReady + failed,
       "--ONCE --once=1 x--once -once once --"},
      // clang-format on
  };
  fs::copy_file(DICTATE_BINARY, dir_ / "quillmarsh-dictate");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::ofstream(dir_ / "input", std::ios::binary) << row.input;
    const std::string command = "cd '" + dir_.string() + "' && " + row.feed +
                                "timeout 20 ./quillmarsh-dictate " + row.args + " >out 2>err " +
                                row.redirect;
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command << ": " << status;
    EXPECT_EQ(readFile(dir_ / "out"), row.out);
    EXPECT_EQ(readFile(dir_ / "err"), row.err);
  }
}

// The property list in the binary's .info_plist section, which holds the
// usage descriptions the consent service shows.
TEST_F(CliTest, TheBinaryCarriesThePropertyListUnchanged) {
  const std::string plist = (dir_ / "plist").string(), binary = DICTATE_BINARY;
  const std::string command = "objcopy -O binary -j .info_plist '" + binary + "' '" + plist + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  EXPECT_EQ(readFile(plist), readFile(fs::path(DICTATE_SOURCE_DIR) / "platform" / "info.plist"));
}

}  // namespace
