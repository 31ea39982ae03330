// Event and diagnostic lines, byte for byte, and the default sink's
// guarantee that concurrent lines arrive whole.
#include "output/output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "tests/support/fake_platform.h"

namespace dictate {
namespace {

TEST(OutputTest, EventsAreCompactSortedEscapedJsonAndDiagnosticsPlainLines) {
  CapturedOutput output;
  const std::pair<Event, std::string> events[] = {
      {{{"type", "ready"}}, R"({"type":"ready"})"},
      {{{"value", "stopped"}, {"type", "state"}}, R"({"type":"state","value":"stopped"})"},
      {{{"type", "error"}, {"message", "start failed: a/b"}},
       R"({"message":"start failed: a\/b","type":"error"})"},
      {{{"type", "final"}, {"text", "say \"hi\" \\ now\nthen\r\tgo"}},
       R"({"text":"say \"hi\" \\ now\nthen\r\tgo","type":"final"})"},
      {{{"type", "final"}, {"text", std::string("\0\x01\x1f\b\f\x7f", 6)}},
       R"({"text":"\u0000\u0001\u001f\b\f)" "\x7f" R"(","type":"final"})"},
      // Two-, three- and four-byte sequences at the edges of their ranges.
      {{{"type", "caf\xC3\xA9 \xDF\xBF \xE0\xA4\xB9 \xED\x9F\xBF \xE2\x80\xA8 \xF0\x9F\x8E\xA4 \xF4\x8F\xBF\xBF"}},
       "{\"type\":\"caf\xC3\xA9 \xDF\xBF \xE0\xA4\xB9 \xED\x9F\xBF \xE2\x80\xA8 \xF0\x9F\x8E\xA4 \xF4\x8F\xBF\xBF\"}"},
      {{{"b", "1"}, {"a", "2"}, {"B", "3"}, {"type", "x"}}, R"({"B":"3","a":"2","b":"1","type":"x"})"},
  };
  Lines expected;
  for (const auto& [event, line] : events) {
    emitEvent(event);
    expected.push_back(line + "\n");
  }
  // Not valid UTF-8: a cut sequence, a surrogate, an overlong slash, a stray byte.
  for (const char* bad : {"caf\xC3", "\xED\xA0\x80", "\xC0\xAF", "\xFF", "\xF4\x90\x80\x80"}) {
    emitEvent({{"type", "final"}, {"text", bad}});
    emitEvent({{bad, "final"}});
  }
  writeDiagnostic("unknown cmd: ");
  writeDiagnostic("a\\/\"b\" \xC3\xA9");
  expected.insert(expected.end(), {"[dictate] unknown cmd: \n", "[dictate] a\\/\"b\" \xC3\xA9\n"});
  EXPECT_EQ(output.lines(), expected);
}

// Lines far above the pipe's atomic size, from two threads, into a pipe left
// non-blocking: each must still arrive whole and in one piece.
TEST(OutputTest, ConcurrentLongLinesReachANonBlockingPipeWhole) {
  constexpr int kLinesPerThread = 6;
  constexpr size_t kLineBytes = 100 * 1024;
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
  ::dup2(fds[1], STDOUT_FILENO);
  ::close(fds[1]);
  std::string received;
  std::thread reader([&] {
    char buffer[8192];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) received.append(buffer, n);
  });
  std::vector<std::thread> writers;
  for (char letter : {'a', 'b'}) {
    writers.emplace_back([letter] {
      for (int i = 0; i < kLinesPerThread; ++i) emitEvent({{"type", std::string(kLineBytes, letter)}});
    });
  }
  for (auto& w : writers) w.join();
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  reader.join();
  ::close(fds[0]);
  std::map<std::string, int> lines;
  std::istringstream in(received);
  for (std::string line; std::getline(in, line);) ++lines[line];
  EXPECT_EQ(lines, (std::map<std::string, int>{
                       {"{\"type\":\"" + std::string(kLineBytes, 'a') + "\"}", kLinesPerThread},
                       {"{\"type\":\"" + std::string(kLineBytes, 'b') + "\"}", kLinesPerThread}}));
}

}  // namespace
}  // namespace dictate
