// Cutting input into lines, repairing UTF-8, and the reading thread's
// hand-off of lines to the main loop.
#include "app/line_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "output/utf8.h"
#include "runtime/main_loop.h"

namespace dictate {
namespace {

const std::string kMark = "\xE2\x80\xA6";
const std::string kFffd = "\xEF\xBF\xBD";

// Feeds the chunks one by one, taking every line that is ready after each,
// then ends the input and takes the rest.
std::vector<std::string> split(const std::vector<std::string>& chunks, size_t cap = 1 << 20) {
  LineSplitter splitter(cap);
  std::vector<std::string> lines;
  auto drain = [&] {
    while (auto line = splitter.takeLine()) lines.push_back(*line);
  };
  for (const std::string& chunk : chunks) {
    splitter.feed(chunk);
    drain();
  }
  splitter.finish();
  drain();
  return lines;
}

using Lines = std::vector<std::string>;

TEST(LineSplitterTest, SplitsAtLfCrAndCrlfWhereverTheReadsFall) {
  struct Case {
    Lines chunks, lines;
  } cases[] = {
      {{"a\nb\rc\r\nd"}, {"a", "b", "c", "d"}},
      {{"a\r", "\nb\r", "\n"}, {"a", "b"}},        // CRLF cut between reads
      {{"a\r", "\r", "\n", "\n"}, {"a", "", ""}},  // CR, CRLF, LF
      {{"a\r\r\nb"}, {"a", "", "b"}},
      {{"\n\n\r\n"}, {"", "", ""}},
      {{"ab", "c", "", "d\n", "e"}, {"abcd", "e"}},  // unterminated last line counts
      {{"a\n"}, {"a"}},                              // no empty line after the last LF
      {{"a\r"}, {"a"}},
      {{}, {}},
      {{std::string("a\0b\n", 4)}, {std::string("a\0b", 3)}},
      {{"x\xC2\x85y\xE2\x80\xA8z\n"}, {"x\xC2\x85y\xE2\x80\xA8z"}},  // only CR and LF end lines
  };
  for (const Case& c : cases)
    EXPECT_EQ(split(c.chunks), c.lines) << ::testing::PrintToString(c.chunks);
}

TEST(LineSplitterTest, GivesALineOutAsSoonAsItsTerminatorArrives) {
  LineSplitter splitter;
  splitter.feed("start\r");
  EXPECT_EQ(splitter.takeLine(), "start");  // without waiting for a possible LF
  EXPECT_EQ(splitter.takeLine(), std::nullopt);
  splitter.feed("\nstop");
  EXPECT_EQ(splitter.takeLine(), std::nullopt);
  splitter.feed("\n");
  EXPECT_EQ(splitter.takeLine(), "stop");
}

TEST(LineSplitterTest, CutsOverlongLinesAndMarksThem) {
  struct Case {
    Lines chunks, lines;
  } cases[] = {
      {{"abcd\nabcde\nx"}, {"abcd", "abcd" + kMark, "x"}},
      {{"ab", "cdef", "ghij", "kl\r\nz"}, {"abcd" + kMark, "z"}},
      {{"abcdefgh"}, {"abcd" + kMark}},
      {{"abcde\r", "\nabcd"}, {"abcd" + kMark, "abcd"}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(split(c.chunks, 4), c.lines) << ::testing::PrintToString(c.chunks);
}

TEST(Utf8Test, EachMaximalIllFormedSubsequenceBecomesOneReplacement) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"caf\xC3\xA9 \xF0\x9F\x8E\xA4", "caf\xC3\xA9 \xF0\x9F\x8E\xA4"},
      {"a\xFF"
       "b",
       "a" + kFffd + "b"},
      {"\xC3", kFffd},
      {"\xE2\x82"
       "x",
       kFffd + "x"},                                        // truncated three-byte form
      {"\xF0\x9F\x8E", kFffd},                              // truncated four-byte form
      {"\xC0\xAF", kFffd + kFffd},                          // overlong
      {"\xED\xA0\x80", kFffd + kFffd + kFffd},              // surrogate
      {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},  // past U+10FFFF
      {"\x80\xBF", kFffd + kFffd},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(toValidUtf8(c.in), c.out) << c.in;
    EXPECT_TRUE(isValidUtf8(toValidUtf8(c.in)));
  }
}

// Collects lines from a reader on the test's loop until the input ends.
struct Collected {
  std::vector<InputLine> lines;
  bool ended = false;
  bool allOnLoopThread = true;
};

Task<void> collect(LineSource& source, Collected& out) {
  const auto loopThread = std::this_thread::get_id();
  for (;;) {
    InputLine line = co_await source.nextLine();
    if (std::this_thread::get_id() != loopThread) out.allOnLoopThread = false;
    if (line.status != LineStatus::line) {
      out.lines.push_back(line);
      break;
    }
    out.lines.push_back(std::move(line));
  }
  out.ended = true;
}

std::vector<std::string> texts(const Collected& c) {
  std::vector<std::string> t;
  for (const InputLine& l : c.lines) t.push_back(l.text);
  return t;
}

struct Pipe {
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    readFd = fds[0];
    writeFd = fds[1];
  }
  ~Pipe() {
    closeWriteEnd();
    ::close(readFd);
  }
  void write(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::write(writeFd, bytes.data(), bytes.size());
      ASSERT_GT(n, 0);
      bytes.remove_prefix(static_cast<size_t>(n));
    }
  }
  void closeWriteEnd() {
    if (writeFd >= 0) ::close(writeFd);
    writeFd = -1;
  }
  int readFd, writeFd;
};

