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
  EngineHarness output;
  const std::pair<Event, std::string> events[] = {
      {{{"value", "stopped"}, {"type", "state"}}, R"({"type":"state","value":"stopped"})"},
      {{{"b", "1"}, {"a", "2"}, {"B", "3"}}, R"({"B":"3","a":"2","b":"1"})"},
      {{{"text", "say \"hi\" \\ a/b\nthen\r\tgo"}}, R"({"text":"say \"hi\" \\ a\/b\nthen\r\tgo"})"},
      {{{"text", std::string("\0\x01\x1f\b\f\x7f", 6)}},
       R"({"text":"\u0000\u0001\u001f\b\f)" "\x7f\"}"},
      // Two-, three- and four-byte sequences at the edges of their ranges.
      {{{"caf\xC3\xA9 \xDF\xBF \xE0\xA4\xB9 \xED\x9F\xBF", "\xE2\x80\xA8 \xF0\x9F\x8E\xA4 \xF4\x8F\xBF\xBF"}},
       "{\"caf\xC3\xA9 \xDF\xBF \xE0\xA4\xB9 \xED\x9F\xBF\":\"\xE2\x80\xA8 \xF0\x9F\x8E\xA4 \xF4\x8F\xBF\xBF\"}"},
  };
  Lines expected;
  for (const auto& [event, line] : events) {
    emitEvent(event);
    expected.push_back(line + "\n");
  }
  // Not valid UTF-8: a cut sequence, a surrogate, an overlong slash, stray
  // bytes, past U+10FFFF.
  for (const char* bad : {"caf\xC3", "\xED\xA0\x80", "\xC0\xAF", "\xFF", "\x80", "\xF4\x90\x80\x80"}) {
    emitEvent({{"type", bad}});
    emitEvent({{bad, "final"}});
  }
  writeDiagnostic("a\\/\"b\" \xC3\xA9");
  expected.push_back("[dictate] a\\/\"b\" \xC3\xA9\n");
  EXPECT_EQ(output.lines(), expected);
}

// Lines far above the pipe's atomic size, from two threads, into a pipe left
// non-blocking: each must still arrive whole and in one piece.
TEST(OutputTest, ConcurrentLongLinesReachANonBlockingPipeWhole) {
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
  auto write = [](char letter) {
    for (int i = 0; i < 6; ++i) emitEvent({{"type", std::string(100 * 1024, letter)}});
  };
  std::thread first(write, 'a'), second(write, 'b');
  first.join();
  second.join();
  ::dup2(saved, STDOUT_FILENO);
  reader.join();
  std::map<std::string, int> lines;
  std::istringstream in(received);
  for (std::string line; std::getline(in, line);) ++lines[line];
  auto line = [](char letter) { return "{\"type\":\"" + std::string(100 * 1024, letter) + "\"}"; };
  EXPECT_EQ(lines, (std::map<std::string, int>{{line('a'), 6}, {line('b'), 6}}));
  ::close(saved);
  ::close(fds[0]);
}

}  // namespace
}  // namespace dictate
