// Event and diagnostic lines, byte for byte, and the default sink's
// guarantee that concurrent lines arrive whole.
#include "output/output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dictate {
namespace {

class RecordingSink : public OutputSink {
 public:
  RecordingSink() : previous_(setOutputSink(this)) {}
  ~RecordingSink() override { setOutputSink(previous_); }
  void writeStdout(std::string_view line) override { writes.emplace_back(line); }
  void writeStderr(std::string_view line) override {
    writes.push_back("stderr:" + std::string(line));
  }
  std::vector<std::string> writes;

 private:
  OutputSink* previous_;
};

TEST(OutputTest, EventsAreCompactSortedAndEscapedAsJson) {
  struct Case {
    Event event;
    std::string line;
  } cases[] = {
      {{{"type", "ready"}}, R"({"type":"ready"})"},
      {{{"type", "error"}, {"message", "microphone or speech permission denied"}},
       R"({"message":"microphone or speech permission denied","type":"error"})"},
      {{{"value", "stopped"}, {"type", "state"}}, R"({"type":"state","value":"stopped"})"},
      {{{"type", "error"}, {"message", "start failed: a/b"}},
       R"({"message":"start failed: a\/b","type":"error"})"},
      {{{"type", "final"}, {"text", "say \"hi\" \\ now\nthen\r\tgo"}},
       R"({"text":"say \"hi\" \\ now\nthen\r\tgo","type":"final"})"},
      {{{"type", "final"}, {"text", std::string("\0\x01\x1f\b\f\x7f", 6)}},
       R"({"text":"\u0000\u0001\u001f\b\f)"
       "\x7f"
       R"(","type":"final"})"},
      {{{"type", "final"}, {"text", "caf\xC3\xA9 \xE2\x80\xA8 \xF0\x9F\x8E\xA4"}},
       "{\"text\":\"caf\xC3\xA9 \xE2\x80\xA8 \xF0\x9F\x8E\xA4\",\"type\":\"final\"}"},
      {{{"b", "1"}, {"a", "2"}, {"B", "3"}, {"type", "x"}},
       R"({"B":"3","a":"2","b":"1","type":"x"})"},
  };
  for (const Case& c : cases) {
    RecordingSink sink;
    emitEvent(c.event);
    ASSERT_EQ(sink.writes.size(), 1u) << c.line;
    EXPECT_EQ(sink.writes[0], c.line + "\n");
  }
}

TEST(OutputTest, EventsThatAreNotValidUtf8AreDroppedSilently) {
  RecordingSink sink;
  emitEvent({{"type", "final"}, {"text", "caf\xC3"}});
  emitEvent({{"type", "final"}, {"text", "\xED\xA0\x80"}});  // a surrogate
  emitEvent({{"type", "final"}, {"text", "\xC0\xAF"}});      // an overlong slash
  emitEvent({{"type\xFF", "final"}});
  EXPECT_TRUE(sink.writes.empty());
}

TEST(OutputTest, EachEventAndDiagnosticIsOneWholeLine) {
  RecordingSink sink;
  emitEvent({{"type", "ready"}});
  writeDiagnostic("unknown cmd: jump");
  emitEvent({{"type", "state"}, {"value", "listening"}});
  writeDiagnostic("unknown cmd: ");
  writeDiagnostic("a\\/\"b\" \xC3\xA9");
  EXPECT_EQ(sink.writes, (std::vector<std::string>{
                             "{\"type\":\"ready\"}\n",
                             "stderr:[dictate] unknown cmd: jump\n",
                             "{\"type\":\"state\",\"value\":\"listening\"}\n",
                             "stderr:[dictate] unknown cmd: \n",
                             "stderr:[dictate] a\\/\"b\" \xC3\xA9\n",
                         }));
  EXPECT_EQ(sink.writes[1].size() - 7, 28u);
}

// Points standard output at a pipe for the test's duration.
class StdoutToPipe {
 public:
  StdoutToPipe() {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    readFd_ = fds[0];
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[1]);
  }
  ~StdoutToPipe() {
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    ::close(readFd_);
  }
  int readFd() const { return readFd_; }
  void closeWriteEnd() { ::dup2(saved_, STDOUT_FILENO); }

 private:
  int saved_, readFd_;
};

TEST(OutputTest, ConcurrentLongLinesReachANonBlockingPipeWhole) {
  // Lines far above the pipe's atomic size, from two threads, into a pipe
  // left non-blocking: each must still arrive whole and in one piece.
  constexpr int kLinesPerThread = 6;
  constexpr size_t kLineBytes = 100 * 1024;
  StdoutToPipe pipe;
  ::fcntl(STDOUT_FILENO, F_SETFL, ::fcntl(STDOUT_FILENO, F_GETFL) | O_NONBLOCK);
  std::string received;
  std::thread reader([&] {
    char buffer[8192];
    for (ssize_t n; (n = ::read(pipe.readFd(), buffer, sizeof buffer)) > 0;)
      received.append(buffer, n);
  });
  std::vector<std::thread> writers;
  for (char letter : {'a', 'b'}) {
    writers.emplace_back([letter] {
      for (int i = 0; i < kLinesPerThread; ++i)
        emitEvent({{"type", std::string(kLineBytes, letter)}});
    });
  }
  for (auto& w : writers) w.join();
  pipe.closeWriteEnd();
  reader.join();
  const std::string lineA = "{\"type\":\"" + std::string(kLineBytes, 'a') + "\"}\n";
  const std::string lineB = "{\"type\":\"" + std::string(kLineBytes, 'b') + "\"}\n";
  int countA = 0, countB = 0;
  for (size_t pos = 0; pos < received.size();) {
    std::string_view rest = std::string_view(received).substr(pos);
    if (rest.starts_with(lineA)) {
      ++countA;
    } else if (rest.starts_with(lineB)) {
      ++countB;
    } else {
      FAIL() << "a line was split or damaged at byte " << pos;
    }
    pos += lineA.size();
  }
  EXPECT_EQ(countA, kLinesPerThread);
  EXPECT_EQ(countB, kLinesPerThread);
}

}  // namespace
}  // namespace dictate