TEST(LineReaderTest, HandsLinesWrittenByAnotherThreadToTheLoopInOrder) {
  MainLoop loop;
  Pipe pipe;
  LineReader reader(pipe.readFd);
  Collected collected;
  spawn(collect(reader, collected), nullptr);
  std::thread writer([&] {
    for (const char* piece : {"one\r", "\ntwo\r\n", "thr", "ee\n\xFF", "x"}) pipe.write(piece);
    pipe.closeWriteEnd();
  });
  ASSERT_TRUE(loop.runUntil([&] { return collected.ended; }));
  writer.join();
  EXPECT_EQ(texts(collected), (Lines{"one", "two", "three", kFffd + "x", ""}));
  EXPECT_EQ(collected.lines.back().status, LineStatus::endOfInput);
  EXPECT_TRUE(collected.allOnLoopThread);
}

TEST(LineReaderTest, LosesAndRepeatsNoLineUnderLoad) {
  constexpr int kLines = 20000;
  MainLoop loop;
  Pipe pipe;
  LineReader reader(pipe.readFd);
  Collected collected;
  spawn(collect(reader, collected), nullptr);
  std::thread writer([&] {
    std::string pending;
    for (int i = 0; i < kLines; ++i) {
      pending += std::to_string(i) + (i % 3 == 0 ? "\r\n" : i % 3 == 1 ? "\n" : "\r");
      // Uneven pieces, so terminators and CRLF pairs fall across reads.
      if (pending.size() > static_cast<size_t>(7 + i % 13)) {
        pipe.write(pending);
        pending.clear();
      }
    }
    pipe.write(pending);
    pipe.closeWriteEnd();
  });
  ASSERT_TRUE(loop.runUntil([&] { return collected.ended; }));
  writer.join();
  ASSERT_EQ(collected.lines.size(), kLines + 1u);
  for (int i = 0; i < kLines; ++i) ASSERT_EQ(collected.lines[i].text, std::to_string(i));
}

TEST(LineReaderTest, AFailedReadEndsTheInputWithTheSystemsDescription) {
  MainLoop loop;
  int fd =
      ::open(std::filesystem::temp_directory_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  {
    LineReader reader(fd);
    Collected collected;
    spawn(collect(reader, collected), nullptr);
    ASSERT_TRUE(loop.runUntil([&] { return collected.ended; }));
    ASSERT_EQ(collected.lines.size(), 1u);
    EXPECT_EQ(collected.lines[0].status, LineStatus::readError);
    EXPECT_EQ(collected.lines[0].text, "Is a directory");
  }
  ::close(fd);
}

TEST(LineReaderTest, DestructionWakesAReaderWaitingOnSilentInput) {
  MainLoop loop;
  Pipe pipe;  // the write end stays open: no input, no end of input
  Collected collected;
  {
    LineReader reader(pipe.readFd);
    pipe.write("first\n");
    spawn(collect(reader, collected), nullptr);
    ASSERT_TRUE(loop.runUntil([&] { return collected.lines.size() == 1; }));
    // The coroutine now waits for a second line that never comes.
  }
  ASSERT_TRUE(loop.runUntil([&] { return collected.ended; }));
  EXPECT_EQ(texts(collected), (Lines{"first", ""}));
  EXPECT_EQ(collected.lines.back().status, LineStatus::endOfInput);
}

}  // namespace
}  // namespace dictate
